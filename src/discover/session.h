// What the tool reports, and when, in each of its ways of running: the
// policy between the datagrams coming in and the lines going out, the
// counts of what came in, and the table's events handed to every output
// that subscribes to them; kept apart from the loop that waits for them so
// that it can be tested.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net/udp_socket.h"
#include "options.h"
#include "table/device_table.h"
#include "table/listen_stats.h"
#include "terminal/terminal_text.h"

namespace quorvellan::discover {

enum class output_mode {
    live_view,  // a terminal that can be drawn on: the table, kept up to date
    lines,      // a pipe, a file or a dumb terminal: one line per event
    json,       // one JSON object per event
    quiet,      // nothing: a service that only serves its metrics
};

// term: the TERM variable, or null when unset.
output_mode choose_mode(const options& opts, bool output_is_terminal, const char* term);

// How the text output looks where it goes.
struct output_style {
    charset shown = charset::utf8;
};

// With no datagram at all for this long, a firewall is the likely cause.
constexpr std::chrono::seconds SILENCE_HINT_AFTER{10};

class session {
   public:
    using line_sink = std::function<void(const std::string&)>;

    session(const options& opts, output_mode mode, output_style style, clock_source clock,
            line_sink emit);

    // receiving: the subnets of the interface the datagram arrived on.
    void on_datagram(const datagram& received, const std::vector<ipv4_subnet>& receiving);

    // About once a second.
    void on_tick();

    // When the listening is over: the held-back changes, and in snapshot
    // mode or after a timeout what there is to show of the whole table.
    // final_width: the columns of the terminal the table goes to, read now,
    // since it may have been resized while listening (0: no terminal, every
    // value whole).
    void on_end(std::size_t final_width);

    // Whether the run should end with a summary on standard error: when
    // something was lost, or when a full-screen view took the table away.
    bool wants_summary() const;

    // The devices, and what became of the datagrams, in one line; before
    // anything is heard, what the listener is waiting for, and after a
    // silence, why it may be hearing nothing.
    std::string status() const;

    // The silence hint, once, when it is due: for the ways of running that
    // have no status line to show it in.
    std::optional<std::string> take_hint();

    // Nothing at all was heard: no datagram, let alone a device.
    bool heard_nothing() const;

    // What a device's USB/IP server answered; a usb event when it changed.
    void on_usb(const std::string& key, usb_listing listing)
    {
        table_.record_usb(key, std::move(listing));
    }

    // One of its shared USB devices attached here and let in, let go, or
    // not attached after all: the events that say so (see device_table).
    void on_attached(const std::string& key, const std::string& busid, unsigned port)
    {
        table_.record_attachment(key, busid, port);
    }
    void on_detached(const std::string& key, const std::string& busid, unsigned port,
                     detach_reason why, std::string error = {})
    {
        table_.record_detachment(key, busid, port, why, std::move(error));
    }
    void on_attach_failed(const std::string& key, const std::string& rule, const std::string& busid,
                          std::string error)
    {
        table_.record_attach_failure(key, rule, busid, std::move(error));
    }

    // A device known from an earlier run (--state), offline until heard.
    void restore(const known_device& known)
    {
        table_.restore(known);
    }

    // Every event from now on, in every mode, also goes to watcher, after
    // the watchers that subscribed before it and before the lines printed.
    void subscribe(event_sink watcher)
    {
        watchers_.push_back(std::move(watcher));
    }

    // No device is in the table.
    bool found_nothing() const
    {
        return table_.size() == 0;
    }

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
    void print_table(std::size_t width);

    bool silent_too_long() const;

    options opts_;
    output_mode mode_;
    output_style style_;
    std::chrono::steady_clock::time_point started_;
    bool hinted_ = false;
    listen_stats stats_;
    line_sink emit_;
    std::vector<event_sink> watchers_;
    device_table table_;
};

}  // namespace quorvellan::discover
