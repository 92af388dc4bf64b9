// When to ask each device's USB/IP server what it shares: as soon as the
// device is first heard, again every 30 s, and soon after its count of USB
// devices changes; never more often than every 10 s per device, and never
// more than a few at a time. The queries are traffic to addresses that
// announcements name, so these bounds hold whatever the announcements say.
// Time is passed in, so that the policy is tested without waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace quorvellan::discover {

constexpr std::chrono::seconds USBIP_REQUERY_PERIOD{30};
// A device just plugged in is counted before the device's hotplug script
// has shared it; asking at once would miss it for a whole period.
constexpr std::chrono::seconds USBIP_CHANGE_SETTLE{3};
// A device whose count flips with every announcement must not make every
// announcement a query.
constexpr std::chrono::seconds USBIP_MIN_GAP{10};
constexpr std::size_t USBIP_MAX_IN_FLIGHT = 4;

class usbip_schedule {
   public:
    using time_point = std::chrono::steady_clock::time_point;

    explicit usbip_schedule(std::size_t max_in_flight = USBIP_MAX_IN_FLIGHT);

    // The device (by its table key) announced usb_devices; the first time
    // makes it due at once, a changed count soon.
    void heard(const std::string& key, std::int64_t usb_devices, time_point now);

    // The device is no longer to be asked (it went offline, left the table,
    // or its view was closed). The caller drops any query of its in flight.
    void forget(const std::string& key);

    // The devices to ask now, the longest overdue first, no more than the
    // free slots; each holds its slot until finished().
    std::vector<std::string> start_due(time_point now);

    void finished(const std::string& key);

    // When start_due will next have a device to give, for the poll's
    // timeout; time_point::max() when none waits or every slot is taken.
    time_point next_due() const;

    std::size_t in_flight() const
    {
        return in_flight_;
    }

   private:
    struct entry {
        std::int64_t usb_devices = 0;
        time_point due;
        time_point last_start = time_point::min();
        bool in_flight = false;
    };

    std::unordered_map<std::string, entry> entries_;
    std::size_t max_in_flight_;
    std::size_t in_flight_ = 0;
};

}  // namespace quorvellan::discover
