#include "usb/arrival_check.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace quorvellan::discover {
namespace {

// Short names of the classes a person recognises; the rest by number.
std::string class_word(std::uint8_t code)
{
    switch (code) {
        case 0x01:
            return "audio";
        case 0x02:
            return "communications";
        case USB_CLASS_HID:
            return "HID";
        case 0x06:
            return "image";
        case 0x07:
            return "printer";
        case 0x08:
            return "storage";
        case 0x09:
            return "hub";
        case 0x0a:
            return "CDC data";
        case 0x0b:
            return "smart card";
        case 0x0e:
            return "video";
        case 0xe0:
            return "wireless";
        case 0xff:
            return "vendor-specific";
        default:
            break;
    }
    char text[16];
    std::snprintf(text, sizeof text, "class %02x", code);
    return text;
}

// The words for the classes, each once, in order: "HID", "storage, HID".
std::string class_words(const std::vector<std::uint8_t>& classes)
{
    std::vector<std::uint8_t> seen;
    std::string words;
    for (const std::uint8_t code : classes) {
        if (std::find(seen.begin(), seen.end(), code) != seen.end()) {
            continue;
        }
        seen.push_back(code);
        words += (words.empty() ? "" : ", ") + class_word(code);
    }
    return words;
}

std::vector<std::uint8_t> codes_of(const std::vector<usb_class_triple>& interfaces)
{
    std::vector<std::uint8_t> codes;
    for (const usb_class_triple& interface : interfaces) {
        codes.push_back(interface.code);
    }
    return codes;
}

arrival_verdict refuse(const usb_descriptor_summary& device, const std::string& why)
{
    return {false, "refused: " + describe_device(device) + why};
}

}  // namespace

std::string describe_device(const usb_descriptor_summary& device)
{
    std::vector<std::uint8_t> classes;
    // 0: the interfaces say; 0xef: "miscellaneous", which says nothing either.
    if (device.device_class.code != 0 && device.device_class.code != 0xef) {
        classes.push_back(device.device_class.code);
    }
    for (const usb_configuration_summary& configuration : device.configurations) {
        classes.insert(classes.end(), configuration.every_class.begin(),
                       configuration.every_class.end());
    }
    const std::string ids = format_ids({device.vendor_id, device.product_id});
    const std::string words = class_words(classes);
    return words.empty() ? ids : ids + " " + words;
}

arrival_verdict judge_arrival(const descriptor_reading& arrived, const attach_rule& rule,
                              const usb_export& listed)
{
    if (!arrived.error.empty()) {
        return {false, "refused: its descriptors do not read: " + arrived.error};
    }
    const usb_descriptor_summary& device = arrived.summary;
    const usb_ids ids{device.vendor_id, device.product_id};
    if (rule.ids && !(*rule.ids == ids)) {
        return refuse(device, ", the rule expects " + format_ids(*rule.ids));
    }
    if (!(usb_ids{listed.vendor_id, listed.product_id} == ids)) {
        return refuse(device,
                      ", the server listed " + format_ids({listed.vendor_id, listed.product_id}));
    }
    if (device.has_class(USB_CLASS_HID) && !rule.allow_hid) {
        return refuse(device, ": HID only with a rule that ends in +hid");
    }
    if (!(listed.device_class == device.device_class)) {
        return refuse(device, ", the server listed another device class");
    }
    // Interfaces are listed only for a configured device, of its configuration.
    if (listed.configuration != 0 && !listed.interfaces.empty()) {
        const auto configuration = std::find_if(
            device.configurations.begin(), device.configurations.end(),
            [&](const usb_configuration_summary& c) { return c.value == listed.configuration; });
        if (configuration == device.configurations.end() ||
            !(configuration->interfaces == listed.interfaces)) {
            return refuse(device,
                          ", the server listed " + class_words(codes_of(listed.interfaces)));
        }
    }
    return {true, "authorized: " + describe_device(device)};
}

}  // namespace quorvellan::discover
