// Identity probe: the device's display name, host name, firmware version and
// MAC address, each from the first line of a small file, with defaults.
#pragma once

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

// Fills name, hostname, version and mac; never fails.
void read_identity(announcement& facts, const identity_paths& paths);

}  // namespace quorvellan
