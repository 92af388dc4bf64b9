#include "beacon/render.h"

#include <cstdint>
#include <cstring>

#include "beacon/json_string.h"

namespace quorvellan {
namespace {

// The payload with every value replaced by VALUE_MARK, built from the member
// list at compile time. Each member brings its leading comma; the renderer
// writes the opening brace in place of the first.
#define QUORVELLAN_MARK "\x01"
constexpr char VALUE_MARK = QUORVELLAN_MARK[0];
#define QUORVELLAN_TEMPLATE_CONSTANT(member, text) ",\"" #member "\":\"" text "\""
#define QUORVELLAN_TEMPLATE_TEXT(member, capacity, carried_max, format) \
    ",\"" #member "\":\"" QUORVELLAN_MARK "\""
#define QUORVELLAN_TEMPLATE_PORT(member, value) ",\"" #member "\":" #value
#define QUORVELLAN_TEMPLATE_COUNT(member) ",\"" #member "\":" QUORVELLAN_MARK
constexpr char TEMPLATE[] =
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_TEMPLATE_CONSTANT, QUORVELLAN_TEMPLATE_TEXT,
                                    QUORVELLAN_TEMPLATE_PORT, QUORVELLAN_TEMPLATE_COUNT) "}";

// Where each marked value lives in the record, in member order.
struct value_slot {
    std::uint16_t offset;
    std::uint8_t capacity;  // 0: the value is a count
    std::uint8_t carried_max;
};
#define QUORVELLAN_SLOT_TEXT(member, capacity, carried_max, format) \
    {offsetof(announcement, member), capacity, carried_max},
#define QUORVELLAN_SLOT_COUNT(member) {offsetof(announcement, member), 0, 0},
constexpr value_slot VALUE_SLOTS[] = {QUORVELLAN_ANNOUNCEMENT_MEMBERS(
    QUORVELLAN_WIRE_IGNORE, QUORVELLAN_SLOT_TEXT, QUORVELLAN_WIRE_IGNORE, QUORVELLAN_SLOT_COUNT)};

constexpr std::size_t LONGEST_COUNT = 11;  // "-2147483648"

constexpr std::size_t marks()
{
    std::size_t n = 0;
    for (const char c : TEMPLATE) {
        n += c == VALUE_MARK;
    }
    return n;
}

constexpr std::size_t longest_payload()
{
    std::size_t length = sizeof TEMPLATE - 1 - marks();  // brace for comma, no NUL
    for (const value_slot& slot : VALUE_SLOTS) {
        length += slot.capacity == 0 ? LONGEST_COUNT : slot.carried_max;
    }
    return length;
}

static_assert(TEMPLATE[0] == ',' && marks() == sizeof VALUE_SLOTS / sizeof VALUE_SLOTS[0],
              "one slot per marked value");
// Every value at its carried maximum must still fit: the payload is never cut.
static_assert(longest_payload() <= ANNOUNCE_CAPACITY - 1,
              "carried caps too large for the announcement capacity");

std::size_t write_count(char* out, std::int32_t number)
{
    std::size_t length = 0;
    // Work in unsigned so that the most negative value has a magnitude.
    std::uint32_t magnitude = static_cast<std::uint32_t>(number);
    if (number < 0) {
        out[length++] = '-';
        magnitude = 0u - magnitude;
    }
    char digits[10];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10u);
        magnitude /= 10u;
    } while (magnitude != 0u);
    while (count > 0) {
        out[length++] = digits[--count];
    }
    return length;
}

}  // namespace

std::size_t render_announcement(const announcement& facts, char (&out)[ANNOUNCE_CAPACITY])
{
    const char* const record = reinterpret_cast<const char*>(&facts);
    const value_slot* slot = VALUE_SLOTS;
    std::size_t length = 0;
    out[length++] = '{';
    for (const char* t = TEMPLATE + 1; *t != '\0'; ++t) {
        if (*t != VALUE_MARK) {
            out[length++] = *t;
            continue;
        }
        const char* const field = record + slot->offset;
        if (slot->capacity == 0) {
            std::int32_t count;
            std::memcpy(&count, field, sizeof count);
            length += write_count(out + length, count);
        } else {
            // Read up to the capacity even if a writer forgot the NUL.
            length += json_string_append(out + length, slot->carried_max, field,
                                         strnlen(field, slot->capacity));
        }
        ++slot;
    }
    out[length] = '\0';
    return length;
}

}  // namespace quorvellan
