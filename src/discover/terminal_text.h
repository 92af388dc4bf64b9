// Makes text from the network safe to write to a terminal and measures it as
// a terminal shows it. Nothing that a terminal acts on (control bytes, escape
// sequences, C1 controls, bidi and other invisible format characters,
// blank-looking letters, malformed UTF-8) passes through raw: each is shown
// as a visible escape, so a hostile value can neither drive the terminal nor
// pass for another device's value or for nothing at all.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvellan::discover {

// Control bytes become \t \n \r or \xNN, malformed bytes \xNN, hidden code
// points \uNNNN or \UNNNNNNNN, and the backslash itself "\\", so that an
// escape can never be confused with the same characters typed literally.
std::string terminal_safe(std::string_view text);

// One user-perceived character (a grapheme cluster: a base with its marks,
// a flag, an emoji sequence) and the columns it takes.
struct text_cluster {
    std::string_view text;
    std::size_t width;
};

// Splits safe text into clusters; a cut between them never splits a character.
std::vector<text_cluster> clusters(std::string_view safe_text);

// Columns the text occupies; expects terminal_safe output.
std::size_t display_width(std::string_view safe_text);

// Cuts safe text to at most width columns, marking a cut with an ellipsis,
// and pads it with spaces to exactly width when pad is set.
std::string fit_width(std::string_view safe_text, std::size_t width, bool pad);

}  // namespace quorvellan::discover
