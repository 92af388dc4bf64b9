// USB device census: counts the attached USB devices (hubs included) named in
// the kernel's USB device directory, leaving out root hubs and interfaces.
#pragma once

#include <cstdint>

namespace quorvellan {

constexpr const char* USB_DEVICES_DIR = "/sys/bus/usb/devices";

// Entries such as 1-1 or 2-1.4.3 count; usb1 and 1-1:1.0 do not. Returns 0
// when the directory cannot be opened.
std::int32_t count_usb_devices(const char* directory);

}  // namespace quorvellan
