// One question to a device's USB/IP server: which USB devices do you share?
// A small state machine for the listener's poll loop. It never blocks: it
// holds one non-blocking TCP socket, says what to poll it for and until
// when, and is stepped when the socket is ready or the time has come. It
// ends by its deadline whatever the server does, and keeps no more of the
// reply than the reply's count allows.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "usbip_devlist.h"

namespace quorvellan::discover {

// From the connect to the whole reply; a server on the network answers in
// a tenth of that.
constexpr std::chrono::seconds USBIP_QUERY_TIMEOUT{2};

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

    // address: a dotted IPv4 address. Starts connecting at once.
    usbip_query(const std::string& address, std::uint16_t port, time_point now);
    ~usbip_query();
    usbip_query(usbip_query&& other) noexcept;
    usbip_query& operator=(usbip_query&& other) noexcept;
    usbip_query(const usbip_query&) = delete;
    usbip_query& operator=(const usbip_query&) = delete;

    // What to poll for: the socket (-1 once finished) and its events, until
    // the deadline.
    int fd() const
    {
        return fd_;
    }
    short events() const;
    time_point deadline() const
    {
        return deadline_;
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
    enum class phase { connecting, sending, receiving, done };

    void check_connected();
    void send_request();
    void receive_reply();
    void finish(usbip_outcome outcome, std::string reason);

    int fd_ = -1;
    phase phase_ = phase::done;
    time_point deadline_;
    std::size_t sent_ = 0;
    std::string reply_;
    usbip_outcome outcome_ = usbip_outcome::pending;
    devlist_fault fault_ = devlist_fault::none;
    std::vector<usb_export> devices_;
    std::string reason_;
};

}  // namespace quorvellan::discover
