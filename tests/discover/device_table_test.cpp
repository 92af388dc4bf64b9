#include "table/device_table.h"

#include <gtest/gtest.h>

#include <cctype>

#include "session.h"
#include "support/fake_ifaddrs.h"
#include "support/rendered_payload.h"
#include "web/event_json.h"

namespace quorvellan::discover {
namespace {

using namespace std::chrono_literals;

announcement_record device(const std::string& mac, const std::string& name = "Link")
{
    announcement_record a;
    a.name = name;
    a.hostname = "host";
    for (const char c : mac) {
        a.hostname += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    a.mac = mac;
    a.http = 80;
    return a;
}

// "kind member, member" for one event; removed ones name their reason.
std::string described(const event& happened)
{
    static const char* const names[] = {"new", "changed",  "offline",  "online",       "removed",
                                        "usb", "attached", "detached", "attach_failed"};
    std::string text = names[static_cast<int>(happened.kind)];
    if (happened.kind == event_kind::removed) {
        text += happened.reason == removal::evicted ? " evicted " : " forgotten ";
        text += happened.row->key;
    }
    for (std::size_t i = 0; i < happened.changed.size(); ++i) {
        text += (i == 0 ? " " : ", ") + happened.changed[i];
    }
    return text;
}

class DeviceTable : public ::testing::Test {
   protected:
    // Time moves only when a test moves it.
    clock_reading now{std::chrono::steady_clock::time_point{} + 1000h,
                      std::chrono::system_clock::time_point{} + 480000h};
    std::string reported;  // the events since last taken, "; " between them
    device_table table{[this] { return now; },
                       [this](const event& happened) {
                           reported += (reported.empty() ? "" : "; ") + described(happened);
                       },
                       std::nullopt};

    std::string taken()
    {
        return std::exchange(reported, "");
    }

    // What hearing the announcement reported.
    std::string heard(const announcement_record& a, const std::string& source,
                      std::string_view datagram = {})
    {
        table.hear(a, source, {}, datagram);
        return taken();
    }

    std::string ticked()
    {
        table.tick();
        return taken();
    }
};

TEST_F(DeviceTable, OneRowPerMacWhateverTheCopiesSpelling)
{
    EXPECT_EQ(heard(device("aa:bb"), "192.168.8.1"), "new");
    // The same cycle arrives again through the limited broadcast.
    EXPECT_EQ(heard(device("aa:bb"), "192.168.8.1"), "");
    now.monotonic += 3s;
    EXPECT_EQ(heard(device("AA:BB"), "192.168.8.1"), "changed mac");
    ASSERT_EQ(table.rows().size(), 1u);
}

// Which shared USB devices are attached here is the row's, for every view;
// each change is an event, and one that changes nothing is none.
TEST_F(DeviceTable, AttachmentsAreKeptOnTheRowAndEachChangeReported)
{
    heard(device("aa:bb"), "192.168.8.1");
    const std::string key = "mac aa:bb";
    const auto attached = [&] { return table.find(key)->attached; };
    table.record_attachment(key, "1-2", 15);
    table.record_attachment(key, "1-1", 0);
    table.record_attachment(key, "1-1", 0);
    EXPECT_EQ(taken(), "attached; attached");
    EXPECT_EQ(attached(), (std::vector<usb_attachment>{{"1-1", 0}, {"1-2", 15}}));
    table.record_detachment(key, "1-1", 0, detach_reason::link_lost);
    table.record_attach_failure(key, "aa:bb/1-1", "1-1", "not shared");
    EXPECT_EQ(taken(), "detached; attach_failed");
    EXPECT_EQ(attached(), (std::vector<usb_attachment>{{"1-2", 15}}));
    table.record_attachment("mac cc:dd", "1-1", 0);
    EXPECT_EQ(taken(), "");
}

TEST_F(DeviceTable, WithoutMacTheSourceAddressTellsDevicesApart)
{
    heard(device(""), "10.0.0.1");
    heard(device(""), "10.0.0.2");
    now.monotonic += 3s;
    EXPECT_EQ(heard(device("", "Renamed"), "10.0.0.1"), "changed name");
    // A MAC spelled like an address stays apart from the device heard there.
    EXPECT_EQ(heard(device("10.0.0.1"), "10.0.0.3"), "new");
    EXPECT_EQ(table.rows().size(), 3u);
}

// One device's life, step by step: each row moves the clock, then hears an
// announcement (or ticks, with an empty source) and names what is reported.
TEST_F(DeviceTable, EventsAreReportedOnceAndChangesAtMostOnceAPeriod)
{
    struct step {
        std::chrono::milliseconds after;
        const char* name;
        const char* version;
        const char* source;  // "" ticks instead
        const char* reported;
    };
    const step steps[] = {
        {0ms, "Link", "1", "10.0.0.1", "new"},
        {0ms, "Link", "1", "10.0.0.1", ""},
        // Flipping within a period: held back, and nothing once flipped back.
        {1000ms, "Renamed", "1", "10.0.0.1", ""},
        {1000ms, "Link", "1", "10.0.0.1", ""},
        {1000ms, "", "", "", ""},
        // A period after the last report a change is reported at once...
        {500ms, "Other", "1", "10.0.0.1", "changed name"},
        // ...and the next one when its period is over, however many come.
        {500ms, "Again", "1", "10.0.0.1", ""},
        {500ms, "Again", "2", "10.0.0.1", ""},
        {1500ms, "", "", "", ""},
        {500ms, "", "", "", "changed name, version"},
        // Silent for ten seconds, then back with a new firmware.
        {7500ms, "", "", "", ""},
        {500ms, "", "", "", "offline"},
        {5000ms, "", "", "", ""},
        {0ms, "Again", "3", "10.0.0.1", "online version"},
        {0ms, "Again", "3", "10.0.0.1", ""},
        {11000ms, "", "", "", "offline"},
        {1000ms, "Again", "3", "10.0.0.1", "online"},
    };
    for (const step& s : steps) {
        now.monotonic += s.after;
        announcement_record a = device("aa:bb", s.name);
        a.version = s.version;
        const std::string got = *s.source == '\0' ? ticked() : heard(a, s.source);
        EXPECT_EQ(got, s.reported) << "at " << s.name << " " << s.version;
    }
    EXPECT_EQ(table.online_count(), 1u);
}

TEST_F(DeviceTable, AnUnannouncedSourceIsFlaggedAndReported)
{
    announcement_record two_networks = device("aa:bb");
    two_networks.ip_ap = "192.168.8.1";
    two_networks.ip_lan = "10.0.0.23";
    const struct {
        announcement_record announcement;
        const char* source;
        const char* reported;
        bool suspect;
        const char* web;
    } rows[] = {
        {two_networks, "192.168.8.1", "new", false, "http://192.168.8.1/"},
        // Its other network: no change, and the link stays put.
        {two_networks, "10.0.0.23", "", false, "http://192.168.8.1/"},
        {two_networks, "10.0.0.99", "changed source", true, "http://192.168.8.1/"},
        {two_networks, "10.0.0.98", "changed source", true, "http://192.168.8.1/"},
        {two_networks, "10.0.0.23", "changed source", false, "http://192.168.8.1/"},
        // Announcing no address, a device may speak from the first alone.
        {device("cc:dd"), "10.0.0.5", "new", false, "http://10.0.0.5/"},
        {device("cc:dd"), "10.0.0.5", "", false, "http://10.0.0.5/"},
        {device("cc:dd"), "10.0.0.6", "changed source", true, "http://10.0.0.6/"},
    };
    for (const auto& row : rows) {
        now.monotonic += 3s;
        EXPECT_EQ(heard(row.announcement, row.source), row.reported) << row.source;
        const device_row& kept = *table.rows()[row.announcement.mac == "aa:bb" ? 0 : 1];
        EXPECT_EQ(kept.source_suspect, row.suspect) << row.source;
        EXPECT_EQ(web_url(kept), row.web) << row.source;
    }
}

// A forger announcing a real device's MAC with an address of its own, the
// real device every 3 s and the forger every 0.5 s from 8 s to 12 s: the
// row lets go of the USB list its old address gave, and is contested while
// both speak, told at once and in the device object, until CONTESTED_FOR
// after the real device last spoke against the forger.
TEST_F(DeviceTable, ASecondSenderOfAMacContestsTheRowAndANewAddressDropsItsUsbList)
{
    announcement_record real = device("aa:bb");
    real.ip_ap = "10.99.0.2";
    real.usbip = 3240;
    announcement_record forged = real;
    forged.ip_ap = "10.99.0.66";
    const auto row = [&]() -> const device_row& { return *table.find("mac aa:bb"); };
    const auto shared_at = [](const char* host) {
        return usb_listing{usbip_outcome::listed, {usb_export{}}, host, 3240};
    };
    const auto start = now.monotonic;
    EXPECT_EQ(heard(real, "10.99.0.2"), "new");
    table.record_usb("mac aa:bb", shared_at("10.99.0.66"));
    EXPECT_FALSE(row().usb) << "kept an answer from an address the row does not have";
    table.record_usb("mac aa:bb", shared_at("10.99.0.2"));
    ASSERT_TRUE(row().usb);
    taken();
    std::vector<std::string> told;
    for (int ms = 3000; ms <= 22000; ms += 500) {
        now.monotonic = start + std::chrono::milliseconds(ms);
        std::string got = ms % 3000 == 0             ? heard(real, "10.99.0.2")
                          : ms >= 8000 && ms < 12000 ? heard(forged, "10.99.0.66")
                                                     : "";
        got += ms % 1000 == 0 ? ticked() : "";
        if (!got.empty()) {
            told.push_back(std::to_string(ms) + " " + got);
        }
        if (ms == 8000) {
            EXPECT_EQ(row().trusted_host, "10.99.0.66");
            EXPECT_FALSE(row().usb) << "the real device's bus ids at the forger's address";
        }
        const bool contested = ms >= 9000 && ms < 21000;
        EXPECT_EQ(row().contested, contested) << ms;
        EXPECT_EQ(device_object(row())["contested"], contested) << ms;
        EXPECT_EQ(offers_attach(row()), !contested) << ms;
    }
    const std::vector<std::string> expected = {
        "8000 changed ip_ap", "9000 changed ip_ap, contested", "21000 changed contested"};
    EXPECT_EQ(told, expected);
    EXPECT_EQ(row().trusted_host, "10.99.0.2");
}

// Heard each period from both its networks, each through its directed and
// its limited broadcast, and given a new lease on its uplink: one device.
TEST_F(DeviceTable, ADeviceOnTwoNetworksAndItsNewAddressContestNothing)
{
    announcement_record two_networks = device("aa:bb");
    two_networks.ip_ap = "192.168.8.1";
    two_networks.ip_lan = "10.0.0.23";
    for (int cycle = 0; cycle < 10; ++cycle) {
        if (cycle == 4) {
            two_networks.ip_lan = "10.0.0.24";
        }
        for (const std::string& source :
             {two_networks.ip_ap, two_networks.ip_lan, two_networks.ip_ap, two_networks.ip_lan}) {
            table.hear(two_networks, source, {}, {});
            EXPECT_FALSE(table.find("mac aa:bb")->contested) << cycle << " from " << source;
        }
        now.monotonic += 3s;
        table.tick();
    }
    EXPECT_EQ(taken(), "new; changed ip_lan");
}

TEST_F(DeviceTable, AKnownDeviceIsAlwaysReadAndOnlyNewRowsAreCapped)
{
    // Four devices side by side on one address fill its share of new rows...
    for (std::size_t i = 0; i < MAX_ONLINE_PER_SOURCE; ++i) {
        EXPECT_EQ(table.hear(device("side" + std::to_string(i)), "10.0.0.66", {}, {}),
                  hearing::added);
    }
    EXPECT_EQ(table.hear(device("one-more"), "10.0.0.66", {}, {}), hearing::source_full);
    EXPECT_EQ(taken(), "new; new; new; new");
    // ...while each of them is still heard, a change included.
    now.monotonic += 3s;
    announcement_record changed = device("side2");
    changed.usb_devices = 3;
    EXPECT_EQ(table.hear(changed, "10.0.0.66", {}, {}), hearing::known);
    EXPECT_EQ(taken(), "changed usb_devices");
    // Once they are offline, the address may bring others.
    now.monotonic += 10s;
    EXPECT_EQ(ticked(), "offline; offline; offline; offline");
    EXPECT_EQ(table.hear(device("one-more"), "10.0.0.66", {}, {}), hearing::added);
}

// A device announcing its bridge's MAC, then its radio's: one row when the
// first falls silent, two when both keep speaking, and two for devices of the
// same host name on two addresses.
TEST_F(DeviceTable, ANewMacFromTheSameDeviceKeepsItsRow)
{
    const auto same_host = [](const std::string& mac) {
        announcement_record a = device(mac);
        a.hostname = "OpenWrt";
        return a;
    };
    const struct {
        std::chrono::milliseconds after;
        const char* mac;  // "" ticks instead
        const char* source;
        const char* reported;
    } steps[] = {
        {0ms, "02:00:00:00:00:0b", "10.0.0.1", "new"},
        // The radio's MAC: held while the bridge's may still speak...
        {3000ms, "02:00:00:00:00:0a", "10.0.0.1", ""},
        {500ms, "", "", ""},
        // ...until the bridge's has missed its period: the same device.
        {500ms, "", "", "changed mac"},
        {2000ms, "02:00:00:00:00:0a", "10.0.0.1", ""},
        // A factory-default twin on another address is another device.
        {0ms, "02:00:00:00:00:0c", "10.0.0.2", "new"},
        // Beside it on its address, a device that keeps speaking beside the
        // first is a second device, told once the first has spoken again.
        {1000ms, "02:00:00:00:00:0d", "10.0.0.2", ""},
        {2000ms, "02:00:00:00:00:0c", "10.0.0.2", "new"},
        {1000ms, "02:00:00:00:00:0d", "10.0.0.2", ""},
    };
    for (const auto& s : steps) {
        now.monotonic += s.after;
        const std::string got = *s.mac == '\0' ? ticked() : heard(same_host(s.mac), s.source);
        EXPECT_EQ(got, s.reported) << s.mac << " " << s.source;
    }
    EXPECT_EQ(table.size(), 3u);
    EXPECT_EQ(table.online_count(), 3u);
}

TEST_F(DeviceTable, ARepeatIsKnownByItsBytesFromItsAddress)
{
    heard(device("aa:bb"), "10.0.0.1", "datagram one");
    const struct {
        const char* bytes;
        const char* source;
        bool repeat;
    } rows[] = {
        {"datagram one", "10.0.0.1", true},
        {"datagram one", "10.0.0.2", false},  // the same bytes from elsewhere
        {"datagram one!", "10.0.0.1", false},
        {"datagram on", "10.0.0.1", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(table.heard_again(row.bytes, row.source), row.repeat) << row.bytes;
    }
    // An offline device's repeat is read, so that its return is reported.
    now.monotonic += 10s;
    ticked();
    EXPECT_FALSE(table.heard_again("datagram one", "10.0.0.1"));
}

// A full table of established devices, two of which fall silent, then
// newcomers: which row leaves, with its event, or that none does.
TEST_F(DeviceTable, WhenFullOfflineRowsThenNewcomersLeaveButEstablishedDevicesStay)
{
    const auto hear_all = [this](std::size_t from) {
        for (std::size_t i = from; i < MAX_DEVICES; ++i) {
            now.monotonic += 1ms;
            heard(device("real" + std::to_string(i)),
                  "10.2." + std::to_string(i / 250) + "." + std::to_string(i % 250));
        }
    };
    hear_all(0);
    now.monotonic += 3s;
    hear_all(0);  // established: heard in two periods
    now.monotonic += 6s;
    hear_all(2);
    now.monotonic += 4s;
    EXPECT_EQ(ticked(), "offline; offline");
    // The longest silent offline row goes first, then the other.
    EXPECT_EQ(heard(device("new0"), "10.9.0.1"), "removed evicted mac real0; new");
    EXPECT_EQ(heard(device("new1"), "10.9.0.2"), "removed evicted mac real1; new");
    // Then newcomers make room for newcomers, the longest silent first...
    now.monotonic += 1ms;
    EXPECT_EQ(heard(device("new2"), "10.9.0.3"), "removed evicted mac new0; new");
    // ...until those still there, heard a period later, are established too.
    now.monotonic += 3s;
    hear_all(2);
    heard(device("new1"), "10.9.0.2");
    heard(device("new2"), "10.9.0.3");
    EXPECT_EQ(table.hear(device("new3"), "10.9.0.4", {}, {}), hearing::table_full);
    EXPECT_EQ(taken(), "");
    EXPECT_EQ(table.size(), MAX_DEVICES);
}

TEST_F(DeviceTable, AnOfflineRowIsForgottenAfterItsTime)
{
    device_table forgetting{[this] { return now; },
                            [this](const event& happened) {
                                reported += (reported.empty() ? "" : "; ") + described(happened);
                            },
                            60s};
    forgetting.hear(device("aa:bb"), "10.0.0.1", {}, {});
    forgetting.hear(device("cc:dd"), "10.0.0.2", {}, {});
    taken();
    now.monotonic += 30s;
    forgetting.hear(device("cc:dd"), "10.0.0.2", {}, {});
    forgetting.tick();
    EXPECT_EQ(taken(), "offline");
    now.monotonic += 29s;
    forgetting.tick();
    EXPECT_EQ(taken(), "offline");
    now.monotonic += 1s;
    forgetting.tick();
    EXPECT_EQ(taken(), "removed forgotten mac aa:bb");
    EXPECT_EQ(forgetting.size(), 1u);
}

// A device heard, then renamed within the period, then the end of the run:
// what each way of running prints. Expected lines are separated by newlines,
// pieces that one line must hold by |.
TEST(Session, EachModeReportsWhatItShouldWhenItShould)
{
    const struct {
        output_mode mode;
        bool once;
        bool timeout;
        const char* while_listening;
        const char* at_end;
        bool summary;
    } rows[] = {
        {output_mode::json, false, false, R"("event":"new","online":true)",
         R"("event":"changed","online":true|"changed":["name"])", false},
        {output_mode::lines, false, true, R"( new device name="Link")",
         " changed (name) name=\"Renamed\"\nNAME \nRenamed \n1 device, 1 online", false},
        {output_mode::live_view, false, false, "", "", true},
        {output_mode::json, true, false, "",
         R"("event":"new","online":true,"id":"quorvellan_link","name":"Renamed")", false},
        {output_mode::lines, true, false, "", R"( new device name="Renamed")", false},
        {output_mode::live_view, true, false, "", "NAME \nRenamed \n1 device, 1 online", false},
    };
    for (const auto& row : rows) {
        options opts;
        opts.once = row.once;
        if (row.timeout) {
            opts.timeout_seconds = 5;
        }
        clock_reading now{std::chrono::steady_clock::time_point{} + 1000h, {}};
        std::string printed;
        session listening(
            opts, row.mode, {}, [&now] { return now; },
            [&printed](const std::string& line) { printed += line + "\n"; });
        test::device_facts facts = test::named("Link");
        facts.mac = "02:00:00:00:00:01";
        datagram received;
        received.source = "10.0.0.1";
        for (const char* name : {"Link", "Renamed"}) {
            facts.name = name;
            const std::string payload = test::rendered(facts);
            received.bytes = payload;
            received.full_length = payload.size();
            listening.on_datagram(received, {});
            now.monotonic += 1s;
            listening.on_tick();
        }
        const auto check = [&](const std::string& expected) {
            std::stringstream wanted(expected), got(printed);
            std::string pieces, line;
            while (std::getline(wanted, pieces)) {
                ASSERT_TRUE(std::getline(got, line)) << "missing: " << pieces;
                std::stringstream each(pieces);
                for (std::string piece; std::getline(each, piece, '|');) {
                    EXPECT_NE(line.find(piece), std::string::npos) << line;
                }
            }
            EXPECT_FALSE(std::getline(got, line)) << "more: " << line;
            printed.clear();
        };
        check(row.while_listening);
        listening.on_end(0);
        check(row.at_end);
        EXPECT_EQ(listening.wants_summary(), row.summary);
    }
}

// Four devices side by side on one address: a change of one is read at once,
// while a fifth device from there is refused without a row.
TEST(Session, AKnownDeviceOnABusyAddressIsHeard)
{
    options opts;
    opts.json = true;
    clock_reading now{std::chrono::steady_clock::time_point{} + 1000h, {}};
    std::string printed;
    session listening(
        opts, output_mode::json, {}, [&now] { return now; },
        [&printed](const std::string& line) { printed += line + "\n"; });
    const auto hear = [&](int device, int usb_devices) {
        test::device_facts facts = test::named("Side by side");
        facts.mac = "02:00:00:00:00:0" + std::to_string(device);
        facts.hostname = "side" + std::to_string(device);
        facts.usb_devices = usb_devices;
        const std::string payload = test::rendered(facts);
        datagram received;
        received.source = "10.0.0.66";
        received.bytes = payload;
        received.full_length = payload.size();
        listening.on_datagram(received, {});
    };
    for (int device = 1; device <= 5; ++device) {
        hear(device, 0);
    }
    EXPECT_EQ(listening.stats().refused, 1u);
    now.monotonic += 3s;
    printed.clear();
    hear(2, 3);
    EXPECT_NE(printed.find(R"("event":"changed")"), std::string::npos) << printed;
    EXPECT_NE(printed.find(R"("changed":["usb_devices"])"), std::string::npos) << printed;
}

// Where the web link points and the USB/IP server is asked: only at an
// address the network vouches for, never at one a datagram merely names.
TEST(TrustedHost, OnlyAnAddressTheNetworkVouchesFor)
{
    const std::vector<ipv4_subnet> laptop_lan = {{0xC0A80864, 0xFFFFFF00}};  // 192.168.8.100/24
    const std::vector<ipv4_subnet> elsewhere = {{0x0A000001, 0xFF000000}};   // 10.0.0.1/8
    const std::vector<ipv4_subnet> one_host = {{0xC0A80801, 0xFFFFFFFF}};    // 192.168.8.1/32
    const struct {
        const char* ip_ap;
        const char* ip_lan;
        const char* source;
        const std::vector<ipv4_subnet>& receiving;
        const char* host;
    } rows[] = {
        // 1. the announced address it was heard from (a repeater's uplink)
        {"192.168.9.1", "192.168.8.23", "192.168.8.23", elsewhere, "192.168.8.23"},
        {"192.168.8.1", "10.0.0.23", "192.168.8.1", elsewhere, "192.168.8.1"},
        {"192.168.8.1", "", "192.168.8.1", one_host, "192.168.8.1"},  // a /32 has no broadcast
        // 2. else the announced address on the receiving interface's subnet
        {"192.168.9.1", "192.168.8.23", "10.0.0.2", laptop_lan, "192.168.8.23"},
        // 3. else the source: an announced address elsewhere is anyone's word
        {"192.168.9.1", "192.168.8.23", "10.0.0.2", elsewhere, "10.0.0.2"},
        {"192.168.8.100", "", "192.168.8.7", laptop_lan, "192.168.8.7"},  // this machine's
        {"", "", "10.0.0.7", laptop_lan, "10.0.0.7"},
        {"evil.example/login", "", "10.0.0.7", elsewhere, "10.0.0.7"},
        // never an address no device has, announced or the source
        {"127.0.0.1", "", "192.168.8.7", laptop_lan, "192.168.8.7"},
        {"127.0.0.1", "", "127.0.0.1", laptop_lan, ""},
        {"0.0.0.0", "", "0.0.0.0", laptop_lan, ""},
        {"255.255.255.255", "", "192.168.8.7", laptop_lan, "192.168.8.7"},
        {"192.168.8.255", "", "192.168.8.7", laptop_lan, "192.168.8.7"},  // directed broadcast
        {"192.168.8.0", "", "192.168.8.7", laptop_lan, "192.168.8.7"},
        {"224.0.0.251", "", "192.168.8.7", laptop_lan, "192.168.8.7"},
        {"169.254.3.4", "", "169.254.3.4", laptop_lan, ""},
        {"10.9.9.9", "", "169.254.3.4", laptop_lan, ""},
    };
    for (const auto& row : rows) {
        announcement_record a = device("");
        a.ip_ap = row.ip_ap;
        a.ip_lan = row.ip_lan;
        EXPECT_EQ(choose_trusted_host(a, row.source, row.receiving), row.host)
            << row.ip_ap << " from " << row.source;
    }
    announcement_record a = device("");
    a.ip_ap = std::string("192.168.8.1\0@evil.example", 25);
    EXPECT_EQ(choose_trusted_host(a, "10.0.0.7", laptop_lan), "10.0.0.7");
    device_row row;
    row.trusted_host = "10.0.0.7";
    row.announcement.http = 8080;
    EXPECT_EQ(web_url(row), "http://10.0.0.7:8080/");
    row.trusted_host.clear();
    EXPECT_EQ(web_url(row), "") << "no link rather than a link to anywhere";
}

// The subnets a datagram's receiving interface holds, read from the list.
TEST(InterfaceSubnets, EachInterfaceHoldsItsIpv4Subnets)
{
    static test::fake_list* current = nullptr;
    test::fake_list list({{"lo", test::family::ipv4, "127.0.0.1", test::LOOPBACK, nullptr, 8},
                          {"br-lan", test::family::ipv4, "192.168.8.1", test::BRIDGE, nullptr},
                          {"br-lan", test::family::ipv6, nullptr, test::BRIDGE, nullptr},
                          {"br-lan", test::family::ipv4, "10.1.0.1", test::BRIDGE, nullptr, 16},
                          {"wwan", test::family::none, nullptr, test::BRIDGE, nullptr}});
    current = &list;
    interface_subnets subnets(
        {[](ifaddrs** head) {
             *head = current != nullptr ? current->head() : nullptr;
             return current != nullptr ? 0 : -1;
         },
         [](ifaddrs*) {}, [](const char* name) { return std::string(name) == "lo" ? 1u : 7u; }});
    subnets.refresh();
    ASSERT_EQ(subnets.of(7).size(), 2u);
    EXPECT_TRUE(subnets.of(7)[0].contains(0xC0A808FE));   // 192.168.8.254
    EXPECT_FALSE(subnets.of(7)[0].contains(0xC0A809FE));  // 192.168.9.254
    EXPECT_TRUE(subnets.of(7)[1].contains(0x0A01FF01));   // 10.1.255.1
    EXPECT_EQ(subnets.of(1).size(), 1u);
    EXPECT_TRUE(subnets.of(0).empty()) << "an unknown interface";
    current = nullptr;  // the list cannot be read: what was known stays
    subnets.refresh();
    EXPECT_EQ(subnets.of(7).size(), 2u);
}

}  // namespace
}  // namespace quorvellan::discover
