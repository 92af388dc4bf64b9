// One request and its reply over a TCP connection of its own to a USB/IP
// server, for the listener's poll loop: a non-blocking socket, what to poll
// it for and until when, and a step whenever the socket is ready or the time
// has come. It ends by its deadline whatever the server does. What a reply
// is, and when it is whole, is its owner's to say (the device list, the
// import); an import keeps the connected socket afterwards for the kernel.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "usb/usbip_devlist.h"

namespace quorvellan::discover {

// From the connect to the whole reply; a server on the network answers in
// a tenth of that.
constexpr std::chrono::seconds USBIP_QUERY_TIMEOUT{2};

enum class exchange_outcome {
    pending,
    answered,   // reply() is whole
    no_answer,  // refused connection, reset, or silence until the deadline
    refused,    // reply() is malformed, which more bytes cannot mend
};

class usbip_exchange {
   public:
    using time_point = std::chrono::steady_clock::time_point;
    // Whether received is a whole reply, the beginning of one, or no reply
    // at all; ended: the server has closed the connection. Called after
    // every read, so that a reply is refused as soon as it runs past what it
    // may hold: the buffer never holds more than that and one read.
    using judge = devlist_state (*)(std::string_view received, bool ended);
    enum class socket_after { close, keep };

    // address: a dotted IPv4 address. Starts connecting at once, from
    // local_port when it is not 0 and still free (else from any): a
    // connection from the port of one that died unheard makes the server's
    // TCP end its half of that one (its answer to our SYN is refused with
    // a reset, as for any half-open connection), which a server without
    // keepalive would otherwise keep, and the device in use with it.
    usbip_exchange(const std::string& address, std::uint16_t port, std::string request,
                   judge judge_reply, socket_after after, time_point now,
                   std::uint16_t local_port = 0);
    ~usbip_exchange();
    usbip_exchange(usbip_exchange&& other) noexcept;
    usbip_exchange& operator=(usbip_exchange&& other) noexcept;
    usbip_exchange(const usbip_exchange&) = delete;
    usbip_exchange& operator=(const usbip_exchange&) = delete;

    // What to poll for: the socket (-1 once finished) and its events, until
    // the deadline.
    int fd() const
    {
        return phase_ == phase::done ? -1 : fd_;
    }
    short events() const;
    time_point deadline() const
    {
        return deadline_;
    }

    // Advances as far as the socket allows without waiting; to be called
    // when poll reports the socket, or at the deadline. Calling it at other
    // times is harmless. Closes the socket when the exchange ends, unless
    // it was answered and the socket is to be kept.
    exchange_outcome step(time_point now);

    exchange_outcome outcome() const
    {
        return outcome_;
    }
    // Every byte received, once answered or refused, for the owner to read.
    std::string take_reply();
    // Why there was no answer, for a log: e.g. "Connection refused",
    // "no reply within 2 s".
    const std::string& reason() const
    {
        return reason_;
    }
    // After an answer, with the socket kept: the connected socket, which is
    // the caller's to close from then on; -1 otherwise.
    int take_socket();

   private:
    enum class phase { connecting, sending, receiving, done };

    void check_connected();
    void send_request();
    void receive_reply();
    void finish(exchange_outcome outcome, std::string reason = {});

    int fd_ = -1;
    phase phase_ = phase::done;
    time_point deadline_;
    std::string request_;
    std::size_t sent_ = 0;
    judge judge_ = nullptr;
    socket_after after_ = socket_after::close;
    std::string reply_;
    exchange_outcome outcome_ = exchange_outcome::pending;
    std::string reason_;
};

}  // namespace quorvellan::discover
