#include "usb/usb_descriptors.h"

#include <algorithm>

namespace quorvellan::discover {
namespace {

constexpr std::uint8_t DEVICE_DESCRIPTOR = 1;
constexpr std::uint8_t CONFIGURATION_DESCRIPTOR = 2;
constexpr std::uint8_t INTERFACE_DESCRIPTOR = 4;
constexpr std::size_t DEVICE_DESCRIPTOR_BYTES = 18;
constexpr std::size_t CONFIGURATION_DESCRIPTOR_BYTES = 9;
constexpr std::size_t INTERFACE_DESCRIPTOR_BYTES = 9;

std::uint16_t little_endian_16(const unsigned char* at)
{
    return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

// The descriptors inside one configuration, after its own; "" or the fault.
std::string read_configuration(const unsigned char* at, std::size_t size,
                               usb_configuration_summary& configuration)
{
    for (std::size_t offset = at[0]; offset < size;) {
        const std::size_t length = at[offset];
        if (length < 2 || length > size - offset) {
            return "a descriptor runs past its configuration";
        }
        if (at[offset + 1] == INTERFACE_DESCRIPTOR) {
            if (length < INTERFACE_DESCRIPTOR_BYTES) {
                return "an interface descriptor too short";
            }
            const unsigned char* interface = at + offset;
            configuration.every_class.push_back(interface[5]);
            if (interface[3] == 0) {  // bAlternateSetting
                configuration.interfaces.push_back({interface[5], interface[6], interface[7]});
            }
        }
        offset += length;
    }
    return {};
}

}  // namespace

bool usb_descriptor_summary::has_class(std::uint8_t code) const
{
    if (device_class.code == code) {
        return true;
    }
    return std::any_of(configurations.begin(), configurations.end(),
                       [code](const usb_configuration_summary& configuration) {
                           const auto& classes = configuration.every_class;
                           return std::find(classes.begin(), classes.end(), code) != classes.end();
                       });
}

descriptor_reading read_usb_descriptors(std::string_view raw)
{
    descriptor_reading reading;
    const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
    if (raw.size() < DEVICE_DESCRIPTOR_BYTES || bytes[0] < DEVICE_DESCRIPTOR_BYTES ||
        bytes[1] != DEVICE_DESCRIPTOR || bytes[0] > raw.size()) {
        reading.error = "no device descriptor";
        return reading;
    }
    usb_descriptor_summary& summary = reading.summary;
    summary.device_class = {bytes[4], bytes[5], bytes[6]};
    summary.vendor_id = little_endian_16(bytes + 8);
    summary.product_id = little_endian_16(bytes + 10);
    for (std::size_t at = bytes[0]; at < raw.size();) {
        const std::size_t left = raw.size() - at;
        if (left < CONFIGURATION_DESCRIPTOR_BYTES || bytes[at] < CONFIGURATION_DESCRIPTOR_BYTES ||
            bytes[at + 1] != CONFIGURATION_DESCRIPTOR) {
            reading.error = "no configuration descriptor where one belongs";
            return reading;
        }
        const std::size_t total = little_endian_16(bytes + at + 2);
        if (total < bytes[at] || total > left) {
            reading.error = "a configuration whose length is not its own";
            return reading;
        }
        usb_configuration_summary& configuration = summary.configurations.emplace_back();
        configuration.value = bytes[at + 5];
        if (std::string fault = read_configuration(bytes + at, total, configuration);
            !fault.empty()) {
            reading.error = std::move(fault);
            return reading;
        }
        at += total;
    }
    return reading;
}

}  // namespace quorvellan::discover
