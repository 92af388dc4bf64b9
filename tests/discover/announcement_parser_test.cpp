#include "table/announcement_parser.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <tuple>

#include "support/rendered_payload.h"

namespace quorvellan::discover {
namespace {

using test::device_facts;
using test::rendered;

const std::string REPLACEMENT = "\xef\xbf\xbd";

TEST(ParseAnnouncement, AcceptsWhatTheDaemonRenders)
{
    struct {
        device_facts facts;
        std::string name;  // as a listener must decode it
    } const cases[] = {
        {{}, "Quorvellan Link"},
        {{"Bench", "link-east", "1.4.2", "02:42:ac:11:00:02", "192.168.8.1", "10.20.0.17", 2},
         "Bench"},
        {{test::HOSTILE_NAME, "h\tx", "v\x7f", "", "", "", 2147483647},
         "\x1b[2J\x1b[H\x1b[31mEvil\r\x07\xe2\x80\xae" + REPLACEMENT + REPLACEMENT + "(\"q\"\\"},
        {{"Caf\xc3\xa9 \xe6\x97\xa5", "c", "", "", "", "", 0}, "Caf\xc3\xa9 \xe6\x97\xa5"},
        // 63 control bytes escape to 378 bytes; the renderer keeps 16 escapes.
        {test::named(std::string(63, '\x01')), std::string(16, '\x01')},
    };
    for (const auto& c : cases) {
        const parse_result result = parse_announcement(rendered(c.facts));
        ASSERT_TRUE(result.accepted()) << describe(result.reason) << " " << result.member;
        const announcement_record& r = result.record;
        EXPECT_EQ(r.name, c.name);
        EXPECT_EQ(std::tie(r.hostname, r.version, r.mac, r.ip_ap, r.ip_lan, r.usb_devices),
                  std::tie(c.facts.hostname, c.facts.version, c.facts.mac, c.facts.ip_ap,
                           c.facts.ip_lan, c.facts.usb_devices));
        EXPECT_EQ(std::make_pair(r.http, r.usbip), std::make_pair(80L, 3240L));
    }
}

std::string with(const char* member, const nlohmann::json& value)
{
    nlohmann::json object = nlohmann::json::parse(rendered({}));
    object[member] = value;
    if (value.is_discarded()) {
        object.erase(member);
    }
    return object.dump();
}

// The default payload with the name's bytes put in raw, past the renderer.
std::string raw_name(const std::string& bytes)
{
    std::string payload = rendered(test::named("@"));
    return payload.replace(payload.find('@'), 1, bytes);
}

TEST(ParseAnnouncement, RejectsWithReasonAndMember)
{
    const nlohmann::json absent(nlohmann::json::value_t::discarded);
    struct {
        std::string datagram;
        rejection reason;
        std::string member;
    } const cases[] = {
        {"", rejection::not_json, ""},
        {rendered({}) + "\n" + rendered({}), rejection::not_json, ""},
        {"/*x*/" + rendered({}), rejection::not_json, ""},
        {raw_name(std::string(1, '\0')), rejection::not_json, ""},
        {raw_name("\x1b[2J"), rejection::not_json, ""},
        {raw_name("\\ud800"), rejection::not_json, ""},
        {"[" + rendered({}) + "]", rejection::not_object, ""},
        {std::string(1000, '[') + std::string(1000, ']'), rejection::not_object, ""},
        {std::string(MAX_DATAGRAM_BYTES + 1, ' '), rejection::too_large, ""},
        {raw_name("\xff"), rejection::invalid_utf8, ""},
        {raw_name("\xc0\xaf"), rejection::invalid_utf8, ""},
        {raw_name("\xe0\x80\xaf"), rejection::invalid_utf8, ""},
        {raw_name("\xf4\x90\x80\x80"), rejection::invalid_utf8, ""},
        {raw_name("\xed\xa0\x80"), rejection::invalid_utf8, ""},
        {"{\"id\":\"other\"," + rendered({}).substr(1), rejection::duplicate_member, ""},
        {with("id", absent), rejection::foreign_id, "id"},
        {with("id", "quorvellan"), rejection::foreign_id, "id"},
        {with("name", 5), rejection::wrong_type, "name"},
        {with("mac", nullptr), rejection::wrong_type, "mac"},
        {with("http", "80"), rejection::wrong_type, "http"},
        {with("usbip", 3240.0), rejection::wrong_type, "usbip"},
        {with("usb_devices", true), rejection::wrong_type, "usb_devices"},
        {with("http", 65536), rejection::out_of_range, "http"},
        {with("usbip", -1), rejection::out_of_range, "usbip"},
        {with("usb_devices", 2147483648LL), rejection::out_of_range, "usb_devices"},
        {with("usb_devices", 18446744073709551615ULL), rejection::out_of_range, "usb_devices"},
        {with("http", 0), rejection::out_of_range, "http"},
        {with("usb_devices", -1), rejection::out_of_range, "usb_devices"},
        {with("name", std::string(97, 'n')), rejection::too_long, "name"},
        {with("version", std::string(49, 'v')), rejection::too_long, "version"},
        {with("ip_ap", "192.168.8.1:8080"), rejection::too_long, "ip_ap"},
        {with("ip_ap", "evil.example/"), rejection::not_an_address, "ip_ap"},
        {with("ip_lan", "1.2.3.04"), rejection::not_an_address, "ip_lan"},
        {with("ip_lan", "1.2.3.4."), rejection::not_an_address, "ip_lan"},
        {with("ip_lan", "1..3.4"), rejection::not_an_address, "ip_lan"},
        {with("ip_lan", std::string("1.2.3.4\0x", 9)), rejection::not_an_address, "ip_lan"},
    };
    for (const auto& c : cases) {
        const parse_result result = parse_announcement(c.datagram);
        EXPECT_EQ(describe(result.reason), std::string(describe(c.reason))) << c.datagram;
        EXPECT_EQ(result.member, c.member) << c.datagram;
    }
    for_each_field([&](const char* member, auto) {
        const parse_result result = parse_announcement(with(member, absent));
        EXPECT_EQ(result.reason, rejection::missing_member) << member;
        EXPECT_EQ(result.member, member);
    });
}

TEST(ParseAnnouncement, ToleratesUnknownMembersOfAnyShape)
{
    EXPECT_TRUE(
        parse_announcement(with("future", {{"nested", {1, 2, {{"deep", nullptr}}}}})).accepted());
}

TEST(ParseAnnouncement, SizeLimitIsOnTheWireLength)
{
    // Whitespace pads a valid object to the exact limit and one byte past it.
    const std::string body = rendered({});
    const std::string at_limit = body + std::string(MAX_DATAGRAM_BYTES - body.size(), ' ');
    EXPECT_TRUE(parse_announcement(at_limit).accepted());
    EXPECT_EQ(parse_announcement(at_limit + " ").reason, rejection::too_large);
    // A receive buffer that kept less than arrived means the datagram was cut.
    EXPECT_EQ(parse_announcement(body, body.size() + 1).reason, rejection::too_large);
}

}  // namespace
}  // namespace quorvellan::discover
