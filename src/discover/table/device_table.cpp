#include "table/device_table.h"

#include <algorithm>
#include <tuple>

namespace quorvellan::discover {

namespace {

std::vector<std::string> differences(const announcement_record& was, const announcement_record& now)
{
    std::vector<std::string> changed;
    for_each_field([&](const char* member, auto field) {
        if (was.*field != now.*field) {
            changed.emplace_back(member);
        }
    });
    return changed;
}

}  // namespace

device_table::device_table(clock_source clock, event_sink sink, forget_after forget)
    : clock_(std::move(clock)), sink_(std::move(sink)), forget_(forget)
{
}

void device_table::emit(event_kind kind, const device_row& row, clock_reading now)
{
    sink_(event{kind, &row, {}, now});
}

bool device_table::heard_again(std::string_view datagram, const std::string& source)
{
    const auto found = by_datagram_.find(datagram);
    if (found == by_datagram_.end() || !found->second->online || found->second->source != source) {
        return false;
    }
    found->second->last_heard = clock_();
    note_repeat(*found->second, source, found->second->last_heard.monotonic);
    rows_.splice(rows_.end(), rows_, found->second);
    return true;
}

void device_table::index_datagram(row_list::iterator row, std::string_view datagram)
{
    if (row->last_datagram == datagram) {
        return;
    }
    unindex_datagram(row);
    row->last_datagram = datagram;
    if (!datagram.empty()) {
        // Two devices without a MAC can send the same bytes from two
        // addresses; the later one takes the entry, its key its own bytes.
        by_datagram_.erase(row->last_datagram);
        by_datagram_.emplace(row->last_datagram, row);
    }
}

void device_table::unindex_datagram(row_list::iterator row)
{
    const auto found = by_datagram_.find(row->last_datagram);
    if (found != by_datagram_.end() && found->second == row) {
        by_datagram_.erase(found);
    }
    row->last_datagram.clear();
}

hearing device_table::hear(const announcement_record& announcement, const std::string& source,
                           const std::vector<ipv4_subnet>& receiving, std::string_view datagram)
{
    const clock_reading now = clock_();
    const auto found = index_.find(row_key(announcement, source));
    if (found == index_.end()) {
        return hold(announcement, source, receiving, datagram, now)
                   ? hearing::held
                   : hear_new(announcement, source, receiving, datagram, now);
    }
    // Most recently heard last, so that the longest silent is always first.
    rows_.splice(rows_.end(), rows_, found->second);
    device_row& row = *found->second;
    index_datagram(found->second, datagram);
    const bool contest_began = note_claim(row, announcement, source, now.monotonic);
    if (source != row.source || announcement != row.announcement) {
        row.announcement = announcement;
        row.source = source;
        row.source_suspect = is_suspect(announcement, source, row.first_source);
        update_trusted_host(row, receiving);
    }
    row.last_heard = now;
    if (!row.online) {
        set_online(row, true);
        presence_mark(row.presence, now.wall, true);
        report_changes(row, event_kind::online, now);
    } else if (contest_began || now.monotonic - row.reported_at >= REPORT_PERIOD) {
        // A contest is told at once: every view must stop offering to
        // attach to an address in doubt.
        report_changes(row, event_kind::changed, now);
    }
    if (!held_.empty()) {
        decide_held(now);
    }
    return hearing::known;
}

bool device_table::hold(const announcement_record& announcement, const std::string& source,
                        const std::vector<ipv4_subnet>& receiving, std::string_view datagram,
                        clock_reading now)
{
    const std::string key = row_key(announcement, source);
    if (const auto held = held_.find(key); held != held_.end()) {
        held->second.announcement = announcement;
        held->second.source = source;
        held->second.receiving = receiving;
        held->second.datagram = datagram;
        return true;
    }
    // A few at a time: one per known device, so that invented MACs from a
    // device's address cannot grow the list.
    const auto from_source = keys_by_source_.find(source);
    if (from_source == keys_by_source_.end() || held_.size() >= MAX_ONLINE_PER_SOURCE * 4) {
        return false;
    }
    for (const std::string& known_key : from_source->second) {
        const device_row& known = *index_.at(known_key);
        const bool taken = std::any_of(held_.begin(), held_.end(), [&](const auto& other) {
            return other.second.known_key == known_key;
        });
        if (!taken && may_be_same_device(known, announcement, source)) {
            held_.emplace(key, held_mac{announcement, source, receiving, std::string(datagram),
                                        now.monotonic, known_key});
            return true;
        }
    }
    return false;
}

void device_table::decide_held(clock_reading now)
{
    for (auto held = held_.begin(); held != held_.end();) {
        const auto known = index_.find(held->second.known_key);
        const bool beside = known == index_.end() || !known->second->online ||
                            known->second->last_heard.monotonic > held->second.since;
        const bool silent = !beside && now.monotonic - known->second->last_heard.monotonic >=
                                           MAC_CHANGE_DECIDED_AFTER;
        if (!beside && !silent) {
            ++held;
            continue;
        }
        const held_mac decided = std::move(held->second);
        held = held_.erase(held);
        if (silent) {
            move_to_new_mac(known->second, decided, now);
        } else {
            hear_new(decided.announcement, decided.source, decided.receiving, decided.datagram,
                     now);
        }
    }
}

// One row through the change, so that the device keeps its state and its
// history, and the report names both MACs.
void device_table::move_to_new_mac(row_list::iterator row, const held_mac& held, clock_reading now)
{
    const std::string previous_mac = row->announcement.mac;
    const std::string previous_key = row->key;
    std::vector<std::string>& keys = keys_by_source_[row->first_source];
    index_.erase(row->key);
    keys.erase(std::find(keys.begin(), keys.end(), row->key));
    row->key = row_key(held.announcement, held.source);
    row->mac = normalised_mac(held.announcement);
    index_.emplace(row->key, row);
    keys.push_back(row->key);
    note_claim(*row, held.announcement, held.source, now.monotonic);
    row->announcement = held.announcement;
    row->source = held.source;
    row->source_suspect = is_suspect(held.announcement, held.source, row->first_source);
    update_trusted_host(*row, held.receiving);
    row->last_heard = now;
    rows_.splice(rows_.end(), rows_, row);
    index_datagram(row, held.datagram);
    report_changes(*row, event_kind::changed, now, previous_mac, previous_key);
}

hearing device_table::hear_new(const announcement_record& announcement, const std::string& source,
                               const std::vector<ipv4_subnet>& receiving, std::string_view datagram,
                               clock_reading now)
{
    const auto held = online_by_source_.find(source);
    const admission_decision decision =
        admit_new_row(rows_, held == online_by_source_.end() ? 0 : held->second);
    if (decision.verdict == admission::source_full) {
        return hearing::source_full;
    }
    if (decision.verdict == admission::table_full) {
        return hearing::table_full;
    }
    if (decision.leaves != nullptr) {
        remove_row(index_.at(decision.leaves->key), removal::evicted, now);
    }
    add_row(announcement, source, receiving, now);
    index_datagram(std::prev(rows_.end()), datagram);
    emit(event_kind::new_device, rows_.back(), now);
    return hearing::added;
}

void device_table::add_row(const announcement_record& announcement, const std::string& source,
                           const std::vector<ipv4_subnet>& receiving, clock_reading now)
{
    const std::string key = row_key(announcement, source);
    device_row& row = rows_.emplace_back();
    index_.emplace(key, std::prev(rows_.end()));
    keys_by_source_[source].push_back(key);
    row.key = key;
    row.mac = normalised_mac(announcement);
    row.announcement = announcement;
    row.source = source;
    row.first_source = source;
    row.source_suspect = is_suspect(announcement, source, source);
    row.trusted_host = choose_trusted_host(announcement, source, receiving, &row.trusted_rule);
    note_claim(row, announcement, source, now.monotonic);
    row.first_heard = now.monotonic;
    row.last_heard = now;
    row.online = false;
    set_online(row, true);
    presence_mark(row.presence, now.wall, true);
    row.reported = announcement;
    row.reported_suspect = row.source_suspect ? source : "";
    row.reported_at = now.monotonic;
}

// The event goes out while the row still exists, so that every view can
// say which device left.
void device_table::remove_row(row_list::iterator row, removal reason, clock_reading now)
{
    sink_(event{event_kind::removed, &*row, {}, now, reason});
    set_online(*row, false);
    unindex_datagram(row);
    std::vector<std::string>& keys = keys_by_source_[row->first_source];
    keys.erase(std::find(keys.begin(), keys.end(), row->key));
    if (keys.empty()) {
        keys_by_source_.erase(row->first_source);
    }
    index_.erase(row->key);
    rows_.erase(row);
}

void device_table::report_changes(device_row& row, event_kind kind, clock_reading now,
                                  const std::string& previous_mac, const std::string& previous_key)
{
    event report{kind,
                 &row,
                 differences(row.reported, row.announcement),
                 now,
                 removal::evicted,
                 previous_mac,
                 previous_key};
    const std::string suspect = row.source_suspect ? row.source : "";
    if (suspect != row.reported_suspect) {
        report.changed.emplace_back("source");
    }
    if (row.contested != row.reported_contested) {
        report.changed.emplace_back("contested");
    }
    if (kind == event_kind::changed && report.changed.empty()) {
        return;
    }
    row.reported = row.announcement;
    row.reported_suspect = suspect;
    row.reported_contested = row.contested;
    row.reported_at = now.monotonic;
    sink_(report);
}

void device_table::set_online(device_row& row, bool online)
{
    if (row.online == online) {
        return;
    }
    row.online = online;
    if (online) {
        ++online_;
        ++online_by_source_[row.first_source];
    } else {
        --online_;
        const auto held = online_by_source_.find(row.first_source);
        if (held != online_by_source_.end() && --held->second == 0) {
            online_by_source_.erase(held);
        }
    }
}

void device_table::tick()
{
    const clock_reading now = clock_();
    decide_held(now);
    for (device_row& row : rows_) {
        presence_mark(row.presence, now.wall, row.online);
        end_contest(row, now.monotonic);
        if (row.online && now.monotonic - row.reported_at >= REPORT_PERIOD) {
            report_changes(row, event_kind::changed, now);
        }
    }
    for (auto row = rows_.begin(); row != rows_.end();) {
        if (now.monotonic - row->last_heard.monotonic < OFFLINE_AFTER) {
            break;  // and so is every row after it
        }
        const auto next = std::next(row);
        if (row->online) {
            set_online(*row, false);
            emit(event_kind::offline, *row, now);
        }
        if (is_forgotten(*row, now.monotonic, forget_)) {
            remove_row(row, removal::forgotten, now);
        }
        row = next;
    }
}

void device_table::flush()
{
    const clock_reading now = clock_();
    // Still undecided at the end: heard, so listed.
    for (auto& [key, held] : held_) {
        hear_new(held.announcement, held.source, held.receiving, held.datagram, now);
    }
    held_.clear();
    for (device_row& row : rows_) {
        if (row.online) {
            report_changes(row, event_kind::changed, now);
        }
    }
}

void device_table::record_usb(const std::string& key, usb_listing listing)
{
    const auto found = index_.find(key);
    if (found == index_.end() || found->second->usb == listing ||
        listing.host != found->second->trusted_host ||
        listing.port != found->second->announcement.usbip) {
        return;
    }
    found->second->usb = std::move(listing);
    emit(event_kind::usb, *found->second, clock_());
}

void device_table::record_attachment(const std::string& key, const std::string& busid,
                                     unsigned port)
{
    const auto found = index_.find(key);
    if (found == index_.end()) {
        return;
    }
    std::vector<usb_attachment>& attached = found->second->attached;
    const auto at = std::find_if(attached.begin(), attached.end(),
                                 [&](const usb_attachment& each) { return each.busid >= busid; });
    if (at != attached.end() && *at == usb_attachment{busid, port}) {
        return;
    }
    if (at != attached.end() && at->busid == busid) {
        at->port = port;
    } else {
        attached.insert(at, {busid, port});
    }
    event report{event_kind::attached, &*found->second, {}, clock_()};
    report.busid = busid;
    report.port = port;
    sink_(report);
}

void device_table::record_detachment(const std::string& key, const std::string& busid,
                                     unsigned port, detach_reason why, std::string error)
{
    const auto found = index_.find(key);
    if (found == index_.end()) {
        return;
    }
    std::vector<usb_attachment>& attached = found->second->attached;
    attached.erase(std::remove_if(attached.begin(), attached.end(),
                                  [&](const usb_attachment& each) { return each.busid == busid; }),
                   attached.end());
    event report{event_kind::detached, &*found->second, {}, clock_()};
    report.busid = busid;
    report.port = port;
    report.detached = why;
    report.error = std::move(error);
    sink_(report);
}

void device_table::record_attach_failure(const std::string& key, const std::string& rule,
                                         const std::string& busid, std::string error)
{
    const auto found = index_.find(key);
    if (found == index_.end()) {
        return;
    }
    event report{event_kind::attach_failed, &*found->second, {}, clock_()};
    report.busid = busid;
    report.rule = rule;
    report.error = std::move(error);
    sink_(report);
}

// Wall times map to the monotonic clock through the present, so that the
// offline and forgetting decisions run on as they would have; a time ahead
// of the clock (stepped back since) counts as now.
bool device_table::restore(const known_device& known)
{
    const std::string key = row_key(known.announcement, known.first_source);
    if (index_.count(key) != 0 || rows_.size() >= MAX_DEVICES) {
        return false;
    }
    const clock_reading now = clock_();
    const auto monotonic = [&now](std::chrono::system_clock::time_point wall) {
        return now.monotonic -
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::max(now.wall - wall, std::chrono::system_clock::duration{}));
    };
    const clock_reading last_heard{monotonic(known.last_heard), known.last_heard};
    // Least recently heard first, as everywhere in rows_.
    const auto later =
        std::find_if(rows_.begin(), rows_.end(), [&last_heard](const device_row& row) {
            return row.last_heard.monotonic > last_heard.monotonic;
        });
    const auto row = rows_.emplace(later);
    index_.emplace(key, row);
    keys_by_source_[known.first_source].push_back(key);
    row->key = key;
    row->mac = normalised_mac(known.announcement);
    row->announcement = known.announcement;
    row->source = known.source;
    row->first_source = known.first_source;
    row->source_suspect = is_suspect(known.announcement, known.source, known.first_source);
    row->trusted_host =
        choose_trusted_host(known.announcement, known.source, {}, &row->trusted_rule);
    row->first_heard = monotonic(std::min(known.first_heard, known.last_heard));
    row->last_heard = last_heard;
    row->online = false;
    row->presence = known.presence;
    row->reported = known.announcement;
    row->reported_suspect = row->source_suspect ? known.source : "";
    row->reported_at = row->last_heard.monotonic;
    return true;
}

known_device device_table::known(const device_row& row) const
{
    const clock_reading now = clock_();
    const auto first_heard =
        now.wall - std::chrono::duration_cast<std::chrono::system_clock::duration>(now.monotonic -
                                                                                   row.first_heard);
    return {row.announcement, row.source,          row.first_source,
            first_heard,      row.last_heard.wall, row.presence};
}

const device_row* device_table::find(const std::string& key) const
{
    const auto found = index_.find(key);
    return found != index_.end() ? &*found->second : nullptr;
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

}  // namespace quorvellan::discover
