// Carries an arbitrary byte string as the inside of a JSON string: escapes
// what JSON forbids raw and replaces bytes that are not well-formed UTF-8.
#pragma once

#include <cstddef>

namespace quorvellan {

// Appends the carried form of the text_length bytes at text to out, using at
// most max_bytes bytes; a value that would pass max_bytes is cut after the
// last whole character or escape that fits. Returns the bytes written (no NUL).
std::size_t json_string_append(char* out, std::size_t max_bytes, const char* text,
                               std::size_t text_length);

}  // namespace quorvellan
