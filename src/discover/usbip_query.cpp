#include "usbip_query.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace quorvellan::discover {

const char* describe(usbip_outcome outcome)
{
    switch (outcome) {
        case usbip_outcome::pending:
            return "asking";
        case usbip_outcome::listed:
            return "listed";
        case usbip_outcome::no_answer:
            return "no answer from the USB/IP server";
        case usbip_outcome::refused:
            return "refused";
    }
    return "unknown";
}

usbip_query::usbip_query(const std::string& address, std::uint16_t port, time_point now)
    : deadline_(now + USBIP_QUERY_TIMEOUT)
{
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &server.sin_addr) != 1) {
        finish(usbip_outcome::no_answer, "not an IPv4 address");
        return;
    }
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        finish(usbip_outcome::no_answer, std::strerror(errno));
        return;
    }
    phase_ = phase::connecting;
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0) {
        phase_ = phase::sending;
    } else if (errno != EINPROGRESS) {
        finish(usbip_outcome::no_answer, std::strerror(errno));
    }
}

usbip_query::~usbip_query()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

usbip_query::usbip_query(usbip_query&& other) noexcept
{
    *this = std::move(other);
}

usbip_query& usbip_query::operator=(usbip_query&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        phase_ = std::exchange(other.phase_, phase::done);
        deadline_ = other.deadline_;
        sent_ = other.sent_;
        reply_ = std::move(other.reply_);
        outcome_ = other.outcome_;
        fault_ = other.fault_;
        devices_ = std::move(other.devices_);
        reason_ = std::move(other.reason_);
    }
    return *this;
}

short usbip_query::events() const
{
    switch (phase_) {
        case phase::connecting:
        case phase::sending:
            return POLLOUT;
        case phase::receiving:
            return POLLIN;
        case phase::done:
            break;
    }
    return 0;
}

usbip_outcome usbip_query::step(time_point now)
{
    if (phase_ == phase::connecting) {
        check_connected();
    }
    if (phase_ == phase::sending) {
        send_request();
    }
    if (phase_ == phase::receiving) {
        receive_reply();
    }
    // Only after the socket has had its say: a reply there at the deadline counts.
    if (phase_ != phase::done && now >= deadline_) {
        finish(usbip_outcome::no_answer, "no reply within 2 s");
    }
    return outcome_;
}

void usbip_query::check_connected()
{
    pollfd writable = {fd_, POLLOUT, 0};
    if (poll(&writable, 1, 0) <= 0 || writable.revents == 0) {
        return;  // still connecting
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
    }
    if (error != 0) {
        finish(usbip_outcome::no_answer, std::strerror(error));
        return;
    }
    phase_ = phase::sending;
}

void usbip_query::send_request()
{
    static const std::array<char, 8> request = devlist_request();
    const ssize_t n =
        send(fd_, request.data() + sent_, request.size() - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            finish(usbip_outcome::no_answer, std::strerror(errno));
        }
        return;
    }
    sent_ += static_cast<std::size_t>(n);
    if (sent_ == request.size()) {
        phase_ = phase::receiving;
    }
}

// Reads what is there. The reply is parsed after every read, so that it is
// refused as soon as it runs past what its count allows: the buffer never
// holds more than that and one read.
void usbip_query::receive_reply()
{
    char chunk[4096];
    while (phase_ == phase::receiving) {
        const ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                finish(usbip_outcome::no_answer, std::strerror(errno));
            }
            return;
        }
        if (n == 0 && reply_.empty()) {
            finish(usbip_outcome::no_answer, "closed without a reply");
            return;
        }
        reply_.append(chunk, static_cast<std::size_t>(n));
        devlist_reply parsed = parse_devlist_reply(reply_, n == 0);
        if (parsed.state == devlist_state::complete) {
            devices_ = std::move(parsed.devices);
            finish(usbip_outcome::listed, "listed");
        } else if (parsed.state == devlist_state::refused) {
            fault_ = parsed.fault;
            finish(usbip_outcome::refused, describe(parsed.fault));
        }
    }
}

void usbip_query::finish(usbip_outcome outcome, std::string reason)
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    phase_ = phase::done;
    reply_.clear();
    reply_.shrink_to_fit();
    outcome_ = outcome;
    reason_ = std::move(reason);
}

}  // namespace quorvellan::discover
