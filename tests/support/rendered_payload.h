// Announcements as the daemon renders them, from plain strings, so that the
// renderer's and the listener's tests use the real sender and not a copy of
// its format.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "beacon/render.h"
#include "probe/identity.h"
#include "wire/announcement.h"

namespace quorvellan::test {

// How many members an announcement has.
#define QUORVELLAN_COUNT_ONE(...) +1
constexpr std::size_t MEMBER_COUNT = QUORVELLAN_ANNOUNCEMENT_MEMBERS(
    QUORVELLAN_COUNT_ONE, QUORVELLAN_COUNT_ONE, QUORVELLAN_COUNT_ONE, QUORVELLAN_COUNT_ONE);
#undef QUORVELLAN_COUNT_ONE

// What the identity probe falls back to, so that device_facts{} is what a
// device with nothing configured sends.
inline std::string probe_default(const std::string& member)
{
    return member == "name"       ? DEFAULT_NAME
           : member == "hostname" ? DEFAULT_HOSTNAME
           : member == "version"  ? DEFAULT_VERSION
                                  : "";
}

// The values a device fills in, one per member of its record, in wire order.
struct device_facts {
#define QUORVELLAN_FACTS_TEXT(member, capacity, carried_max, format) \
    std::string member = probe_default(#member);
#define QUORVELLAN_FACTS_COUNT(member) std::int32_t member = 0;
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_WIRE_IGNORE, QUORVELLAN_FACTS_TEXT,
                                    QUORVELLAN_WIRE_IGNORE, QUORVELLAN_FACTS_COUNT)
#undef QUORVELLAN_FACTS_TEXT
#undef QUORVELLAN_FACTS_COUNT
};

inline device_facts named(std::string name)
{
    device_facts facts;
    facts.name = std::move(name);
    return facts;
}

// The daemon's record of the facts; a text longer than its buffer is cut to
// fit, and every byte after it is zero.
inline announcement announcement_of(const device_facts& facts)
{
    announcement a;
    std::memset(&a, 0, sizeof a);
    const auto copy = [](char* field, std::size_t capacity, const std::string& value) {
        std::memcpy(field, value.data(), value.size() < capacity - 1 ? value.size() : capacity - 1);
    };
#define QUORVELLAN_FACTS_TEXT(member, capacity, carried_max, format) \
    copy(a.member, sizeof a.member, facts.member);
#define QUORVELLAN_FACTS_COUNT(member) a.member = facts.member;
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_WIRE_IGNORE, QUORVELLAN_FACTS_TEXT,
                                    QUORVELLAN_WIRE_IGNORE, QUORVELLAN_FACTS_COUNT)
#undef QUORVELLAN_FACTS_TEXT
#undef QUORVELLAN_FACTS_COUNT
    return a;
}

inline std::string rendered(const device_facts& facts)
{
    char out[ANNOUNCE_CAPACITY];
    const std::size_t length = render_announcement(announcement_of(facts), out);
    return std::string(out, length);
}

// Raw bytes that a hostile name might carry: cursor movement, screen clear,
// colour, carriage return, bell, a bidi override and malformed UTF-8.
inline const std::string HOSTILE_NAME =
    "\x1b[2J\x1b[H\x1b[31mEvil\r\x07\xe2\x80\xae\xff\xc3(\"q\"\\";

}  // namespace quorvellan::test
