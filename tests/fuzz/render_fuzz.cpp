// Fuzz target for the renderer. Any bytes in the six texts (up to a NUL, or
// filling the buffer with none) and any count must give one compact JSON
// object of at most 511 bytes with the wire definition's members in its order. Each
// text must come back as the longest prefix of its bytes, with every byte that
// is not well-formed UTF-8 replaced by U+FFFD, whose escaped form fits the
// member's cap; the count must come back exactly.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "beacon/render.h"
#include "utf8_reference.h"

namespace quorvellan {
namespace {

using json = nlohmann::ordered_json;

// Bytes after a text's NUL are not the text's; filled with this, a renderer
// that reads past the NUL shows it in the value.
constexpr char PAST_TERMINATOR = '#';

#define QUORVELLAN_NAME_OF(member, ...) #member,
constexpr const char* MEMBERS[] = {QUORVELLAN_ANNOUNCEMENT_MEMBERS(
    QUORVELLAN_NAME_OF, QUORVELLAN_NAME_OF, QUORVELLAN_NAME_OF, QUORVELLAN_NAME_OF)};
#undef QUORVELLAN_NAME_OF

struct text_buffer {
    const char* member;
    char* data;
    std::size_t capacity;
    std::size_t carried_max;  // bytes of its escaped form the payload may hold
};

std::vector<text_buffer> texts_of(announcement& facts)
{
    std::vector<text_buffer> texts;
#define QUORVELLAN_TEXT_OF(member, capacity, carried_max, format) \
    texts.push_back({#member, facts.member, sizeof facts.member, carried_max});
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_WIRE_IGNORE, QUORVELLAN_TEXT_OF,
                                    QUORVELLAN_WIRE_IGNORE, QUORVELLAN_WIRE_IGNORE)
#undef QUORVELLAN_TEXT_OF
    return texts;
}

struct count_field {
    const char* member;
    std::int32_t* value;
};

std::vector<count_field> counts_of(announcement& facts)
{
    std::vector<count_field> counts;
#define QUORVELLAN_COUNT_OF(member) counts.push_back({#member, &facts.member});
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_WIRE_IGNORE, QUORVELLAN_WIRE_IGNORE,
                                    QUORVELLAN_WIRE_IGNORE, QUORVELLAN_COUNT_OF)
#undef QUORVELLAN_COUNT_OF
    return counts;
}

bool constants_hold(const json& parsed)
{
    bool hold = true;
#define QUORVELLAN_CONSTANT_HOLDS(member, text) hold = hold && parsed[#member] == text;
#define QUORVELLAN_PORT_HOLDS(member, value) \
    hold = hold && parsed[#member].is_number_integer() && parsed[#member] == value;
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_CONSTANT_HOLDS, QUORVELLAN_WIRE_IGNORE,
                                    QUORVELLAN_PORT_HOLDS, QUORVELLAN_WIRE_IGNORE)
#undef QUORVELLAN_CONSTANT_HOLDS
#undef QUORVELLAN_PORT_HOLDS
    return hold;
}

// Splits the input at NUL bytes into the texts, in record order; a text that
// reaches its capacity has no NUL and the byte after it is skipped. The bytes
// left over make the counts, up to four each, big-endian.
announcement facts_from(const std::uint8_t* data, std::size_t size)
{
    announcement facts;
    std::memset(&facts, 0, sizeof facts);
    std::size_t at = 0;
    for (const text_buffer& text : texts_of(facts)) {
        std::memset(text.data, PAST_TERMINATOR, text.capacity);
        std::size_t length = 0;
        while (at < size && data[at] != 0 && length < text.capacity) {
            text.data[length++] = static_cast<char>(data[at++]);
        }
        if (length < text.capacity) {
            text.data[length] = '\0';
        }
        ++at;
    }
    for (const count_field& field : counts_of(facts)) {
        std::uint32_t count = 0;
        for (std::size_t i = 0; i < sizeof count && at < size; ++i, ++at) {
            count = (count << 8) | data[at];
        }
        *field.value = static_cast<std::int32_t>(count);
    }
    return facts;
}

struct character {
    std::string bytes;    // as decoded from the payload
    std::size_t escaped;  // bytes it takes between the quotes
};

// JSON's shortest form: a two-byte escape for the seven characters that have
// one, \u00xx for the other control characters, the bytes themselves else.
std::size_t escaped_width(unsigned char first, std::size_t length)
{
    if (length > 1) {
        return length;
    }
    switch (first) {
        case '"':
        case '\\':
        case '\b':
        case '\f':
        case '\n':
        case '\r':
        case '\t':
            return 2;
        default:
            return first < 0x20 ? 6 : 1;
    }
}

// What a payload may carry of a text: its bytes up to the NUL (or the whole
// buffer), each byte that starts no well-formed character standing for one
// U+FFFD.
std::vector<character> carried_characters(const char* text, std::size_t capacity)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    const std::size_t length = static_cast<std::size_t>(std::find(s, s + capacity, 0) - s);
    std::vector<character> chars;
    for (std::size_t at = 0; at < length;) {
        const std::size_t n = test::utf8_char_length(s + at, length - at);
        if (n == 0) {
            chars.push_back({"\xEF\xBF\xBD", 3});
            ++at;
        } else {
            chars.push_back({std::string(text + at, n), escaped_width(s[at], n)});
            at += n;
        }
    }
    return chars;
}

// True when value is the longest run of whole characters from the start of
// chars whose escaped form stays within cap.
bool longest_fitting_prefix(const std::string& value, const std::vector<character>& chars,
                            std::size_t cap)
{
    std::size_t at = 0;
    std::size_t width = 0;
    std::size_t taken = 0;
    while (taken < chars.size() &&
           value.compare(at, chars[taken].bytes.size(), chars[taken].bytes) == 0) {
        at += chars[taken].bytes.size();
        width += chars[taken].escaped;
        ++taken;
    }
    return at == value.size() && width <= cap &&
           (taken == chars.size() || width + chars[taken].escaped > cap);
}

[[noreturn]] void fail(const char* what, const char* payload)
{
    std::fprintf(stderr, "render_fuzz: %s\npayload: %s\n", what, payload);
    std::abort();
}

void check_rendering(const std::uint8_t* data, std::size_t size)
{
    announcement facts = facts_from(data, size);
    char out[ANNOUNCE_CAPACITY];
    std::memset(out, PAST_TERMINATOR, sizeof out);
    const std::size_t length = render_announcement(facts, out);
    if (length > ANNOUNCE_CAPACITY - 1 || std::strlen(out) != length) {
        fail("length over 511 bytes or not the text's", "");
    }
    const std::string payload(out, length);
    const json parsed = json::parse(payload, nullptr, false);
    if (payload.back() != '}' || parsed.is_discarded() || !parsed.is_object()) {
        fail("not one JSON object ending in }", out);
    }
    std::vector<std::string> keys;
    for (const auto& member : parsed.items()) {
        keys.push_back(member.key());
    }
    if (!std::equal(keys.begin(), keys.end(), std::begin(MEMBERS), std::end(MEMBERS))) {
        fail("not the members in their order", out);
    }
    if (!constants_hold(parsed)) {
        fail("a fixed member changed", out);
    }
    // Also no blanks outside the values, and no escape longer than it must be.
    if (parsed.dump() != payload) {
        fail("not in compact form with the shortest escapes", out);
    }
    for (const text_buffer& text : texts_of(facts)) {
        const json& value = parsed[text.member];
        if (!value.is_string() ||
            !longest_fitting_prefix(value.get<std::string>(),
                                    carried_characters(text.data, text.capacity),
                                    text.carried_max)) {
            fail(text.member, out);
        }
    }
    for (const count_field& count : counts_of(facts)) {
        if (!parsed[count.member].is_number_integer() ||
            parsed[count.member].get<std::int64_t>() != *count.value) {
            fail(count.member, out);
        }
    }
}

}  // namespace
}  // namespace quorvellan

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quorvellan::check_rendering(data, size);
    return 0;
}
