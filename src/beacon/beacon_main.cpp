#include "beacon/beacon_main.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <sys/socket.h>
#include <unistd.h>

#include "beacon/cycle.h"
#include "beacon/sender.h"
#include "probe/usb_census.h"

namespace quorvellan {

int beacon_main()
{
    // Started with any of the standard three closed, the socket would take
    // its place, and whatever a library writes there would go to it. The
    // lowest free descriptor is the one open() returns: /dev/null fills the
    // gaps until it lands above them (open alone, where fcntl would cost the
    // flash image 2 KiB of the C library).
    for (;;) {
        const int fd = open("/dev/null", O_RDWR);
        if (fd > 2) {
            close(fd);
        }
        if (fd < 0 || fd > 2) {
            break;
        }
    }
    sender out = sender_open({::socket, setsockopt, sendto, getsockname, bind, close});
    if (out.socket < 0) {
        return 1;
    }
    const sockaddr_in limited_broadcast = limited_broadcast_destination();
    const cycle_sources sources{DEVICE_IDENTITY_PATHS, USB_DEVICES_DIR, {getifaddrs, freeifaddrs}};
    for (;;) {
        beacon_cycle(out, limited_broadcast, sources, send_announcement);
        // Measured from the end of the sends: no catching up after a slow cycle.
        sleep(BEACON_PERIOD);
    }
}

}  // namespace quorvellan
