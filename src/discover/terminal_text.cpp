#include "terminal_text.h"

#include <cstdint>
#include <cstdio>

#include "wire/utf8.h"

namespace quorvellan::discover {
namespace {

struct code_point_range {
    std::uint32_t first;
    std::uint32_t last;
};

bool in_ranges(std::uint32_t c, const code_point_range* ranges, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (c >= ranges[i].first && c <= ranges[i].last) {
            return true;
        }
    }
    return false;
}

// Characters that show nothing of their own yet change how neighbouring
// text is ordered or joined: a value could use them to reverse or hide text.
bool is_hidden(std::uint32_t c)
{
    static const code_point_range hidden[] = {
        {0x0080, 0x009F},    // C1 controls, e.g. CSI
        {0x00AD, 0x00AD},    // soft hyphen
        {0x061C, 0x061C},    // Arabic letter mark
        {0x180E, 0x180E},    // Mongolian vowel separator
        {0x200B, 0x200F},    // zero-width characters, LRM, RLM
        {0x2028, 0x202E},    // line and paragraph separators, bidi embeddings and overrides
        {0x2060, 0x206F},    // word joiner, bidi isolates, deprecated format characters
        {0xFEFF, 0xFEFF},    // zero-width no-break space
        {0xFFF9, 0xFFFB},    // interlinear annotation
        {0xE0000, 0xE007F},  // tag characters
    };
    return in_ranges(c, hidden, sizeof hidden / sizeof hidden[0]);
}

bool is_combining(std::uint32_t c)
{
    static const code_point_range combining[] = {
        {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
        {0x064B, 0x065F}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x1AB0, 0x1AFF},
        {0x1DC0, 0x1DFF}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
    };
    return in_ranges(c, combining, sizeof combining / sizeof combining[0]);
}

bool is_wide(std::uint32_t c)
{
    static const code_point_range wide[] = {
        {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
        {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
        {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
        {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
    };
    return in_ranges(c, wide, sizeof wide / sizeof wide[0]);
}

// Unexpected malformed bytes in safe text still take one column each.
std::size_t columns_of(const utf8_char& ch)
{
    if (ch.length == 0) {
        return 1;
    }
    return is_combining(ch.code_point) ? 0 : is_wide(ch.code_point) ? 2 : 1;
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

}  // namespace

std::string terminal_safe(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    int combining_run = 0;
    for (std::size_t i = 0; i < text.size();) {
        const utf8_char ch = decode_utf8(text.data(), text.size(), i);
        const std::uint32_t c = ch.code_point;
        const bool combining = ch.length > 0 && is_combining(c);
        combining_run = combining ? combining_run + 1 : 0;
        if (ch.length == 0) {
            append_escape(out, "\\x%02x", static_cast<unsigned char>(text[i]));
            i += 1;
            continue;
        }
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
        } else if (is_hidden(c) || combining_run > MAX_COMBINING_RUN) {
            append_escape(out, c > 0xFFFF ? "\\U%08x" : "\\u%04x", c);
        } else {
            out.append(text, i, ch.length);
        }
        i += ch.length;
    }
    return out;
}

std::size_t display_width(std::string_view safe_text)
{
    std::size_t width = 0;
    for (std::size_t i = 0; i < safe_text.size();) {
        const utf8_char ch = decode_utf8(safe_text.data(), safe_text.size(), i);
        width += columns_of(ch);
        i += ch.length == 0 ? 1 : ch.length;
    }
    return width;
}

std::string fit_width(std::string_view safe_text, std::size_t width, bool pad)
{
    static const char ellipsis[] = "\xE2\x80\xA6";
    std::string out;
    if (display_width(safe_text) <= width) {
        out.assign(safe_text);
    } else if (width > 0) {
        std::size_t used = 0;
        for (std::size_t i = 0; i < safe_text.size();) {
            const utf8_char ch = decode_utf8(safe_text.data(), safe_text.size(), i);
            const std::size_t length = ch.length == 0 ? 1 : ch.length;
            const std::size_t columns = columns_of(ch);
            if (used + columns > width - 1) {
                break;
            }
            out.append(safe_text, i, length);
            used += columns;
            i += length;
        }
        out += ellipsis;
    }
    if (pad) {
        const std::size_t shown = display_width(out);
        out.append(shown < width ? width - shown : 0, ' ');
    }
    return out;
}

}  // namespace quorvellan::discover
