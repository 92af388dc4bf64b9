// Turns one received datagram into an announcement, or into the reason it
// is not one. Everything arriving on the port is untrusted; nothing here
// throws or aborts on any input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "wire/announcement.h"

namespace quorvellan::discover {

constexpr std::uint16_t DEFAULT_PORT = BEACON_PORT;
// The largest datagram a listener must accept: four times the 512 bytes a
// device can send, so that members added later still fit. Anything larger is
// refused before it is read.
constexpr std::size_t MAX_DATAGRAM_BYTES = 2 * 1024;

// The members of an accepted announcement that are not constant, one field
// each, in wire order: texts as std::string, numbers as std::int64_t.
struct announcement_record {
#define QUORVELLAN_RECORD_TEXT(member, capacity, carried_max, format) std::string member;
#define QUORVELLAN_RECORD_NUMBER(member, ...) std::int64_t member = 0;
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_WIRE_IGNORE, QUORVELLAN_RECORD_TEXT,
                                    QUORVELLAN_RECORD_NUMBER, QUORVELLAN_RECORD_NUMBER)
#undef QUORVELLAN_RECORD_TEXT
#undef QUORVELLAN_RECORD_NUMBER

    bool operator==(const announcement_record& other) const;
    bool operator!=(const announcement_record& other) const
    {
        return !(*this == other);
    }
};

// Calls visit(member, field) for each field of the record in wire order, with
// member its JSON name and field a pointer to the record's member, so that
// comparing and printing records follows the member list by itself.
template <typename Visit>
void for_each_field(Visit&& visit)
{
#define QUORVELLAN_RECORD_FIELD(member, ...) visit(#member, &announcement_record::member);
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_WIRE_IGNORE, QUORVELLAN_RECORD_FIELD,
                                    QUORVELLAN_RECORD_FIELD, QUORVELLAN_RECORD_FIELD)
#undef QUORVELLAN_RECORD_FIELD
}

enum class rejection {
    none,
    too_large,
    invalid_utf8,
    not_json,
    not_object,
    duplicate_member,
    foreign_id,  // a constant member ("id") missing or not ours: another protocol's
    missing_member,
    wrong_type,
    out_of_range,
    too_long,        // a text longer than any device sends
    not_an_address,  // an address member neither empty nor a dotted quad
};

constexpr std::size_t REJECTION_COUNT = static_cast<std::size_t>(rejection::not_an_address) + 1;

// Short human text, e.g. "not JSON".
const char* describe(rejection reason);

// Its name for machines, e.g. "not_json", as /metrics labels it.
const char* identify(rejection reason);

struct parse_result {
    rejection reason = rejection::none;
    std::string member;          // the member at fault, where there is one
    announcement_record record;  // meaningful only when accepted

    bool accepted() const
    {
        return reason == rejection::none;
    }
};

// full_length is the datagram's size on the wire, which may exceed the bytes
// the receive buffer kept.
parse_result parse_announcement(std::string_view received, std::size_t full_length);

inline parse_result parse_announcement(std::string_view datagram)
{
    return parse_announcement(datagram, datagram.size());
}

}  // namespace quorvellan::discover
