// Renders the cycle's announcement record into the datagram text that every
// listener on the beacon port parses.
#pragma once

#include <cstddef>

#include "wire/announcement.h"

namespace quorvellan {

// Writes the one-line JSON object into out (NUL-terminated) and returns its
// length, which is at most ANNOUNCE_CAPACITY - 1. Never fails.
std::size_t render_announcement(const announcement& facts, char (&out)[ANNOUNCE_CAPACITY]);

}  // namespace quorvellan
