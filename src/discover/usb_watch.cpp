#include "usb_watch.h"

#include <algorithm>

namespace quorvellan::discover {

usb_watch::usb_watch(bool everyone, session& listening)
    : everyone_(everyone), listening_(listening), schedule_(USBIP_MAX_IN_FLIGHT)
{
}

// A device is asked only where the listener trusts its address: online,
// with a port, at its trusted host, and not contested.
bool usb_watch::wanted(const device_row& row) const
{
    const bool chosen = everyone_ || (open_ && *open_ == row.key);
    return chosen && row.online && row.announcement.usbip > 0 && row.announcement.usbip <= 65535 &&
           !row.trusted_host.empty() && !row.contested;
}

void usb_watch::open(std::optional<std::string> key)
{
    open_ = std::move(key);
}

void usb_watch::stop(const std::string& key)
{
    schedule_.forget(key);
    followed_.erase(key);
    drop_query(key);
}

void usb_watch::drop_query(const std::string& key)
{
    asking_.erase(std::remove_if(asking_.begin(), asking_.end(),
                                 [&](const asking& asked) { return asked.key == key; }),
                  asking_.end());
}

void usb_watch::follow(const device_table& table, time_point now)
{
    std::unordered_set<std::string> still;
    for (const device_row* row : table.rows()) {
        if (wanted(*row)) {
            if (schedule_.heard(row->key, row->trusted_host,
                                static_cast<std::uint16_t>(row->announcement.usbip),
                                row->announcement.usb_devices, now)) {
                drop_query(row->key);  // it asked an address the row no longer has
            }
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
    // The table may have changed since follow() told the schedule: a row
    // gone or no longer wanted spends nothing, and a row whose address
    // changed is asked only at the one the schedule counted.
    const auto still_wanted = [&](const std::string& key) {
        const device_row* row = table.find(key);
        return row != nullptr && wanted(*row);
    };
    for (const std::string& key : schedule_.start_due(now, still_wanted)) {
        const device_row& row = *table.find(key);
        const auto port = static_cast<std::uint16_t>(row.announcement.usbip);
        if (!schedule_.asks_at(key, row.trusted_host, port)) {
            schedule_.finished(key, false, now);
            continue;
        }
        asking_.push_back({key, row.trusted_host, port, usbip_query(row.trusted_host, port, now)});
    }
}

usb_watch::time_point usb_watch::wait_on(std::vector<pollfd>& waiting, time_point now)
{
    start_due(listening_.table(), now);
    for (const asking& asked : asking_) {
        waiting.push_back({asked.query.fd(), asked.query.events(), 0});
    }
    return std::min(next_deadline(), next_follow_);
}

usb_watch::time_point usb_watch::next_deadline() const
{
    time_point next = schedule_.next_due();
    for (const asking& asked : asking_) {
        next = std::min(next, asked.query.deadline());
    }
    return next;
}

// Also when only a query's time is up, which no descriptor tells. The
// queries first, while they are still in wait_on's order.
void usb_watch::step(const pollfd* ready, time_point now, run_state&)
{
    for (std::size_t i = 0; i < asking_.size(); ++i) {
        usbip_query& query = asking_[i].query;
        if (ready[i].revents != 0 || now >= query.deadline()) {
            query.step(now);
        }
    }
    for (auto asked = asking_.begin(); asked != asking_.end();) {
        const usbip_outcome outcome = asked->query.outcome();
        if (outcome == usbip_outcome::pending) {
            ++asked;
            continue;
        }
        usb_listing listing{outcome, asked->query.devices(), asked->host, asked->port};
        for (usb_export& device : listing.devices) {
            names_.name(device);
        }
        schedule_.finished(asked->key, outcome == usbip_outcome::listed, now);
        const std::string key = asked->key;
        asked = asking_.erase(asked);
        listening_.on_usb(key, std::move(listing));
    }
    if (now >= next_follow_) {
        follow(listening_.table(), now);
        next_follow_ = now + std::chrono::seconds(1);
    }
}

}  // namespace quorvellan::discover
