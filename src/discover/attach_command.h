// The line a person types to attach a device's shared USB device, made once
// for every view that offers it.
#pragma once

#include <string>

#include "device_row.h"

namespace quorvellan::discover {

// "sudo usbip attach -r ADDRESS -b BUSID", at the device's trusted host,
// with "--tcp-port PORT" before "attach" when its server is not on usbip's
// port. Only for a row that offers_attach.
std::string usb_attach_command(const device_row& row, const usb_export& device);

}  // namespace quorvellan::discover
