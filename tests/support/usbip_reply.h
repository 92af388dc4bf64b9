// Writes USB/IP device list and import replies for the tests: the records
// as a server sends them, so that each case can then break one thing in the
// bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usb/usbip_devlist.h"

namespace quorvellan::test {

inline void put_big_endian(std::string& out, std::uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<char>(value >> (8 * i) & 0xff));
    }
}

// One device's record with its interfaces; the path is made up.
inline std::string usbip_device_record(const discover::usb_export& device)
{
    std::string path = "/sys/devices/platform/ehci/usb1/" + device.busid;
    path.resize(256, '\0');
    std::string busid = device.busid;
    busid.resize(32, '\0');
    std::string out = path + busid;
    put_big_endian(out, device.busnum, 4);
    put_big_endian(out, device.devnum, 4);
    put_big_endian(out, device.speed, 4);
    put_big_endian(out, device.vendor_id, 2);
    put_big_endian(out, device.product_id, 2);
    put_big_endian(out, device.bcd_device, 2);
    for (std::uint8_t byte :
         {device.device_class.code, device.device_class.subclass, device.device_class.protocol,
          device.configuration, device.configurations,
          static_cast<std::uint8_t>(device.interfaces.size())}) {
        out.push_back(static_cast<char>(byte));
    }
    for (const discover::usb_class_triple& interface : device.interfaces) {
        for (std::uint8_t byte :
             {interface.code, interface.subclass, interface.protocol, std::uint8_t{0}}) {
            out.push_back(static_cast<char>(byte));
        }
    }
    return out;
}

// The whole reply, with the count given or, by default, the devices'.
inline std::string usbip_reply(const std::vector<discover::usb_export>& devices, long count = -1)
{
    std::string out;
    put_big_endian(out, discover::USBIP_VERSION, 2);
    put_big_endian(out, discover::USBIP_REP_DEVLIST, 2);
    put_big_endian(out, 0, 4);
    put_big_endian(out, count < 0 ? devices.size() : static_cast<std::uint32_t>(count), 4);
    for (const discover::usb_export& device : devices) {
        out += usbip_device_record(device);
    }
    return out;
}

// An import reply: the header with the status and, when it is 0, the
// device's record, which counts its interfaces but lists none.
inline std::string usbip_import_reply(discover::usb_export device, std::uint32_t status = 0)
{
    std::string out;
    put_big_endian(out, discover::USBIP_VERSION, 2);
    put_big_endian(out, 0x0003, 2);
    put_big_endian(out, status, 4);
    if (status == 0) {
        const std::size_t interfaces = device.interfaces.size();
        device.interfaces.clear();
        out += usbip_device_record(device);
        out.back() = static_cast<char>(interfaces);
    }
    return out;
}

}  // namespace quorvellan::test
