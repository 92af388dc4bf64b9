// Holds the published schema and the documented examples to what the
// daemon's renderer really sends, and to what the listener accepts.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "announcement_parser.h"
#include "rendered_payload.h"
#include "support/json_schema.h"

namespace quorvellan::discover {
namespace {

using nlohmann::json;

std::string read_doc(const char* name)
{
    std::stringstream text;
    text << std::ifstream(std::string(DOCS_DIR) + "/" + name).rdbuf();
    return text.str();
}

std::string schema_violation(const std::string& payload)
{
    static const json schema =
        quorvellan_test::load_schema(std::string(DOCS_DIR) + "/announcement.schema.json");
    return quorvellan_test::describe(quorvellan_test::check_schema(schema, json::parse(payload)));
}

TEST(schema, daemon_payloads_conform_and_are_accepted)
{
    const testing::device_facts payloads[] = {
        {},
        {"Bench", "link-east", "1.4.2", "02:42:ac:11:00:02", "192.168.8.1", "10.20.0.17", 2},
        {testing::HOSTILE_NAME, "\r\n", "\x7f\xff", "\x01", "0.0.0.0", "255.255.255.255",
         2147483647},
        // Every byte escapes, so the renderer's caps decide the lengths.
        {std::string(63, '\x01'), std::string(63, '"'), std::string(31, '\xff'),
         std::string(31, '\\'), "100.200.250.199", "", 1000},
    };
    for (const testing::device_facts& facts : payloads) {
        const std::string payload = testing::rendered(facts);
        EXPECT_LE(payload.size(), 511u);
        EXPECT_EQ(schema_violation(payload), "") << payload;
        EXPECT_TRUE(parse_announcement(payload).accepted()) << payload;
    }
}

json changed(const char* member, const json& value)
{
    json object = json::parse(testing::rendered({}));
    object[member] = value;
    return object;
}

// The listener's bounds are the schema's: what one refuses, so does the
// other, and a value at a bound passes both.
TEST(schema, listener_and_schema_agree_on_bounds)
{
    const std::string e_acute = "\xc3\xa9";
    std::string accented_name;
    for (int i = 0; i < 96; ++i) {
        accented_name += e_acute;
    }
    const json refused[] = {
        changed("id", "quorvellan"),
        changed("http", 0),
        changed("http", 65536),
        changed("usbip", "3240"),
        changed("usb_devices", 1.5),
        changed("usb_devices", -1),
        changed("usb_devices", 2147483648LL),
        changed("mac", 5),
        changed("name", std::string(97, 'n')),
        changed("hostname", std::string(97, 'h')),
        changed("version", std::string(49, 'v')),
        changed("mac", std::string(49, 'm')),
        changed("ip_ap", "192.168.1"),
        changed("ip_lan", "10.0.0.256"),
        changed("ip_ap", "010.0.0.1"),
        changed("ip_ap", "1.2.3.4/x"),
        changed("ip_lan", " 1.2.3.4"),
        changed("ip_ap", "evil.example"),
        json::object(),
    };
    for (const json& object : refused) {
        EXPECT_NE(schema_violation(object.dump()), "") << object.dump();
        EXPECT_FALSE(parse_announcement(object.dump()).accepted()) << object.dump();
    }
    const json allowed[] = {
        changed("http", 8080),
        changed("usbip", 65535),
        changed("usb_devices", 2147483647),
        changed("name", accented_name),
        changed("hostname", std::string(96, 'h')),
        changed("version", std::string(48, 'v')),
        changed("mac", std::string(48, 'm')),
        changed("ip_ap", "0.0.0.0"),
        changed("ip_lan", "255.255.255.255"),
    };
    for (const json& object : allowed) {
        EXPECT_EQ(schema_violation(object.dump()), "") << object.dump();
        EXPECT_TRUE(parse_announcement(object.dump()).accepted()) << object.dump();
    }
}

TEST(schema, documented_examples_conform_and_are_accepted)
{
    std::istringstream doc(read_doc("announcement.md"));
    std::vector<std::string> examples;
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("{\"id\":", 0) == 0) {
            examples.push_back(line);
            EXPECT_EQ(schema_violation(line), "") << line;
            EXPECT_TRUE(parse_announcement(line).accepted()) << line;
        }
    }
    ASSERT_GE(examples.size(), 2u);
    EXPECT_EQ(examples[0], testing::rendered({})) << "what a device with nothing set sends";
}

TEST(schema, checker_refuses_keywords_it_cannot_apply)
{
    const json schema = {{"type", "object"},
                         {"properties", {{"name", {{"type", "string"}, {"minLength", 1}}}}}};
    const auto found = quorvellan_test::check_schema(schema, json::parse(testing::rendered({})));
    ASSERT_EQ(found.size(), 1u) << quorvellan_test::describe(found);
    EXPECT_EQ(found[0].member, "name");
    EXPECT_EQ(found[0].keyword, "minLength");
}

}  // namespace
}  // namespace quorvellan::discover
