// Makes text from the network safe to write to a terminal: nothing that a
// terminal acts on (control bytes, escape sequences, C1 controls, bidi and
// other invisible format characters, malformed UTF-8) passes through raw.
// Each is shown as a visible escape instead, so a hostile value can neither
// drive the terminal nor pass for another device's value.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvellan::discover {

// Control bytes become \t \n \r or \xNN, malformed bytes \xNN, hidden code
// points \uNNNN or \UNNNNNNNN, and the backslash itself "\\", so that an
// escape can never be confused with the same characters typed literally.
std::string terminal_safe(std::string_view text);

// Columns the text occupies; expects terminal_safe output.
std::size_t display_width(std::string_view safe_text);

// Cuts safe text to at most width columns, marking a cut with an ellipsis,
// and pads it with spaces to exactly width when pad is set.
std::string fit_width(std::string_view safe_text, std::size_t width, bool pad);

}  // namespace quorvellan::discover
