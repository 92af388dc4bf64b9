// The devices heard so far, one row each, and the events worth reporting
// about them: what is new, what changed, what went quiet or came back. Time
// comes from an injected clock so that all of it can be tested without
// waiting. The table also decides whom it has room for, so that a network
// inventing devices cannot push real ones out.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "announcement_parser.h"
#include "listener.h"

namespace quorvellan::discover {

// Three missed 3-second cycles: one lost datagram must not flap a device.
constexpr std::chrono::seconds OFFLINE_AFTER{10};
// A device announces every 3 seconds; changes are reported at most once
// a period, so that a device flipping its values cannot flood the output.
constexpr std::chrono::seconds REPORT_PERIOD{3};
// Anyone on the network can invent MAC addresses; this bounds the memory
// such a flood can take.
constexpr std::size_t MAX_DEVICES = 1024;
// A real device speaks from its own address, so one address with several
// online devices is inventing them: it may not add more. And when the table
// is full, devices that share their address with others make room first.
constexpr std::size_t MAX_ONLINE_PER_SOURCE = 4;

// Offline decisions use the monotonic reading, so that a wall clock step
// neither revives nor buries devices; the wall reading is for display.
struct clock_reading {
    std::chrono::steady_clock::time_point monotonic;
    std::chrono::system_clock::time_point wall;
};
using clock_source = std::function<clock_reading()>;

clock_reading read_system_clocks();

struct device_row {
    std::string key;
    announcement_record announcement;
    std::string source;        // dotted IPv4 address the latest datagram came from
    std::string first_source;  // the one it was first heard from
    // Heard from an address it does not announce (or, announcing none, from
    // another than the first): a copy of its announcements may be speaking.
    bool source_suspect = false;
    std::string web_host;  // of its web interface, see choose_web_host
    clock_reading last_heard;
    bool online = true;

    // What the last report about this row said, to report each change once
    // and at most once a period.
    announcement_record reported;
    std::string reported_suspect;  // the suspect source reported, or empty
    std::chrono::steady_clock::time_point reported_at;
    int web_rule = 3;               // the rule of choose_web_host that chose web_host
    std::uint64_t fingerprint = 0;  // of the latest datagram and its source, 0 if none
};

// Where a person can reach the device's web interface, as an address:
// 1. the announced address (ip_ap, then ip_lan) the datagram came from;
// 2. else the announced address in a subnet of the receiving interface;
// 3. else ip_ap, or the source when ip_ap is no IPv4 address.
// rule receives the number of the rule that chose.
std::string choose_web_host(const announcement_record& announcement, const std::string& source,
                            const std::vector<ipv4_subnet>& receiving, int* rule = nullptr);

// http://HOST[:PORT]/ for a row.
std::string web_url(const device_row& row);

enum class event_kind { new_device, changed, offline, online };

// Valid until the table is next changed.
struct event {
    event_kind kind = event_kind::new_device;
    const device_row* row = nullptr;
    std::vector<std::string> changed;  // member names, and "source"
    clock_reading at;
};

struct hearing {
    bool refused = false;  // no room for a new device from this source
    std::optional<event> report;
};

// What can be told of a datagram before it is read, which is what keeps a
// flood cheap: most of its datagrams repeat one already heard, or come from
// an address that already holds all the devices it may.
enum class first_look {
    repeat,   // byte for byte the latest from an online device, from its address
    refused,  // not a repeat, from an address at its cap: not worth reading
    unknown,  // to be parsed and heard
};

class device_table {
   public:
    explicit device_table(clock_source clock);

    // On a repeat, counts the device as heard.
    first_look look(std::string_view datagram, const std::string& source);

    // receiving: the subnets of the interface the datagram arrived on;
    // datagram: what the announcement was read from, for look() to know it
    // again.
    hearing hear(const announcement_record& announcement, const std::string& source,
                 const std::vector<ipv4_subnet>& receiving = {}, std::string_view datagram = {});

    // To be called about once a second: the devices that went offline, and
    // the changes held back that are now due.
    std::vector<event> tick();

    // Every change still held back, due or not: for the end of a run.
    std::vector<event> flush();

    // Ordered by name, then key, so that a redraw does not reshuffle rows.
    std::vector<const device_row*> rows() const;

    std::size_t size() const
    {
        return index_.size();
    }

    std::size_t online_count() const;

    clock_reading now() const
    {
        return clock_();
    }

   private:
    using row_list = std::list<device_row>;

    bool make_room(const std::string& source);
    void forget(row_list::iterator row);
    void remember(row_list::iterator row, std::string_view datagram, const std::string& source);
    std::uint64_t fingerprint(std::string_view datagram, const std::string& source) const;
    void set_online(device_row& row, bool online);
    std::optional<event> report_changes(device_row& row, event_kind kind, clock_reading now);

    clock_source clock_;
    row_list rows_;  // least recently heard first
    std::unordered_map<std::string, row_list::iterator> index_;
    // Both by first_source, the address a row was made for.
    std::unordered_map<std::string, std::size_t> online_by_source_;
    std::unordered_map<std::string, std::size_t> rows_by_source_;
    std::unordered_map<std::uint64_t, row_list::iterator> by_fingerprint_;
    // Unknown to senders, so that none can make its datagram pass for
    // another device's.
    std::uint64_t seed_;
};

}  // namespace quorvellan::discover
