#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "output_format.h"
#include "support/rendered_payload.h"
#include "terminal_text.h"
#include "wire/utf8.h"

namespace quorvellan::discover {
namespace {

// What a terminal could act on: C0 controls, DEL, C1 controls, bidi and
// invisible format characters, or bytes that are not UTF-8 at all.
std::string first_unsafe(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        const utf8_char ch = decode_utf8(text.data(), text.size(), i);
        const std::uint32_t c = ch.code_point;
        if (ch.length == 0 || c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C ||
            (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
            (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF) {
            return "at byte " + std::to_string(i) + " of: " + text;
        }
        i += ch.length;
    }
    return "";
}

TEST(terminal_safe, shows_what_a_terminal_would_act_on)
{
    const std::pair<std::string, std::string> cases[] = {
        {"\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"},
        {"ok\rfake\n\t\x07\x7f", "ok\\rfake\\n\\t\\x07\\x7f"},
        {"\xc2\x9b"
         "31m",
         "\\u009b31m"},
        {"abc\xe2\x80\xae"
         "fdp.exe",
         "abc\\u202efdp.exe"},
        {"tag\xf3\xa0\x81\x81", "tag\\U000e0041"},
        {"bad\xff\xc3\xed\xa0\x80", "bad\\xff\\xc3\\xed\\xa0\\x80"},
        {"back\\x1b", "back\\\\x1b"},
        {"e\xcc\x81\xcc\x81\xcc\x81", "e\xcc\x81\xcc\x81\\u0301"},
        {"Caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x94\x8c", "Caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x94\x8c"},
    };
    for (const auto& [raw, shown] : cases) {
        EXPECT_EQ(terminal_safe(raw), shown);
    }
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            const std::string raw{static_cast<char>(a), static_cast<char>(b)};
            ASSERT_EQ(first_unsafe(terminal_safe(raw)), "") << a << " " << b;
        }
    }
}

// Every text member hostile, through the same path as a received datagram.
device_row hostile_row()
{
    test::device_facts facts{
        test::HOSTILE_NAME, "h\x1b]0;title\x07", "\x1b[8m", "\xc2\x85", "", "", 1};
    device_row row;
    row.announcement = parse_announcement(test::rendered(facts)).record;
    // The parser refuses such an address; the output must not count on it.
    row.announcement.ip_ap = "1.2.3.4\x1b[K";
    row.source = "192.168.8.1";
    row.web_host = "192.168.8.1";
    return row;
}

TEST(output, hostile_values_reach_no_output_raw)
{
    const device_row row = hostile_row();
    ASSERT_EQ(row.announcement.hostname, "h\x1b]0;title\x07");
    std::vector<std::string> lines = table_lines({&row}, {}, 0, 0);
    lines.push_back(change_line({event_kind::new_device, &row, {}, {}}));
    lines.push_back(change_line({event_kind::offline, &row, {}, {}}));
    for (const std::string& line : lines) {
        EXPECT_EQ(first_unsafe(line), "");
    }
    EXPECT_EQ(lines[1].rfind("\\x1b[2J\\x1b[H", 0), 0u) << lines[1];
    EXPECT_NE(lines[2].find("name=\"\\x1b[2J\\x1b[H\\x1b[31mEvil\\r\\x07\\u202e"),
              std::string::npos);
    EXPECT_NE(lines[2].find("(\\\"q\\\"\\\\\""), std::string::npos)
        << "quotes stay inside the value";
    EXPECT_NE(lines[2].find("web=http://192.168.8.1/"), std::string::npos);
}

TEST(output, json_line_is_printable_ascii_and_carries_the_values_exactly)
{
    const device_row row = hostile_row();
    const std::string line = json_line({event_kind::new_device, &row, {}, {}});
    for (const char c : line) {
        ASSERT_TRUE(c >= 0x20 && c < 0x7F) << line;
    }
    const nlohmann::json object = nlohmann::json::parse(line);
    EXPECT_EQ(object.at("name"), row.announcement.name);
    EXPECT_EQ(object.at("source"), "192.168.8.1");
    EXPECT_EQ(object.at("last_seen"), "1970-01-01T00:00:00Z");
    EXPECT_EQ(object.at("web"), "http://192.168.8.1/");
    EXPECT_EQ(object.size(), 17u);
}

TEST(output, live_table_lines_fit_the_terminal)
{
    // A line wider than the terminal would wrap and break the redraw in place.
    device_row row = hostile_row();
    row.announcement.name = std::string(20, 'W') + "\xe6\x97\xa5\xe6\x97\xa5\xe6\x97\xa5";
    const std::vector<std::string> lines =
        table_lines(std::vector<const device_row*>(30, &row), {}, 50, 10);
    ASSERT_EQ(lines.size(), 11u) << "header, nine rows, and a line for the rest";
    EXPECT_EQ(lines.back(), "... 21 more devices");
    EXPECT_NE(lines[1].find("WWW\xe6\x97\xa5\xe2\x80\xa6 "), std::string::npos) << lines[1];
    for (const std::string& line : lines) {
        EXPECT_LE(display_width(line), 50u) << line;
    }
}

}  // namespace
}  // namespace quorvellan::discover
