// One device as the table keeps it: what it announced, where from, what the
// table's policies made of that, what its USB/IP server said and which of
// its shared USB devices are attached here; with the clock readings it
// holds and the values every view shows of it alike.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "table/announcement_parser.h"
#include "table/presence_strip.h"
#include "usb/usbip_query.h"

namespace quorvellan::discover {

// Offline decisions use the monotonic reading, so that a wall clock step
// neither revives nor buries devices; the wall reading is for display.
struct clock_reading {
    std::chrono::steady_clock::time_point monotonic;
    std::chrono::system_clock::time_point wall;
};
using clock_source = std::function<clock_reading()>;

clock_reading read_system_clocks();

// A wall-clock reading as every output writes it, to the second: e.g.
// 2025-12-08T14:00:03Z.
std::string rfc3339_utc(std::chrono::system_clock::time_point when);

// What a device's USB/IP server said it shares, the last time it was asked.
struct usb_listing {
    usbip_outcome outcome = usbip_outcome::no_answer;  // listed, no_answer or refused
    std::vector<usb_export> devices;                   // with listed, named from the database
    std::string host;                                  // the server asked: its address
    std::int64_t port = 0;                             // and its port

    bool operator==(const usb_listing& other) const
    {
        return outcome == other.outcome && devices == other.devices && host == other.host &&
               port == other.port;
    }
};

// One of the device's shared USB devices, attached here by an attach rule
// (see attach_keeper) and let in.
struct usb_attachment {
    std::string busid;  // on the device's USB/IP server
    unsigned port = 0;  // the vhci port it is on here, as `usbip port` numbers them

    bool operator==(const usb_attachment& other) const
    {
        return busid == other.busid && port == other.port;
    }
};

// A sender heard speaking for the row's MAC (see note_claim in table_policy).
struct heard_claim {
    std::string source;
    std::string ip_ap;
    std::string ip_lan;
    std::chrono::steady_clock::time_point last_heard;
    bool contradicted = false;  // by a later datagram of the row's
};

// The rule number of a row that has no trusted host (see choose_trusted_host).
constexpr int NO_TRUSTED_HOST = 4;

struct device_row {
    // Its identity for the run, as row_key makes it: what every view keys
    // it by, and what they are told it was when it moves to a new MAC.
    std::string key;
    std::string mac;  // its announced MAC as the key holds it (normalised_mac)
    announcement_record announcement;
    std::string source;           // dotted IPv4 address the latest datagram came from
    std::string first_source;     // the one it was first heard from
    bool source_suspect = false;  // see is_suspect
    // The address trusted as the device's (see choose_trusted_host): its web
    // link and where its USB/IP server is asked; empty when none is.
    std::string trusted_host;
    int trusted_rule = NO_TRUSTED_HOST;  // the rule that chose it
    // Two senders speak for it (see note_claim): no attach line, no query.
    bool contested = false;
    std::chrono::steady_clock::time_point contested_until;
    std::vector<heard_claim> claims;  // heard within CONTEST_WINDOW
    std::chrono::steady_clock::time_point first_heard;
    clock_reading last_heard;
    bool online = true;
    // The bytes of its latest datagram, to know a repeat without reading it.
    std::string last_datagram;
    // Absent until the USB/IP server at its trusted host and announced port
    // has answered; dropped when either changes.
    std::optional<usb_listing> usb;
    // Which of its shared USB devices are attached here, by bus id.
    std::vector<usb_attachment> attached;
    presence_strip presence;  // over the last day, marked on every tick

    // What the last report about this row said, to report each change once
    // and at most once a period.
    announcement_record reported;
    std::string reported_suspect;  // the suspect source reported, or empty
    bool reported_contested = false;
    std::chrono::steady_clock::time_point reported_at;
};

// http://HOST[:PORT]/ for a row, at its trusted host; "" when it has none.
std::string web_url(const device_row& row);

}  // namespace quorvellan::discover
