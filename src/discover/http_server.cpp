#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace quorvellan::discover {

struct http_server::state {
    MHD_Daemon* daemon = nullptr;
    http_handler handler;
};

namespace {

bool all_digits(std::string_view text)
{
    return !text.empty() && text.size() <= 5 &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
}

MHD_Result queue(MHD_Connection* connection, http_response answer)
{
    // The body is handed over, not copied: a full table's scrape is large.
    auto* body = new std::string(std::move(answer.body));
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        body->size(), body->data(), [](void* owned) { delete static_cast<std::string*>(owned); },
        body);
    if (response == nullptr) {
        delete body;
        return MHD_NO;
    }
    if (!answer.content_type.empty()) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                                answer.content_type.c_str());
    }
    if (answer.status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result answer(void* context, MHD_Connection* connection, const char* url, const char* method,
                  const char* /*version*/, const char* /*upload_data*/,
                  std::size_t* /*upload_data_size*/, void** /*request_context*/)
{
    auto* server = static_cast<http_server::state*>(context);
    const std::string_view verb = method;
    if (verb != MHD_HTTP_METHOD_GET && verb != MHD_HTTP_METHOD_HEAD) {
        // Answered before any body is read, and the connection closed.
        return queue(connection, {MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain; charset=utf-8",
                                  "only GET and HEAD\n"});
    }
    return queue(connection, server->handler(url));
}

}  // namespace

std::optional<http_endpoint> parse_endpoint(std::string_view text, std::string& error)
{
    http_endpoint endpoint;
    const std::size_t colon = text.rfind(':');
    std::string_view port = text;
    if (colon != std::string_view::npos) {
        std::string_view address = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
            address = address.substr(1, address.size() - 2);
        }
        endpoint.address = std::string(address);
        in6_addr any;
        if (inet_pton(AF_INET, endpoint.address.c_str(), &any) != 1 &&
            inet_pton(AF_INET6, endpoint.address.c_str(), &any) != 1) {
            error =
                "needs an IPv4 or [IPv6] address before the port, got '" + std::string(text) + "'";
            return std::nullopt;
        }
    }
    const unsigned long number = all_digits(port) ? std::stoul(std::string(port)) : 0;
    if (number < 1 || number > 65535) {
        error = "needs [ADDRESS:]PORT with a port from 1 to 65535, got '" + std::string(text) + "'";
        return std::nullopt;
    }
    endpoint.port = static_cast<std::uint16_t>(number);
    return endpoint;
}

std::string describe(const http_endpoint& endpoint)
{
    const bool v6 = endpoint.address.find(':') != std::string::npos;
    return (v6 ? "[" + endpoint.address + "]" : endpoint.address) + ":" +
           std::to_string(endpoint.port);
}

std::unique_ptr<http_server> http_server::open(const http_endpoint& endpoint,
                                               const http_limits& limits, http_handler handler,
                                               std::string& error)
{
    sockaddr_storage address{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    const bool ipv6 = inet_pton(AF_INET, endpoint.address.c_str(), &v4->sin_addr) != 1;
    if (ipv6) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(endpoint.port);
        inet_pton(AF_INET6, endpoint.address.c_str(), &v6->sin6_addr);
    } else {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(endpoint.port);
    }
    std::unique_ptr<http_server> server(new http_server());
    server->state_ = std::make_unique<state>();
    server->state_->handler = std::move(handler);
    // No thread of its own: the caller's loop runs it, through epoll.
    const unsigned flags = MHD_USE_EPOLL | (ipv6 ? MHD_USE_IPv6 : 0);
    errno = 0;
    server->state_->daemon = MHD_start_daemon(
        flags, endpoint.port, nullptr, nullptr, &answer, server->state_.get(), MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&address), MHD_OPTION_CONNECTION_LIMIT, limits.connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.per_address, MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(limits.idle.count()), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        limits.memory_per_connection, MHD_OPTION_END);
    if (server->state_->daemon == nullptr) {
        error = "cannot serve HTTP on " + describe(endpoint) + ": " +
                (errno != 0 ? std::strerror(errno) : "the HTTP server did not start");
        return nullptr;
    }
    return server;
}

http_server::~http_server()
{
    if (state_ && state_->daemon != nullptr) {
        MHD_stop_daemon(state_->daemon);
    }
}

int http_server::fd() const
{
    const MHD_DaemonInfo* info = MHD_get_daemon_info(state_->daemon, MHD_DAEMON_INFO_EPOLL_FD);
    return info != nullptr ? info->epoll_fd : -1;
}

std::optional<std::chrono::milliseconds> http_server::due_in() const
{
    MHD_UNSIGNED_LONG_LONG milliseconds = 0;
    if (MHD_get_timeout(state_->daemon, &milliseconds) != MHD_YES) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(milliseconds);
}

void http_server::run()
{
    MHD_run(state_->daemon);
}

std::uint16_t http_server::port() const
{
    const MHD_DaemonInfo* info = MHD_get_daemon_info(state_->daemon, MHD_DAEMON_INFO_BIND_PORT);
    return info != nullptr ? info->port : 0;
}

}  // namespace quorvellan::discover
