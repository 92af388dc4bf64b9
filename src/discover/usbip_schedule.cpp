#include "usbip_schedule.h"

#include <algorithm>
#include <utility>

namespace quorvellan::discover {

usbip_schedule::usbip_schedule(std::size_t max_in_flight) : max_in_flight_(max_in_flight)
{
}

void usbip_schedule::heard(const std::string& key, std::int64_t usb_devices, time_point now)
{
    const auto [found, added] = entries_.try_emplace(key);
    entry& device = found->second;
    if (added) {
        device.usb_devices = usb_devices;
        device.due = now;
        return;
    }
    if (device.usb_devices != usb_devices) {
        device.usb_devices = usb_devices;
        // Never asked yet: it is due already, and stays so.
        const time_point soon =
            device.last_start == time_point::min()
                ? device.due
                : std::max(now + USBIP_CHANGE_SETTLE, device.last_start + USBIP_MIN_GAP);
        device.due = std::min(device.due, soon);
    }
}

void usbip_schedule::forget(const std::string& key)
{
    const auto found = entries_.find(key);
    if (found == entries_.end()) {
        return;
    }
    if (found->second.in_flight) {
        --in_flight_;
    }
    entries_.erase(found);
}

std::vector<std::string> usbip_schedule::start_due(time_point now)
{
    std::vector<std::pair<time_point, const std::string*>> due;
    for (const auto& [key, device] : entries_) {
        if (!device.in_flight && device.due <= now) {
            due.emplace_back(device.due, &key);
        }
    }
    const std::size_t free = max_in_flight_ - std::min(in_flight_, max_in_flight_);
    const std::size_t count = std::min(free, due.size());
    std::partial_sort(due.begin(), due.begin() + static_cast<std::ptrdiff_t>(count), due.end(),
                      [](const auto& a, const auto& b) {
                          return a.first != b.first ? a.first < b.first : *a.second < *b.second;
                      });
    std::vector<std::string> started;
    for (std::size_t i = 0; i < count; ++i) {
        entry& device = entries_[*due[i].second];
        device.in_flight = true;
        device.last_start = now;
        device.due = now + USBIP_REQUERY_PERIOD;
        started.push_back(*due[i].second);
        ++in_flight_;
    }
    return started;
}

void usbip_schedule::finished(const std::string& key)
{
    const auto found = entries_.find(key);
    if (found != entries_.end() && found->second.in_flight) {
        found->second.in_flight = false;
        --in_flight_;
    }
}

usbip_schedule::time_point usbip_schedule::next_due() const
{
    time_point next = time_point::max();
    if (in_flight_ >= max_in_flight_) {
        return next;
    }
    for (const auto& [key, device] : entries_) {
        if (!device.in_flight) {
            next = std::min(next, device.due);
        }
    }
    return next;
}

}  // namespace quorvellan::discover
