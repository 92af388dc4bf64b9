// What the tool reports, and when, in each of its ways of running: the
// policy between the datagrams coming in and the lines going out, and the
// counts of what came in, kept apart from the loop that waits for them so
// that it can be tested.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device_table.h"
#include "listener.h"
#include "options.h"

namespace quorvellan::discover {

enum class output_mode {
    live_view,  // a terminal that can be drawn on: the table, kept up to date
    lines,      // a pipe, a file or a dumb terminal: one line per event
    json,       // one JSON object per event
};

// term: the TERM variable, or null when unset.
output_mode choose_mode(const options& opts, bool output_is_terminal, const char* term);

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

    void count_rejection(const parse_result& result, const std::string& source);
};

// The devices, and what became of the datagrams, in one line.
std::string status_line(const device_table& table, const listen_stats& stats);

class session {
   public:
    using line_sink = std::function<void(const std::string&)>;

    session(const options& opts, output_mode mode, clock_source clock, line_sink emit);

    // receiving: the subnets of the interface the datagram arrived on.
    void on_datagram(const datagram& received, const std::vector<ipv4_subnet>& receiving);

    // About once a second.
    void on_tick();

    // When the listening is over: the held-back changes, and in snapshot
    // mode or after a timeout what there is to show of the whole table.
    void on_end();

    // Whether the run should end with a summary on standard error: when
    // something was lost, or when a full-screen view took the table away.
    bool wants_summary() const;

    const device_table& table() const
    {
        return table_;
    }

    listen_stats& stats()
    {
        return stats_;
    }

    const listen_stats& stats() const
    {
        return stats_;
    }

   private:
    void report(const event& happened);
    void print_table();

    options opts_;
    output_mode mode_;
    listen_stats stats_;
    line_sink emit_;
    device_table table_;
};

}  // namespace quorvellan::discover
