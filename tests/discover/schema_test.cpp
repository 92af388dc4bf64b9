// Holds the published schema and the documented examples to what the
// daemon's renderer really sends, and to what the listener accepts; and
// the documented list of events to those the listener reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/json_schema.h"
#include "support/rendered_payload.h"
#include "table/announcement_parser.h"
#include "table/device_event.h"

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
        test::load_schema(std::string(DOCS_DIR) + "/announcement.schema.json");
    return test::describe(test::check_schema(schema, json::parse(payload)));
}

TEST(AnnouncementSchema, DaemonPayloadsConformAndAreAccepted)
{
    const test::device_facts payloads[] = {
        {},
        {"Bench", "link-east", "1.4.2", "02:42:ac:11:00:02", "192.168.8.1", "10.20.0.17", 2},
        {test::HOSTILE_NAME, "\r\n", "\x7f\xff", "\x01", "0.0.0.0", "255.255.255.255", 2147483647},
        // Every byte escapes, so the renderer's caps decide the lengths.
        {std::string(63, '\x01'), std::string(63, '"'), std::string(31, '\xff'),
         std::string(31, '\\'), "100.200.250.199", "", 1000},
    };
    for (const test::device_facts& facts : payloads) {
        const std::string payload = test::rendered(facts);
        EXPECT_LE(payload.size(), ANNOUNCE_CAPACITY - 1);
        EXPECT_EQ(schema_violation(payload), "") << payload;
        EXPECT_TRUE(parse_announcement(payload).accepted()) << payload;
    }
}

json changed(const char* member, const json& value)
{
    json object = json::parse(test::rendered({}));
    object[member] = value;
    return object;
}

// The listener's bounds are the schema's: what one refuses, so does the
// other, and a value at a bound passes both.
TEST(AnnouncementSchema, ListenerAndSchemaAgreeOnBounds)
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

TEST(AnnouncementSchema, DocumentedExamplesConformAndAreAccepted)
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
    EXPECT_EQ(examples[0], test::rendered({})) << "what a device with nothing set sends";
}

// The one list of events that the JSON, the metrics and the manual point
// to names every kind the listener reports, and no other.
TEST(DocumentedEvents, TheOneListNamesEveryKindAndNoOther)
{
    std::istringstream doc(read_doc("discover.md"));
    std::vector<std::string> listed;
    bool in_events = false;
    for (std::string line; std::getline(doc, line);) {
        if (line.rfind("## ", 0) == 0) {
            in_events = line == "## Events";
        } else if (in_events && line.rfind("| `", 0) == 0) {
            listed.push_back(line.substr(3, line.find('`', 3) - 3));
        }
    }
    std::vector<std::string> kinds;
    for (std::size_t k = 0; k < EVENT_KIND_COUNT; ++k) {
        kinds.push_back(describe(static_cast<event_kind>(k)));
    }
    std::sort(listed.begin(), listed.end());
    std::sort(kinds.begin(), kinds.end());
    EXPECT_EQ(listed, kinds);
}

// The published schema states the wire definition: the same members in the
// same order, each with its type and bounds, and the constant member's value.
TEST(AnnouncementSchema, StatesTheWireDefinition)
{
    const auto schema = nlohmann::ordered_json::parse(read_doc("announcement.schema.json"));
    struct row {
        const char* member;
        nlohmann::ordered_json rules;  // what the member's schema must say
        bool address;                  // whether it carries the dotted-quad pattern
    };
    std::vector<row> rows;
#define QUORVELLAN_ROW_CONSTANT(member, text) rows.push_back({#member, {{"const", text}}, false});
#define QUORVELLAN_ROW_TEXT(member, capacity, carried_max, format)    \
    rows.push_back({#member,                                          \
                    {{"type", "string"}, {"maxLength", carried_max}}, \
                    text_format::format == text_format::ipv4});
#define QUORVELLAN_ROW_PORT(member, value)                                                      \
    rows.push_back({#member,                                                                    \
                    {{"type", "integer"}, {"minimum", PORT_LOWEST}, {"maximum", PORT_HIGHEST}}, \
                    false});
#define QUORVELLAN_ROW_COUNT(member)                                                              \
    rows.push_back({#member,                                                                      \
                    {{"type", "integer"}, {"minimum", COUNT_LOWEST}, {"maximum", COUNT_HIGHEST}}, \
                    false});
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_ROW_CONSTANT, QUORVELLAN_ROW_TEXT,
                                    QUORVELLAN_ROW_PORT, QUORVELLAN_ROW_COUNT)
#undef QUORVELLAN_ROW_CONSTANT
#undef QUORVELLAN_ROW_TEXT
#undef QUORVELLAN_ROW_PORT
#undef QUORVELLAN_ROW_COUNT

    std::vector<std::string> members;
    for (const row& r : rows) {
        members.emplace_back(r.member);
    }
    std::vector<std::string> required = schema.at("required");
    EXPECT_EQ(required, members) << "members or their order";
    std::vector<std::string> properties;
    for (const auto& item : schema.at("properties").items()) {
        properties.push_back(item.key());
    }
    EXPECT_EQ(properties, members) << "members or their order";
    for (const row& r : rows) {
        const auto& property = schema.at("properties").value(r.member, nlohmann::ordered_json());
        for (const auto& [keyword, value] : r.rules.items()) {
            EXPECT_EQ(property.value(keyword, nlohmann::ordered_json()), value)
                << r.member << " " << keyword;
        }
        EXPECT_EQ(property.contains("pattern"), r.address) << r.member;
    }
    EXPECT_NE(schema.at("description").get<std::string>().find(std::to_string(BEACON_PORT)),
              std::string::npos);
}

TEST(AnnouncementSchema, CheckerRefusesKeywordsItCannotApply)
{
    const json schema = {{"type", "object"},
                         {"properties", {{"name", {{"type", "string"}, {"minLength", 1}}}}}};
    const auto found = test::check_schema(schema, json::parse(test::rendered({})));
    ASSERT_EQ(found.size(), 1u) << test::describe(found);
    EXPECT_EQ(found[0].member, "name");
    EXPECT_EQ(found[0].keyword, "minLength");
}

}  // namespace
}  // namespace quorvellan::discover
