#include "table/attach_command.h"

#include <cstdint>

namespace quorvellan::discover {

std::string usb_attach_command(const device_row& row, const usb_export& device, usbip_client client)
{
    // The port both clients connect to unless told otherwise.
    constexpr std::int64_t USBIP_TOOL_PORT = 3240;
    const std::int64_t port = row.announcement.usbip;
    return std::string(client == usbip_client::linux_usbip ? "sudo usbip " : "usbip.exe ") +
           (port == USBIP_TOOL_PORT ? "" : "--tcp-port " + std::to_string(port) + " ") +
           "attach -r " + row.trusted_host + " -b " + device.busid;
}

}  // namespace quorvellan::discover
