#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "support/rendered_payload.h"
#include "table/attach_command.h"
#include "terminal/event_lines.h"
#include "terminal/table_layout.h"
#include "terminal/terminal_text.h"
#include "web/event_json.h"
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

TEST(TerminalSafe, ShowsWhatATerminalWouldActOn)
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
        // A joiner or selector outside an emoji or after nothing hides.
        {"a\u200db\ufe0f", "a\\u200db\xef\xb8\x8f"},
        {"\ufe0fx", "\\ufe0fx"},
    };
    for (const auto& [raw, shown] : cases) {
        EXPECT_EQ(terminal_safe(raw, charset::utf8), shown);
    }
    // A terminal that cannot show UTF-8 gets every character past ASCII as
    // its escape, and "..." for a cut.
    EXPECT_EQ(terminal_safe("Caf\xc3\xa9 \xf0\x9f\x94\x8c\xff", charset::ascii),
              "Caf\\u00e9 \\U0001f50c\\xff");
    EXPECT_EQ(fit_width("Lab bench east", 8, true, charset::ascii), "Lab b...");
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            const std::string raw{static_cast<char>(a), static_cast<char>(b)};
            ASSERT_EQ(first_unsafe(terminal_safe(raw, charset::utf8)), "") << a << " " << b;
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
    row.trusted_host = "192.168.8.1";
    return row;
}

// Columns as terminals show them. A wrong width wraps or misaligns the row.
TEST(TerminalText, WidthsAsTerminalsShowThem)
{
    const struct {
        const char* raw;
        const char* shown;  // null: shown as it is
        std::size_t width;
    } cases[] = {
        {"Kitchen \u2b50\u2b50", nullptr, 12},
        {"\u231a\u231b", nullptr, 4},
        {"\u2600\u2614\u2705\u2764", nullptr, 6},  // text-style sun and heart
        {"\u2600\ufe0f\u2764\ufe0f", nullptr, 4},  // VS16: shown as emoji
        {"\U0001f680\U0001f6f8\U0001fa70\U0001faf6", nullptr, 8},
        {"\U0001f1e9\U0001f1ea\U0001f1eb\U0001f1f7", nullptr, 4},  // two flags
        {"\U0001f468\u200d\U0001f469\u200d\U0001f467", nullptr, 2},
        {"\U0001f44d\U0001f3fd", nullptr, 2},  // skin tone modifier
        {"\u0915\u0900\u0915\u0901\u0915\u0902\u0915\u0903", nullptr, 5},
        {"\u0928\u092e\u0938\u094d\u0924\u0947", nullptr, 4},
        {"\u0e01\u0e47\u0e01\u0e48\u0e01\u0e4c\u0e01\u0e4d\u0e01\u0e4e", nullptr, 5},
        {"\u65e5\u672c", nullptr, 4},
        {"a\u3164b", "a\\u3164b", 8},  // blank-looking: Hangul filler
        {"\u2800", "\\u2800", 6},      // blank braille pattern
        {"\u3000\u00a0", "\\u3000\\u00a0", 12},
        {"\u115f\uffa0", "\\u115f\\uffa0", 12},
    };
    for (const auto& c : cases) {
        const std::string shown = terminal_safe(c.raw, charset::utf8);
        EXPECT_EQ(shown, c.shown ? c.shown : c.raw);
        EXPECT_EQ(display_width(shown), c.width) << c.raw;
    }
    // A cut never splits a flag, an emoji sequence or a base from its mark.
    EXPECT_EQ(fit_width("\U0001f1e9\U0001f1ea\U0001f1eb\U0001f1f7", 3, true, charset::utf8),
              "\U0001f1e9\U0001f1ea\u2026");
    EXPECT_EQ(fit_width("\u0e01\u0e47\u0e01\u0e47x", 2, false, charset::utf8),
              "\u0e01\u0e47\u2026");
    EXPECT_EQ(fit_width("\u65e5\u672c", 2, true, charset::utf8), "\u2026 ");
}

TEST(Output, HostileValuesReachNoOutputRaw)
{
    const device_row row = hostile_row();
    ASSERT_EQ(row.announcement.hostname, "h\x1b]0;title\x07");
    std::vector<std::string> lines = table_lines({&row}, {}, {});
    lines.push_back(change_line({event_kind::new_device, &row, {}, {}, {}, {}}, charset::utf8));
    lines.push_back(change_line({event_kind::offline, &row, {}, {}, {}, {}}, charset::utf8));
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

TEST(Output, JsonLineIsPrintableAsciiAndCarriesTheValuesExactly)
{
    const device_row row = hostile_row();
    const std::string line = json_line({event_kind::new_device, &row, {}, {}, {}, {}});
    for (const char c : line) {
        ASSERT_TRUE(c >= 0x20 && c < 0x7F) << line;
    }
    const nlohmann::json object = nlohmann::json::parse(line);
    EXPECT_EQ(object.at("name"), row.announcement.name);
    EXPECT_EQ(object.at("source"), "192.168.8.1");
    EXPECT_EQ(object.at("last_seen"), "1970-01-01T00:00:00Z");
    EXPECT_EQ(object.at("web"), "http://192.168.8.1/");
}

// Each event by its name in both line formats; a removed row says why.
TEST(Output, EachEventIsNamedInJsonAndInLines)
{
    const device_row row = hostile_row();
    const struct {
        event_kind kind;
        removal reason;
        const char* json;
        const char* reason_member;  // null: none
        const char* line;
        const char* previous_mac = "";
    } rows[] = {
        {event_kind::new_device, removal::evicted, "new", nullptr, " new device name="},
        {event_kind::changed, removal::evicted, "changed", nullptr, " changed (name) name="},
        {event_kind::offline, removal::evicted, "offline", nullptr, " offline name="},
        {event_kind::online, removal::evicted, "online", nullptr, " back online, changed (name)"},
        {event_kind::removed, removal::evicted, "removed", "evicted", " removed (evicted) name="},
        {event_kind::removed, removal::forgotten, "removed", "forgotten",
         " removed (forgotten) name="},
        {event_kind::changed, removal::evicted, "changed", nullptr,
         " previous_mac=\"02:00:00:00:00:01\"", "02:00:00:00:00:01"},
    };
    for (const auto& r : rows) {
        const std::vector<std::string> changed =
            r.kind == event_kind::changed || r.kind == event_kind::online
                ? std::vector<std::string>{"name"}
                : std::vector<std::string>{};
        const event happened{r.kind, &row, changed, {}, r.reason, r.previous_mac};
        const nlohmann::json object = nlohmann::json::parse(json_line(happened));
        EXPECT_EQ(object.at("event"), r.json);
        EXPECT_EQ(object.contains("reason") ? object.at("reason").get<std::string>() : "",
                  r.reason_member ? r.reason_member : "");
        EXPECT_EQ(object.value("previous_mac", ""), r.previous_mac);
        const std::string line = change_line(happened, charset::utf8);
        EXPECT_NE(line.find(r.line), std::string::npos) << line;
    }
    // One of its shared USB devices attached here, let go, or not attached.
    const struct {
        event_kind kind;
        detach_reason why;
        const char* error;
        const char* members;  // what follows "changed"
        const char* line;
    } attachments[] = {
        {event_kind::attached, detach_reason::by_rule, "", R"("busid":"1-1.2","port":3})",
         " attached (1-1.2 on port 3) name="},
        {event_kind::detached, detach_reason::server_let_go, "",
         R"("busid":"1-1.2","port":3,"reason":"server let go"})",
         " detached (1-1.2 from port 3: server let go) name="},
        {event_kind::detached, detach_reason::refused, "refused: 0627:0001 HID\x1b[2J",
         R"("busid":"1-1.2","port":3,"reason":"refused","error":"refused: 0627:0001 HID\u001b[2J"})",
         " detached (1-1.2 from port 3: refused: 0627:0001 HID\\x1b[2J) name="},
        {event_kind::attach_failed, detach_reason::by_rule, "192.168.8.1:3240 does not share 1-1.2",
         R"("busid":"1-1.2","rule":"lab/1-1.2","error":"192.168.8.1:3240 does not share 1-1.2"})",
         " attach failed (lab/1-1.2: 192.168.8.1:3240 does not share 1-1.2) name="},
    };
    for (const auto& a : attachments) {
        event happened{a.kind, &row};
        happened.busid = "1-1.2";
        happened.port = 3;
        happened.detached = a.why;
        happened.rule = a.kind == event_kind::attach_failed ? "lab/1-1.2" : "";
        happened.error = a.error;
        const std::string json = json_line(happened);
        EXPECT_NE(json.find(std::string("\"changed\":[],") + a.members), std::string::npos) << json;
        const std::string line = change_line(happened, charset::utf8);
        EXPECT_NE(line.find(a.line), std::string::npos) << line;
    }

    // What its USB/IP server shares, or why nothing is known.
    device_row shared = row;
    usb_export serial;
    serial.busid = "1-1.2";
    serial.vendor_id = 0x0403;
    serial.product_id = 0x6001;
    serial.product_name = "FT232 Serial (UART) IC";
    serial.speed = 2;
    shared.usb = usb_listing{usbip_outcome::listed, {serial}, "192.168.8.1", 3240};
    const event listed{event_kind::usb, &shared, {}, {}, {}, {}};
    const nlohmann::ordered_json object = nlohmann::ordered_json::parse(json_line(listed));
    EXPECT_EQ(object.at("event"), "usb");
    EXPECT_EQ(object.at("usb").dump(),
              R"([{"busid":"1-1.2","vendor":"0403","product":"6001","vendor_name":"",)"
              R"("product_name":"FT232 Serial (UART) IC","class":"","speed":"full"}])");
    EXPECT_NE(change_line(listed, charset::utf8)
                  .find(" usb (1 shared: 1-1.2 0403:6001 full speed (12 Mbit/s)) "),
              std::string::npos);
    EXPECT_FALSE(object.contains("usb_attached"));
    shared.attached = {{"1-1.1", 0}, {"1-1.2", 9}};
    const std::string with_attached = json_line(listed);
    EXPECT_NE(with_attached.find(R"("usb_attached":[{"busid":"1-1.1","port":0},)"
                                 R"({"busid":"1-1.2","port":9}]})"),
              std::string::npos)
        << with_attached;
    EXPECT_LT(with_attached.find("\"usb_attach\""), with_attached.find("\"usb_attached\""));
    shared.usb = usb_listing{usbip_outcome::no_answer, {}, "192.168.8.1", 3240};
    EXPECT_EQ(nlohmann::json::parse(json_line(listed)).at("usb_error"),
              "no answer from the USB/IP server");
    EXPECT_EQ(usb_attach_command(shared, serial), "sudo usbip attach -r 192.168.8.1 -b 1-1.2");
    shared.announcement.usbip = 3241;
    EXPECT_EQ(usb_attach_command(shared, serial),
              "sudo usbip --tcp-port 3241 attach -r 192.168.8.1 -b 1-1.2");
}

TEST(TableLines, FitTheTerminalAndNeverCutAnAddress)
{
    // A line wider than the terminal would wrap and break the screen.
    device_row row = hostile_row();
    row.announcement.name = std::string(20, 'W') + "\u65e5\u2b50\U0001f1e9\U0001f1ea";
    row.announcement.mac = "aa:bb:cc:dd:ee:ff";
    row.announcement.ip_ap = "198.51.100.23";
    row.announcement.ip_lan = "172.16.5.40";
    row.source = "10.99.0.7";
    row.trusted_host = "203.0.113.9";
    const std::vector<const device_row*> rows(30, &row);
    for (std::size_t width = 1; width <= 240; width += width < 60 ? 1 : 9) {
        const std::vector<std::string> lines = table_lines(rows, {}, {width, charset::utf8, {}});
        ASSERT_EQ(lines.size(), 31u);
        for (const std::string& line : lines) {
            ASSERT_LE(display_width(line), width) << line;
        }
        for (const std::string value : {"aa:bb:cc:dd:ee:ff", "198.51.100.23", "172.16.5.40",
                                        "10.99.0.7", "http://203.0.113.9/"}) {
            const bool whole = lines[1].find(value) != std::string::npos;
            const bool part = lines[1].find(value.substr(0, 5)) != std::string::npos;
            ASSERT_EQ(whole, part) << "cut inside " << value << " at " << width << ": " << lines[1];
        }
        if (width >= NAME_PLANNED) {
            EXPECT_EQ(lines[1].rfind(std::string(NAME_PLANNED - 1, 'W'), 0), 0u) << lines[1];
        }
    }
    EXPECT_EQ(more_devices_line(21, 8, charset::utf8), "\u2026 21 mo\u2026");
}

// Which columns show depends on the width alone, never on what the devices
// announce; without a width, into a file or a pipe, every value is whole.
TEST(TableLines, TheWidthAloneChoosesTheColumns)
{
    device_row plain;
    plain.announcement.name = "Lab";
    plain.source = plain.trusted_host = "10.0.0.1";
    device_row wide = plain;
    wide.announcement.name = "Lab bench 0 with a very long name indeed";
    wide.announcement.version = "24.10.0 r28427-6df0e3d02a";
    wide.announcement.ip_lan = "192.168.100.200";
    wide.announcement.http = 65535;
    wide.trusted_host = "192.168.100.200";
    wide.contested = true;  // its state marked within the same width
    const struct {
        std::size_t width;
        const char* header;
    } rows[] = {
        {40, "NAME STATE"},
        {60, "NAME STATE WEB"},
        {80, "NAME STATE WEB MAC"},
        {100, "NAME STATE WEB MAC LAST HEARD"},
        {120, "NAME STATE WEB MAC LAST HEARD VERSION"},
    };
    const auto header_of = [](const std::vector<std::string>& lines) {
        std::string words;
        std::istringstream header(lines.front());
        for (std::string word; header >> word;) {
            words += (words.empty() ? "" : " ") + word;
        }
        return words;
    };
    for (const auto& r : rows) {
        const table_shape shape{r.width, charset::utf8, {}};
        EXPECT_EQ(header_of(table_lines({&plain}, {}, shape)), r.header) << r.width;
        EXPECT_EQ(header_of(table_lines({&plain, &wide}, {}, shape)), r.header) << r.width;
    }
    const std::vector<std::string> whole = table_lines({&plain, &wide}, {}, {});
    EXPECT_NE(whole[2].find("Lab bench 0 with a very long name indeed  "), std::string::npos);
    EXPECT_NE(whole[2].find("24.10.0 r28427-6df0e3d02a"), std::string::npos);
    EXPECT_NE(whole[2].find("http://192.168.100.200:65535/"), std::string::npos);
    EXPECT_NE(whole[2].find("  online!  "), std::string::npos) << whole[2];
}

TEST(TableLines, OnlineFirstThenTheOrderAsked)
{
    device_row a, b, c;
    a.key = "a", a.announcement.name = "Alpha", a.source = "10.0.0.10", a.online = false;
    b.key = "b", b.announcement.name = "Bravo", b.source = "10.0.0.9";
    c.key = "c", c.announcement.name = "Charlie", c.source = "10.0.0.1",
    c.trusted_host = "10.0.0.200";
    c.last_heard.monotonic = b.last_heard.monotonic + std::chrono::seconds(1);
    const auto names = [](const std::vector<const device_row*>& rows) {
        std::string out;
        for (const device_row* row : rows) {
            out += row->key;
        }
        return out;
    };
    EXPECT_EQ(names(ordered({&a, &b, &c}, sort_order::name)), "bca");
    EXPECT_EQ(names(ordered({&c, &a, &b}, sort_order::address)), "bca");
    EXPECT_EQ(names(ordered({&a, &b, &c}, sort_order::last_heard)), "cba");
}

}  // namespace
}  // namespace quorvellan::discover
