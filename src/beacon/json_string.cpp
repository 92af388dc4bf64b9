#include "beacon/json_string.h"

#include <cstring>

#include "wire/utf8.h"

namespace quorvellan {
namespace {

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
