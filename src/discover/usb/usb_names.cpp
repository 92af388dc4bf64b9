#include "usb/usb_names.h"

#include <libudev.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quorvellan::discover {
namespace {

// The database's keys for USB devices, as udev itself looks them up: ids in
// upper-case hex, and the rest of the device's alias left open.
std::string id_modalias(std::uint16_t vendor_id, std::uint16_t product_id)
{
    char text[32];
    std::snprintf(text, sizeof text, "usb:v%04Xp%04X*", vendor_id, product_id);
    return text;
}

// Class entries match any ids: "usb:v*p*d*dcXX*".
std::string class_modalias(std::uint8_t code)
{
    char text[32];
    std::snprintf(text, sizeof text, "usb:v*p*d*dc%02X*", code);
    return text;
}

}  // namespace

std::vector<usb_class_triple> classes_of(const usb_export& device)
{
    if (device.device_class.code != 0) {
        return {device.device_class};
    }
    std::vector<usb_class_triple> classes;
    for (const usb_class_triple& interface : device.interfaces) {
        const bool seen = std::any_of(
            classes.begin(), classes.end(),
            [&](const usb_class_triple& known) { return known.code == interface.code; });
        if (!seen) {
            classes.push_back(interface);
        }
    }
    return classes;
}

usb_name_database::usb_name_database() : udev_(udev_new())
{
    if (udev_ != nullptr) {
        hwdb_ = udev_hwdb_new(udev_);
    }
}

usb_name_database::~usb_name_database()
{
    if (hwdb_ != nullptr) {
        udev_hwdb_unref(hwdb_);
    }
    if (udev_ != nullptr) {
        udev_unref(udev_);
    }
}

std::string usb_name_database::lookup(const std::string& modalias, const char* key) const
{
    if (hwdb_ == nullptr) {
        return {};
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_hwdb_get_properties_list_entry(hwdb_, modalias.c_str(), 0))
    {
        if (std::strcmp(udev_list_entry_get_name(entry), key) == 0) {
            const char* value = udev_list_entry_get_value(entry);
            return value != nullptr ? value : "";
        }
    }
    return {};
}

std::string usb_name_database::vendor(std::uint16_t vendor_id) const
{
    return lookup(id_modalias(vendor_id, 0), "ID_VENDOR_FROM_DATABASE");
}

std::string usb_name_database::product(std::uint16_t vendor_id, std::uint16_t product_id) const
{
    return lookup(id_modalias(vendor_id, product_id), "ID_MODEL_FROM_DATABASE");
}

std::string usb_name_database::class_name(std::uint8_t code) const
{
    return lookup(class_modalias(code), "ID_USB_CLASS_FROM_DATABASE");
}

void usb_name_database::name(usb_export& device) const
{
    device.vendor_name = vendor(device.vendor_id);
    device.product_name = product(device.vendor_id, device.product_id);
    device.class_name.clear();
    for (const usb_class_triple& named : classes_of(device)) {
        const std::string text = class_name(named.code);
        if (!text.empty()) {
            device.class_name += (device.class_name.empty() ? "" : ", ") + text;
        }
    }
}

}  // namespace quorvellan::discover
