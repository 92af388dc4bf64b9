// The line a person types to attach a device's shared USB device, made once
// for every view that offers it: the live view, the --json lines and the
// page.
#pragma once

#include <string>

#include "table/device_row.h"

namespace quorvellan::discover {

// The USB/IP clients a line is written for: Linux's usbip, run as root,
// and usbip-win2's usbip.exe on Windows.
enum class usbip_client { linux_usbip, windows_usbip_win2 };

// "sudo usbip attach -r ADDRESS -b BUSID" (or "usbip.exe attach ..."), at
// the device's trusted host, with "--tcp-port PORT" before "attach" when
// its server is not on usbip's port. Only for a row that offers_attach.
std::string usb_attach_command(const device_row& row, const usb_export& device,
                               usbip_client client = usbip_client::linux_usbip);

}  // namespace quorvellan::discover
