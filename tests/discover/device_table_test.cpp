#include "device_table.h"

#include <gtest/gtest.h>

namespace quorvellan::discover {
namespace {

using namespace std::chrono_literals;

announcement_record device(const std::string& mac, const std::string& name = "Link")
{
    announcement_record a;
    a.name = name;
    a.mac = mac;
    a.http = 80;
    return a;
}

class device_table_test : public ::testing::Test {
   protected:
    // Time moves only when a test moves it.
    clock_reading now{std::chrono::steady_clock::time_point{} + 1000h,
                      std::chrono::system_clock::time_point{} + 480000h};
    device_table table{[this] { return now; }};
};

TEST_F(device_table_test, one_row_per_mac_whatever_the_copies_spelling_or_address)
{
    EXPECT_EQ(table.hear(device("aa:bb"), "192.168.8.1").kind, change::new_device);
    // The same cycle arrives again through the limited broadcast.
    EXPECT_EQ(table.hear(device("aa:bb"), "192.168.8.1").kind, change::unchanged);
    const hearing moved = table.hear(device("AA:BB"), "10.0.0.9");
    EXPECT_EQ(moved.kind, change::changed);
    EXPECT_EQ(moved.changed_members, (std::vector<std::string>{"mac"}));
    ASSERT_EQ(table.rows().size(), 1u);
    EXPECT_EQ(table.rows()[0]->source, "10.0.0.9");
    // Heard again from its other network: the row follows, but nothing changed.
    EXPECT_EQ(table.hear(device("AA:BB"), "192.168.8.1").kind, change::unchanged);
    EXPECT_EQ(table.rows()[0]->source, "192.168.8.1");
}

TEST_F(device_table_test, without_mac_the_source_address_tells_devices_apart)
{
    table.hear(device(""), "10.0.0.1");
    table.hear(device(""), "10.0.0.2");
    const hearing renamed = table.hear(device("", "Renamed"), "10.0.0.1");
    EXPECT_EQ(renamed.changed_members, std::vector<std::string>{"name"});
    // A MAC spelled like an address stays apart from the device heard there.
    EXPECT_EQ(table.hear(device("10.0.0.1"), "10.0.0.3").kind, change::new_device);
    EXPECT_EQ(table.rows().size(), 3u);
}

TEST_F(device_table_test, offline_after_ten_silent_seconds_and_back_when_heard)
{
    table.hear(device("aa:bb"), "10.0.0.1");
    now.monotonic += 9999ms;
    EXPECT_TRUE(table.expire().empty());
    table.hear(device("cc:dd"), "10.0.0.2");
    now.monotonic += 1ms;
    now.wall -= 1h;  // a wall clock step must not matter
    const std::vector<const device_row*> gone = table.expire();
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0]->announcement.mac, "aa:bb");
    EXPECT_FALSE(gone[0]->online);
    EXPECT_TRUE(table.expire().empty()) << "going offline is reported once";
    EXPECT_EQ(table.hear(device("aa:bb"), "10.0.0.1").kind, change::back_online);
    EXPECT_EQ(table.online_count(), 2u);
}

TEST_F(device_table_test, a_flood_of_invented_macs_is_bounded)
{
    for (std::size_t i = 0; i < MAX_DEVICES; ++i) {
        table.hear(device("m" + std::to_string(i)), "10.0.0.1");
    }
    EXPECT_EQ(table.hear(device("one-more"), "10.0.0.1").kind, change::refused);
    now.monotonic += 10s;
    table.hear(device("m5"), "10.0.0.1");
    table.expire();
    EXPECT_EQ(table.hear(device("one-more"), "10.0.0.1").kind, change::new_device);
    EXPECT_EQ(table.rows().size(), MAX_DEVICES);
    EXPECT_EQ(table.hear(device("m5"), "10.0.0.1").kind, change::unchanged)
        << "an online device is never evicted";
}

TEST(web_url, prefers_a_valid_lan_address_and_never_links_a_claimed_name)
{
    device_row row;
    row.source = "10.0.0.7";
    row.announcement = device("");
    row.announcement.ip_ap = "192.168.8.1";
    EXPECT_EQ(web_url(row), "http://192.168.8.1/");
    row.announcement.ip_ap = "evil.example/login";
    EXPECT_EQ(web_url(row), "http://10.0.0.7/");
    row.announcement.ip_ap = std::string("192.168.8.1\0@evil.example", 25);
    EXPECT_EQ(web_url(row), "http://10.0.0.7/");
    row.announcement.http = 8080;
    EXPECT_EQ(web_url(row), "http://10.0.0.7:8080/");
}

}  // namespace
}  // namespace quorvellan::discover
