#include "utf8.h"

namespace quorvellan::discover {

utf8_char decode_utf8(std::string_view text, std::size_t position)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[position + i]); };
    const unsigned char b0 = byte(0);
    if (b0 < 0x80) {
        return {b0, 1};
    }
    std::size_t length = 0;
    std::uint32_t code_point = 0;
    // The second byte's range is narrowed where a wider one would admit an
    // overlong form, a surrogate or a value past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        code_point = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        code_point = b0 & 0x0Fu;
        low = b0 == 0xE0 ? 0xA0 : low;
        high = b0 == 0xED ? 0x9F : high;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        code_point = b0 & 0x07u;
        low = b0 == 0xF0 ? 0x90 : low;
        high = b0 == 0xF4 ? 0x8F : high;
    } else {
        return {0, 0};
    }
    if (text.size() - position < length || byte(1) < low || byte(1) > high) {
        return {0, 0};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return {0, 0};
        }
        code_point = (code_point << 6) | (byte(i) & 0x3Fu);
    }
    return {code_point, length};
}

bool is_valid_utf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = decode_utf8(text, i).length;
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace quorvellan::discover
