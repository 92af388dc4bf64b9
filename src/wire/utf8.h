// Which byte sequences are well-formed UTF-8: one definition for the daemon's
// escaping and the listener's checks and terminal text, so that they agree
// byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvellan {

// Length of the well-formed UTF-8 sequence at s, or 0 when the byte at s does
// not start one. Overlong forms, surrogates, code points above U+10FFFF and a
// sequence cut short by the end of the available bytes are all malformed.
inline std::size_t utf8_sequence_length(const unsigned char* s, std::size_t available)
{
    if (available == 0) {
        return 0;
    }
    const unsigned char b0 = s[0];
    if (b0 < 0x80) {
        return 1;
    }
    // The second byte's range is narrowed where a wider one would admit an
    // overlong form, a surrogate or a value past U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        low = b0 == 0xE0 ? 0xA0 : low;
        high = b0 == 0xED ? 0x9F : high;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        low = b0 == 0xF0 ? 0x90 : low;
        high = b0 == 0xF4 ? 0x8F : high;
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

struct utf8_char {
    std::uint32_t code_point;
    std::size_t length;  // 0: the byte at the position starts no well-formed character
};

inline utf8_char decode_utf8(const char* text, std::size_t size, std::size_t position)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text) + position;
    const std::size_t length = utf8_sequence_length(s, size - position);
    if (length == 0) {
        return {0, 0};
    }
    // The lead byte keeps 7, 5, 4 or 3 payload bits; each further byte 6.
    static const unsigned char lead_mask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t code_point = s[0] & lead_mask[length];
    for (std::size_t i = 1; i < length; ++i) {
        code_point = (code_point << 6) | (s[i] & 0x3Fu);
    }
    return {code_point, length};
}

inline bool is_valid_utf8(const char* text, std::size_t size)
{
    for (std::size_t i = 0; i < size;) {
        const std::size_t length = decode_utf8(text, size, i).length;
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace quorvellan
