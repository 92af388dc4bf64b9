#include "terminal/terminal_text.h"

#include <langinfo.h>
#include <utf8proc.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "wire/utf8.h"

// Character classes and widths come from libutf8proc's Unicode tables rather
// than from a table of our own: they follow each Unicode release with the
// library, and it segments text into grapheme clusters, which the C
// library's wcwidth cannot (it measures code points one by one, so a flag or
// an emoji sequence would come out as several characters).

namespace quorvellan::discover {
namespace {

const utf8proc_property_t& property(std::uint32_t c)
{
    return *utf8proc_get_property(static_cast<utf8proc_int32_t>(c));
}

bool is_pictographic(std::uint32_t c)
{
    switch (property(c).boundclass) {
        case UTF8PROC_BOUNDCLASS_EXTENDED_PICTOGRAPHIC:
        case UTF8PROC_BOUNDCLASS_E_ZWG:
        case UTF8PROC_BOUNDCLASS_E_BASE:
        case UTF8PROC_BOUNDCLASS_E_BASE_GAZ:
            return true;
        default:
            return false;
    }
}

bool is_variation_selector(std::uint32_t c)
{
    return c >= 0xFE00 && c <= 0xFE0F;
}

constexpr std::uint32_t ZERO_WIDTH_JOINER = 0x200D;
constexpr std::uint32_t EMOJI_PRESENTATION = 0xFE0F;

// Shows nothing of its own, or nothing at all: format characters, default
// ignorables (Hangul fillers among them), every space but the plain one,
// unassigned and private code points, whose width no terminal agrees on, and
// the blank braille pattern. Joiners and variation selectors are let through
// only where they build an emoji or select a glyph of the character before.
bool is_hidden(std::uint32_t c, std::uint32_t previous, std::uint32_t next)
{
    if (c == ZERO_WIDTH_JOINER) {
        const bool after_emoji = is_pictographic(previous) || previous == EMOJI_PRESENTATION ||
                                 property(previous).boundclass == UTF8PROC_BOUNDCLASS_E_MODIFIER;
        return !(after_emoji && is_pictographic(next));
    }
    if (is_variation_selector(c)) {
        return previous == 0 || is_variation_selector(previous) || previous == ZERO_WIDTH_JOINER;
    }
    const utf8proc_property_t& p = property(c);
    switch (p.category) {
        case UTF8PROC_CATEGORY_CN:
        case UTF8PROC_CATEGORY_CC:
        case UTF8PROC_CATEGORY_CF:
        case UTF8PROC_CATEGORY_CS:
        case UTF8PROC_CATEGORY_CO:
        case UTF8PROC_CATEGORY_ZL:
        case UTF8PROC_CATEGORY_ZP:
            return true;
        case UTF8PROC_CATEGORY_ZS:
            return c != ' ';
        default:
            return p.ignorable || c == 0x2800;
    }
}

bool is_mark(std::uint32_t c)
{
    const int category = property(c).category;
    return category == UTF8PROC_CATEGORY_MN || category == UTF8PROC_CATEGORY_ME;
}

// Past this many marks on one character, more only pile up over the lines
// above and below.
constexpr int MAX_COMBINING_RUN = 2;

void append_escape(std::string& out, const char* format, std::uint32_t value)
{
    char escaped[12];
    std::snprintf(escaped, sizeof escaped, format, static_cast<unsigned>(value));
    out += escaped;
}

std::uint32_t code_point_at(std::string_view text, std::size_t i)
{
    if (i >= text.size()) {
        return 0;
    }
    const utf8_char ch = decode_utf8(text.data(), text.size(), i);
    return ch.length == 0 ? 0 : ch.code_point;
}

// An emoji cluster (a pictograph with its modifiers, joined sequences, a
// flag) takes two columns when it is shown as emoji: when its first
// character is wide by itself, when VS16 asks for emoji presentation, and
// for a pair of regional indicators. Otherwise columns add up, with spacing
// marks (Devanagari's visarga) taking the column terminals give them.
std::size_t cluster_width(std::string_view cluster)
{
    std::size_t width = 0;
    std::size_t code_points = 0;
    bool emoji = false;
    bool presentation = false;
    for (std::size_t i = 0; i < cluster.size();) {
        const utf8_char ch = decode_utf8(cluster.data(), cluster.size(), i);
        if (ch.length == 0) {
            width += 1;  // not expected in safe text; shown as one replacement
            i += 1;
            continue;
        }
        const std::uint32_t c = ch.code_point;
        const utf8proc_property_t& p = property(c);
        if (code_points == 0) {
            emoji = is_pictographic(c) || p.boundclass == UTF8PROC_BOUNDCLASS_REGIONAL_INDICATOR;
        }
        presentation = presentation || c == EMOJI_PRESENTATION;
        width += p.category == UTF8PROC_CATEGORY_MC ? 1 : utf8proc_charwidth(c);
        ++code_points;
        i += ch.length;
    }
    if (emoji) {
        const std::uint32_t first = code_point_at(cluster, 0);
        const bool flag = code_points == 2 &&
                          property(first).boundclass == UTF8PROC_BOUNDCLASS_REGIONAL_INDICATOR;
        return utf8proc_charwidth(first) == 2 || presentation || flag ? 2 : 1;
    }
    return width;
}

}  // namespace

charset locale_charset()
{
    return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0 ? charset::utf8 : charset::ascii;
}

std::string terminal_safe(std::string_view text, charset shown)
{
    std::string out;
    out.reserve(text.size());
    int combining_run = 0;
    std::uint32_t previous = 0;  // the code point before, when it was shown as itself
    for (std::size_t i = 0; i < text.size();) {
        const utf8_char ch = decode_utf8(text.data(), text.size(), i);
        if (ch.length == 0) {
            append_escape(out, "\\x%02x", static_cast<unsigned char>(text[i]));
            i += 1;
            previous = 0;
            combining_run = 0;
            continue;
        }
        const std::uint32_t c = ch.code_point;
        combining_run = is_mark(c) && !is_variation_selector(c) ? combining_run + 1 : 0;
        bool as_itself = false;
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            append_escape(out, "\\x%02x", c);
        } else if (is_hidden(c, previous, code_point_at(text, i + ch.length)) ||
                   combining_run > MAX_COMBINING_RUN || (shown == charset::ascii && c > 0x7F)) {
            append_escape(out, c > 0xFFFF ? "\\U%08x" : "\\u%04x", c);
        } else {
            out.append(text, i, ch.length);
            as_itself = true;
        }
        previous = as_itself ? c : 0;
        i += ch.length;
    }
    return out;
}

std::vector<text_cluster> clusters(std::string_view safe_text)
{
    std::vector<text_cluster> out;
    utf8proc_int32_t state = 0;
    utf8proc_int32_t previous = -1;
    std::size_t start = 0;
    for (std::size_t i = 0; i < safe_text.size();) {
        const utf8_char ch = decode_utf8(safe_text.data(), safe_text.size(), i);
        const std::size_t length = ch.length == 0 ? 1 : ch.length;
        // A malformed byte stands alone, as its own cluster.
        const utf8proc_int32_t c =
            ch.length == 0 ? -1 : static_cast<utf8proc_int32_t>(ch.code_point);
        const bool boundary =
            previous < 0 || c < 0 || utf8proc_grapheme_break_stateful(previous, c, &state);
        if (boundary && i > start) {
            const std::string_view text = safe_text.substr(start, i - start);
            out.push_back({text, cluster_width(text)});
            start = i;
        }
        if (c < 0) {
            state = 0;
        }
        previous = c;
        i += length;
    }
    if (start < safe_text.size()) {
        const std::string_view text = safe_text.substr(start);
        out.push_back({text, cluster_width(text)});
    }
    return out;
}

std::size_t display_width(std::string_view safe_text)
{
    std::size_t width = 0;
    for (const text_cluster& cluster : clusters(safe_text)) {
        width += cluster.width;
    }
    return width;
}

std::string fit_width(std::string_view safe_text, std::size_t width, bool pad, charset shown)
{
    const std::string_view ellipsis = shown == charset::utf8 ? "\xE2\x80\xA6" : "...";
    const std::size_t mark = shown == charset::utf8 ? 1 : 3;
    std::string out;
    std::size_t used = 0;
    if (display_width(safe_text) <= width) {
        out.assign(safe_text);
        used = display_width(safe_text);
    } else if (width >= mark) {
        for (const text_cluster& cluster : clusters(safe_text)) {
            if (used + cluster.width > width - mark) {
                break;
            }
            out += cluster.text;
            used += cluster.width;
        }
        out += ellipsis;
        used += mark;
    }
    if (pad && used < width) {
        out.append(width - used, ' ');
    }
    return out;
}

}  // namespace quorvellan::discover
