#include "usb/vhci_authorization.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "usb/vhci_records.h"

namespace quorvellan::discover {
namespace {

constexpr const char* MARKER_PREFIX = "quorvellan-held-";

std::string first_line(std::string text)
{
    return text.substr(0, text.find('\n'));
}

std::string devices_path(const std::string& sysfs)
{
    return sysfs + "/bus/usb/devices/";
}

bool is_vhci_hub(const std::string& sysfs, const std::string& root_hub)
{
    char* real = realpath((devices_path(sysfs) + root_hub).c_str(), nullptr);
    if (real == nullptr) {
        return false;
    }
    const bool vhci = std::strstr(real, "/devices/platform/vhci_hcd.") != nullptr;
    std::free(real);
    return vhci;
}

}  // namespace

std::string arrived_device_path(const std::string& sysfs, const vhci_port& port)
{
    if (port.state != VHCI_PORT_USED || port.local_busid.empty()) {
        return {};
    }
    const std::string path = devices_path(sysfs) + port.local_busid;
    return access((path + "/descriptors").c_str(), R_OK) == 0 ? path : std::string();
}

descriptor_reading read_arrived_device(const std::string& device_path)
{
    std::string raw;
    if (const int error = read_text_file(device_path + "/descriptors", raw); error != 0) {
        descriptor_reading reading;
        reading.error = std::string("descriptors: ") + std::strerror(error);
        return reading;
    }
    return read_usb_descriptors(raw);
}

std::string authorize_device(const std::string& device_path, const attribute_writer& write)
{
    const std::string path = device_path + "/authorized";
    const int error = write(path, "1");
    return error == 0 ? std::string() : file_failure(error, path);
}

new_device_hold::new_device_hold(std::string sysfs, std::string run_dir, attribute_writer write)
    : sysfs_(std::move(sysfs)), run_dir_(std::move(run_dir)), write_(std::move(write))
{
}

std::string new_device_hold::default_path(const std::string& root_hub) const
{
    return devices_path(sysfs_) + root_hub + "/authorized_default";
}

std::string new_device_hold::marker_path(const std::string& root_hub) const
{
    return run_dir_ + "/" + MARKER_PREFIX + root_hub;
}

std::string new_device_hold::hold(const std::string& root_hub)
{
    held& hub = held_[root_hub];
    if (hub.count++ > 0) {
        return {};
    }
    const std::string path = default_path(root_hub);
    std::string setting;
    if (const int error = read_text_file(path, setting); error != 0) {
        held_.erase(root_hub);
        return file_failure(error, path);
    }
    hub.setting = first_line(setting);
    if (hub.setting == "0") {
        return {};  // held already, by the person's own choice
    }
    if (std::string failure = make_run_dir(run_dir_); !failure.empty()) {
        held_.erase(root_hub);
        return failure;
    }
    if (const int error = write_text_file(marker_path(root_hub), hub.setting); error != 0) {
        held_.erase(root_hub);
        return file_failure(error, marker_path(root_hub));
    }
    if (const int error = write_(path, "0"); error != 0) {
        unlink(marker_path(root_hub).c_str());
        held_.erase(root_hub);
        return file_failure(error, path);
    }
    return {};
}

std::string new_device_hold::release(const std::string& root_hub)
{
    const auto hub = held_.find(root_hub);
    if (hub == held_.end() || --hub->second.count > 0) {
        return {};
    }
    const std::string setting = hub->second.setting;
    held_.erase(hub);
    if (setting == "0") {
        return {};
    }
    const std::string path = default_path(root_hub);
    if (const int error = write_(path, setting); error != 0) {
        return file_failure(error, path);  // the marker stays, for the next start
    }
    unlink(marker_path(root_hub).c_str());
    return {};
}

void new_device_hold::restore_left_over()
{
    DIR* directory = opendir(run_dir_.c_str());
    if (directory == nullptr) {
        return;
    }
    std::vector<std::string> hubs;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.compare(0, std::strlen(MARKER_PREFIX), MARKER_PREFIX) == 0) {
            hubs.push_back(name.substr(std::strlen(MARKER_PREFIX)));
        }
    }
    closedir(directory);
    for (const std::string& hub : hubs) {
        // Only onto a hub that is still vhci-hcd's and still held: after the
        // module was loaded again, usbN may be another controller's hub.
        // A marker of a hub not held any more is stale, and goes.
        std::string setting;
        std::string now;
        const bool held = is_vhci_hub(sysfs_, hub) && read_text_file(default_path(hub), now) == 0 &&
                          first_line(now) == "0";
        if (!held || (read_text_file(marker_path(hub), setting) == 0 &&
                      write_(default_path(hub), first_line(setting)) == 0)) {
            unlink(marker_path(hub).c_str());
        }
    }
}

std::vector<unsigned> authorize_others(const std::string& sysfs,
                                       const std::vector<vhci_port>& ports,
                                       const std::vector<unsigned>& ours,
                                       const attribute_writer& write)
{
    std::vector<unsigned> authorized;
    for (const vhci_port& port : ports) {
        const std::string path = arrived_device_path(sysfs, port);
        if (path.empty() || std::find(ours.begin(), ours.end(), port.number) != ours.end()) {
            continue;
        }
        // Bus 3's devices arrive on its root hub, usb3.
        const std::string root_hub = "usb" + port.local_busid.substr(0, port.local_busid.find('-'));
        std::string state;
        std::string setting;
        if (read_text_file(path + "/authorized", state) == 0 && first_line(state) == "0" &&
            read_text_file(devices_path(sysfs) + root_hub + "/authorized_default", setting) == 0 &&
            first_line(setting) == "1" && authorize_device(path, write).empty()) {
            authorized.push_back(port.number);
        }
    }
    return authorized;
}

}  // namespace quorvellan::discover
