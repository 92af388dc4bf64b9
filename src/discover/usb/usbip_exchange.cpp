#include "usb/usbip_exchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace quorvellan::discover {

usbip_exchange::usbip_exchange(const std::string& address, std::uint16_t port, std::string request,
                               judge judge_reply, socket_after after, time_point now,
                               std::uint16_t local_port)
    : deadline_(now + USBIP_QUERY_TIMEOUT),
      request_(std::move(request)),
      judge_(judge_reply),
      after_(after)
{
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &server.sin_addr) != 1) {
        finish(exchange_outcome::no_answer, "not an IPv4 address");
        return;
    }
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        finish(exchange_outcome::no_answer, std::strerror(errno));
        return;
    }
    if (local_port != 0) {
        const int on = 1;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(local_port);
        // Taken meanwhile by another connection: any port will do, as ever.
        if (setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0) {
            bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        }
    }
    phase_ = phase::connecting;
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0) {
        phase_ = phase::sending;
    } else if (errno != EINPROGRESS) {
        finish(exchange_outcome::no_answer, std::strerror(errno));
    }
}

usbip_exchange::~usbip_exchange()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

usbip_exchange::usbip_exchange(usbip_exchange&& other) noexcept
{
    *this = std::move(other);
}

usbip_exchange& usbip_exchange::operator=(usbip_exchange&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        phase_ = std::exchange(other.phase_, phase::done);
        deadline_ = other.deadline_;
        request_ = std::move(other.request_);
        sent_ = other.sent_;
        judge_ = other.judge_;
        after_ = other.after_;
        reply_ = std::move(other.reply_);
        outcome_ = other.outcome_;
        reason_ = std::move(other.reason_);
    }
    return *this;
}

short usbip_exchange::events() const
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

exchange_outcome usbip_exchange::step(time_point now)
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
        finish(exchange_outcome::no_answer, "no reply within 2 s");
    }
    return outcome_;
}

std::string usbip_exchange::take_reply()
{
    return std::exchange(reply_, std::string());
}

int usbip_exchange::take_socket()
{
    return outcome_ == exchange_outcome::answered ? std::exchange(fd_, -1) : -1;
}

void usbip_exchange::check_connected()
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
        finish(exchange_outcome::no_answer, std::strerror(error));
        return;
    }
    phase_ = phase::sending;
}

void usbip_exchange::send_request()
{
    const ssize_t n =
        send(fd_, request_.data() + sent_, request_.size() - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            finish(exchange_outcome::no_answer, std::strerror(errno));
        }
        return;
    }
    sent_ += static_cast<std::size_t>(n);
    if (sent_ == request_.size()) {
        phase_ = phase::receiving;
    }
}

void usbip_exchange::receive_reply()
{
    char chunk[4096];
    while (phase_ == phase::receiving) {
        const ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                finish(exchange_outcome::no_answer, std::strerror(errno));
            }
            return;
        }
        if (n == 0 && reply_.empty()) {
            finish(exchange_outcome::no_answer, "closed without a reply");
            return;
        }
        reply_.append(chunk, static_cast<std::size_t>(n));
        const devlist_state state = judge_(reply_, n == 0);
        if (state == devlist_state::complete) {
            finish(exchange_outcome::answered);
        } else if (state == devlist_state::refused) {
            finish(exchange_outcome::refused);
        }
    }
}

void usbip_exchange::finish(exchange_outcome outcome, std::string reason)
{
    const bool keep = outcome == exchange_outcome::answered && after_ == socket_after::keep;
    if (fd_ >= 0 && !keep) {
        close(fd_);
        fd_ = -1;
    }
    phase_ = phase::done;
    if (outcome == exchange_outcome::no_answer) {
        reply_.clear();
    }
    reply_.shrink_to_fit();
    outcome_ = outcome;
    reason_ = std::move(reason);
}

}  // namespace quorvellan::discover
