// The attach keeper's decisions without a kernel or a network: which row a
// rule picks, which shared devices it names, an attachment on the machine
// taken over rather than doubled, when a row is tried again, and why a
// port of ours was freed (tests/attach_kernel runs the keeper itself on a
// real kernel).
#include "attach_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usb/arrival_check.h"

namespace quorvellan::discover {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using time_point = std::chrono::steady_clock::time_point;

device_row row(const std::string& mac, const std::string& name, const std::string& host = "",
               const std::string& trusted = "192.168.8.1")
{
    device_row made;
    made.key = "mac " + mac;
    made.mac = mac;
    made.announcement.name = name;
    made.announcement.hostname = host;
    made.announcement.usbip = 3240;
    made.trusted_host = trusted;
    return made;
}

attach_rule rule(const char* text)
{
    return *parse_attach_rule(text).rule;
}

TEST(AttachPlan, ARulePicksTheOneOnlineRowItNamesAndNoneInDoubt)
{
    const device_row lab = row("52:54:00:5a:00:01", "Lab Router", "lab-router");
    device_row lab_offline = row("52:54:00:5a:00:02", "Lab Router");
    lab_offline.online = false;
    const device_row forger = row("02:00:00:00:00:99", "Lab Router", "", "192.168.8.99");
    device_row contested = lab;
    contested.contested = true;
    const device_row unreachable = row("52:54:00:5a:00:01", "Lab Router", "", "");
    device_row portless = lab;
    portless.announcement.usbip = 0;
    const struct {
        const char* rule;
        std::vector<const device_row*> rows;
        const char* picked;   // its key, or "" for none
        const char* refusal;  // the start of the refusal said to every row named
        std::size_t named;
    } cases[] = {
        {"52:54:00:5A:00:01/1-1", {&lab, &forger}, "mac 52:54:00:5a:00:01", "", 0},
        {"Lab Router/1-1", {&lab, &lab_offline}, "mac 52:54:00:5a:00:01", "", 0},
        {"lab-router/0403:6001", {&forger, &lab}, "mac 52:54:00:5a:00:01", "", 0},
        {"Lab Router/1-1",
         {&lab, &forger},
         "",
         "two devices answer to 'Lab Router' (mac 52:54:00:5a:00:01, mac 02:00:00:00:00:99): one "
         "of them is not what it says",
         2},
        {"52:54:00:5a:00:01/1-1", {&contested}, "", "two senders announce its MAC", 1},
        {"Lab Router/1-1", {&unreachable}, "", "it has no address the network vouches for", 1},
        {"Lab Router/1-1", {&portless}, "", "it announces no USB/IP port", 1},
        {"Kitchen/1-1", {&lab, &forger}, "", "", 0},
        {"Lab Router/1-1", {&lab_offline}, "", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        const rule_pick pick = pick_row(rule(c.rule), c.rows);
        EXPECT_EQ(pick.row ? pick.row->key : "", c.picked);
        EXPECT_EQ(pick.refusal.rfind(c.refusal, 0), 0u) << pick.refusal;
        EXPECT_EQ(pick.refusal.empty(), *c.refusal == '\0');
        EXPECT_EQ(pick.named.size(), c.named);
    }
}

usb_export shared(const char* busid, std::uint16_t vendor, std::uint16_t product)
{
    usb_export device;
    device.busid = busid;
    device.vendor_id = vendor;
    device.product_id = product;
    return device;
}

TEST(AttachPlan, ARuleNamesOneBusIdOrEveryDeviceWithItsIds)
{
    const std::vector<usb_export> listed = {shared("1-1", 0x0403, 0x6001),
                                            shared("1-2", 0x0403, 0x6001),
                                            shared("1-3", 0x0627, 0x0001)};
    const struct {
        const char* rule;
        std::vector<std::string> busids;
        const char* error;
    } cases[] = {
        {"lab/1-3", {"1-3"}, ""},
        {"lab/0403:6001", {"1-1", "1-2"}, ""},
        {"lab/2-2", {}, "192.168.8.1:3240 does not share 2-2"},
        {"lab/46f4:0001", {}, "192.168.8.1:3240 shares no 46f4:0001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        const device_pick pick = pick_devices(rule(c.rule), listed, "192.168.8.1:3240");
        std::vector<std::string> busids;
        for (const usb_export* device : pick.devices) {
            busids.push_back(device->busid);
        }
        EXPECT_EQ(busids, c.busids);
        EXPECT_EQ(pick.error, c.error);
    }
}

// The live view's key a: a rule by MAC and bus id for the run, never for
// a HID, a row without a MAC, or what is not shared or attached already.
TEST(AttachPlan, AKeyAttachesByMacAndBusIdButNoHid)
{
    device_row lab = row("52:54:00:5a:00:01", "Lab");
    std::vector<usb_export> listed = {shared("1-1", 0x0403, 0x6001), shared("1-2", 0x0627, 1),
                                      shared("1-3", 0x046d, 0xc52b)};
    listed[1].device_class.code = USB_CLASS_HID;
    listed[2].interfaces = {{0x03, 1, 1}};
    lab.usb = usb_listing{usbip_outcome::listed, listed, "192.168.8.1", 3240};
    lab.attached = {{"1-4", 2}};
    device_row nameless = lab;
    nameless.mac.clear();
    const struct {
        const device_row& row;
        const char* busid;
        const char* rule;
        const char* refusal;
    } cases[] = {
        {lab, "1-1", "52:54:00:5a:00:01/1-1", ""},
        {lab, "1-2", "", "1-2 is a HID: a HID is attached only by a rule ending in +hid"},
        {lab, "1-3", "", "1-3 is a HID: a HID is attached only by a rule ending in +hid"},
        {lab, "1-4", "", "1-4 is attached here already, port 2"},
        {lab, "2-1", "", "it does not share 2-1"},
        {nameless, "1-1", "",
         "it announces no MAC, which a rule made by a key names it by: attach it by --attach"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.busid);
        const key_rule made = rule_for_key(c.row, c.busid);
        EXPECT_EQ(made.rule ? made.rule->text : "", c.rule);
        EXPECT_EQ(made.refusal, c.refusal);
        EXPECT_EQ(made.rule && names_shared(*made.rule, lab, c.busid), made.rule.has_value());
    }
    // A rule of the command line that names a device a person let go: a
    // gets it back, HID or not.
    EXPECT_TRUE(names_shared(rule("52:54:00:5a:00:01/0627:0001+hid"), lab, "1-2"));
    EXPECT_FALSE(names_shared(rule("52:54:00:5a:00:01/0627:0001+hid"), lab, "1-1"));
    EXPECT_FALSE(names_shared(rule("Other/1-2"), lab, "1-2"));
}

TEST(AttachPlan, AnAttachmentOnTheMachineIsTakenOverNotDoubled)
{
    const std::vector<vhci_port> ports = parse_vhci_status(
        "hs  0000 006 002 00010002 000003 3-1\n"
        "hs  0001 004 000 00000000 000000 0-0\n"
        "ss  0015 006 005 00020002 000004 4-1\n",
        0);
    const std::vector<vhci_record> records = {{0, "192.168.8.1", "3240", "1-1"},
                                              {1, "192.168.8.1", "3240", "1-3"},
                                              {15, "192.168.8.1", "3240", "2-2"}};
    const struct {
        vhci_record wanted;
        int port;  // -1: none
    } cases[] = {
        {{9, "192.168.8.1", "3240", "1-1"}, 0},  {{0, "192.168.8.1", "3240", "2-2"}, 15},
        {{0, "192.168.8.1", "3240", "1-3"}, -1},  // its port is free: a stale record
        {{0, "192.168.8.3", "3240", "1-1"}, -1}, {{0, "192.168.8.1", "3241", "1-1"}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wanted.host + ":" + c.wanted.service + "/" + c.wanted.busid);
        const std::optional<vhci_port> found = attached_already(ports, records, c.wanted);
        EXPECT_EQ(found ? static_cast<int>(found->number) : -1, c.port);
    }
}

TEST(AttachPlan, ARowIsTriedAtOnceWhenItChangesAndLessOftenWhileItFails)
{
    enum class step { follow, failed, succeeded, port_freed };
    const struct {
        const char* what;
        step action;
        bool online;
        const char* host;
        std::int64_t usb_devices;
        int after;      // seconds from the start to the step
        long long due;  // seconds from the start, or -1 for never
        bool moved = false;
    } steps[] = {
        {"first seen", step::follow, true, "192.168.8.1", 3, 0, 0},
        {"a try failed", step::failed, true, "", 0, 0, 1},
        {"again", step::failed, true, "", 0, 1, 3},
        {"and again", step::failed, true, "", 0, 3, 7},
        {"nothing changed", step::follow, true, "192.168.8.1", 3, 4, 7},
        {"gone quiet", step::follow, false, "192.168.8.1", 3, 10, 7},
        {"back online", step::follow, true, "192.168.8.1", 3, 20, 20},
        {"the backoff started over", step::failed, true, "", 0, 20, 21},
        {"a device plugged in, due sooner", step::follow, true, "192.168.8.1", 4, 20, 21},
        {"all attached", step::succeeded, true, "", 0, 21, -1},
        {"another plugged in", step::follow, true, "192.168.8.1", 5, 22, 25},
        {"all attached", step::succeeded, true, "", 0, 25, -1},
        {"a port freed", step::port_freed, true, "", 0, 30, 30},
        {"all attached again", step::succeeded, true, "", 0, 31, -1},
        {"another address", step::follow, true, "192.168.8.3", 5, 40, 47, true},
        {"gone quiet there", step::follow, false, "192.168.8.3", 5, 50, 47},
        {"back at yet another", step::follow, true, "192.168.8.4", 5, 60, 67, true},
    };
    const time_point start = time_point{} + seconds(1000);
    row_tries tries;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        const time_point now = start + seconds(s.after);
        switch (s.action) {
            case step::follow: {
                device_row seen = row("52:54:00:5a:00:01", "Lab Router", "", s.host);
                seen.online = s.online;
                seen.announcement.usb_devices = s.usb_devices;
                EXPECT_EQ(tries.follow(seen, now), s.moved);
                EXPECT_EQ(tries.host(), s.host);
                break;
            }
            case step::failed:
                tries.failed(now);
                break;
            case step::succeeded:
                tries.succeeded();
                break;
            case step::port_freed:
                tries.port_freed(now);
                break;
        }
        EXPECT_EQ(tries.due(), s.due < 0 ? time_point::max() : start + seconds(s.due));
    }
}

TEST(AttachPlan, AFreedPortSaysWhyAsFarAsWhatIsLeftTells)
{
    const struct {
        bool record_kept;
        std::optional<milliseconds> silent_for;
        std::optional<detach_reason> why;
    } cases[] = {
        {false, milliseconds(200), detach_reason::by_hand},
        {false, std::nullopt, detach_reason::by_hand},
        {true, milliseconds(200), detach_reason::server_let_go},
        {true, milliseconds(6999), detach_reason::server_let_go},
        {true, milliseconds(7000), detach_reason::link_lost},
        {true, milliseconds(10400), detach_reason::link_lost},
        {true, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(freed_reason(c.record_kept, c.silent_for), c.why)
            << c.record_kept << " " << (c.silent_for ? c.silent_for->count() : -1);
    }
}

}  // namespace
}  // namespace quorvellan::discover
