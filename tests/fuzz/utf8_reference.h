// Well-formed UTF-8 as the fuzz targets' expectations see it. Decodes to a
// code point and judges that, where the code under test narrows byte ranges,
// so that a mistake in one is not repeated in the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvellan::test {

// Length of the well-formed character that starts at s, or 0 when none does
// (within the available bytes).
inline std::size_t utf8_char_length(const unsigned char* s, std::size_t available)
{
    if (available == 0) {
        return 0;
    }
    std::size_t length;
    std::uint32_t code_point;
    std::uint32_t smallest;  // below it the form is overlong
    if (s[0] < 0x80) {
        return 1;
    } else if ((s[0] & 0xE0) == 0xC0) {
        length = 2;
        code_point = s[0] & 0x1Fu;
        smallest = 0x80;
    } else if ((s[0] & 0xF0) == 0xE0) {
        length = 3;
        code_point = s[0] & 0x0Fu;
        smallest = 0x800;
    } else if ((s[0] & 0xF8) == 0xF0) {
        length = 4;
        code_point = s[0] & 0x07u;
        smallest = 0x10000;
    } else {
        return 0;
    }
    if (available < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) {
            return 0;
        }
        code_point = (code_point << 6) | (s[i] & 0x3Fu);
    }
    const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
    if (code_point < smallest || code_point > 0x10FFFF || surrogate) {
        return 0;
    }
    return length;
}

inline bool is_utf8(std::string_view text)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8_char_length(s + at, text.size() - at);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

}  // namespace quorvellan::test
