// Drives the listener's attach units against a real kernel and a real
// USB/IP server, one step after the other as the listener will: the test
// program of tests/attach_kernel, run inside the guest.
//
//   attach_driver attach ADDRESS BUSID RULE [LINGER]
//       lists ADDRESS's devices, imports BUSID, attaches it to a vhci port
//       with its hub held, waits for it to arrive, keeps the hold LINGER
//       seconds more (for a person's own attach to arrive meanwhile), lets
//       the person's own in, then authorizes BUSID if RULE and the list
//       agree with what arrived, or detaches it
//   attach_driver import ADDRESS BUSID     the import alone, then closes
//   attach_driver ports                    attachments and records, as a start finds them
//   attach_driver detach PORT
//
// Every line it prints is for the harness to read; exit status 0 when the
// step did what was asked, 1 when it did not, 2 for a bad command line.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "usb/arrival_check.h"
#include "usb/attach_rule.h"
#include "usb/sysfs_attribute.h"
#include "usb/usbip_import.h"
#include "usb/usbip_query.h"
#include "usb/vhci_authorization.h"
#include "usb/vhci_ports.h"
#include "usb/vhci_records.h"

namespace quorvellan::discover {
namespace {

constexpr const char* SYSFS = "/sys";
constexpr std::uint16_t USBIP_PORT = 3240;
constexpr std::chrono::seconds ARRIVAL_LIMIT{10};
constexpr std::chrono::milliseconds ARRIVAL_POLL{20};

using std::chrono::steady_clock;

// Polls and steps an exchange until it ends, as the listener's loop does.
template <typename exchange>
void run_to_end(exchange& asking)
{
    while (asking.fd() >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            asking.deadline() - steady_clock::now());
        pollfd waiting = {asking.fd(), asking.events(), 0};
        poll(&waiting, 1, static_cast<int>(std::max<long long>(left.count(), 0)) + 1);
        asking.step(steady_clock::now());
    }
    asking.step(steady_clock::now());
}

const usb_export* listed_device(const std::vector<usb_export>& devices, const std::string& busid)
{
    for (const usb_export& device : devices) {
        if (device.busid == busid) {
            return &device;
        }
    }
    return nullptr;
}

// The port's device, once it has arrived (held); "" after ARRIVAL_LIMIT.
std::string wait_for_arrival(unsigned port_number)
{
    const auto give_up = steady_clock::now() + ARRIVAL_LIMIT;
    while (steady_clock::now() < give_up) {
        for (const vhci_port& port : read_vhci_ports(SYSFS).ports) {
            if (port.number == port_number) {
                if (std::string path = arrived_device_path(SYSFS, port); !path.empty()) {
                    return path;
                }
            }
        }
        std::this_thread::sleep_for(ARRIVAL_POLL);
    }
    return {};
}

int import_only(const std::string& address, const std::string& busid)
{
    usbip_import importing(address, USBIP_PORT, busid, steady_clock::now());
    run_to_end(importing);
    std::printf("%s\n", importing.reason().c_str());
    const int fd = importing.take_socket();
    if (fd >= 0) {
        close(fd);
    }
    return importing.outcome() == import_outcome::imported ? 0 : 1;
}

// Takes the port back after a refusal or a failure on the way.
void give_back(unsigned port)
{
    if (std::string failure = vhci_detach(SYSFS, port); !failure.empty()) {
        std::printf("detach failed: %s\n", failure.c_str());
    }
    remove_vhci_record(VHCI_RUN_DIR, port);
}

int attach(const std::string& address, const std::string& busid, const std::string& rule_text,
           int linger_seconds)
{
    const rule_reading rule = parse_attach_rule(rule_text);
    if (!rule.rule) {
        std::printf("%s\n", rule.error.c_str());
        return 2;
    }
    usbip_query listing(address, USBIP_PORT, steady_clock::now());
    run_to_end(listing);
    const usb_export* listed = listed_device(listing.devices(), busid);
    if (listed == nullptr) {
        std::printf("not listed: %s (%s)\n", busid.c_str(), listing.reason().c_str());
        return 1;
    }
    usbip_import importing(address, USBIP_PORT, busid, steady_clock::now());
    run_to_end(importing);
    const int fd = importing.take_socket();
    if (fd < 0) {
        std::printf("import failed: %s\n", importing.reason().c_str());
        return 1;
    }
    new_device_hold hold(SYSFS, VHCI_RUN_DIR);
    hold.restore_left_over();
    std::vector<std::string> held;
    const vhci_attachment attached =
        vhci_attach(SYSFS, fd, importing.reply().device, [&](const vhci_port& port) -> std::string {
            const std::string hub = vhci_root_hub(SYSFS, port);
            if (hub.empty()) {
                return "no root hub for vhci port " + std::to_string(port.number);
            }
            held.push_back(hub);
            return hold.hold(hub);
        });
    // vhci-hcd holds its own reference to the connection from here on.
    close(fd);
    const auto release = [&] {
        for (const std::string& hub : held) {
            if (std::string failure = hold.release(hub); !failure.empty()) {
                std::printf("release failed: %s\n", failure.c_str());
            }
        }
        held.clear();
    };
    if (attached.port < 0) {
        release();
        std::printf("attach failed: %s\n", attached.error.c_str());
        return 1;
    }
    const auto port = static_cast<unsigned>(attached.port);
    if (std::string failure =
            write_vhci_record(VHCI_RUN_DIR, {port, address, std::to_string(USBIP_PORT), busid});
        !failure.empty()) {
        std::printf("record failed: %s\n", failure.c_str());
    }
    const std::string device = wait_for_arrival(port);
    std::this_thread::sleep_for(std::chrono::seconds(linger_seconds));
    release();
    for (const unsigned other : authorize_others(SYSFS, read_vhci_ports(SYSFS).ports, {port})) {
        std::printf("let in port %u, not ours\n", other);
    }
    if (device.empty()) {
        give_back(port);
        std::printf("port %u: nothing arrived within %lld s\n", port,
                    static_cast<long long>(ARRIVAL_LIMIT.count()));
        return 1;
    }
    // Whether it arrived held, as it must have: no driver has seen it yet.
    std::string authorized;
    read_text_file(device + "/authorized", authorized);
    std::printf("port %u %s %s\n", port, device.substr(device.rfind('/') + 1).c_str(),
                authorized == "0\n" ? "held" : "not held");
    const arrival_verdict verdict = judge_arrival(read_arrived_device(device), *rule.rule, *listed);
    if (!verdict.authorize) {
        give_back(port);
        std::printf("%s\n", verdict.reason.c_str());
        return 1;
    }
    if (std::string failure = authorize_device(device); !failure.empty()) {
        give_back(port);
        std::printf("authorize failed: %s\n", failure.c_str());
        return 1;
    }
    std::printf("%s\n", verdict.reason.c_str());
    return 0;
}

int ports()
{
    const vhci_listing listing = read_vhci_ports(SYSFS);
    if (!listing.error.empty()) {
        std::printf("%s\n", listing.error.c_str());
        return 1;
    }
    const vhci_adoption adoption =
        adopt_attachments(listing.ports, read_vhci_records(VHCI_RUN_DIR));
    for (const auto& [port, record] : adoption.attached) {
        std::printf("attached port %u %s %s from %s:%s/%s\n", port.number, hub_name(port.hub),
                    port.local_busid.c_str(), record.host.c_str(), record.service.c_str(),
                    record.busid.c_str());
    }
    for (const vhci_record& record : adoption.stale) {
        std::printf("stale record port %u\n", record.port);
    }
    return 0;
}

int detach(unsigned port)
{
    if (std::string failure = vhci_detach(SYSFS, port); !failure.empty()) {
        std::printf("%s\n", failure.c_str());
        return 1;
    }
    remove_vhci_record(VHCI_RUN_DIR, port);
    return 0;
}

}  // namespace
}  // namespace quorvellan::discover

int main(int argc, char** argv)
{
    using namespace quorvellan::discover;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "attach" && (args.size() == 4 || args.size() == 5)) {
        return attach(args[1], args[2], args[3], args.size() == 5 ? std::atoi(args[4].c_str()) : 0);
    }
    if (args.size() == 3 && args[0] == "import") {
        return import_only(args[1], args[2]);
    }
    if (args.size() == 1 && args[0] == "ports") {
        return ports();
    }
    if (args.size() == 2 && args[0] == "detach") {
        return detach(static_cast<unsigned>(std::atoi(args[1].c_str())));
    }
    std::fprintf(stderr,
                 "usage: attach_driver attach ADDRESS BUSID RULE [LINGER] | import ADDRESS BUSID "
                 "| ports | detach PORT\n");
    return 2;
}
