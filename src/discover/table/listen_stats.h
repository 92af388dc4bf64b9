// The listener's counts of what came in and what became of it: datagrams
// accepted, rejected and refused, rows evicted, what the kernel and a slow
// reader lost, and the events by kind. The status line, the summary and
// the metrics read them. With attach rules, also how each rule stands and
// how the tries to attach ended.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "table/announcement_parser.h"
#include "table/device_event.h"

namespace quorvellan::discover {

// How an attach of one shared USB device ended: let in, turned away by the
// check of what arrived, or not attached for another reason (the server
// did not answer or share it, vhci-hcd had no port, ...).
enum class attach_result { attached, refused, failed };
constexpr std::size_t ATTACH_RESULT_COUNT = 3;
const char* describe(attach_result result);

// An attach rule as written, and how many of the USB devices it names are
// attached here now.
struct attach_rule_count {
    std::string rule;
    std::uint64_t attached = 0;
};

struct listen_stats {
    std::uint64_t accepted = 0;
    std::uint64_t rejected = 0;
    std::uint64_t refused = 0;       // well formed, but no room for one more device
    std::uint64_t evicted = 0;       // rows that made room for a newcomer
    std::uint64_t kernel_drops = 0;  // never reached the tool: its socket was full
    std::uint64_t output_lost = 0;   // lines a slow reader left no room for
    rejection last_reason = rejection::none;
    std::string last_member;
    std::string last_rejected_from;
    std::array<std::uint64_t, REJECTION_COUNT> rejected_by{};          // by reason
    std::array<std::uint64_t, EVENT_KIND_COUNT> events{};              // by kind, in every mode
    std::vector<attach_rule_count> attach_rules;                       // empty without attach rules
    std::array<std::uint64_t, ATTACH_RESULT_COUNT> attach_attempts{};  // by attach_result

    void count_rejection(const parse_result& result, const std::string& source);
};

}  // namespace quorvellan::discover
