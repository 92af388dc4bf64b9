// UTF-8 decoding shared by the datagram check and the terminal escaping, so
// that both agree on exactly which byte strings are well formed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvellan::discover {

struct utf8_char {
    std::uint32_t code_point;
    std::size_t length;  // 0: the byte at the position starts no well-formed character
};

// Overlong forms, surrogates, code points above U+10FFFF and sequences cut
// short by the end of the text are all malformed.
utf8_char decode_utf8(std::string_view text, std::size_t position);

bool is_valid_utf8(std::string_view text);

}  // namespace quorvellan::discover
