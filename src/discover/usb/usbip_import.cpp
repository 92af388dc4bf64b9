#include "usb/usbip_import.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace quorvellan::discover {
namespace {

import_reply finished(devlist_state state, import_fault fault = import_fault::none)
{
    import_reply reply;
    reply.state = state;
    reply.fault = fault;
    return reply;
}

// Everything but whose record it is: what decides whether the bytes are a
// whole reply, which the exchange must know before the bus id is compared.
import_reply read_import_reply(std::string_view received, bool ended)
{
    const import_reply short_of_bytes =
        finished(ended ? devlist_state::refused : devlist_state::incomplete,
                 ended ? import_fault::truncated : import_fault::none);
    if (received.size() < USBIP_IMPORT_HEADER_BYTES) {
        return short_of_bytes;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(received.data());
    const usbip_reply_header header = read_reply_header(bytes);
    if (header.version != USBIP_VERSION) {
        return finished(devlist_state::refused, import_fault::wrong_version);
    }
    if (header.code != USBIP_REP_IMPORT) {
        return finished(devlist_state::refused, import_fault::wrong_code);
    }
    if (header.status != 0) {
        import_reply failed = finished(devlist_state::refused, import_fault::failure_status);
        failed.status = header.status;
        return failed;
    }
    if (received.size() < USBIP_IMPORT_REPLY_BYTES) {
        return short_of_bytes;
    }
    if (received.size() > USBIP_IMPORT_REPLY_BYTES) {
        return finished(devlist_state::refused, import_fault::trailing_bytes);
    }
    import_reply reply = finished(devlist_state::complete);
    reply.record_fault = read_device_record(bytes + USBIP_IMPORT_HEADER_BYTES, reply.device);
    if (reply.record_fault != devlist_fault::none) {
        reply.state = devlist_state::refused;
        reply.fault = import_fault::bad_record;
        reply.device = {};
    }
    return reply;
}

devlist_state judge_import(std::string_view received, bool ended)
{
    return read_import_reply(received, ended).state;
}

// The server's reasons: 1 is the protocol's "error"; 2 and 4 are what
// Debian's usbipd answers for a device another client has and for a bus id
// it does not share.
const char* status_words(std::uint32_t status)
{
    switch (status) {
        case 1:
            return "an error on the server";
        case 2:
            return "in use by another client";
        case 4:
            return "not shared there";
        default:
            return "a reason it does not name";
    }
}

std::string option_failure(const char* option)
{
    return std::string("setting ") + option + " on the USB/IP connection: " + std::strerror(errno);
}

}  // namespace

std::array<char, USBIP_IMPORT_REQUEST_BYTES> import_request(std::string_view busid)
{
    std::array<char, USBIP_IMPORT_REQUEST_BYTES> request{};
    request[0] = static_cast<char>(USBIP_VERSION >> 8);
    request[1] = static_cast<char>(USBIP_VERSION & 0xff);
    request[2] = static_cast<char>(USBIP_REQ_IMPORT >> 8);
    request[3] = static_cast<char>(USBIP_REQ_IMPORT & 0xff);
    std::copy_n(busid.begin(), std::min(busid.size(), USBIP_BUSID_MAX), request.begin() + 8);
    return request;
}

import_reply parse_import_reply(std::string_view received, std::string_view busid, bool ended)
{
    import_reply reply = read_import_reply(received, ended);
    if (reply.state == devlist_state::complete && reply.device.busid != busid) {
        reply = finished(devlist_state::refused, import_fault::other_busid);
    }
    return reply;
}

std::string describe(const import_reply& reply, std::string_view busid)
{
    switch (reply.fault) {
        case import_fault::none:
            return reply.state == devlist_state::complete ? "imported" : "no reply yet";
        case import_fault::truncated:
            return "the import reply ended early";
        case import_fault::trailing_bytes:
            return "more bytes than an import reply holds";
        case import_fault::wrong_version:
            return "an import reply not of USB/IP version 1.1.1";
        case import_fault::wrong_code:
            return "not an import reply";
        case import_fault::failure_status:
            return "the server refused to share " + std::string(busid) + " (status " +
                   std::to_string(reply.status) + ": " + status_words(reply.status) + ")";
        case import_fault::bad_record:
            return std::string("an import reply with a ") + describe(reply.record_fault);
        case import_fault::other_busid:
            return "an import reply for another device than " + std::string(busid);
    }
    return "unknown fault";
}

std::string prepare_for_kernel(int fd)
{
    const int on = 1;
    const int idle = static_cast<int>(USBIP_KEEPALIVE_IDLE.count());
    const int interval = static_cast<int>(USBIP_KEEPALIVE_INTERVAL.count());
    const int count = USBIP_KEEPALIVE_COUNT;
    const unsigned user_timeout =
        static_cast<unsigned>(std::chrono::milliseconds(USBIP_USER_TIMEOUT).count());
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        return option_failure("SO_KEEPALIVE");
    }
    if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0) {
        return option_failure("TCP_KEEPIDLE");
    }
    if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0) {
        return option_failure("TCP_KEEPINTVL");
    }
    if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0) {
        return option_failure("TCP_KEEPCNT");
    }
    if (setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout) != 0) {
        return option_failure("TCP_USER_TIMEOUT");
    }
    // URBs are small and each waits for its answer: no coalescing delay.
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        return option_failure("TCP_NODELAY");
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return option_failure("blocking mode");
    }
    return {};
}

usbip_import::usbip_import(const std::string& address, std::uint16_t port, std::string busid,
                           time_point now)
    : exchange_(
          address, port,
          [&busid] {
              const auto request = import_request(busid);
              return std::string(request.data(), request.size());
          }(),
          judge_import, usbip_exchange::socket_after::keep, now),
      busid_(std::move(busid))
{
    step(now);
}

import_outcome usbip_import::step(time_point now)
{
    if (outcome_ != import_outcome::pending) {
        return outcome_;
    }
    switch (exchange_.step(now)) {
        case exchange_outcome::pending:
            break;
        case exchange_outcome::no_answer:
            outcome_ = import_outcome::no_answer;
            reason_ = exchange_.reason();
            break;
        case exchange_outcome::answered:
        case exchange_outcome::refused:
            reply_ = parse_import_reply(exchange_.take_reply(), busid_);
            reason_ = describe(reply_, busid_);
            if (reply_.state == devlist_state::complete) {
                outcome_ = import_outcome::imported;
            } else {
                outcome_ = import_outcome::refused;
                if (const int fd = exchange_.take_socket(); fd >= 0) {
                    close(fd);
                }
            }
            break;
    }
    return outcome_;
}

int usbip_import::take_socket()
{
    const int fd = exchange_.take_socket();
    if (fd < 0) {
        return -1;
    }
    if (std::string failure = prepare_for_kernel(fd); !failure.empty()) {
        close(fd);
        reason_ = std::move(failure);
        return -1;
    }
    return fd;
}

}  // namespace quorvellan::discover
