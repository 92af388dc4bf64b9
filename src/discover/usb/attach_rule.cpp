#include "usb/attach_rule.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/ascii_case.h"
#include "usb/sysfs_attribute.h"

namespace quorvellan::discover {
namespace {

constexpr std::string_view HID_SUFFIX = "+hid";

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_digits(std::string_view text)
{
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

std::string_view trimmed(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// aa:bb:cc:dd:ee:ff, any case.
bool is_mac(std::string_view text)
{
    if (text.size() != 17) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i % 3 == 2 ? text[i] != ':' : !is_hex(text[i])) {
            return false;
        }
    }
    return true;
}

// vvvv:pppp, four hex digits each.
std::optional<usb_ids> ids_of(std::string_view text)
{
    if (text.size() != 9 || text[4] != ':') {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i != 4 && !is_hex(text[i])) {
            return std::nullopt;
        }
    }
    const std::string digits(text);
    return usb_ids{
        static_cast<std::uint16_t>(std::strtoul(digits.substr(0, 4).c_str(), nullptr, 16)),
        static_cast<std::uint16_t>(std::strtoul(digits.substr(5).c_str(), nullptr, 16))};
}

// A Linux bus id: bus-port, then .port per hub on the way (1-1.2).
bool is_bus_id(std::string_view text)
{
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos || !is_digits(text.substr(0, dash))) {
        return false;
    }
    std::string_view ports = text.substr(dash + 1);
    for (;;) {
        const std::size_t dot = ports.find('.');
        if (!is_digits(ports.substr(0, dot))) {
            return false;
        }
        if (dot == std::string_view::npos) {
            return true;
        }
        ports = ports.substr(dot + 1);
    }
}

bool has_control(std::string_view text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return true;
        }
    }
    return false;
}

// The rule as a message may show it: control characters as '?'.
std::string shown(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return out;
}

rule_reading refused(std::string_view text, const std::string& why)
{
    return {std::nullopt, "attach rule '" + shown(text) + "': " + why};
}

}  // namespace

std::string format_ids(usb_ids ids)
{
    char text[10];
    std::snprintf(text, sizeof text, "%04x:%04x", ids.vendor, ids.product);
    return text;
}

rule_reading parse_attach_rule(std::string_view text)
{
    const std::string_view rule_text = trimmed(text);
    if (has_control(rule_text)) {
        return refused(text, "control characters have no place in a rule");
    }
    const std::size_t slash = rule_text.rfind('/');
    if (slash == std::string_view::npos) {
        return refused(text,
                       "not DEVICE/USB, e.g. 52:54:00:5a:00:01/1-1.2 or lab-router/0403:6001");
    }
    attach_rule rule;
    rule.text = std::string(rule_text);
    const std::string_view device = trimmed(rule_text.substr(0, slash));
    std::string_view usb = trimmed(rule_text.substr(slash + 1));
    if (device.empty()) {
        return refused(text, "no device before the '/': its MAC, display name or host name");
    }
    if (is_mac(device)) {
        rule.kind = attach_rule::device_kind::mac;
        rule.device = std::string(device);
        for (char& c : rule.device) {
            c = ascii_lower(c);
        }
    } else {
        rule.kind = attach_rule::device_kind::name;
        rule.device = std::string(device);
    }
    const std::size_t plus = usb.find('+');
    if (plus != std::string_view::npos) {
        if (!ascii_equal_ignoring_case(usb.substr(plus), HID_SUFFIX)) {
            return refused(text, "'" + std::string(usb.substr(plus)) + "' is not +hid");
        }
        rule.allow_hid = true;
        usb = usb.substr(0, plus);
    }
    if (std::optional<usb_ids> ids = ids_of(usb)) {
        rule.ids = ids;
    } else if (is_bus_id(usb)) {
        rule.busid = std::string(usb);
    } else {
        return refused(text, "'" + std::string(usb) +
                                 "' is neither a bus id (1-1.2) nor vendor:product (0403:6001)");
    }
    return {std::move(rule), {}};
}

rules_reading parse_attach_rules(std::string_view text, const std::string& name)
{
    rules_reading reading;
    std::size_t line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const std::size_t end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        rule_reading rule = parse_attach_rule(line);
        if (!rule.rule) {
            reading.rules.clear();
            reading.error = name + ":" + std::to_string(line_number) + ": " + rule.error;
            return reading;
        }
        reading.rules.push_back(std::move(*rule.rule));
    }
    return reading;
}

rules_reading read_attach_rules(const std::string& path)
{
    std::string text;
    if (const int error = read_text_file(path, text); error != 0) {
        rules_reading reading;
        reading.error = path + ": " + std::strerror(error);
        return reading;
    }
    return parse_attach_rules(text, path);
}

}  // namespace quorvellan::discover
