// The attach units without a kernel: the rules a person writes, the
// backoff, vhci-hcd's status files and attach writes on a sysfs of files,
// the records beside them, and the check of what arrives, on descriptors
// as QEMU's devices gave them to a real kernel (tests/attach_kernel runs
// them all against one).
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"
#include "usb/arrival_check.h"
#include "usb/attach_backoff.h"
#include "usb/attach_rule.h"
#include "usb/tcp_connections.h"
#include "usb/usb_descriptors.h"
#include "usb/vhci_authorization.h"
#include "usb/vhci_ports.h"
#include "usb/vhci_records.h"

namespace quorvellan::discover {
namespace {

using std::chrono::seconds;

struct rule_case {
    const char* text;
    const char* device;  // "" when the rule is refused; error then holds the message's end
    attach_rule::device_kind kind;
    const char* busid;
    const char* ids;
    bool allow_hid;
    const char* error;
};

TEST(AttachRule, ReadsDeviceSlashUsbAndRefusesTheRestNamingIt)
{
    using kind = attach_rule::device_kind;
    const rule_case cases[] = {
        {"52:54:00:5A:00:01/1-1.2", "52:54:00:5a:00:01", kind::mac, "1-1.2", "", false, ""},
        {"lab-router/0403:6001", "lab-router", kind::name, "", "0403:6001", false, ""},
        {" Lab Router / 1-1+hid ", "Lab Router", kind::name, "1-1", "", true, ""},
        {"Lab/Router, 2/0627:0001+HID", "Lab/Router, 2", kind::name, "", "0627:0001", true, ""},
        {"lab-router", "", kind::name, "", "", false,
         "'lab-router': not DEVICE/USB, e.g. 52:54:00:5a:00:01/1-1.2 or lab-router/0403:6001"},
        {"/1-1", "", kind::name, "", "", false,
         "'/1-1': no device before the '/': its MAC, display name or host name"},
        {"lab-router/1-1+usb", "", kind::name, "", "", false, "'+usb' is not +hid"},
        {"lab-router/usb1", "", kind::name, "", "", false,
         "'usb1' is neither a bus id (1-1.2) nor vendor:product (0403:6001)"},
        {"lab-router/0403:600g", "", kind::name, "", "", false, "is neither a bus id"},
        {"lab-router/1-", "", kind::name, "", "", false, "is neither a bus id"},
        {"lab\x1b[2J/1-1", "", kind::name, "", "", false,
         "'lab?[2J/1-1': control characters have no place in a rule"},
    };
    for (const rule_case& c : cases) {
        SCOPED_TRACE(c.text);
        const rule_reading read = parse_attach_rule(c.text);
        if (*c.device == '\0') {
            EXPECT_FALSE(read.rule);
            EXPECT_EQ(read.error.rfind("attach rule '", 0), 0u) << read.error;
            EXPECT_NE(read.error.find(c.error), std::string::npos) << read.error;
            continue;
        }
        ASSERT_TRUE(read.rule) << read.error;
        EXPECT_EQ(read.rule->device, c.device);
        EXPECT_EQ(read.rule->kind, c.kind);
        EXPECT_EQ(read.rule->busid, c.busid);
        EXPECT_EQ(read.rule->ids ? format_ids(*read.rule->ids) : "", c.ids);
        EXPECT_EQ(read.rule->allow_hid, c.allow_hid);
    }
}

TEST(AttachRule, AFileHoldsOneRulePerLineAndABadOneNamesItsLine)
{
    const rules_reading good = parse_attach_rules(
        "# the printer\n52:54:00:5a:00:01/1-1\n\n   # and the key\nlab-router/0403:6001\n",
        "rules");
    ASSERT_EQ(good.rules.size(), 2u) << good.error;
    EXPECT_EQ(good.rules[1].text, "lab-router/0403:6001");
    const rules_reading bad = parse_attach_rules("a/1-1\n\nlab-router/usb1\n", "rules");
    EXPECT_TRUE(bad.rules.empty());
    EXPECT_EQ(bad.error.rfind("rules:3: attach rule 'lab-router/usb1': ", 0), 0u) << bad.error;
    EXPECT_EQ(read_attach_rules("/nonexistent/rules").error,
              "/nonexistent/rules: No such file or directory");
    // The file the package ships attaches nothing, and each example in it,
    // its '#' taken away as it tells, is a rule.
    const rules_reading shipped = read_attach_rules(SHIPPED_ATTACH_RULES);
    EXPECT_TRUE(shipped.rules.empty() && shipped.error.empty()) << shipped.error;
    std::ifstream file(SHIPPED_ATTACH_RULES);
    std::string line;
    std::string examples;
    while (std::getline(file, line)) {
        if (line.size() > 1 && line[0] == '#' && line[1] != ' ' && line[1] != '#') {
            examples += line.substr(1) + "\n";
        }
    }
    const rules_reading used = parse_attach_rules(examples, "examples");
    EXPECT_EQ(used.rules.size(), 3u) << examples << used.error;
}

TEST(AttachBackoff, DoublesFromOneSecondToAMinuteAndStartsOverAfterASuccess)
{
    attach_backoff backoff;
    const auto t0 = std::chrono::steady_clock::time_point{} + seconds(1000);
    std::vector<long long> waits;
    for (int i = 0; i < 8; ++i) {
        waits.push_back(std::chrono::duration_cast<seconds>(backoff.failed(t0) - t0).count());
    }
    EXPECT_EQ(waits, (std::vector<long long>{1, 2, 4, 8, 16, 32, 60, 60}));
    backoff.succeeded();
    EXPECT_EQ(backoff.failed(t0), t0 + seconds(1));
}

// As the laptop's kernel listed them, one established to the server and
// the others not, or to another.
TEST(TcpConnections, TheLocalPortsOfThoseEstablishedToTheServer)
{
    const std::string text =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt\n"
        "   0: 0208A8C0:E518 0108A8C0:0CA8 01 00000000:00000000 00:00000000 00000000\n"
        "   1: 0208A8C0:E080 0108A8C0:0CA8 06 00000000:00000000 03:00001020 00000000\n"
        "   2: 0208A8C0:B8D8 0308A8C0:0CA8 01 00000000:00000000 00:00000000 00000000\n"
        "   3: 0208A8C0:9C40 0108A8C0:0CA9 01 00000000:00000000 00:00000000 00000000\n"
        "   4: 00000000:0CA8 00000000:0000 0A 00000000:00000000 00:00000000 00000000\n"
        "   5: 0208A8C0:C350 0108A8C0:0CA8 01 00000000:00000000 00:00000000 00000000\n";
    EXPECT_EQ(established_from(text, "192.168.8.1", 3240),
              (std::vector<std::uint16_t>{0xe518, 0xc350}));
    EXPECT_EQ(established_from(text, "192.168.8.3", 3240), std::vector<std::uint16_t>{0xb8d8});
    EXPECT_TRUE(established_from(text, "192.168.8.9", 3240).empty());
    EXPECT_TRUE(established_from("", "192.168.8.1", 3240).empty());
}

// As Debian's 6.1 kernel writes them: a port in use, one being attached,
// free ones, on both hubs.
constexpr const char* STATUS =
    "hub port sta spd dev      sockfd local_busid\n"
    "hs  0000 006 002 00010002 000003 3-1\n"
    "hs  0001 005 000 00000000 000000 0-0\n"
    "hs  0002 004 000 00000000 000000 0-0\n"
    "ss  0003 004 000 00000000 000000 0-0\n";

TEST(VhciPorts, StatusLinesAreReadAsPorts)
{
    const std::vector<vhci_port> ports = parse_vhci_status(STATUS, 0);
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(ports[0], (vhci_port{0, 0, vhci_hub::high_speed, 6, 2, 0x10002, "3-1"}));
    EXPECT_EQ(ports[1], (vhci_port{1, 0, vhci_hub::high_speed, 5, 0, 0, ""}));
    EXPECT_TRUE(ports[2].free());
    EXPECT_FALSE(ports[1].free());
    EXPECT_EQ(ports[3].hub, vhci_hub::super_speed);
}

// A sysfs of plain files: vhci_hcd.0 with its status files and the root
// hubs' attributes, and devices under bus/usb/devices.
struct fake_sysfs {
    test::temp_dir root;

    std::string path() const
    {
        return root.path();
    }
    void put(const std::string& name, const std::string& text) const
    {
        std::filesystem::create_directories(std::filesystem::path(root.file(name)).parent_path());
        root.write(name, text);
    }
    void status(const std::string& text, unsigned controller = 0) const
    {
        put("devices/platform/vhci_hcd.0/status" +
                (controller == 0 ? "" : "." + std::to_string(controller)),
            text);
    }
};

// Writes recorded, with the errno each gets.
struct recorded_writes {
    std::vector<std::pair<std::string, std::string>> calls;
    std::vector<int> answers;  // in turn; 0 once they run out

    attribute_writer writer(const std::string& root)
    {
        return [this, root](const std::string& path, std::string_view text) {
            calls.emplace_back(path.substr(root.size()), std::string(text));
            const int answer = calls.size() <= answers.size() ? answers[calls.size() - 1] : 0;
            return answer;
        };
    }
};

struct attach_case {
    const char* name;
    std::uint32_t speed;
    std::vector<int> answers;
    int port;
    std::vector<std::string> lines;  // written to attach
    std::string error;
};

TEST(VhciPorts, AttachTakesAFreePortOfTheDevicesHubAndTheNextWhenOneIsTaken)
{
    const fake_sysfs sysfs;
    sysfs.status(STATUS);
    sysfs.status("hs  0004 004 000 00000000 000000 0-0\n", 1);
    usb_export device;
    device.busnum = 1;
    device.devnum = 2;
    const attach_case cases[] = {
        {"full speed", 2, {}, 2, {"2 7 65538 2"}, ""},
        {"super speed", 5, {}, 3, {"3 7 65538 5"}, ""},
        {"taken meanwhile", 3, {EBUSY}, 4, {"2 7 65538 3", "4 7 65538 3"}, ""},
        {"all taken",
         3,
         {EBUSY, EBUSY},
         -1,
         {"2 7 65538 3", "4 7 65538 3"},
         "no free vhci port for a high-speed device: all 4 of its hub in use"},
        {"not root",
         2,
         {EACCES},
         -1,
         {"2 7 65538 2"},
         "not permitted to use " + sysfs.path() +
             "/devices/platform/vhci_hcd.0/attach: attaching USB devices takes root"},
    };
    for (const attach_case& c : cases) {
        SCOPED_TRACE(c.name);
        recorded_writes writes;
        writes.answers = c.answers;
        device.speed = c.speed;
        const vhci_attachment attached =
            vhci_attach(sysfs.path(), 7, device, nullptr, writes.writer(sysfs.path()));
        EXPECT_EQ(attached.port, c.port);
        EXPECT_EQ(attached.error, c.error);
        std::vector<std::string> lines;
        for (const auto& [path, text] : writes.calls) {
            EXPECT_EQ(path, "/devices/platform/vhci_hcd.0/attach");
            lines.push_back(text);
        }
        EXPECT_EQ(lines, c.lines);
    }
    recorded_writes stopped;
    EXPECT_EQ(vhci_attach(
                  sysfs.path(), 7, device,
                  [](const vhci_port& port) { return "held " + std::to_string(port.number); },
                  stopped.writer(sysfs.path()))
                  .error,
              "held 2");
    EXPECT_TRUE(stopped.calls.empty());
    const fake_sysfs unloaded;
    EXPECT_EQ(vhci_attach(unloaded.path(), 7, device).error,
              "vhci-hcd is not loaded: modprobe vhci-hcd");
    // Asked before a key's attach: the same line, and nothing tried.
    EXPECT_EQ(vhci_attach_refusal(unloaded.path()), "vhci-hcd is not loaded: modprobe vhci-hcd");
    sysfs.put("devices/platform/vhci_hcd.0/attach", "");
    EXPECT_EQ(vhci_attach_refusal(sysfs.path()), "");
    recorded_writes detached;
    EXPECT_EQ(vhci_detach(sysfs.path(), 12, detached.writer(sysfs.path())), "");
    EXPECT_EQ(detached.calls, (std::vector<std::pair<std::string, std::string>>{
                                  {"/devices/platform/vhci_hcd.0/detach", "12"}}));
}

TEST(VhciRecords, WrittenAsUsbipWritesThemAndReadBackAgainstThePorts)
{
    const test::temp_dir run;
    const std::string dir = run.file("vhci_hcd");
    EXPECT_EQ(write_vhci_record(dir, {0, "192.168.8.1", "3240", "1-1"}), "");
    EXPECT_EQ(write_vhci_record(dir, {2, "192.168.8.1", "3240", "2-2"}), "");
    write_text_file(dir + "/port9", "not a record\n");
    write_text_file(dir + "/quorvellan-held-usb3", "1");
    std::string text;
    ASSERT_EQ(read_text_file(dir + "/port0", text), 0);
    EXPECT_EQ(text, "192.168.8.1 3240 1-1\n");
    const std::vector<vhci_record> records = read_vhci_records(dir);
    ASSERT_EQ(records.size(), 2u);
    const vhci_adoption adoption = adopt_attachments(parse_vhci_status(STATUS, 0), records);
    ASSERT_EQ(adoption.attached.size(), 1u);
    EXPECT_EQ(adoption.attached[0].first.local_busid, "3-1");
    EXPECT_EQ(adoption.attached[0].second, records[0]);
    EXPECT_EQ(adoption.stale, std::vector<vhci_record>{records[1]});
    remove_vhci_record(dir, 0);
    EXPECT_EQ(read_vhci_records(dir), std::vector<vhci_record>{records[1]});
}

// Descriptors as the guest's kernel read them from QEMU's keyboard and
// disk, held; the serial adapter's as an FT232R gives them.
const std::string KEYBOARD =
    "12 01 00 02 00 00 00 40 27 06 01 00 00 00 01 04 0b 01 "
    "09 02 22 00 01 01 08 a0 32 09 04 00 00 01 03 01 01 00 "
    "09 21 11 01 00 01 22 3f 00 07 05 81 03 08 00 07";
const std::string DISK =
    "12 01 00 03 00 00 00 09 f4 46 01 00 00 00 01 02 03 01 "
    "09 02 2c 00 01 01 06 c0 00 09 04 00 00 02 08 06 50 00 07 05 81 02 00 04 00 "
    "06 30 0f 00 00 00 07 05 02 02 00 04 00 06 30 0f 00 00 00";
const std::string SERIAL =
    "12 01 00 02 00 00 00 08 03 04 01 60 00 06 01 02 03 01 "
    "09 02 20 00 01 01 00 80 2d 09 04 00 00 02 ff ff ff 02 "
    "07 05 81 02 40 00 00 07 05 02 02 40 00 00";
// The keyboard with a second configuration whose alternate setting 1 is HID.
const std::string HIDDEN_HID =
    "12 01 00 02 00 00 00 40 03 04 01 60 00 00 01 04 0b 02 "
    "09 02 12 00 01 01 08 a0 32 09 04 00 00 00 ff 00 00 00 "
    "09 02 1b 00 01 02 08 a0 32 09 04 00 00 00 ff 00 00 00 09 04 00 01 00 03 01 01 00";

std::string bytes(const std::string& hex)
{
    std::string out;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 3) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16)));
    }
    return out;
}

usb_export listed(std::uint16_t vendor, std::uint16_t product, std::uint8_t configuration,
                  std::vector<usb_class_triple> interfaces)
{
    usb_export device;
    device.busid = "1-1";
    device.vendor_id = vendor;
    device.product_id = product;
    device.configuration = configuration;
    device.interfaces = std::move(interfaces);
    return device;
}

attach_rule rule(const char* text)
{
    return *parse_attach_rule(text).rule;
}

struct arrival_case {
    const char* name;
    std::string descriptors;
    const char* rule;
    usb_export listed;
    const char* reason;
};

TEST(ArrivalCheck, LetsInOnlyWhatTheRuleAndTheListAgreeWith)
{
    const usb_export serial = listed(0x0403, 0x6001, 0, {});
    const usb_export keyboard = listed(0x0627, 0x0001, 1, {{3, 1, 1}});
    const arrival_case cases[] = {
        {"the serial adapter, unconfigured on the server", SERIAL, "lab/1-1", serial,
         "authorized: 0403:6001 vendor-specific"},
        {"the keyboard where the rule expects the adapter", KEYBOARD, "lab/0403:6001", serial,
         "refused: 0627:0001 HID, the rule expects 0403:6001"},
        {"the keyboard where the list said the adapter", KEYBOARD, "lab/1-1", serial,
         "refused: 0627:0001 HID, the server listed 0403:6001"},
        {"the keyboard without +hid", KEYBOARD, "lab/1-1", keyboard,
         "refused: 0627:0001 HID: HID only with a rule that ends in +hid"},
        {"the keyboard with +hid", KEYBOARD, "lab/0627:0001+hid", keyboard,
         "authorized: 0627:0001 HID"},
        {"HID in another configuration's alternate setting", HIDDEN_HID, "lab/1-1", serial,
         "refused: 0403:6001 vendor-specific, HID: HID only with a rule that ends in +hid"},
        {"other interfaces than listed", DISK, "lab/1-1", listed(0x46f4, 0x0001, 1, {{3, 1, 1}}),
         "refused: 46f4:0001 storage, the server listed HID"},
        {"the disk as listed", DISK, "lab/1-1", listed(0x46f4, 0x0001, 1, {{8, 6, 0x50}}),
         "authorized: 46f4:0001 storage"},
        {"cut inside its configuration", SERIAL.substr(0, SERIAL.size() - 9), "lab/1-1", serial,
         "refused: its descriptors do not read: a configuration whose length is not its own"},
        {"a descriptor of length 0", SERIAL.substr(0, 27 * 3) + "00 04" + SERIAL.substr(29 * 3 - 1),
         "lab/1-1", serial,
         "refused: its descriptors do not read: a descriptor runs past its configuration"},
        {"no device descriptor", SERIAL.substr(18 * 3), "lab/1-1", serial,
         "refused: its descriptors do not read: no device descriptor"},
    };
    for (const arrival_case& c : cases) {
        SCOPED_TRACE(c.name);
        const arrival_verdict verdict =
            judge_arrival(read_usb_descriptors(bytes(c.descriptors)), rule(c.rule), c.listed);
        EXPECT_EQ(verdict.reason, c.reason);
        EXPECT_EQ(verdict.authorize, std::string(c.reason).rfind("authorized", 0) == 0);
    }
}

// The person's setting on usb3 (hs) and usb4 (ss), ports 0 (ours) and 1
// (theirs) with devices arrived held on usb3.
struct held_hubs : fake_sysfs {
    test::temp_dir run;

    explicit held_hubs(const char* setting)
    {
        hub("usb3", setting);
        hub("usb4", "1\n");
        for (const char* busid : {"3-1", "3-2"}) {
            put(std::string("bus/usb/devices/") + busid + "/descriptors", bytes(SERIAL));
            put(std::string("bus/usb/devices/") + busid + "/authorized", "0\n");
        }
    }
    // As the kernel has it: the hub under its controller, linked from the bus.
    void hub(const std::string& name, const char* setting,
             const std::string& controller = "platform/vhci_hcd.0") const
    {
        put("devices/" + controller + "/" + name + "/authorized_default", setting);
        std::filesystem::create_directories(root.file("bus/usb/devices"));
        std::filesystem::create_directory_symlink("../../../devices/" + controller + "/" + name,
                                                  root.file("bus/usb/devices/" + name));
    }
    std::vector<vhci_port> ports() const
    {
        return parse_vhci_status(
            "hs  0000 006 002 00010002 000003 3-1\n"
            "hs  0001 006 002 00010003 000004 3-2\n"
            "hs  0002 004 000 00000000 000000 0-0\n",
            0);
    }
};

TEST(VhciAuthorization, AHoldKeepsTheHubsNewDevicesOutUntilTheLastRelease)
{
    using calls = std::vector<std::pair<std::string, std::string>>;
    const held_hubs sysfs("1\n");
    recorded_writes writes;
    new_device_hold hold(sysfs.path(), sysfs.run.path(), writes.writer(sysfs.path()));
    EXPECT_EQ(hold.hold("usb3"), "");
    EXPECT_EQ(hold.hold("usb3"), "");
    std::string marker;
    EXPECT_EQ(read_text_file(sysfs.run.file("quorvellan-held-usb3"), marker), 0);
    EXPECT_EQ(marker, "1");
    EXPECT_EQ(hold.release("usb3"), "");
    EXPECT_EQ(writes.calls, (calls{{"/bus/usb/devices/usb3/authorized_default", "0"}}));
    EXPECT_EQ(hold.release("usb3"), "");
    EXPECT_EQ(writes.calls.back(),
              (calls::value_type{"/bus/usb/devices/usb3/authorized_default", "1"}));
    EXPECT_NE(read_text_file(sysfs.run.file("quorvellan-held-usb3"), marker), 0);

    // Not root: said as such, and nothing is left behind.
    recorded_writes denied;
    denied.answers = {EACCES};
    new_device_hold refused(sysfs.path(), sysfs.run.path(), denied.writer(sysfs.path()));
    EXPECT_EQ(refused.hold("usb3"), "not permitted to use " + sysfs.path() +
                                        "/bus/usb/devices/usb3/authorized_default: attaching USB "
                                        "devices takes root");
    EXPECT_NE(read_text_file(sysfs.run.file("quorvellan-held-usb3"), marker), 0);

    // A run that ended inside a hold left its markers: the next start puts
    // back the hub still held, and drops the markers of one that is not and
    // of one that is no longer vhci-hcd's (the module loaded again).
    sysfs.hub("usb1", "0\n", "pci0000:00/0000:00:03.0");
    for (const char* hub : {"usb1", "usb3", "usb4"}) {
        write_text_file(sysfs.run.file(std::string("quorvellan-held-") + hub), "1");
    }
    sysfs.put("devices/platform/vhci_hcd.0/usb3/authorized_default", "0\n");
    recorded_writes restored;
    new_device_hold(sysfs.path(), sysfs.run.path(), restored.writer(sysfs.path()))
        .restore_left_over();
    EXPECT_EQ(restored.calls, (calls{{"/bus/usb/devices/usb3/authorized_default", "1"}}));
    for (const char* hub : {"usb1", "usb3", "usb4"}) {
        EXPECT_NE(read_text_file(sysfs.run.file(std::string("quorvellan-held-") + hub), marker), 0);
    }

    // A hub the person holds is left as it is.
    const held_hubs locked("0\n");
    recorded_writes none;
    new_device_hold kept(locked.path(), locked.run.path(), none.writer(locked.path()));
    EXPECT_EQ(kept.hold("usb3"), "");
    EXPECT_EQ(kept.release("usb3"), "");
    EXPECT_TRUE(none.calls.empty());
}

TEST(VhciAuthorization, OthersArrivedHeldAreLetInAsTheSettingWouldHave)
{
    const held_hubs sysfs("1\n");
    recorded_writes writes;
    EXPECT_EQ(authorize_others(sysfs.path(), sysfs.ports(), {0}, writes.writer(sysfs.path())),
              std::vector<unsigned>{1});
    EXPECT_EQ(writes.calls, (std::vector<std::pair<std::string, std::string>>{
                                {"/bus/usb/devices/3-2/authorized", "1"}}));
    const held_hubs locked("0\n");
    EXPECT_TRUE(authorize_others(locked.path(), locked.ports(), {0}).empty());
    EXPECT_EQ(arrived_device_path(sysfs.path(), sysfs.ports()[2]), "");
    EXPECT_EQ(arrived_device_path(sysfs.path(), sysfs.ports()[0]),
              sysfs.path() + "/bus/usb/devices/3-1");
}

}  // namespace
}  // namespace quorvellan::discover
