#include "table/table_policy.h"

#include <algorithm>
#include <utility>

#include "base/ascii_case.h"

namespace quorvellan::discover {
namespace {

bool announces(const announcement_record& a, const std::string& address)
{
    return (a.ip_ap == address && is_ipv4_literal(a.ip_ap)) ||
           (a.ip_lan == address && is_ipv4_literal(a.ip_lan));
}

}  // namespace

std::string normalised_mac(const announcement_record& announcement)
{
    std::string mac;
    for (const char c : announcement.mac) {
        mac += ascii_lower(c);
    }
    return mac;
}

// Prefixed so that a MAC written like an address cannot take over the row of
// a device that is keyed by its address.
std::string row_key(const announcement_record& announcement, const std::string& source)
{
    return announcement.mac.empty() ? "from " + source : "mac " + normalised_mac(announcement);
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

namespace {

bool within(std::uint32_t address, std::uint32_t network, int prefix_bits)
{
    return (address ^ network) >> (32 - prefix_bits) == 0;
}

// In a subnet of the receiving interface, and not this machine's own
// address there: a datagram from this machine's address was sent on this
// machine (the kernel drops one that only claims to be), but an address
// merely announced would turn the listener on this machine's own services.
bool in_receiving_subnet(std::uint32_t address, const std::vector<ipv4_subnet>& receiving)
{
    bool inside = false;
    for (const ipv4_subnet& subnet : receiving) {
        if (subnet.address == address) {
            return false;
        }
        inside = inside || subnet.contains(address);
    }
    return inside;
}

}  // namespace

bool is_device_address(std::uint32_t address, const std::vector<ipv4_subnet>& receiving)
{
    if (within(address, 0x00000000, 8) || within(address, 0x7F000000, 8) ||
        within(address, 0xA9FE0000, 16) || within(address, 0xE0000000, 4) ||
        within(address, 0xF0000000, 4)) {
        return false;
    }
    for (const ipv4_subnet& subnet : receiving) {
        const std::uint32_t host_bits = ~subnet.mask;
        const std::uint32_t host = address & host_bits;
        if (host_bits > 1 && subnet.contains(address) && (host == 0 || host == host_bits)) {
            return false;
        }
    }
    return true;
}

std::string choose_trusted_host(const announcement_record& announcement, const std::string& source,
                                const std::vector<ipv4_subnet>& receiving, int* rule)
{
    const auto chose = [&](int number, const std::string& host) {
        if (rule != nullptr) {
            *rule = number;
        }
        return host;
    };
    const auto usable = [&](const std::string& address) {
        return is_ipv4_literal(address) && is_device_address(ipv4_host_order(address), receiving);
    };
    const std::string* announced[] = {&announcement.ip_ap, &announcement.ip_lan};
    for (const std::string* address : announced) {
        if (*address == source && usable(*address)) {
            return chose(1, *address);
        }
    }
    for (const std::string* address : announced) {
        if (usable(*address) && in_receiving_subnet(ipv4_host_order(*address), receiving)) {
            return chose(2, *address);
        }
    }
    return usable(source) ? chose(3, source) : chose(NO_TRUSTED_HOST, "");
}

void update_trusted_host(device_row& row, const std::vector<ipv4_subnet>& receiving)
{
    int rule = NO_TRUSTED_HOST;
    std::string host = choose_trusted_host(row.announcement, row.source, receiving, &rule);
    if (!(announces(row.announcement, row.trusted_host) && row.trusted_rule <= rule)) {
        row.trusted_host = std::move(host);
        row.trusted_rule = rule;
    }
    if (row.usb && (row.usb->host != row.trusted_host || row.usb->port != row.announcement.usbip)) {
        row.usb.reset();
    }
}

bool offers_attach(const device_row& row)
{
    return !row.trusted_host.empty() && !row.contested;
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

namespace {

bool agree(const heard_claim& claim, const announcement_record& announcement,
           const std::string& source)
{
    return claim.ip_ap == announcement.ip_ap && claim.ip_lan == announcement.ip_lan &&
           announces(announcement, source) && announces(announcement, claim.source);
}

}  // namespace

bool note_claim(device_row& row, const announcement_record& announcement, const std::string& source,
                std::chrono::steady_clock::time_point now)
{
    std::vector<heard_claim>& claims = row.claims;
    claims.erase(std::remove_if(claims.begin(), claims.end(),
                                [&](const heard_claim& claim) {
                                    return now - claim.last_heard > CONTEST_WINDOW;
                                }),
                 claims.end());
    auto own = claims.end();
    for (auto claim = claims.begin(); claim != claims.end(); ++claim) {
        const bool same = claim->source == source && claim->ip_ap == announcement.ip_ap &&
                          claim->ip_lan == announcement.ip_lan;
        if (same) {
            own = claim;
        } else if (!agree(*claim, announcement, source)) {
            claim->contradicted = true;
        }
    }
    const bool contest = own != claims.end() && own->contradicted;
    if (own == claims.end()) {
        if (claims.size() >= MAX_CLAIMS_PER_ROW) {
            claims.erase(std::min_element(claims.begin(), claims.end(),
                                          [](const heard_claim& a, const heard_claim& b) {
                                              return a.last_heard < b.last_heard;
                                          }));
        }
        own = claims.insert(claims.end(),
                            heard_claim{source, announcement.ip_ap, announcement.ip_lan, now});
    }
    own->last_heard = now;
    own->contradicted = false;
    if (!contest) {
        return false;
    }
    row.contested_until = now + CONTESTED_FOR;
    return !std::exchange(row.contested, true);
}

void note_repeat(device_row& row, const std::string& source,
                 std::chrono::steady_clock::time_point now)
{
    const announcement_record& a = row.announcement;
    for (heard_claim& claim : row.claims) {
        if (claim.source == source && claim.ip_ap == a.ip_ap && claim.ip_lan == a.ip_lan) {
            claim.last_heard = now;
        }
    }
}

bool end_contest(device_row& row, std::chrono::steady_clock::time_point now)
{
    if (!row.contested || now < row.contested_until) {
        return false;
    }
    row.contested = false;
    return true;
}

}  // namespace quorvellan::discover
