// One question to a device's USB/IP server: which USB devices do you share?
// An exchange (usb/usbip_exchange.h) of the device list request and its
// reply, for the listener's poll loop: it never blocks, ends by its
// deadline whatever the server does, and keeps no more of the reply than
// the reply's count allows.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "usb/usbip_devlist.h"
#include "usb/usbip_exchange.h"

namespace quorvellan::discover {

enum class usbip_outcome {
    pending,
    listed,     // devices() holds the list
    no_answer,  // refused connection, reset, or silence until the deadline
    refused,    // the reply was malformed: fault() says how
};

// "asking", "listed", "no answer from the USB/IP server", "refused".
const char* describe(usbip_outcome outcome);

class usbip_query {
   public:
    using time_point = std::chrono::steady_clock::time_point;

    // address: a dotted IPv4 address. Starts connecting at once, from
    // local_port when given (see usbip_exchange).
    usbip_query(const std::string& address, std::uint16_t port, time_point now,
                std::uint16_t local_port = 0);

    // What to poll for: the socket (-1 once finished) and its events, until
    // the deadline.
    int fd() const
    {
        return exchange_.fd();
    }
    short events() const
    {
        return exchange_.events();
    }
    time_point deadline() const
    {
        return exchange_.deadline();
    }

    // Advances as far as the socket allows without waiting; to be called
    // when poll reports the socket, or at the deadline. Calling it at other
    // times is harmless. Closes the socket when the query ends.
    usbip_outcome step(time_point now);

    usbip_outcome outcome() const
    {
        return outcome_;
    }
    const std::vector<usb_export>& devices() const
    {
        return devices_;
    }
    devlist_fault fault() const
    {
        return fault_;
    }
    // Why it ended as it did, for a log: e.g. "Connection refused",
    // "no reply within 2 s", or the reply's fault.
    const std::string& reason() const
    {
        return reason_;
    }

   private:
    usbip_exchange exchange_;
    usbip_outcome outcome_ = usbip_outcome::pending;
    devlist_fault fault_ = devlist_fault::none;
    std::vector<usb_export> devices_;
    std::string reason_;
};

}  // namespace quorvellan::discover
