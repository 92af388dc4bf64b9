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

// What the terminal's locale can show: UTF-8, or ASCII alone, in which every
// other character is shown as its escape.
enum class charset { utf8, ascii };

// The charset of the locale in effect (LC_CTYPE), after setlocale.
charset locale_charset();

// Control bytes become \t \n \r or \xNN, malformed bytes \xNN, hidden code
// points \uNNNN or \UNNNNNNNN, and the backslash itself "\\", so that an
// escape can never be confused with the same characters typed literally.
// Under charset::ascii every code point past ASCII is escaped too.
std::string terminal_safe(std::string_view text, charset shown);

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

// Cuts safe text to at most width columns, marking a cut with an ellipsis
// ("..." under charset::ascii), and pads it with spaces to exactly width when
// pad is set.
std::string fit_width(std::string_view safe_text, std::size_t width, bool pad, charset shown);

}  // namespace quorvellan::discover
