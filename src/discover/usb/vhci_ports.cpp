#include "usb/vhci_ports.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace quorvellan::discover {
namespace {

constexpr const char* NOT_LOADED = "vhci-hcd is not loaded: modprobe vhci-hcd";

// One line of the errno that a read or write of vhci-hcd's attributes got.
std::string attribute_failure(int error, const std::string& path)
{
    if (error == ENOENT) {
        return NOT_LOADED;
    }
    return file_failure(error, path);
}

std::string status_path(const std::string& sysfs, unsigned controller)
{
    std::string path = vhci_controller_path(sysfs, 0) + "/status";
    return controller == 0 ? path : path + "." + std::to_string(controller);
}

}  // namespace

const char* hub_name(vhci_hub hub)
{
    return hub == vhci_hub::super_speed ? "ss" : "hs";
}

vhci_hub hub_for_speed(std::uint32_t usb_speed)
{
    // 5: super speed, 6: super speed plus; everything below goes on USB 2.
    return usb_speed >= 5 ? vhci_hub::super_speed : vhci_hub::high_speed;
}

bool vhci_port::operator==(const vhci_port& other) const
{
    return number == other.number && controller == other.controller && hub == other.hub &&
           state == other.state && speed == other.speed && devid == other.devid &&
           local_busid == other.local_busid;
}

// Lines as "hs  0000 006 002 00010002 000003 3-1": hub, port, state, speed,
// devid in hex, the socket's descriptor number, the local bus id ("0-0"
// while there is none).
std::vector<vhci_port> parse_vhci_status(std::string_view text, unsigned controller)
{
    std::vector<vhci_port> ports;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string hub;
        vhci_port port;
        std::string devid;
        std::string sockfd;
        if (!(fields >> hub >> port.number >> port.state >> port.speed >> devid >> sockfd >>
              port.local_busid) ||
            (hub != "hs" && hub != "ss")) {
            continue;
        }
        port.controller = controller;
        port.hub = hub == "ss" ? vhci_hub::super_speed : vhci_hub::high_speed;
        port.devid = static_cast<std::uint32_t>(std::strtoul(devid.c_str(), nullptr, 16));
        if (port.local_busid == "0-0") {
            port.local_busid.clear();
        }
        ports.push_back(std::move(port));
    }
    return ports;
}

vhci_listing read_vhci_ports(const std::string& sysfs)
{
    vhci_listing listing;
    for (unsigned controller = 0;; ++controller) {
        const std::string path = status_path(sysfs, controller);
        std::string text;
        if (const int error = read_text_file(path, text); error != 0) {
            if (controller == 0) {
                listing.error = attribute_failure(error, path);
            }
            return listing;
        }
        for (vhci_port& port : parse_vhci_status(text, controller)) {
            listing.ports.push_back(std::move(port));
        }
    }
}

std::string vhci_controller_path(const std::string& sysfs, unsigned controller)
{
    return sysfs + "/devices/platform/vhci_hcd." + std::to_string(controller);
}

std::string vhci_attach_refusal(const std::string& sysfs)
{
    const std::string path = vhci_controller_path(sysfs, 0) + "/attach";
    return access(path.c_str(), W_OK) == 0 ? "" : attribute_failure(errno, path);
}

vhci_attachment vhci_attach(const std::string& sysfs, int sockfd, const usb_export& device,
                            const before_attach& before, const attribute_writer& write)
{
    vhci_listing listing = read_vhci_ports(sysfs);
    if (!listing.error.empty()) {
        return {-1, listing.error};
    }
    const vhci_hub hub = hub_for_speed(device.speed);
    const std::string path = vhci_controller_path(sysfs, 0) + "/attach";
    const std::uint32_t devid = device.busnum << 16 | (device.devnum & 0xffff);
    unsigned on_hub = 0;
    for (const vhci_port& port : listing.ports) {
        if (port.hub != hub) {
            continue;
        }
        ++on_hub;
        if (!port.free()) {
            continue;
        }
        if (before) {
            if (std::string stop = before(port); !stop.empty()) {
                return {-1, std::move(stop)};
            }
        }
        const std::string line = std::to_string(port.number) + " " + std::to_string(sockfd) + " " +
                                 std::to_string(devid) + " " + std::to_string(device.speed);
        const int error = write(path, line);
        if (error == 0) {
            return {static_cast<int>(port.number), {}};
        }
        if (error != EBUSY) {
            return {-1, attribute_failure(error, path)};
        }
    }
    return {-1, std::string("no free vhci port for a ") + usb_speed_name(device.speed) +
                    "-speed device: all " + std::to_string(on_hub) + " of its hub in use"};
}

std::string vhci_root_hub(const std::string& sysfs, const vhci_port& port)
{
    const std::string controller = vhci_controller_path(sysfs, port.controller);
    DIR* directory = opendir(controller.c_str());
    if (directory == nullptr) {
        return {};
    }
    std::string found;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        std::string speed;
        if (name.compare(0, 3, "usb") != 0 ||
            read_text_file(controller + "/" + name + "/speed", speed) != 0) {
            continue;
        }
        // In Mbit/s: 480 for the USB 2 hub, 5000 and up for the USB 3 one.
        const bool super = std::strtoul(speed.c_str(), nullptr, 10) >= 5000;
        if (super == (port.hub == vhci_hub::super_speed)) {
            found = name;
            break;
        }
    }
    closedir(directory);
    return found;
}

std::string vhci_detach(const std::string& sysfs, unsigned port, const attribute_writer& write)
{
    const std::string path = vhci_controller_path(sysfs, 0) + "/detach";
    const int error = write(path, std::to_string(port));
    return error == 0 ? std::string() : attribute_failure(error, path);
}

}  // namespace quorvellan::discover
