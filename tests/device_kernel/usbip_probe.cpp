// Asks a USB/IP server for the devices it shares, through the listener's
// own query, schedule-free, and prints the outcome with the devices named
// from this machine's database as one JSON object, for the device-kernel
// test to hold against the real server and its own client.
//   usbip_probe ADDRESS [PORT]
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "usb_names.h"
#include "usbip_query.h"

namespace {

using namespace quorvellan::discover;
using std::chrono::steady_clock;

std::string hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

std::string triple(const usb_class_triple& classes)
{
    return hex(classes.code, 2) + "/" + hex(classes.subclass, 2) + "/" + hex(classes.protocol, 2);
}

nlohmann::json describe_device(const usb_export& device)
{
    nlohmann::json interfaces = nlohmann::json::array();
    for (const usb_class_triple& interface : device.interfaces) {
        interfaces.push_back(triple(interface));
    }
    return {{"busid", device.busid},
            {"vendor", hex(device.vendor_id, 4)},
            {"product", hex(device.product_id, 4)},
            {"vendor_name", device.vendor_name},
            {"product_name", device.product_name},
            {"class", device.class_name},
            {"device_class", triple(device.device_class)},
            {"speed", usb_speed_name(device.speed)},
            {"configuration", device.configuration},
            {"interfaces", interfaces}};
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: usbip_probe ADDRESS [PORT]\n";
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(argc == 3 ? std::atoi(argv[2]) : 3240);
    const auto start = steady_clock::now();
    usbip_query query(argv[1], port, start);
    while (query.outcome() == usbip_outcome::pending) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(query.deadline() - steady_clock::now());
        pollfd waiting = {query.fd(), query.events(), 0};
        poll(&waiting, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
        query.step(steady_clock::now());
    }
    const std::chrono::duration<double, std::milli> took = steady_clock::now() - start;
    const usb_name_database names;
    nlohmann::json devices = nlohmann::json::array();
    for (usb_export device : query.devices()) {
        names.name(device);
        devices.push_back(describe_device(device));
    }
    std::cout << nlohmann::json{{"outcome", describe(query.outcome())},
                                {"reason", query.reason()},
                                {"milliseconds", took.count()},
                                {"devices", devices}}
              << std::endl;
    return 0;
}
