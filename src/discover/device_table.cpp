#include "device_table.h"

#include <algorithm>
#include <cctype>
#include <random>
#include <tuple>

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

std::vector<std::string> differences(const announcement_record& was, const announcement_record& now)
{
    std::vector<std::string> changed;
    const auto note = [&](bool differs, const char* member) {
        if (differs) {
            changed.emplace_back(member);
        }
    };
    for_each_field([&](const char* member, auto field) { note(was.*field != now.*field, member); });
    return changed;
}

bool announces(const announcement_record& a, const std::string& address)
{
    return (a.ip_ap == address && is_ipv4_literal(a.ip_ap)) ||
           (a.ip_lan == address && is_ipv4_literal(a.ip_lan));
}

// The source is not an announced fact: a device on two networks, or heard
// through both its directed and its limited broadcast, reaches a listener
// from each of its addresses, and that is no change of the device. An
// address it does not claim is worth a word, though.
bool is_suspect(const announcement_record& a, const std::string& source,
                const std::string& first_source)
{
    if (!is_ipv4_literal(a.ip_ap) && !is_ipv4_literal(a.ip_lan)) {
        return source != first_source;
    }
    return !announces(a, source);
}

}  // namespace

std::string choose_web_host(const announcement_record& announcement, const std::string& source,
                            const std::vector<ipv4_subnet>& receiving, int* rule)
{
    const auto chose = [&](int number, const std::string& host) {
        if (rule != nullptr) {
            *rule = number;
        }
        return host;
    };
    const std::string* announced[] = {&announcement.ip_ap, &announcement.ip_lan};
    for (const std::string* address : announced) {
        if (*address == source && is_ipv4_literal(*address)) {
            return chose(1, *address);
        }
    }
    for (const std::string* address : announced) {
        if (is_ipv4_literal(*address)) {
            const std::uint32_t host = ipv4_host_order(*address);
            for (const ipv4_subnet& subnet : receiving) {
                if (subnet.contains(host)) {
                    return chose(2, *address);
                }
            }
        }
    }
    return chose(3, is_ipv4_literal(announcement.ip_ap) ? announcement.ip_ap : source);
}

std::string web_url(const device_row& row)
{
    const std::int64_t port = row.announcement.http;
    return "http://" + row.web_host + (port == 80 ? "" : ":" + std::to_string(port)) + "/";
}

device_table::device_table(clock_source clock)
    : clock_(std::move(clock)),
      seed_((std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}())
{
}

// FNV-1a from a secret starting point, over the datagram and its source.
std::uint64_t device_table::fingerprint(std::string_view datagram, const std::string& source) const
{
    std::uint64_t hash = seed_ ^ 0xcbf29ce484222325u;
    const auto mix = [&hash](std::string_view bytes) {
        for (const char c : bytes) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
        }
    };
    mix(datagram);
    mix(std::string_view("\0", 1));
    mix(source);
    return hash | 1;  // never 0, which means none
}

first_look device_table::look(std::string_view datagram, const std::string& source)
{
    const auto found = by_fingerprint_.find(fingerprint(datagram, source));
    if (found != by_fingerprint_.end() && found->second->online) {
        found->second->last_heard = clock_();
        rows_.splice(rows_.end(), rows_, found->second);
        return first_look::repeat;
    }
    const auto held = online_by_source_.find(source);
    return held != online_by_source_.end() && held->second >= MAX_ONLINE_PER_SOURCE
               ? first_look::refused
               : first_look::unknown;
}

void device_table::forget(row_list::iterator row)
{
    const auto found = by_fingerprint_.find(row->fingerprint);
    if (found != by_fingerprint_.end() && found->second == row) {
        by_fingerprint_.erase(found);
    }
    row->fingerprint = 0;
}

void device_table::remember(row_list::iterator row, std::string_view datagram,
                            const std::string& source)
{
    forget(row);
    if (!datagram.empty()) {
        row->fingerprint = fingerprint(datagram, source);
        by_fingerprint_[row->fingerprint] = row;
    }
}

hearing device_table::hear(const announcement_record& announcement, const std::string& source,
                           const std::vector<ipv4_subnet>& receiving, std::string_view datagram)
{
    const clock_reading now = clock_();
    const std::string key = key_of(announcement, source);
    hearing result;
    const auto found = index_.find(key);
    if (found == index_.end()) {
        if (!make_room(source)) {
            result.refused = true;
            return result;
        }
        device_row& row = rows_.emplace_back();
        index_.emplace(key, std::prev(rows_.end()));
        row.key = key;
        row.announcement = announcement;
        row.source = source;
        row.first_source = source;
        row.source_suspect = is_suspect(announcement, source, source);
        row.web_host = choose_web_host(announcement, source, receiving, &row.web_rule);
        row.last_heard = now;
        row.online = false;
        set_online(row, true);
        ++rows_by_source_[source];
        row.reported = announcement;
        row.reported_suspect = row.source_suspect ? source : "";
        row.reported_at = now.monotonic;
        remember(std::prev(rows_.end()), datagram, source);
        result.report = event{event_kind::new_device, &row, {}, now};
        return result;
    }
    // Most recently heard last, so that the longest silent is always first.
    rows_.splice(rows_.end(), rows_, found->second);
    device_row& row = *found->second;
    remember(found->second, datagram, source);
    if (source != row.source || announcement != row.announcement) {
        row.announcement = announcement;
        row.source = source;
        row.source_suspect = is_suspect(announcement, source, row.first_source);
        // A device heard from two of its networks keeps one link rather than
        // flipping between them, unless the new one is better reached.
        int rule = 3;
        std::string host = choose_web_host(announcement, source, receiving, &rule);
        if (!(announces(announcement, row.web_host) && row.web_rule <= rule)) {
            row.web_host = std::move(host);
            row.web_rule = rule;
        }
    }
    row.last_heard = now;
    if (!row.online) {
        set_online(row, true);
        result.report = report_changes(row, event_kind::online, now);
    } else if (now.monotonic - row.reported_at >= REPORT_PERIOD) {
        result.report = report_changes(row, event_kind::changed, now);
    }
    return result;
}

std::optional<event> device_table::report_changes(device_row& row, event_kind kind,
                                                  clock_reading now)
{
    event report{kind, &row, differences(row.reported, row.announcement), now};
    const std::string suspect = row.source_suspect ? row.source : "";
    if (suspect != row.reported_suspect) {
        report.changed.emplace_back("source");
    }
    if (kind == event_kind::changed && report.changed.empty()) {
        return std::nullopt;
    }
    row.reported = row.announcement;
    row.reported_suspect = suspect;
    row.reported_at = now.monotonic;
    return report;
}

bool device_table::make_room(const std::string& source)
{
    const auto held = online_by_source_.find(source);
    if (held != online_by_source_.end() && held->second >= MAX_ONLINE_PER_SOURCE) {
        return false;
    }
    if (index_.size() < MAX_DEVICES) {
        return true;
    }
    // The longest silent of the rows whose address holds others too, so
    // that invented devices from a few addresses replace one another and
    // not the real ones; on a network of one device per address, simply
    // the longest silent.
    auto victim = rows_.begin();
    for (auto row = rows_.begin(); row != rows_.end(); ++row) {
        if (rows_by_source_[row->first_source] > 1) {
            victim = row;
            break;
        }
    }
    set_online(*victim, false);
    forget(victim);
    const auto count = rows_by_source_.find(victim->first_source);
    if (--count->second == 0) {
        rows_by_source_.erase(count);
    }
    index_.erase(victim->key);
    rows_.erase(victim);
    return true;
}

void device_table::set_online(device_row& row, bool online)
{
    if (row.online == online) {
        return;
    }
    row.online = online;
    if (online) {
        ++online_by_source_[row.first_source];
    } else if (const auto held = online_by_source_.find(row.first_source);
               held != online_by_source_.end() && --held->second == 0) {
        online_by_source_.erase(held);
    }
}

std::vector<event> device_table::tick()
{
    const clock_reading now = clock_();
    std::vector<event> events;
    for (device_row& row : rows_) {
        if (row.online && now.monotonic - row.reported_at >= REPORT_PERIOD) {
            if (auto report = report_changes(row, event_kind::changed, now)) {
                events.push_back(std::move(*report));
            }
        }
    }
    for (device_row& row : rows_) {
        if (now.monotonic - row.last_heard.monotonic < OFFLINE_AFTER) {
            break;  // and so is every row after it
        }
        if (row.online) {
            set_online(row, false);
            events.push_back({event_kind::offline, &row, {}, now});
        }
    }
    return events;
}

std::vector<event> device_table::flush()
{
    const clock_reading now = clock_();
    std::vector<event> events;
    for (device_row& row : rows_) {
        if (row.online) {
            if (auto report = report_changes(row, event_kind::changed, now)) {
                events.push_back(std::move(*report));
            }
        }
    }
    return events;
}

std::vector<const device_row*> device_table::rows() const
{
    std::vector<const device_row*> ordered;
    ordered.reserve(rows_.size());
    for (const device_row& row : rows_) {
        ordered.push_back(&row);
    }
    std::sort(ordered.begin(), ordered.end(), [](const device_row* a, const device_row* b) {
        return std::tie(a->announcement.name, a->key) < std::tie(b->announcement.name, b->key);
    });
    return ordered;
}

std::size_t device_table::online_count() const
{
    std::size_t online = 0;
    for (const auto& [source, count] : online_by_source_) {
        online += count;
    }
    return online;
}

}  // namespace quorvellan::discover
