#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>

namespace quorvellan::discover {

namespace {

// One open event stream. Its connection is suspended while there is nothing
// to send, so that it costs no polling, and resumed by push().
struct event_stream {
    MHD_Connection* connection = nullptr;
    std::string pending;
    std::size_t sent = 0;  // of pending
    bool suspended = false;
    bool dropped = false;  // its reader fell too far behind
};

}  // namespace

struct http_server::state {
    MHD_Daemon* daemon = nullptr;
    http_handler handler;
    http_limits limits;
    std::list<event_stream> streams;
};

namespace {

// On every answer: the page runs only its own files and talks only to its
// own origin, and nothing is cached or framed.
constexpr const char* COMMON_HEADERS[][2] = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
     "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"X-Frame-Options", "DENY"},
    {"Cache-Control", "no-store"},
};

void add_headers(MHD_Response* response, const http_response& answer)
{
    for (const auto& header : COMMON_HEADERS) {
        MHD_add_response_header(response, header[0], header[1]);
    }
    if (!answer.content_type.empty()) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                                answer.content_type.c_str());
    }
    if (answer.status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
}

// Sends response, with the answer's status and headers, and lets it go.
MHD_Result queue_response(MHD_Connection* connection, MHD_Response* response,
                          const http_response& answer)
{
    add_headers(response, answer);
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
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
    return queue_response(connection, response, answer);
}

ssize_t read_stream(void* context, std::uint64_t /*position*/, char* buffer, std::size_t room)
{
    auto* stream = static_cast<event_stream*>(context);
    if (stream->dropped) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    if (stream->sent == stream->pending.size()) {
        // Nothing to send: sleep until push() has something.
        stream->pending.clear();
        stream->sent = 0;
        MHD_suspend_connection(stream->connection);
        stream->suspended = true;
        return 0;
    }
    const std::size_t size = std::min(room, stream->pending.size() - stream->sent);
    std::memcpy(buffer, stream->pending.data() + stream->sent, size);
    stream->sent += size;
    if (stream->sent >= 64 * 1024) {
        // A reader that never quite catches up must not keep all it was sent.
        stream->pending.erase(0, stream->sent);
        stream->sent = 0;
    }
    return static_cast<ssize_t>(size);
}

MHD_Result open_stream(http_server::state& server, MHD_Connection* connection, http_response answer,
                       void** request_context)
{
    if (server.streams.size() >= server.limits.streams) {
        return queue(connection, plain_answer(MHD_HTTP_SERVICE_UNAVAILABLE,
                                              "too many live clients: try again later\n"));
    }
    // What the kernel holds for a reader that stopped reading is bounded
    // too, rather than grown by autotuning up to megabytes.
    const MHD_ConnectionInfo* socket_info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (socket_info != nullptr) {
        const int size = static_cast<int>(server.limits.stream_backlog);
        setsockopt(socket_info->connect_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    event_stream& stream = server.streams.emplace_back();
    stream.connection = connection;
    stream.pending = std::move(answer.body);
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &read_stream, &stream, nullptr);
    if (response == nullptr) {
        server.streams.pop_back();
        return MHD_NO;
    }
    // Remembered for when the request ends, to forget the stream then.
    *request_context = &stream;
    return queue_response(connection, response, answer);
}

void stream_ended(void* context, MHD_Connection* /*connection*/, void** request_context,
                  MHD_RequestTerminationCode /*why*/)
{
    auto* server = static_cast<http_server::state*>(context);
    auto* ended = static_cast<event_stream*>(*request_context);
    if (ended == nullptr) {
        return;
    }
    server->streams.remove_if([ended](const event_stream& stream) { return &stream == ended; });
    *request_context = nullptr;
}

std::string_view header(MHD_Connection* connection, const char* name)
{
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return value != nullptr ? value : "";
}

MHD_Result answer(void* context, MHD_Connection* connection, const char* url, const char* method,
                  const char* /*version*/, const char* /*upload_data*/,
                  std::size_t* /*upload_data_size*/, void** request_context)
{
    auto* server = static_cast<http_server::state*>(context);
    const std::string_view verb = method;
    if (verb != MHD_HTTP_METHOD_GET && verb != MHD_HTTP_METHOD_HEAD) {
        // Answered before any body is read, and the connection closed.
        return queue(connection, plain_answer(MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n"));
    }
    http_response response = server->handler({url, header(connection, MHD_HTTP_HEADER_HOST)});
    if (response.stream && verb == MHD_HTTP_METHOD_GET) {
        return open_stream(*server, connection, std::move(response), request_context);
    }
    return queue(connection, std::move(response));
}

}  // namespace

http_response plain_answer(unsigned status, std::string body)
{
    return {status, "text/plain; charset=utf-8", std::move(body), false};
}

std::optional<std::uint16_t> parse_port(std::string_view text)
{
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    const unsigned long number = std::stoul(std::string(text));
    if (number < 1 || number > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(number);
}

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
    const std::optional<std::uint16_t> number = parse_port(port);
    if (!number) {
        error = "needs [ADDRESS:]PORT with a port from 1 to 65535, got '" + std::string(text) + "'";
        return std::nullopt;
    }
    endpoint.port = *number;
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
    server->state_->limits = limits;
    // No thread of its own: the caller's loop runs it, through epoll.
    const unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | (ipv6 ? MHD_USE_IPv6 : 0);
    errno = 0;
    server->state_->daemon = MHD_start_daemon(
        flags, endpoint.port, nullptr, nullptr, &answer, server->state_.get(), MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&address), MHD_OPTION_CONNECTION_LIMIT, limits.connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.per_address, MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(limits.idle.count()), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        limits.memory_per_connection, MHD_OPTION_NOTIFY_COMPLETED, &stream_ended,
        server->state_.get(), MHD_OPTION_END);
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
        // A suspended connection would outlive the server.
        for (event_stream& stream : state_->streams) {
            stream.dropped = true;
            if (stream.suspended) {
                stream.suspended = false;
                MHD_resume_connection(stream.connection);
            }
        }
        MHD_run(state_->daemon);
        MHD_stop_daemon(state_->daemon);
    }
}

void http_server::push(const std::string& chunk)
{
    for (event_stream& stream : state_->streams) {
        if (stream.dropped) {
            continue;
        }
        if (stream.pending.size() - stream.sent + chunk.size() > state_->limits.stream_backlog) {
            // A reader this far behind is stuck: what it holds is freed now,
            // and its connection is closed when it next reads or times out.
            stream.dropped = true;
            std::string().swap(stream.pending);
            stream.sent = 0;
        } else {
            stream.pending += chunk;
        }
        if (stream.suspended) {
            stream.suspended = false;
            MHD_resume_connection(stream.connection);
        }
    }
}

std::size_t http_server::streams() const
{
    return state_->streams.size();
}

std::size_t http_server::buffered() const
{
    std::size_t bytes = 0;
    for (const event_stream& stream : state_->streams) {
        bytes += stream.pending.size();
    }
    return bytes;
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
