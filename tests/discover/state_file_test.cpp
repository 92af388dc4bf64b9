// The state file (--state): what a restart keeps, and what it refuses to
// read, on real files in a scratch directory.
#include "table/state_file.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/temp_dir.h"

namespace quorvellan::discover {
namespace {

using namespace std::chrono_literals;

std::string slurp(const std::string& path)
{
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The longest texts a datagram may carry, every character one that the
// file must escape.
announcement_record longest(const std::string& mac)
{
    announcement_record a;
    a.name = std::string(96, '\x01');
    a.hostname = std::string(96, '\n');
    a.version = std::string(48, '"');
    a.mac = mac + std::string(48 - mac.size(), '\x1b');
    a.ip_ap = "192.168.8.1";
    a.http = 8080;
    a.usbip = 3240;
    a.usb_devices = 2147483647;
    return a;
}

// A device silent for 9 minutes when the listener stops, and 30 s more
// while it is down (the machine rebooted: the monotonic clock starts
// afresh), is back as it was: offline, last heard when it was, and
// forgotten at 10 minutes of silence as if no restart had happened.
TEST(StateFile, ARestartKeepsEachDeviceAndItsSilence)
{
    clock_reading now{std::chrono::steady_clock::time_point{} + 1000h,
                      std::chrono::system_clock::time_point{} + 480000h + 123ms};
    device_table before([&now] { return now; }, [](const event&) {}, std::nullopt);
    announcement_record without_mac;
    without_mac.name = "No MAC \xf0\x9f\x93\xa1";
    without_mac.http = 80;
    without_mac.usbip = 3240;
    before.hear(longest("AA:BB:CC:00:00:01"), "192.168.8.1", {}, "a");
    now.monotonic += 5s;
    now.wall += 5s;
    before.hear(without_mac, "10.0.0.9", {}, "b");
    now.monotonic += 8min + 55s;
    now.wall += 8min + 55s;
    before.tick();  // both offline
    const std::string text = state_text(before);
    const test::temp_dir scratch;
    const std::string path = scratch.file("devices.json");
    ASSERT_EQ(write_state(path, text), "");
    EXPECT_EQ(slurp(path), text);
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0) << "the temporary file is left";

    clock_reading later{std::chrono::steady_clock::time_point{} + 30s, now.wall + 30s};
    std::string reported;
    device_table after([&later] { return later; },
                       [&reported](const event& happened) { reported += happened.row->key + ";"; },
                       forget_after(10min));
    std::string said;
    for (const known_device& known : load_state(path, said)) {
        EXPECT_TRUE(after.restore(known));
    }
    EXPECT_EQ(said, "");
    ASSERT_EQ(after.size(), 2u);
    for (const device_row* row : before.rows()) {
        const device_row* back = after.find(row->key);
        ASSERT_NE(back, nullptr) << row->key;
        EXPECT_EQ(back->announcement, row->announcement);
        EXPECT_EQ(back->source, row->source);
        EXPECT_FALSE(back->online);
        EXPECT_EQ(back->last_heard.wall, row->last_heard.wall);
        EXPECT_EQ(back->presence.cells, row->presence.cells);
        EXPECT_EQ(back->presence.newest, row->presence.newest);
    }
    EXPECT_EQ(after.online_count(), 0u);
    // Written again, the state is the same but for when it was written.
    const std::string again = state_text(after);
    EXPECT_EQ(again.substr(again.find("\"devices\"")), text.substr(text.find("\"devices\"")));
    // Nothing happened in this run: no event, until the first device has
    // been silent for 10 minutes in all.
    later.monotonic += 20s;
    later.wall += 20s;
    after.tick();
    EXPECT_EQ(reported, "");
    later.monotonic += 10s;
    later.wall += 10s;
    after.tick();
    EXPECT_EQ(reported, "mac aa:bb:cc:00:00:01" + std::string(31, '\x1b') + ";");
    EXPECT_EQ(text.rfind("{\"format\":\"quorvellan-discover state\",\"version\":1,", 0), 0u);
}

// A file it cannot use is set aside as FILE.bad, with one line, and the
// listener starts without it; no file at all is no problem.
TEST(StateFile, ADamagedForeignOrOversizedFileIsSetAside)
{
    device_table table(
        read_system_clocks, [](const event&) {}, std::nullopt);
    table.hear(longest("02:00:00:00:00:01"), "192.168.8.1", {}, "a");
    const std::string valid = state_text(table);
    std::string wrong_member = valid;
    wrong_member.replace(wrong_member.find("\"http\":8080"), 11, "\"http\":0");
    const struct {
        const char* about;
        std::string contents;  // none: no file
        std::string said;
    } rows[] = {
        {"none", "", ""},
        {"cut short", valid.substr(0, valid.size() / 2),
         "is not JSON: damaged, or another program's; set aside as "},
        {"another program's", "global:\n  scrape_interval: 15s\n",
         "is not JSON: damaged, or another program's; set aside as "},
        {"another format", R"({"devices":[]})",
         "is not a state file of quorvellan-discover; set aside as "},
        {"another version", R"({"format":"quorvellan-discover state","version":2,"devices":[]})",
         "is of another version of quorvellan-discover; set aside as "},
        {"a member out of range", wrong_member,
         "is damaged: device 1 has an announcement refused (number out of range \"http\"); set "
         "aside "
         "as "},
        {"too large", valid + std::string(MAX_STATE_BYTES, ' '),
         "is larger than " + std::to_string(MAX_STATE_BYTES) + " bytes; set aside as "},
    };
    for (const auto& row : rows) {
        const test::temp_dir scratch;
        const std::string path = scratch.file("devices.json");
        if (!row.contents.empty()) {
            scratch.write("devices.json", row.contents);
        }
        std::string said;
        EXPECT_TRUE(load_state(path, said).empty()) << row.about;
        if (row.contents.empty()) {
            EXPECT_EQ(said, "") << row.about;
            continue;
        }
        EXPECT_EQ(said,
                  "the state file " + path + " " + row.said + path + ".bad, starting without it")
            << row.about;
        EXPECT_EQ(slurp(path + ".bad"), row.contents) << row.about;
        EXPECT_NE(access(path.c_str(), F_OK), 0) << row.about;
    }
    // The one it was spoiled from could have been read, and the longest row
    // is within the bound that the reader holds a file to.
    std::string problem;
    EXPECT_TRUE(read_state(valid, problem)) << problem;
    EXPECT_LE(valid.size(), 1024 + MAX_STATE_ROW_BYTES);
}

}  // namespace
}  // namespace quorvellan::discover
