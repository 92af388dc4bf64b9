#include "beacon/cycle.h"

#include <cstring>

#include "beacon/render.h"
#include "beacon/sender.h"
#include "probe/usb_census.h"

namespace quorvellan {

void beacon_cycle(sender& out, const sockaddr_in& limited_broadcast, const cycle_sources& sources,
                  send_function send)
{
    announcement facts;
    read_identity(facts, sources.identity);
    facts.usb_devices = count_usb_devices(sources.usb_directory);
    std::memset(facts.ip_ap, 0, sizeof facts.ip_ap);
    std::memset(facts.ip_lan, 0, sizeof facts.ip_lan);
    interface_scan scan = scan_interfaces(facts, sources.interfaces);

    char text[ANNOUNCE_CAPACITY];
    const std::size_t length = render_announcement(facts, text);

    sockaddr_in destination;
    for (const ifaddrs* entry = scan_next_destination(scan.list, destination); entry != nullptr;
         entry = scan_next_destination(entry->ifa_next, destination)) {
        destination.sin_port = htons(BEACON_PORT);
        send(out, text, length, destination);
    }
    scan_release(scan);
    send(out, text, length, limited_broadcast);
}

}  // namespace quorvellan
