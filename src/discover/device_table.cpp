#include "device_table.h"

#include <algorithm>
#include <cctype>

namespace quorvellan::discover {

clock_reading read_system_clocks()
{
    return {std::chrono::steady_clock::now(), std::chrono::system_clock::now()};
}

namespace {

// Prefixed so that a MAC written like an address cannot take over the row of
// a device that is keyed by its address; lower-cased so that one device's
// MAC in two spellings stays one row.
std::string key_of(const announcement_record& announcement, const std::string& source)
{
    if (announcement.mac.empty()) {
        return "from " + source;
    }
    std::string key = "mac " + announcement.mac;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return key;
}

// The source is not an announced fact: a device on two networks, or heard
// through both its directed and its limited broadcast, reaches a listener
// from several addresses each cycle, and that is no change of the device.
std::vector<std::string> differences(const device_row& row, const announcement_record& now)
{
    const announcement_record& was = row.announcement;
    std::vector<std::string> changed;
    const auto note = [&](bool differs, const char* member) {
        if (differs) {
            changed.emplace_back(member);
        }
    };
    for_each_field([&](const char* member, auto field) { note(was.*field != now.*field, member); });
    return changed;
}

}  // namespace

std::string web_url(const device_row& row)
{
    const std::string& host =
        is_ipv4_literal(row.announcement.ip_ap) ? row.announcement.ip_ap : row.source;
    const std::int64_t port = row.announcement.http;
    return "http://" + host + (port == 80 ? "" : ":" + std::to_string(port)) + "/";
}

device_table::device_table(clock_source clock) : clock_(std::move(clock))
{
}

hearing device_table::hear(const announcement_record& announcement, const std::string& source)
{
    const clock_reading now = clock_();
    const std::string key = key_of(announcement, source);
    hearing result;
    auto found = rows_.find(key);
    if (found == rows_.end()) {
        if (!make_room()) {
            result.kind = change::refused;
            return result;
        }
        found = rows_.emplace(key, device_row{key, announcement, source, now, true}).first;
        result.kind = change::new_device;
    } else {
        device_row& row = found->second;
        result.changed_members = differences(row, announcement);
        result.kind = !result.changed_members.empty() ? change::changed
                      : row.online                    ? change::unchanged
                                                      : change::back_online;
        row.announcement = announcement;
        row.source = source;
        row.last_heard = now;
        row.online = true;
    }
    result.row = &found->second;
    return result;
}

bool device_table::make_room()
{
    if (rows_.size() < MAX_DEVICES) {
        return true;
    }
    auto oldest = rows_.end();
    for (auto it = rows_.begin(); it != rows_.end(); ++it) {
        if (!it->second.online &&
            (oldest == rows_.end() ||
             it->second.last_heard.monotonic < oldest->second.last_heard.monotonic)) {
            oldest = it;
        }
    }
    if (oldest == rows_.end()) {
        return false;
    }
    rows_.erase(oldest);
    return true;
}

std::vector<const device_row*> device_table::expire()
{
    const auto now = clock_().monotonic;
    std::vector<const device_row*> gone;
    for (auto& [key, row] : rows_) {
        if (row.online && now - row.last_heard.monotonic >= OFFLINE_AFTER) {
            row.online = false;
            gone.push_back(&row);
        }
    }
    return gone;
}

std::vector<const device_row*> device_table::rows() const
{
    std::vector<const device_row*> ordered;
    ordered.reserve(rows_.size());
    for (const auto& entry : rows_) {
        ordered.push_back(&entry.second);
    }
    std::stable_sort(ordered.begin(), ordered.end(), [](const device_row* a, const device_row* b) {
        return a->announcement.name < b->announcement.name;
    });
    return ordered;
}

std::size_t device_table::online_count() const
{
    return static_cast<std::size_t>(std::count_if(
        rows_.begin(), rows_.end(), [](const auto& entry) { return entry.second.online; }));
}

}  // namespace quorvellan::discover
