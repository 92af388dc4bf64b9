#include "utf8.h"

#include "beacon/utf8.h"

namespace quorvellan::discover {

utf8_char decode_utf8(std::string_view text, std::size_t position)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text.data()) + position;
    const std::size_t length = utf8_sequence_length(s, text.size() - position);
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
