#include "usb/usbip_schedule.h"

#include <algorithm>
#include <utility>

namespace quorvellan::discover {
namespace {

std::string server_of(const std::string& address, std::uint16_t port)
{
    return address + " " + std::to_string(port);
}

}  // namespace

usbip_schedule::usbip_schedule(std::size_t max_in_flight) : max_in_flight_(max_in_flight)
{
}

bool usbip_schedule::heard(const std::string& key, const std::string& address, std::uint16_t port,
                           std::int64_t usb_devices, time_point now)
{
    const auto [found, added] = entries_.try_emplace(key);
    entry& device = found->second;
    if (added || device.address != address || device.port != port) {
        device.address = address;
        device.port = port;
        device.usb_devices = usb_devices;
        device.due = added ? now : now + USBIP_NEW_ADDRESS_SETTLE;
        if (device.in_flight) {
            device.in_flight = false;
            --in_flight_;
            quiet_until_ = time_point::min();
        }
        quiet_until_ = std::min(quiet_until_, device.due);
        return !added;
    }
    if (device.usb_devices != usb_devices) {
        device.usb_devices = usb_devices;
        // Never asked yet: it is due already, and stays so.
        const time_point soon =
            device.last_start == time_point::min()
                ? device.due
                : std::max(now + USBIP_CHANGE_SETTLE, device.last_start + USBIP_MIN_GAP);
        device.due = std::min(device.due, soon);
        quiet_until_ = std::min(quiet_until_, device.due);
    }
    return false;
}

void usbip_schedule::forget(const std::string& key)
{
    const auto found = entries_.find(key);
    if (found == entries_.end()) {
        return;
    }
    if (found->second.in_flight) {
        --in_flight_;
        quiet_until_ = time_point::min();
    }
    entries_.erase(found);
}

bool usbip_schedule::known(const entry& device) const
{
    return known_.count(server_of(device.address, device.port)) > 0;
}

// A token every USBIP_BUDGET_EVERY, up to the burst; a full budget saves
// none for later.
void usbip_schedule::refill(time_point now)
{
    if (budget_ == USBIP_BUDGET_BURST || budget_since_ == time_point::min()) {
        budget_since_ = now;
        return;
    }
    const auto earned = static_cast<std::size_t>((now - budget_since_) / USBIP_BUDGET_EVERY);
    budget_ = std::min(USBIP_BUDGET_BURST, budget_ + earned);
    budget_since_ = budget_ == USBIP_BUDGET_BURST
                        ? now
                        : budget_since_ + USBIP_BUDGET_EVERY * static_cast<long>(earned);
}

usbip_schedule::time_point usbip_schedule::held_until(const entry& device) const
{
    time_point until = device.due;
    if (const auto asked = asked_.find(device.address); asked != asked_.end()) {
        until = std::max(until, asked->second + USBIP_MIN_GAP);
    }
    if (budget_ == 0 && !known(device)) {
        until = std::max(until, budget_since_ + USBIP_BUDGET_EVERY);
    }
    return until;
}

std::vector<std::string> usbip_schedule::start_due(
    time_point now, const std::function<bool(const std::string& key)>& still_wanted)
{
    if (in_flight_ >= max_in_flight_ || now < quiet_until_) {
        return {};
    }
    refill(now);
    for (auto asked = asked_.begin(); asked != asked_.end();) {
        asked = now - asked->second >= USBIP_MIN_GAP ? asked_.erase(asked) : std::next(asked);
    }
    std::vector<std::pair<time_point, const std::string*>> due;
    for (const auto& [key, device] : entries_) {
        if (!device.in_flight && device.due <= now) {
            due.emplace_back(device.due, &key);
        }
    }
    std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : *a.second < *b.second;
    });
    std::vector<std::string> started;
    std::vector<std::string> gone;
    for (const auto& [when, key] : due) {
        entry& device = entries_.at(*key);
        if (in_flight_ >= max_in_flight_) {
            break;
        }
        if (asked_.count(device.address) > 0 || (!known(device) && budget_ == 0)) {
            continue;
        }
        if (still_wanted && !still_wanted(*key)) {
            gone.push_back(*key);
            continue;
        }
        if (!known(device)) {
            --budget_;
        }
        asked_[device.address] = now;
        device.in_flight = true;
        device.last_start = now;
        device.due = now + USBIP_REQUERY_PERIOD;
        started.push_back(*key);
        ++in_flight_;
    }
    for (const std::string& key : gone) {
        entries_.erase(key);
    }
    quiet_until_ = next_due();
    return started;
}

void usbip_schedule::finished(const std::string& key, bool listed, time_point now)
{
    const auto found = entries_.find(key);
    if (found == entries_.end() || !found->second.in_flight) {
        return;
    }
    found->second.in_flight = false;
    --in_flight_;
    quiet_until_ = time_point::min();
    if (!listed) {
        return;
    }
    known_[server_of(found->second.address, found->second.port)] = now;
    if (known_.size() > USBIP_KNOWN_SERVERS) {
        known_.erase(
            std::min_element(known_.begin(), known_.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
}

bool usbip_schedule::asks_at(const std::string& key, const std::string& address,
                             std::uint16_t port) const
{
    const auto found = entries_.find(key);
    return found != entries_.end() && found->second.address == address &&
           found->second.port == port;
}

usbip_schedule::time_point usbip_schedule::next_due() const
{
    time_point next = time_point::max();
    if (in_flight_ >= max_in_flight_) {
        return next;
    }
    for (const auto& [key, device] : entries_) {
        if (!device.in_flight) {
            next = std::min(next, held_until(device));
        }
    }
    return next;
}

}  // namespace quorvellan::discover
