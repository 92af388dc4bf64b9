// Everything the tool prints, as strings: the live table, the one-line
// change reports and the NDJSON objects. Values from the network pass
// through terminal_safe (or JSON escaping to pure ASCII) on the way.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "announcement_parser.h"
#include "device_table.h"

namespace quorvellan::discover {

struct listen_stats {
    std::uint64_t accepted = 0;
    std::uint64_t rejected = 0;
    std::uint64_t refused = 0;       // well formed, but no room for one more device
    std::uint64_t kernel_drops = 0;  // never reached the tool: its socket was full
    std::uint64_t output_lost = 0;   // lines a slow reader left no room for
    rejection last_reason = rejection::none;
    std::string last_member;
    std::string last_rejected_from;

    // Accepted datagrams are counted by whoever keeps them.
    void count_rejection(const parse_result& result, const std::string& source);
};

// Seconds precision, e.g. 2025-12-08T14:00:03Z.
std::string rfc3339_utc(std::chrono::system_clock::time_point when);

// One NDJSON object: "event", "online", the announcement's members,
// "source", "source_suspect", "web", "last_seen" and "changed". Non-ASCII is
// written as \u escapes, so that even this output is safe on a terminal.
std::string json_line(const event& reported);

// One line for an event, with the device's whole announcement.
std::string change_line(const event& reported);

std::string status_line(std::size_t devices, std::size_t online, const listen_stats& stats);

// The live view's orders. Online devices always come first; ties go by key,
// so that a redraw does not reshuffle rows.
enum class sort_order { name, address, last_heard };
std::vector<const device_row*> ordered(std::vector<const device_row*> rows, sort_order by);
const char* describe(sort_order by);

// A header and one line per device, columns aligned. When max_width is
// short, whole columns are left out (the least telling first) before the
// name is cut; an address, MAC or link is shown whole or not at all. Lines are cut to max_width
// columns and rows beyond max_rows are summarised in one line; 0 lifts either limit.
std::vector<std::string> table_lines(const std::vector<const device_row*>& rows, clock_reading now,
                                     std::size_t max_width, std::size_t max_rows);

// "… N more devices", cut to max_width (0: uncut).
std::string more_devices_line(std::size_t hidden, std::size_t max_width);

}  // namespace quorvellan::discover
