// The raw descriptors a USB device gave the kernel (its sysfs "descriptors":
// the device descriptor, then every configuration whole), read into what
// the attach check compares: the ids, and the class of every interface in
// every configuration and alternate setting. They come from the device,
// which may be anyone's, so every length is checked and a fault refuses the
// whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "usb/usbip_devlist.h"

namespace quorvellan::discover {

struct usb_configuration_summary {
    std::uint8_t value = 0;                    // bConfigurationValue
    std::vector<usb_class_triple> interfaces;  // alternate setting 0 of each, in order
    std::vector<std::uint8_t> every_class;     // of every alternate setting
};

struct usb_descriptor_summary {
    std::uint16_t vendor_id = 0;
    std::uint16_t product_id = 0;
    usb_class_triple device_class;
    std::vector<usb_configuration_summary> configurations;

    // Whether the device or any interface of any configuration or alternate
    // setting is of the class.
    bool has_class(std::uint8_t code) const;
};

struct descriptor_reading {
    usb_descriptor_summary summary;
    std::string error;  // what is wrong with them, when something is
};

descriptor_reading read_usb_descriptors(std::string_view raw);

}  // namespace quorvellan::discover
