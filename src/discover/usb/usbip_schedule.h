// When to ask each device's USB/IP server what it shares: as soon as the
// device is first heard, again every 30 s, soon after its count of USB
// devices changes, and a little later when its address changes; never more
// often than every 10 s per device, nor per address whichever devices name
// it, never more than a few at a time, and servers that never answered with
// a device list only within a budget for all of them together. The queries
// are traffic to addresses that announcements name, so these bounds hold
// whatever the announcements say. Time is passed in, so that the policy is
// tested without waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace quorvellan::discover {

constexpr std::chrono::seconds USBIP_REQUERY_PERIOD{30};
// A device just plugged in is counted before the device's hotplug script
// has shared it; asking at once would miss it for a whole period.
constexpr std::chrono::seconds USBIP_CHANGE_SETTLE{3};
// A device whose count flips with every announcement must not make every
// announcement a query; nor may many devices naming one address.
constexpr std::chrono::seconds USBIP_MIN_GAP{10};
constexpr std::size_t USBIP_MAX_IN_FLIGHT = 4;
// A device's new address is asked only after this: time for a second
// sender of its MAC to show (see CONTEST_WINDOW), so that a forged address
// is not asked at all.
constexpr std::chrono::seconds USBIP_NEW_ADDRESS_SETTLE{7};
// Servers (address and port) that have not answered with a device list are
// asked within one budget for all: USBIP_BUDGET_BURST at once, then one
// every USBIP_BUDGET_EVERY. A flood of invented devices naming other hosts
// thus gets at most that many connections; real devices, once they have
// answered, are asked outside it.
constexpr std::size_t USBIP_BUDGET_BURST = 16;
constexpr std::chrono::seconds USBIP_BUDGET_EVERY{1};
// Servers remembered for having answered; the longest unheard is dropped.
constexpr std::size_t USBIP_KNOWN_SERVERS = 1024;

class usbip_schedule {
   public:
    using time_point = std::chrono::steady_clock::time_point;

    explicit usbip_schedule(std::size_t max_in_flight = USBIP_MAX_IN_FLIGHT);

    // The device (by its table key), at the address and port it is asked at,
    // announced usb_devices; the first time makes it due at once, a changed
    // count soon, a changed address or port after USBIP_NEW_ADDRESS_SETTLE.
    // Returns true when the address or port changed: the caller drops the
    // device's query in flight, which asked the old one.
    bool heard(const std::string& key, const std::string& address, std::uint16_t port,
               std::int64_t usb_devices, time_point now);

    // The device is no longer to be asked (it went offline, left the table,
    // its view was closed, or it is contested). The caller drops any query
    // of its in flight.
    void forget(const std::string& key);

    // The devices to ask now, the longest overdue first, no more than the
    // free slots, each address once, and those whose server never listed
    // within the budget; each holds its slot until finished(). A device
    // that still_wanted, when given, no longer wants (it left the table
    // since it was last heard()) is forgotten instead, and spends nothing:
    // under a flood of invented devices the budget goes to those still there.
    std::vector<std::string> start_due(
        time_point now, const std::function<bool(const std::string& key)>& still_wanted = {});

    // listed: the server answered with a device list, and is asked outside
    // the budget from now on.
    void finished(const std::string& key, bool listed, time_point now);

    // Whether the device is to be asked at this address and port, as it was
    // last heard().
    bool asks_at(const std::string& key, const std::string& address, std::uint16_t port) const;

    // When start_due may next have a device to give, for the poll's
    // timeout; time_point::max() when none waits or every slot is taken.
    time_point next_due() const;

    std::size_t in_flight() const
    {
        return in_flight_;
    }

   private:
    struct entry {
        std::string address;
        std::uint16_t port = 0;
        std::int64_t usb_devices = 0;
        time_point due;
        time_point last_start = time_point::min();
        bool in_flight = false;
    };

    bool known(const entry& device) const;
    void refill(time_point now);
    // Until when the entry must wait, at the earliest, as things are now.
    time_point held_until(const entry& device) const;

    std::unordered_map<std::string, entry> entries_;
    std::size_t max_in_flight_;
    std::size_t in_flight_ = 0;
    // When each address was last asked, while within USBIP_MIN_GAP.
    std::unordered_map<std::string, time_point> asked_;
    // "address port" of the servers that answered with a list, and when.
    std::unordered_map<std::string, time_point> known_;
    std::size_t budget_ = USBIP_BUDGET_BURST;
    time_point budget_since_ = time_point::min();  // of the next token's interval
    // No device can start before this: next_due() as of the last start_due,
    // lowered whenever that may change, so that a schedule full of devices
    // waiting for the budget is not sorted on every pass of the loop.
    time_point quiet_until_ = time_point::min();
};

}  // namespace quorvellan::discover
