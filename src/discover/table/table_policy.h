// The device table's policies, each stated once: which row a datagram
// belongs to, who gets a new row and who makes room for it, when a device is
// offline and when it is forgotten, which address is trusted as the
// device's (its web link, and where its USB/IP server is asked), when its
// source address is suspect, and when two senders contest one row.
// device_table applies them; nothing else decides them.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "table/announcement_parser.h"
#include "table/device_row.h"
#include "table/ipv4.h"

namespace quorvellan::discover {

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

// The announced MAC as a row keeps it: lowered in ASCII, so that one
// device's MAC in two spellings is one device in every run (letters past
// ASCII are kept as they are: what they spell is the sender's to say); ""
// when it announces none.
std::string normalised_mac(const announcement_record& announcement);

// The row a datagram belongs to: its normalised MAC, or its source address
// when it announces none.
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

// Whether an address can be a device's at all. Never 0.0.0.0/8, loopback
// (127.0.0.0/8), link-local (169.254.0.0/16), multicast (224.0.0.0/4) or
// the reserved 240.0.0.0/4 with the limited broadcast in it; nor, in a
// subnet of the receiving interface, that subnet's own network or directed
// broadcast address (a /31 or /32 has none).
bool is_device_address(std::uint32_t address, const std::vector<ipv4_subnet>& receiving);

// The address trusted as the device's: its web link, and the only address
// its USB/IP server is asked at. A datagram's content is anyone's to write,
// so an address it names is trusted only where the network vouches for it:
// 1. the announced address (ip_ap, then ip_lan) the datagram came from;
// 2. else the announced address in a subnet of the receiving interface,
//    but not this machine's own address there;
// 3. else the source address itself;
// each only when is_device_address; "" when none is, and then the device
// has no link and is not asked. rule receives the number of the rule that
// chose (NO_TRUSTED_HOST for none).
std::string choose_trusted_host(const announcement_record& announcement, const std::string& source,
                                const std::vector<ipv4_subnet>& receiving, int* rule = nullptr);

// Brings a known row's trusted host up to date with a new datagram: a
// device heard from two of its networks keeps one rather than flipping
// between them, unless the new one is better reached. Whatever the USB/IP
// server of another address or port said is dropped, so that no attach line
// pairs one server's bus ids with another address.
void update_trusted_host(device_row& row, const std::vector<ipv4_subnet>& receiving);

// Whether the views may offer the line that attaches the row's shared USB
// devices: it has a trusted host and is not contested.
bool offers_attach(const device_row& row);

// Heard from an address it does not announce (or, announcing none, from
// another than the first): a copy of its announcements may be speaking.
bool is_suspect(const announcement_record& announcement, const std::string& source,
                const std::string& first_source);

// A row is contested when two senders speak for its MAC at once: the real
// device and a forger, each naming its own address. A device's claim is its
// source with the addresses it announces; its claims agree when they
// announce the same addresses and each comes from one of them. So a device
// heard from both its networks, or through both its directed and its
// limited broadcast, never contradicts itself. A datagram contradicts every
// other claim heard within CONTEST_WINDOW that does not agree with it; a
// real device's new address does that once and its old claim falls silent,
// but when a contradicted claim speaks again, two senders are at it: the
// row is contested until CONTESTED_FOR has passed without that happening
// again (about 12 s after the second sender stops). An uplink that drops
// and comes back within the window looks the same, and is marked as long.
// While contested, the row offers no attach line and its USB/IP server is
// not asked.
//
// Two announcement periods and a margin: one lost datagram does not hide a
// sender.
constexpr std::chrono::seconds CONTEST_WINDOW = 2 * REPORT_PERIOD + std::chrono::seconds(1);
constexpr std::chrono::seconds CONTESTED_FOR = 3 * REPORT_PERIOD;
// Claims kept per row, so that a flood of forged sources for one MAC takes
// no more room; the longest silent makes way.
constexpr std::size_t MAX_CLAIMS_PER_ROW = 8;

// Notes a datagram of the row's; true when it made the row contested.
bool note_claim(device_row& row, const announcement_record& announcement, const std::string& source,
                std::chrono::steady_clock::time_point now);

// A datagram repeated byte for byte from the address the row last heard.
void note_repeat(device_row& row, const std::string& source,
                 std::chrono::steady_clock::time_point now);

// Ends the contest whose time is up; true when it ended now.
bool end_contest(device_row& row, std::chrono::steady_clock::time_point now);

}  // namespace quorvellan::discover
