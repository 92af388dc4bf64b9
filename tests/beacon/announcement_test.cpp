#include "beacon/render.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "support/rendered_payload.h"

namespace quorvellan {
namespace {

announcement facts_of(const std::string& name, const std::string& hostname,
                      const std::string& version, const std::string& mac, const std::string& ip_ap,
                      const std::string& ip_lan, std::int32_t count)
{
    return test::announcement_of({name, hostname, version, mac, ip_ap, ip_lan, count});
}

std::string render(const announcement& a)
{
    char out[ANNOUNCE_CAPACITY];
    std::memset(out, 'X', sizeof out);
    const std::size_t length = render_announcement(a, out);
    EXPECT_EQ(out[length], '\0');
    EXPECT_EQ(std::strlen(out), length);
    return std::string(out, length);
}

// The carried form of one value, as it stands between the quotes of "name".
std::string carried_name(const std::string& name)
{
    const std::string payload = render(facts_of(name, "h", "", "", "", "", 0));
    const std::string head = "{\"id\":\"quorvellan_link\",\"name\":\"";
    const std::size_t end = payload.find("\",\"hostname\":\"h\"");
    EXPECT_EQ(payload.compare(0, head.size(), head), 0);
    return payload.substr(head.size(), end - head.size());
}

TEST(RenderAnnouncement, DefaultsGiveTheWellKnownPayload)
{
    const std::string expected =
        "{\"id\":\"quorvellan_link\",\"name\":\"Quorvellan Link\",\"hostname\":\"quorvellan\","
        "\"version\":\"unknown\",\"mac\":\"\",\"ip_ap\":\"\",\"ip_lan\":\"\",\"http\":80,"
        "\"usbip\":3240,\"usb_devices\":0}";
    const std::string payload =
        render(facts_of("Quorvellan Link", "quorvellan", "unknown", "", "", "", 0));
    EXPECT_EQ(payload, expected);
    EXPECT_EQ(payload.size(), 164u);
}

TEST(RenderAnnouncement, SizesAtTheBounds)
{
    struct {
        announcement facts;
        std::size_t size;
    } cases[] = {
        {facts_of("", "", "", "", "", "", 0), 132},
        {facts_of(std::string(63, 'n'), std::string(63, 'h'), std::string(31, 'v'),
                  std::string(31, 'm'), "255.255.255.255", "255.255.255.255", 2147483647),
         359},
        {facts_of("", "", "", "", "", "", INT_MIN), 142},
        {facts_of("", "", "", "", "", "", -1), 133},
    };
    for (const auto& c : cases) {
        const std::string payload = render(c.facts);
        EXPECT_EQ(payload.size(), c.size) << payload;
        EXPECT_EQ(payload.back(), '}');
        EXPECT_TRUE(nlohmann::json::accept(payload)) << payload;
    }
    EXPECT_NE(render(facts_of("", "", "", "", "", "", INT_MIN)).find(":-2147483648}"),
              std::string::npos);
}

// Every member of the wire definition, in its order, with the constants'
// values and each value where the record holds it.
TEST(RenderAnnouncement, FollowsTheWireDefinition)
{
    const test::device_facts facts{"n", "h", "v", "m", "1.2.3.4", "5.6.7.8", 7};
    nlohmann::ordered_json expected;
#define QUORVELLAN_EXPECT_CONSTANT(member, text) expected[#member] = text;
#define QUORVELLAN_EXPECT_TEXT(member, ...) expected[#member] = facts.member;
#define QUORVELLAN_EXPECT_PORT(member, value) expected[#member] = value;
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_EXPECT_CONSTANT, QUORVELLAN_EXPECT_TEXT,
                                    QUORVELLAN_EXPECT_PORT, QUORVELLAN_EXPECT_TEXT)
#undef QUORVELLAN_EXPECT_CONSTANT
#undef QUORVELLAN_EXPECT_TEXT
#undef QUORVELLAN_EXPECT_PORT
    EXPECT_EQ(render(test::announcement_of(facts)), expected.dump());
}

TEST(RenderAnnouncement, CarriesEachByteClass)
{
    const std::string fffd = "\xEF\xBF\xBD";
    struct {
        const char* what;
        std::string value;
        std::string carried;
    } cases[] = {
        {"plain ASCII", "Kitchen AP-2", "Kitchen AP-2"},
        {"quote and backslash", "a\"b\\c", "a\\\"b\\\\c"},
        {"short escapes", "\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
        {"other controls in lower-case hex", "\x01\x1b\x1f", "\\u0001\\u001b\\u001f"},
        {"DEL stays", "\x7f", "\x7f"},
        {"two-byte UTF-8", "caf\xC3\xA9", "caf\xC3\xA9"},
        {"three-byte UTF-8", "\xE2\x82\xAC", "\xE2\x82\xAC"},
        {"four-byte UTF-8", "\xF0\x9F\x93\xB6", "\xF0\x9F\x93\xB6"},
        {"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"lone continuation byte", "a\x80z", "a" + fffd + "z"},
        {"overlong two-byte form", "\xC0\xAF", fffd + fffd},
        {"overlong three-byte form", "\xE0\x80\xAF", fffd + fffd + fffd},
        {"overlong four-byte form", "\xF0\x80\x80\xAF", fffd + fffd + fffd + fffd},
        {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
        {"above U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"never a lead byte", "\xF5\xFF", fffd + fffd},
        {"truncated at the end", "ok\xE2\x82", "ok" + fffd + fffd},
        {"truncated before ASCII", "\xE2\x82z", fffd + fffd + "z"},
        {"truncated before a lead byte", "\xC3\xC3\xA9", fffd + "\xC3\xA9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(carried_name(c.value), c.carried) << c.what;
    }
}

TEST(RenderAnnouncement, CutsAfterTheLastWholePieceThatFits)
{
    struct {
        const char* what;
        std::string value;
        std::size_t carried_size;
    } cases[] = {
        {"63 quotes: 48 escapes", std::string(63, '"'), 96},
        {"63 controls: 16 escapes", std::string(63, '\x01'), 96},
        {"escape that would straddle the cap", "x" + std::string(62, '\x02'), 91},
        {"replacements", std::string(63, '\xFF'), 96},
        {"replacement that would straddle", "ab" + std::string(61, '\xFF'), 95},
        {"four-byte character that would straddle",
         std::string(45, '"') + "\xF0\x9F\x93\xB6\xF0\x9F\x93\xB6", 94},
    };
    for (const auto& c : cases) {
        const std::string carried = carried_name(c.value);
        EXPECT_EQ(carried.size(), c.carried_size) << c.what;
        EXPECT_TRUE(nlohmann::json::accept("\"" + carried + "\"")) << c.what;
    }
    // Addresses are capped at the length of the longest dotted quad.
    const auto parsed = nlohmann::json::parse(
        render(facts_of("n", "h", "v", "m", std::string(31, '1'), "\"\"\"\"\"\"\"\"", 0)));
    EXPECT_EQ(parsed["ip_ap"], std::string(15, '1'));
    EXPECT_EQ(parsed["ip_lan"], "\"\"\"\"\"\"\"");
}

TEST(RenderAnnouncement, FieldWithoutTerminatorIsReadOnlyToItsCapacity)
{
    announcement a = facts_of("", "h", "v", "", "", "", 0);
    std::memset(a.name, 'n', sizeof a.name);  // no NUL anywhere in the field
    EXPECT_EQ(nlohmann::json::parse(render(a))["name"], std::string(64, 'n'));
}

// Random hostile values: whatever the bytes, the payload is one JSON object
// that a strict parser accepts, within the 511-byte bound.
TEST(RenderAnnouncement, HostileValuesStayParseableAndBounded)
{
    std::mt19937 random(20261208);
    const std::string alphabet = std::string(
        "\"\\\x01\x1f\x7f\x80\xBF\xC0\xC3\xA9\xE2\x82\xAC"
        "\xED\xA0\xF0\x9F\xF4\x90\xFF"
        "aZ09 ");
    auto hostile = [&](std::size_t max) {
        std::string s(random() % max, ' ');
        for (char& c : s) {
            c = alphabet[random() % alphabet.size()];
        }
        return s;
    };
    std::size_t longest = 0;
    for (int round = 0; round < 3000; ++round) {
        const announcement a =
            facts_of(hostile(64), hostile(64), hostile(32), hostile(32), hostile(32), hostile(32),
                     static_cast<std::int32_t>(random()));
        const std::string payload = render(a);
        longest = std::max(longest, payload.size());
        ASSERT_LE(payload.size(), ANNOUNCE_CAPACITY - 1);
        nlohmann::json parsed;
        ASSERT_NO_THROW(parsed = nlohmann::json::parse(payload)) << payload;
        ASSERT_TRUE(parsed.is_object());
        ASSERT_EQ(parsed.size(), test::MEMBER_COUNT);
        EXPECT_EQ(parsed["usb_devices"], a.usb_devices);
    }
    EXPECT_GT(longest, 359u);  // the escaping really was exercised
}

}  // namespace
}  // namespace quorvellan
