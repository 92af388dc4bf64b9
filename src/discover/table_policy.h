// The device table's policies, each stated once: which row a datagram
// belongs to, who gets a new row and who makes room for it, when a device is
// offline and when it is forgotten, which of its addresses is its web link,
// and when its source address is suspect. device_table applies them; nothing
// else decides them.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "announcement_parser.h"
#include "ipv4.h"

namespace quorvellan::discover {

struct device_row;

// Three missed 3-second cycles: one lost datagram must not flap a device.
constexpr std::chrono::seconds OFFLINE_AFTER{10};
// A device announces every 3 seconds; changes are reported at most once
// a period, so that a device flipping its values cannot flood the output.
constexpr std::chrono::seconds REPORT_PERIOD{3};
// Anyone on the network can invent MAC addresses; this bounds the memory
// such a flood can take.
constexpr std::size_t MAX_DEVICES = 1024;
// A real device speaks from its own address, so one address with several
// online devices is inventing them: it may not add more.
constexpr std::size_t MAX_ONLINE_PER_SOURCE = 4;

// The row a datagram belongs to: its MAC, or its source address when it
// announces none.
std::string row_key(const announcement_record& announcement, const std::string& source);

// Heard in at least two announcement periods: a device that keeps
// announcing, which a flood of invented devices cannot displace.
bool is_established(const device_row& row);

// Whether a datagram that would create a row gets one, and which row leaves
// to make room. Offline rows go first, the longest silent first; then
// newcomers, the longest silent first; an established online device never
// leaves for a newcomer. rows: least recently heard first.
enum class admission { admit, admit_after_eviction, source_full, table_full };
struct admission_decision {
    admission verdict = admission::admit;
    const device_row* leaves = nullptr;  // with admit_after_eviction
};
admission_decision admit_new_row(const std::list<device_row>& rows, std::size_t online_from_source);

// A new MAC from the address and with the host name of a device that is
// online may be that device announcing another of its MACs (its bridge's
// until the radio's interface exists, and after a Wi-Fi restart): the same
// device when the old MAC then falls silent for a period, a device beside it
// when the old MAC keeps speaking. Until then the new MAC is held back.
constexpr std::chrono::seconds MAC_CHANGE_DECIDED_AFTER = REPORT_PERIOD + std::chrono::seconds(1);
bool may_be_same_device(const device_row& known, const announcement_record& fresh,
                        const std::string& source);

// Offline rows are kept this long, then forgotten; nullopt keeps them for
// the whole run (within MAX_DEVICES).
using forget_after = std::optional<std::chrono::seconds>;
bool is_forgotten(const device_row& row, std::chrono::steady_clock::time_point now,
                  forget_after after);

// Where a person can reach the device's web interface, as an address:
// 1. the announced address (ip_ap, then ip_lan) the datagram came from;
// 2. else the announced address in a subnet of the receiving interface;
// 3. else ip_ap, or the source when ip_ap is no IPv4 address.
// rule receives the number of the rule that chose.
std::string choose_web_host(const announcement_record& announcement, const std::string& source,
                            const std::vector<ipv4_subnet>& receiving, int* rule = nullptr);

// Brings a known row's web link up to date with a new datagram: a device
// heard from two of its networks keeps one link rather than flipping between
// them, unless the new one is better reached.
void update_web_host(device_row& row, const std::vector<ipv4_subnet>& receiving);

// Heard from an address it does not announce (or, announcing none, from
// another than the first): a copy of its announcements may be speaking.
bool is_suspect(const announcement_record& announcement, const std::string& source,
                const std::string& first_source);

}  // namespace quorvellan::discover
