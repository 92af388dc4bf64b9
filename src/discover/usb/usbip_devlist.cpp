#include "usb/usbip_devlist.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace quorvellan::discover {
namespace {

constexpr std::size_t PATH_BYTES = 256;
constexpr std::size_t BUSID_BYTES = 32;

std::uint16_t big_endian_16(const unsigned char* at)
{
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

std::uint32_t big_endian_32(const unsigned char* at)
{
    return static_cast<std::uint32_t>(big_endian_16(at)) << 16 | big_endian_16(at + 2);
}

// Bus ids are port paths such as "1-1.2"; anything else, a shell's
// metacharacters above all, has no place in the attach line a person copies.
bool is_busid(std::string_view text)
{
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                             (c >= 'A' && c <= 'Z') || c == '-' || c == '.' || c == '_' || c == ':';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

// The header's fault, if any; count receives the number of devices.
devlist_fault read_header(const unsigned char* at, std::uint32_t& count)
{
    const usbip_reply_header header = read_reply_header(at);
    if (header.version != USBIP_VERSION) {
        return devlist_fault::wrong_version;
    }
    if (header.code != USBIP_REP_DEVLIST) {
        return devlist_fault::wrong_code;
    }
    if (header.status != 0) {
        return devlist_fault::failure_status;
    }
    count = big_endian_32(at + 8);
    return count > USBIP_MAX_DEVICES ? devlist_fault::too_many_devices : devlist_fault::none;
}

devlist_reply finished(devlist_state state, devlist_fault fault = devlist_fault::none)
{
    devlist_reply reply;
    reply.state = state;
    reply.fault = fault;
    return reply;
}

}  // namespace

bool usb_export::operator==(const usb_export& other) const
{
    return busid == other.busid && busnum == other.busnum && devnum == other.devnum &&
           speed == other.speed && vendor_id == other.vendor_id && product_id == other.product_id &&
           bcd_device == other.bcd_device && device_class == other.device_class &&
           configuration == other.configuration && configurations == other.configurations &&
           interfaces == other.interfaces && vendor_name == other.vendor_name &&
           product_name == other.product_name && class_name == other.class_name;
}

namespace {

// By the number the reply gives, the kernel's enum usb_device_speed: the
// word the JSON keeps, and what a person reads (a bare "full" reads as
// "as fast as it goes", when it is the second slowest).
struct usb_speed {
    const char* name;
    const char* text;
};
const usb_speed USB_SPEEDS[] = {
    {"unknown", "speed unknown"},
    {"low", "low speed (1.5 Mbit/s)"},
    {"full", "full speed (12 Mbit/s)"},
    {"high", "high speed (480 Mbit/s)"},
    {"wireless", "wireless USB (480 Mbit/s)"},
    {"super", "super speed (5 Gbit/s)"},
    {"super_plus", "super speed plus (10 Gbit/s or more)"},
};

const usb_speed& speed_of(std::uint32_t speed)
{
    return speed < std::size(USB_SPEEDS) ? USB_SPEEDS[speed] : USB_SPEEDS[0];
}

}  // namespace

const char* usb_speed_name(std::uint32_t speed)
{
    return speed_of(speed).name;
}

const char* usb_speed_text(std::uint32_t speed)
{
    return speed_of(speed).text;
}

std::string usb_id(std::uint16_t id)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", id);
    return text;
}

const char* describe(devlist_fault fault)
{
    switch (fault) {
        case devlist_fault::none:
            return "no fault";
        case devlist_fault::truncated:
            return "fewer devices than its count";
        case devlist_fault::trailing_bytes:
            return "more bytes than its count allows";
        case devlist_fault::wrong_version:
            return "not USB/IP version 1.1.1";
        case devlist_fault::wrong_code:
            return "not a device list";
        case devlist_fault::failure_status:
            return "the server reported a failure";
        case devlist_fault::too_many_devices:
            return "more devices than any server shares";
        case devlist_fault::unterminated_path:
            return "device path without its end";
        case devlist_fault::unterminated_busid:
            return "bus id without its end";
        case devlist_fault::not_a_busid:
            return "bus id that is none";
        case devlist_fault::duplicate_busid:
            return "bus id listed twice";
    }
    return "unknown fault";
}

usbip_reply_header read_reply_header(const unsigned char* at)
{
    return {big_endian_16(at), big_endian_16(at + 2), big_endian_32(at + 4)};
}

devlist_fault read_device_record(const unsigned char* at, usb_export& device)
{
    const std::string_view path(reinterpret_cast<const char*>(at), PATH_BYTES);
    if (path.find('\0') == std::string_view::npos) {
        return devlist_fault::unterminated_path;
    }
    const std::string_view field(reinterpret_cast<const char*>(at + PATH_BYTES), BUSID_BYTES);
    const std::size_t end = field.find('\0');
    if (end == std::string_view::npos) {
        return devlist_fault::unterminated_busid;
    }
    if (!is_busid(field.substr(0, end))) {
        return devlist_fault::not_a_busid;
    }
    device.busid = std::string(field.substr(0, end));
    const unsigned char* numbers = at + PATH_BYTES + BUSID_BYTES;
    device.busnum = big_endian_32(numbers);
    device.devnum = big_endian_32(numbers + 4);
    device.speed = big_endian_32(numbers + 8);
    device.vendor_id = big_endian_16(numbers + 12);
    device.product_id = big_endian_16(numbers + 14);
    device.bcd_device = big_endian_16(numbers + 16);
    device.device_class = {numbers[18], numbers[19], numbers[20]};
    device.configuration = numbers[21];
    device.configurations = numbers[22];
    return devlist_fault::none;
}

std::array<char, 8> devlist_request()
{
    return {static_cast<char>(USBIP_VERSION >> 8),
            static_cast<char>(USBIP_VERSION & 0xff),
            static_cast<char>(USBIP_REQ_DEVLIST >> 8),
            static_cast<char>(USBIP_REQ_DEVLIST & 0xff),
            0,
            0,
            0,
            0};
}

devlist_reply parse_devlist_reply(std::string_view received, bool ended)
{
    const devlist_reply short_of_bytes =
        finished(ended ? devlist_state::refused : devlist_state::incomplete,
                 ended ? devlist_fault::truncated : devlist_fault::none);
    if (received.size() < USBIP_REPLY_HEADER_BYTES) {
        return short_of_bytes;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(received.data());
    std::uint32_t count = 0;
    if (const devlist_fault fault = read_header(bytes, count); fault != devlist_fault::none) {
        return finished(devlist_state::refused, fault);
    }
    devlist_reply reply = finished(devlist_state::complete);
    reply.devices.reserve(count);
    std::size_t at = USBIP_REPLY_HEADER_BYTES;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (received.size() - at < USBIP_DEVICE_BYTES) {
            return short_of_bytes;
        }
        usb_export& device = reply.devices.emplace_back();
        if (const devlist_fault fault = read_device_record(bytes + at, device);
            fault != devlist_fault::none) {
            return finished(devlist_state::refused, fault);
        }
        // At most USBIP_MAX_DEVICES records: comparing each with those
        // before it stays cheap.
        if (std::any_of(reply.devices.begin(), reply.devices.end() - 1,
                        [&](const usb_export& earlier) { return earlier.busid == device.busid; })) {
            return finished(devlist_state::refused, devlist_fault::duplicate_busid);
        }
        const std::size_t interfaces = bytes[at + USBIP_DEVICE_BYTES - 1];
        at += USBIP_DEVICE_BYTES;
        if (received.size() - at < interfaces * USBIP_INTERFACE_BYTES) {
            return short_of_bytes;
        }
        for (std::size_t k = 0; k < interfaces; ++k, at += USBIP_INTERFACE_BYTES) {
            device.interfaces.push_back({bytes[at], bytes[at + 1], bytes[at + 2]});
        }
    }
    return received.size() > at ? finished(devlist_state::refused, devlist_fault::trailing_bytes)
                                : reply;
}

}  // namespace quorvellan::discover
