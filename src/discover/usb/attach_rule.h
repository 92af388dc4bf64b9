// The attach rules a person gives the listener: which shared USB device of
// which device to keep attached. A rule reads DEVICE/USB[+hid]:
//   DEVICE  the device's MAC (recommended: it cannot be taken over by
//           renaming), or its display name or host name, which may hold any
//           printable character, '/' included: the rule splits at its last '/'
//   USB     a bus id on that device's server (1-1.2), or vendor:product
//           in hex (0403:6001)
//   +hid    also a device with a HID interface (keyboard, mouse), which
//           can type commands: never attached without it
// Rules come one per --attach, or one per line of a file, where blank lines
// and lines starting with '#' are left out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvellan::discover {

struct usb_ids {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;

    bool operator==(const usb_ids& other) const
    {
        return vendor == other.vendor && product == other.product;
    }
};

// "0403:6001".
std::string format_ids(usb_ids ids);

struct attach_rule {
    enum class device_kind { mac, name };

    std::string text;  // as written, for messages
    device_kind kind = device_kind::mac;
    std::string device;          // a MAC in lower case, or the name as written
    std::string busid;           // empty when the rule gives ids
    std::optional<usb_ids> ids;  // empty when the rule gives a bus id
    bool allow_hid = false;
};

struct rule_reading {
    std::optional<attach_rule> rule;
    std::string error;  // one line naming the rule, when there is none
};

rule_reading parse_attach_rule(std::string_view text);

struct rules_reading {
    std::vector<attach_rule> rules;
    std::string error;  // one line naming the file, the line and the rule
};

// A rules file's text; name is what its errors call it.
rules_reading parse_attach_rules(std::string_view text, const std::string& name);
rules_reading read_attach_rules(const std::string& path);

}  // namespace quorvellan::discover
