#include "usb_watch.h"

#include <algorithm>

namespace quorvellan::discover {

usb_watch::usb_watch(bool everyone) : everyone_(everyone), schedule_(USBIP_MAX_IN_FLIGHT)
{
}

// A device is asked only where a person can reach it: online, with a port,
// at an address of its web link.
bool usb_watch::wanted(const device_row& row) const
{
    const bool chosen = everyone_ || (open_ && *open_ == row.key);
    return chosen && row.online && row.announcement.usbip > 0 && !row.web_host.empty();
}

void usb_watch::open(std::optional<std::string> key)
{
    open_ = std::move(key);
}

void usb_watch::stop(const std::string& key)
{
    schedule_.forget(key);
    followed_.erase(key);
    asking_.erase(std::remove_if(asking_.begin(), asking_.end(),
                                 [&](const auto& asked) { return asked.first == key; }),
                  asking_.end());
}

void usb_watch::follow(const device_table& table, time_point now)
{
    std::unordered_set<std::string> still;
    for (const device_row* row : table.rows()) {
        if (wanted(*row)) {
            schedule_.heard(row->key, row->announcement.usb_devices, now);
            still.insert(row->key);
        }
    }
    std::vector<std::string> gone;
    for (const std::string& key : followed_) {
        if (still.count(key) == 0) {
            gone.push_back(key);
        }
    }
    for (const std::string& key : gone) {
        stop(key);
    }
    followed_ = std::move(still);
}

void usb_watch::start_due(const device_table& table, time_point now)
{
    for (const std::string& key : schedule_.start_due(now)) {
        const device_row* row = table.find(key);
        if (row == nullptr) {
            schedule_.finished(key);
            continue;
        }
        asking_.emplace_back(
            key,
            usbip_query(row->web_host, static_cast<std::uint16_t>(row->announcement.usbip), now));
    }
}

void usb_watch::add_to(std::vector<pollfd>& waiting) const
{
    for (const auto& [key, query] : asking_) {
        waiting.push_back({query.fd(), query.events(), 0});
    }
}

usb_watch::time_point usb_watch::next_deadline() const
{
    time_point next = schedule_.next_due();
    for (const auto& [key, query] : asking_) {
        next = std::min(next, query.deadline());
    }
    return next;
}

std::vector<std::pair<std::string, usb_listing>> usb_watch::step(const std::vector<pollfd>& waiting,
                                                                 std::size_t first, time_point now)
{
    std::vector<std::pair<std::string, usb_listing>> answers;
    for (std::size_t i = 0; i < asking_.size(); ++i) {
        usbip_query& query = asking_[i].second;
        const bool ready = first + i < waiting.size() && waiting[first + i].revents != 0;
        if (ready || now >= query.deadline()) {
            query.step(now);
        }
    }
    for (auto asked = asking_.begin(); asked != asking_.end();) {
        const usbip_outcome outcome = asked->second.outcome();
        if (outcome == usbip_outcome::pending) {
            ++asked;
            continue;
        }
        usb_listing listing{outcome, asked->second.devices()};
        for (usb_export& device : listing.devices) {
            names_.name(device);
        }
        schedule_.finished(asked->first);
        answers.emplace_back(asked->first, std::move(listing));
        asked = asking_.erase(asked);
    }
    return answers;
}

}  // namespace quorvellan::discover
