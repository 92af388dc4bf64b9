#include "beacon/json_string.h"

#include <cstring>

namespace quorvellan {
namespace {

// Length of the well-formed UTF-8 sequence at s, or 0 when the byte at s does
// not start one. Overlong forms, surrogates and code points above U+10FFFF
// are rejected, as is a sequence cut short by the end of the text.
std::size_t utf8_sequence_length(const unsigned char* s, std::size_t available)
{
    const unsigned char b0 = s[0];
    if (b0 < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) {
            low = 0xA0;  // below is overlong
        } else if (b0 == 0xED) {
            high = 0x9F;  // above is a surrogate
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) {
            low = 0x90;  // below is overlong
        } else if (b0 == 0xF4) {
            high = 0x8F;  // above is past U+10FFFF
        }
    } else {
        return 0;
    }
    if (available < length || s[1] < low || s[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

char short_escape(unsigned char c)
{
    switch (c) {
        case '\b':
            return 'b';
        case '\t':
            return 't';
        case '\n':
            return 'n';
        case '\f':
            return 'f';
        case '\r':
            return 'r';
        case '"':
            return '"';
        case '\\':
            return '\\';
        default:
            return 0;
    }
}

}  // namespace

std::size_t json_string_append(char* out, std::size_t max_bytes, const char* text,
                               std::size_t text_length)
{
    static const char hex[] = "0123456789abcdef";
    static const char replacement[] = "\xEF\xBF\xBD";
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* const end = s + text_length;
    std::size_t used = 0;
    while (s < end) {
        char piece[6];
        std::size_t piece_length = 0;
        std::size_t consumed = 1;
        const unsigned char c = *s;
        if (const char e = short_escape(c)) {
            piece[0] = '\\';
            piece[1] = e;
            piece_length = 2;
        } else if (c < 0x20) {
            std::memcpy(piece, "\\u00", 4);
            piece[4] = hex[c >> 4];
            piece[5] = hex[c & 0x0F];
            piece_length = 6;
        } else if (const std::size_t n =
                       utf8_sequence_length(s, static_cast<std::size_t>(end - s))) {
            std::memcpy(piece, s, n);
            piece_length = n;
            consumed = n;
        } else {
            std::memcpy(piece, replacement, 3);
            piece_length = 3;
        }
        if (used + piece_length > max_bytes) {
            break;
        }
        std::memcpy(out + used, piece, piece_length);
        used += piece_length;
        s += consumed;
    }
    return used;
}

}  // namespace quorvellan
