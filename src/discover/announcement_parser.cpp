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
    bool equal = true;
    for_each_field([&](const char*, auto field) { equal = equal && this->*field == other.*field; });
    return equal;
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

namespace {

bool parse_ipv4(const std::string& text, in_addr& parsed)
{
    // inet_pton reads a C string: a NUL inside would hide what follows it.
    return text.find('\0') == std::string::npos && inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

}  // namespace

bool is_ipv4_literal(const std::string& text)
{
    in_addr parsed;
    return parse_ipv4(text, parsed);
}

std::uint32_t ipv4_host_order(const std::string& text)
{
    in_addr parsed{};
    return parse_ipv4(text, parsed) ? ntohl(parsed.s_addr) : 0;
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
    // A constant member that is missing or differs makes it another
    // protocol's datagram, whatever else it holds.
    const auto ours = [&](const char* member, const char* text) {
        const auto found = document.find(member);
        return found != document.end() && found->is_string() &&
               found->get_ref<const std::string&>() == text;
    };
#define QUORVELLAN_PARSE_CONSTANT(member, text)        \
    if (!ours(#member, text)) {                        \
        return reject(rejection::foreign_id, #member); \
    }
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_PARSE_CONSTANT, QUORVELLAN_WIRE_IGNORE,
                                    QUORVELLAN_WIRE_IGNORE, QUORVELLAN_WIRE_IGNORE)
#undef QUORVELLAN_PARSE_CONSTANT

    parse_result result;
    // The limits are the published schema's; a device never sends more.
    // The member when present with the JSON type asked for; otherwise null,
    // with the reason in result.
    const auto typed = [&](const char* member, auto has_type) -> const json* {
        const auto found = document.find(member);
        if (found == document.end()) {
            result = reject(rejection::missing_member, member);
            return nullptr;
        }
        if (!has_type(*found)) {
            result = reject(rejection::wrong_type, member);
            return nullptr;
        }
        return &*found;
    };
    const auto text = [&](const char* member, std::size_t max_characters, text_format format,
                          std::string& into) {
        const json* found = typed(member, [](const json& value) { return value.is_string(); });
        if (found == nullptr) {
            return false;
        }
        const std::string& value = found->get_ref<const std::string&>();
        if (character_count(value) > max_characters) {
            result = reject(rejection::too_long, member);
        } else if (format == text_format::ipv4 && !value.empty() && !is_ipv4_literal(value)) {
            result = reject(rejection::not_an_address, member);
        } else {
            into = value;
            return true;
        }
        return false;
    };
    const auto integer = [&](const char* member, std::int64_t low, std::int64_t high,
                             std::int64_t& into) {
        const json* found =
            typed(member, [](const json& value) { return value.is_number_integer(); });
        if (found == nullptr) {
            return false;
        }
        if (found->is_number_unsigned() &&
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
    bool complete = true;
#define QUORVELLAN_PARSE_TEXT(member, capacity, carried_max, format) \
    complete = complete && text(#member, carried_max, text_format::format, record.member);
#define QUORVELLAN_PARSE_PORT(member, value) \
    complete = complete && integer(#member, PORT_LOWEST, PORT_HIGHEST, record.member);
#define QUORVELLAN_PARSE_COUNT(member) \
    complete = complete && integer(#member, COUNT_LOWEST, COUNT_HIGHEST, record.member);
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_WIRE_IGNORE, QUORVELLAN_PARSE_TEXT,
                                    QUORVELLAN_PARSE_PORT, QUORVELLAN_PARSE_COUNT)
#undef QUORVELLAN_PARSE_TEXT
#undef QUORVELLAN_PARSE_PORT
#undef QUORVELLAN_PARSE_COUNT
    if (complete) {
        result.record = std::move(record);
    }
    return result;
}

}  // namespace quorvellan::discover
