// Importing one shared USB device from a device's USB/IP server: the import
// request, the server's reply read strictly (it comes from the network and
// decides what the kernel is then told), and the exchange that, when the
// server agrees, keeps the connected socket for vhci-hcd, made ready for it
// so that a server that vanishes without a word frees its port in seconds.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "usb/usbip_devlist.h"
#include "usb/usbip_exchange.h"

namespace quorvellan::discover {

constexpr std::uint16_t USBIP_REQ_IMPORT = 0x8003;
constexpr std::uint16_t USBIP_REP_IMPORT = 0x0003;
// version, code, status, busid[32]
constexpr std::size_t USBIP_IMPORT_REQUEST_BYTES = 40;
// version, code, status; then, when the status is 0, one device record
// without interface records.
constexpr std::size_t USBIP_IMPORT_HEADER_BYTES = 8;
constexpr std::size_t USBIP_IMPORT_REPLY_BYTES = USBIP_IMPORT_HEADER_BYTES + USBIP_DEVICE_BYTES;
// The longest bus id the request's field holds with its NUL.
constexpr std::size_t USBIP_BUSID_MAX = 31;

// How the socket handed to the kernel notices a silent peer: keepalive
// probes after 5 s without a byte, every 2 s, three unanswered end it; and
// data unacknowledged for 10 s ends it too (TCP_USER_TIMEOUT, which also
// bounds the probes). A device that vanishes frees its port 5 to 12 s later.
constexpr std::chrono::seconds USBIP_KEEPALIVE_IDLE{5};
constexpr std::chrono::seconds USBIP_KEEPALIVE_INTERVAL{2};
constexpr int USBIP_KEEPALIVE_COUNT = 3;
constexpr std::chrono::seconds USBIP_USER_TIMEOUT{10};

enum class import_fault {
    none,
    truncated,       // the connection ended before the reply did
    trailing_bytes,  // more than the reply holds
    wrong_version,   // not 0x0111
    wrong_code,      // not an import reply
    failure_status,  // the server said no: status() says which
    bad_record,      // the device record is malformed: record_fault says how
    other_busid,     // a record for another device than the one asked for
};

struct import_reply {
    devlist_state state = devlist_state::incomplete;
    import_fault fault = import_fault::none;
    devlist_fault record_fault = devlist_fault::none;  // with bad_record
    std::uint32_t status = 0;                          // with failure_status
    usb_export device;  // only when complete; without interfaces, as the reply has none
};

// OP_REQ_IMPORT for busid, ready to send; busid is at most USBIP_BUSID_MAX
// bytes long (longer ones are cut there, and no server shares them).
std::array<char, USBIP_IMPORT_REQUEST_BYTES> import_request(std::string_view busid);

// received: every byte of the reply so far; busid: the one asked for;
// ended: whether the server has closed the connection, after which an
// incomplete reply is a truncated one.
import_reply parse_import_reply(std::string_view received, std::string_view busid,
                                bool ended = true);

// One line for a log, e.g. "the server refused to share 1-1 (status 2: in
// use by another client)", "an import reply for another device than 1-1".
std::string describe(const import_reply& reply, std::string_view busid);

// The socket options above, and blocking again, as the kernel's threads
// expect; "" or what failed.
std::string prepare_for_kernel(int fd);

enum class import_outcome {
    pending,
    imported,   // reply() holds the device; take_socket() the connection
    no_answer,  // refused connection, reset, or silence until the deadline
    refused,    // the server said no, or its reply was malformed
};

class usbip_import {
   public:
    using time_point = std::chrono::steady_clock::time_point;

    // address: a dotted IPv4 address. Starts connecting at once.
    usbip_import(const std::string& address, std::uint16_t port, std::string busid, time_point now);

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

    // As usbip_exchange::step.
    import_outcome step(time_point now);

    import_outcome outcome() const
    {
        return outcome_;
    }
    const import_reply& reply() const
    {
        return reply_;
    }
    const std::string& busid() const
    {
        return busid_;
    }
    // Why it ended as it did, for a log.
    const std::string& reason() const
    {
        return reason_;
    }
    // Once imported: the connection, prepared for the kernel and the
    // caller's to close once vhci-hcd has it (or has refused it); -1 before,
    // after a failure, or when preparing it failed (reason() says so).
    int take_socket();

   private:
    usbip_exchange exchange_;
    std::string busid_;
    import_outcome outcome_ = import_outcome::pending;
    import_reply reply_;
    std::string reason_;
};

}  // namespace quorvellan::discover
