#include "table_policy.h"

#include "ascii_case.h"
#include "device_table.h"

namespace quorvellan::discover {
namespace {

bool announces(const announcement_record& a, const std::string& address)
{
    return (a.ip_ap == address && is_ipv4_literal(a.ip_ap)) ||
           (a.ip_lan == address && is_ipv4_literal(a.ip_lan));
}

}  // namespace

// Prefixed so that a MAC written like an address cannot take over the row of
// a device that is keyed by its address; lowered in ASCII, so that one
// device's MAC in two spellings stays one row in every run.
std::string row_key(const announcement_record& announcement, const std::string& source)
{
    if (announcement.mac.empty()) {
        return "from " + source;
    }
    std::string key = "mac ";
    for (const char c : announcement.mac) {
        key += ascii_lower(c);
    }
    return key;
}

bool is_established(const device_row& row)
{
    return row.last_heard.monotonic - row.first_heard >= REPORT_PERIOD;
}

admission_decision admit_new_row(const std::list<device_row>& rows, std::size_t online_from_source)
{
    if (online_from_source >= MAX_ONLINE_PER_SOURCE) {
        return {admission::source_full, nullptr};
    }
    if (rows.size() < MAX_DEVICES) {
        return {admission::admit, nullptr};
    }
    const device_row* newcomer = nullptr;
    for (const device_row& row : rows) {
        if (!row.online) {
            return {admission::admit_after_eviction, &row};
        }
        if (newcomer == nullptr && !is_established(row)) {
            newcomer = &row;
        }
    }
    return newcomer != nullptr ? admission_decision{admission::admit_after_eviction, newcomer}
                               : admission_decision{admission::table_full, nullptr};
}

bool may_be_same_device(const device_row& known, const announcement_record& fresh,
                        const std::string& source)
{
    return known.online && !known.announcement.mac.empty() && !fresh.mac.empty() &&
           known.source == source && known.announcement.hostname == fresh.hostname &&
           row_key(fresh, source) != known.key;
}

bool is_forgotten(const device_row& row, std::chrono::steady_clock::time_point now,
                  forget_after after)
{
    return after && !row.online && now - row.last_heard.monotonic >= *after;
}

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

void update_web_host(device_row& row, const std::vector<ipv4_subnet>& receiving)
{
    int rule = 3;
    std::string host = choose_web_host(row.announcement, row.source, receiving, &rule);
    if (!(announces(row.announcement, row.web_host) && row.web_rule <= rule)) {
        row.web_host = std::move(host);
        row.web_rule = rule;
    }
}

// The source is not an announced fact: a device on two networks, or heard
// through both its directed and its limited broadcast, reaches a listener
// from each of its addresses, and that is no change of the device. An
// address it does not claim is worth a word, though.
bool is_suspect(const announcement_record& announcement, const std::string& source,
                const std::string& first_source)
{
    if (!is_ipv4_literal(announcement.ip_ap) && !is_ipv4_literal(announcement.ip_lan)) {
        return source != first_source;
    }
    return !announces(announcement, source);
}

}  // namespace quorvellan::discover
