// The check of what arrives on a vhci port before any driver sees it: the
// device is attached held back (unauthorized: no configuration, no
// interface, no driver), and is let in only if its own descriptors show what
// was asked for: the rule's vendor:product when it gives one, the ids and
// interfaces the server listed, and HID (which can type commands) only where
// the rule allows it in so many words. Otherwise one line says why, and the
// caller detaches it.
#pragma once

#include <string>

#include "usb/attach_rule.h"
#include "usb/usb_descriptors.h"
#include "usb/usbip_devlist.h"

namespace quorvellan::discover {

constexpr std::uint8_t USB_CLASS_HID = 0x03;

struct arrival_verdict {
    bool authorize = false;
    std::string reason;  // e.g. "refused: 0627:0001 HID, the rule expects 0403:6001"
};

// arrived: the device's descriptors as the kernel read them; listed: the
// server's device list entry for it.
arrival_verdict judge_arrival(const descriptor_reading& arrived, const attach_rule& rule,
                              const usb_export& listed);

// "0627:0001 HID", "46f4:0001 storage": the ids and the kinds of its
// interfaces, for messages.
std::string describe_device(const usb_descriptor_summary& device);

}  // namespace quorvellan::discover
