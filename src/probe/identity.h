// Identity probe: the device's display name, host name, firmware version and
// MAC address, each from the first line of a small file, with defaults.
#pragma once

#include <cstddef>

#include "wire/announcement.h"

namespace quorvellan {

// The files the probe reads; tests pass their own.
struct identity_paths {
    const char* name;
    const char* hostname;
    const char* version;
    const char* mac;           // tried first
    const char* mac_fallback;  // tried only when the first cannot be opened
};

extern const identity_paths DEVICE_IDENTITY_PATHS;

// What a device announces when its files say nothing.
constexpr const char* DEFAULT_NAME = "Quorvellan Link";
constexpr const char* DEFAULT_HOSTNAME = "quorvellan";
constexpr const char* DEFAULT_VERSION = "unknown";

enum class line_result { unopened, no_line, read };

// Reads at most capacity - 1 bytes of the file's first line (line feed kept)
// into buffer, always NUL-terminated. The file is closed on every path.
line_result read_first_line(const char* path, char* buffer, std::size_t capacity);

// Fills name, hostname, version and mac; never fails.
void read_identity(announcement& facts, const identity_paths& paths = DEVICE_IDENTITY_PATHS);

}  // namespace quorvellan
