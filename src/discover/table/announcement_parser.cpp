#include "table/announcement_parser.h"

#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "table/ipv4.h"
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
            return "datagram over 2 KiB";
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

const char* identify(rejection reason)
{
    static const char* const names[REJECTION_COUNT] = {
        "none",       "too_large",        "invalid_utf8", "not_json",
        "not_object", "duplicate_member", "foreign_id",   "missing_member",
        "wrong_type", "out_of_range",     "too_long",     "not_an_address",
    };
    return names[static_cast<std::size_t>(reason)];
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

// Each member's reader returns why the member makes the datagram no
// announcement, or rejection::none with the value stored.

// The member when present with the JSON type asked for, else null and why.
template <typename HasType>
const json* find_typed(const json& document, const char* member, HasType has_type,
                       rejection& reason)
{
    const auto found = document.find(member);
    if (found == document.end()) {
        reason = rejection::missing_member;
        return nullptr;
    }
    if (!has_type(*found)) {
        reason = rejection::wrong_type;
        return nullptr;
    }
    return &*found;
}

// A constant member that is missing or differs makes it another protocol's
// datagram, whatever else it holds.
rejection read_constant(const json& document, const char* member, const char* text)
{
    const auto found = document.find(member);
    const bool ours = found != document.end() && found->is_string() &&
                      found->get_ref<const std::string&>() == text;
    return ours ? rejection::none : rejection::foreign_id;
}

// The limits are the published schema's; a device never sends more.
rejection read_text(const json& document, const char* member, std::size_t max_characters,
                    text_format format, std::string& into)
{
    rejection reason = rejection::none;
    const json* found = find_typed(
        document, member, [](const json& v) { return v.is_string(); }, reason);
    if (found == nullptr) {
        return reason;
    }
    const std::string& value = found->get_ref<const std::string&>();
    if (character_count(value) > max_characters) {
        return rejection::too_long;
    }
    if (format == text_format::ipv4 && !value.empty() && !is_ipv4_literal(value)) {
        return rejection::not_an_address;
    }
    into = value;
    return rejection::none;
}

rejection read_integer(const json& document, const char* member, std::int64_t low,
                       std::int64_t high, std::int64_t& into)
{
    rejection reason = rejection::none;
    const json* found = find_typed(
        document, member, [](const json& v) { return v.is_number_integer(); }, reason);
    if (found == nullptr) {
        return reason;
    }
    if (found->is_number_unsigned() &&
        found->get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return rejection::out_of_range;
    }
    const std::int64_t value = found->get<std::int64_t>();
    if (value < low || value > high) {
        return rejection::out_of_range;
    }
    into = value;
    return rejection::none;
}

// The document as one JSON object without repeated members, or why not.
rejection read_object(std::string_view received, json& document)
{
    bool duplicate = false;
    document =
        json::parse(received.begin(), received.end(), duplicate_key_watch(&duplicate), false);
    if (document.is_discarded()) {
        return rejection::not_json;
    }
    if (!document.is_object()) {
        return rejection::not_object;
    }
    return duplicate ? rejection::duplicate_member : rejection::none;
}

// Every member in wire order, the constants first so that another
// protocol's datagram is named as such; the first member at fault decides.
parse_result read_members(const json& document)
{
    parse_result result;
    announcement_record& record = result.record;
#define QUORVELLAN_READ(member, read)                                 \
    if (const rejection reason = (read); reason != rejection::none) { \
        return reject(reason, #member);                               \
    }
#define QUORVELLAN_READ_CONSTANT(member, text) \
    QUORVELLAN_READ(member, read_constant(document, #member, text))
#define QUORVELLAN_READ_TEXT(member, capacity, carried_max, format) \
    QUORVELLAN_READ(member,                                         \
                    read_text(document, #member, carried_max, text_format::format, record.member))
#define QUORVELLAN_READ_PORT(member, value) \
    QUORVELLAN_READ(member,                 \
                    read_integer(document, #member, PORT_LOWEST, PORT_HIGHEST, record.member))
#define QUORVELLAN_READ_COUNT(member) \
    QUORVELLAN_READ(member,           \
                    read_integer(document, #member, COUNT_LOWEST, COUNT_HIGHEST, record.member))
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_READ_CONSTANT, QUORVELLAN_WIRE_IGNORE,
                                    QUORVELLAN_WIRE_IGNORE, QUORVELLAN_WIRE_IGNORE)
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_WIRE_IGNORE, QUORVELLAN_READ_TEXT,
                                    QUORVELLAN_READ_PORT, QUORVELLAN_READ_COUNT)
#undef QUORVELLAN_READ
#undef QUORVELLAN_READ_CONSTANT
#undef QUORVELLAN_READ_TEXT
#undef QUORVELLAN_READ_PORT
#undef QUORVELLAN_READ_COUNT
    return result;
}

}  // namespace

parse_result parse_announcement(std::string_view received, std::size_t full_length)
{
    // The cheap refusals first: size, then encoding, before any parsing.
    if (full_length > MAX_DATAGRAM_BYTES || received.size() < full_length) {
        return reject(rejection::too_large);
    }
    if (!is_valid_utf8(received.data(), received.size())) {
        return reject(rejection::invalid_utf8);
    }
    json document;
    if (const rejection reason = read_object(received, document); reason != rejection::none) {
        return reject(reason);
    }
    return read_members(document);
}

}  // namespace quorvellan::discover
