// What the tool reports, and when, in each of its ways of running: the
// policy between the datagrams coming in and the lines going out, kept
// apart from the loop that waits for them so that it can be tested.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "device_table.h"
#include "listener.h"
#include "options.h"
#include "output_format.h"

namespace quorvellan::discover {

enum class output_mode {
    live_view,  // a terminal that can be drawn on: the table, kept up to date
    lines,      // a pipe, a file or a dumb terminal: one line per event
    json,       // one JSON object per event
};

// term: the TERM variable, or null when unset.
output_mode choose_mode(const options& opts, bool output_is_terminal, const char* term);

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

    options opts_;
    output_mode mode_;
    device_table table_;
    listen_stats stats_;
    line_sink emit_;
};

}  // namespace quorvellan::discover
