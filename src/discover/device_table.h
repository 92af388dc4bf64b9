// The devices heard so far, one row each, and when each went quiet. Time
// comes from an injected clock so that going offline can be tested without
// waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "announcement_parser.h"

namespace quorvellan::discover {

// Three missed 3-second cycles: one lost datagram must not flap a device.
constexpr std::chrono::seconds OFFLINE_AFTER{10};
// Anyone on the network can invent MAC addresses; this bounds the memory
// such a flood can take.
constexpr std::size_t MAX_DEVICES = 1024;

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
    std::string source;  // dotted IPv4 address the datagram came from
    clock_reading last_heard;
    bool online = true;
};

// The web interface: the device's own LAN address when it gives a valid one,
// otherwise the address it was heard from. A claimed address that is not an
// IPv4 literal is never made into a link.
std::string web_url(const device_row& row);

enum class change { new_device, changed, back_online, unchanged, refused };

struct hearing {
    change kind = change::unchanged;
    const device_row* row = nullptr;  // null when refused
    std::vector<std::string> changed_members;
};

class device_table {
   public:
    explicit device_table(clock_source clock);

    hearing hear(const announcement_record& announcement, const std::string& source);

    // Marks the rows not heard for OFFLINE_AFTER and returns those that went
    // offline in this call.
    std::vector<const device_row*> expire();

    // Ordered by name, then key, so that a redraw does not reshuffle rows.
    std::vector<const device_row*> rows() const;

    std::size_t online_count() const;

    clock_reading now() const
    {
        return clock_();
    }

   private:
    bool make_room();

    clock_source clock_;
    std::map<std::string, device_row> rows_;
};

}  // namespace quorvellan::discover
