#include "announcement_parser.h"

#include <arpa/inet.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "wire/utf8.h"

namespace quorvellan::discover {

using nlohmann::json;

bool announcement_record::operator==(const announcement_record& other) const
{
    return name == other.name && hostname == other.hostname && version == other.version &&
           mac == other.mac && ip_ap == other.ip_ap && ip_lan == other.ip_lan &&
           http == other.http && usbip == other.usbip && usb_devices == other.usb_devices;
}

const char* describe(rejection reason)
{
    switch (reason) {
        case rejection::none:
            return "accepted";
        case rejection::too_large:
            return "datagram over 64 KiB";
        case rejection::invalid_utf8:
            return "invalid UTF-8";
        case rejection::not_json:
            return "not JSON";
        case rejection::not_object:
            return "not a JSON object";
        case rejection::duplicate_member:
            return "duplicate member";
        case rejection::foreign_id:
            return "not a quorvellan_link announcement";
        case rejection::missing_member:
            return "missing member";
        case rejection::wrong_type:
            return "member of the wrong type";
        case rejection::out_of_range:
            return "number out of range";
        case rejection::too_long:
            return "text too long";
        case rejection::not_an_address:
            return "not an IPv4 address";
        case rejection::table_full:
            return "device table full";
    }
    return "unknown";
}

namespace {

parse_result reject(rejection reason, std::string member = {})
{
    parse_result result;
    result.reason = reason;
    result.member = std::move(member);
    return result;
}

// nlohmann keeps the last of repeated keys; two listeners could then read
// different values from one datagram, so a repeat makes it no announcement.
class duplicate_key_watch {
   public:
    explicit duplicate_key_watch(bool* duplicate) : duplicate_(duplicate)
    {
    }

    bool operator()(int /*depth*/, json::parse_event_t event, json& parsed)
    {
        switch (event) {
            case json::parse_event_t::object_start:
                open_objects_.emplace_back();
                break;
            case json::parse_event_t::object_end:
                open_objects_.pop_back();
                break;
            case json::parse_event_t::key:
                if (!open_objects_.back().insert(parsed.get<std::string>()).second) {
                    *duplicate_ = true;
                }
                break;
            default:
                break;
        }
        return true;
    }

   private:
    std::vector<std::set<std::string>> open_objects_;
    bool* duplicate_;
};

// Counts characters, not bytes: the schema's maxLength does, so a name of
// 96 accented letters is as acceptable as one of 96 ASCII letters.
std::size_t character_count(const std::string& text)
{
    std::size_t count = 0;
    for (const char byte : text) {
        count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    }
    return count;
}

}  // namespace

bool is_ipv4_literal(const std::string& text)
{
    // inet_pton reads a C string: a NUL inside would hide what follows it.
    in_addr parsed;
    return text.find('\0') == std::string::npos && inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

parse_result parse_announcement(std::string_view received, std::size_t full_length)
{
    if (full_length > MAX_DATAGRAM_BYTES || received.size() < full_length) {
        return reject(rejection::too_large);
    }
    if (!is_valid_utf8(received.data(), received.size())) {
        return reject(rejection::invalid_utf8);
    }
    bool duplicate = false;
    const json document =
        json::parse(received.begin(), received.end(), duplicate_key_watch(&duplicate), false);
    if (document.is_discarded()) {
        return reject(rejection::not_json);
    }
    if (!document.is_object()) {
        return reject(rejection::not_object);
    }
    if (duplicate) {
        return reject(rejection::duplicate_member);
    }
    const auto id = document.find("id");
    if (id == document.end() || !id->is_string() ||
        id->get_ref<const std::string&>() != ANNOUNCEMENT_ID) {
        return reject(rejection::foreign_id, "id");
    }

    parse_result result;
    // The limits are the published schema's; a device never sends more.
    const auto text = [&](const char* member, std::size_t max_characters, std::string& into) {
        const auto found = document.find(member);
        if (found == document.end()) {
            result = reject(rejection::missing_member, member);
        } else if (!found->is_string()) {
            result = reject(rejection::wrong_type, member);
        } else if (character_count(found->get_ref<const std::string&>()) > max_characters) {
            result = reject(rejection::too_long, member);
        } else {
            into = found->get<std::string>();
            return true;
        }
        return false;
    };
    const auto address = [&](const char* member, std::string& into) {
        if (!text(member, 15, into)) {
            return false;
        }
        if (!into.empty() && !is_ipv4_literal(into)) {
            result = reject(rejection::not_an_address, member);
            return false;
        }
        return true;
    };
    const auto integer = [&](const char* member, std::int64_t low, std::int64_t high,
                             std::int64_t& into) {
        const auto found = document.find(member);
        if (found == document.end()) {
            result = reject(rejection::missing_member, member);
        } else if (!found->is_number_integer()) {
            result = reject(rejection::wrong_type, member);
        } else if (found->is_number_unsigned() &&
                   found->get<std::uint64_t>() >
                       static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            result = reject(rejection::out_of_range, member);
        } else if (found->get<std::int64_t>() < low || found->get<std::int64_t>() > high) {
            result = reject(rejection::out_of_range, member);
        } else {
            into = found->get<std::int64_t>();
            return true;
        }
        return false;
    };
    announcement_record record;
    const bool complete =
        text("name", 96, record.name) && text("hostname", 96, record.hostname) &&
        text("version", 48, record.version) && text("mac", 48, record.mac) &&
        address("ip_ap", record.ip_ap) && address("ip_lan", record.ip_lan) &&
        integer("http", 1, 65535, record.http) && integer("usbip", 1, 65535, record.usbip) &&
        integer("usb_devices", 0, std::numeric_limits<std::int32_t>::max(), record.usb_devices);
    if (complete) {
        result.record = std::move(record);
    }
    return result;
}

}  // namespace quorvellan::discover
