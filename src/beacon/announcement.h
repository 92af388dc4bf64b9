// The announcement record of one cycle and its rendering into the datagram
// text that every listener on port 32400 parses.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvellan {

constexpr std::size_t ANNOUNCE_CAPACITY = 512;  // rendered text, NUL included

// Text capacities count the terminating NUL.
struct announcement {
    char name[64];
    char hostname[64];
    char version[32];
    char mac[32];
    char ip_ap[32];
    char ip_lan[32];
    std::int32_t usb_devices;
};

// Most bytes each value may occupy between its quotes once escaped. Sized so
// that the longest possible payload stays within ANNOUNCE_CAPACITY - 1, while
// a value that needs no escaping is never cut.
constexpr std::size_t CARRIED_NAME_MAX = 96;
constexpr std::size_t CARRIED_VERSION_MAX = 48;
constexpr std::size_t CARRIED_MAC_MAX = 48;
constexpr std::size_t CARRIED_ADDRESS_MAX = 15;

// Writes the one-line JSON object into out (NUL-terminated) and returns its
// length, which is at most ANNOUNCE_CAPACITY - 1. Never fails.
std::size_t render_announcement(const announcement& facts, char (&out)[ANNOUNCE_CAPACITY]);

}  // namespace quorvellan
