#include "net/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <optional>

namespace quorvellan::discover {

namespace {

using std::chrono::steady_clock;

// A connection, from its start to its close.
struct client {
    // Whom the shares of one address count it for; empty for a proxy's.
    std::string address;
    int fd = -1;
    // When its next request's headers are due; never while one is answered.
    steady_clock::time_point headers_due = steady_clock::time_point::max();
    bool cut = false;  // shut down for being late: the library closes it
};

// One open event stream. Its connection is suspended while there is nothing
// to send, so that it costs no polling, and resumed by push().
struct event_stream {
    MHD_Connection* connection = nullptr;
    std::string address;  // its client's
    std::string pending;
    std::size_t sent = 0;  // of pending
    bool suspended = false;
    bool dropped = false;  // its reader fell too far behind
};

// At most this much of an answer's parts is made at a time, when the
// socket has room for it: the most one connection costs one run().
constexpr std::size_t PART_BLOCK = 8 * 1024;
// What the kernel may hold of an answer in parts ahead of its reader.
constexpr std::size_t AHEAD_OF_READER = 64 * 1024;

}  // namespace

struct http_server::state {
    MHD_Daemon* daemon = nullptr;
    http_handler handler;
    http_limits limits;
    std::vector<std::string> proxies;  // as parse_address writes them
    std::list<client> clients;
    std::list<event_stream> streams;
    std::size_t answers_held = 0;               // by the answers in parts not yet done
    std::map<std::string, unsigned> answering;  // those answers, by address
};

namespace {

// An answer in parts, from its first part to its reader's last byte.
struct answer_in_parts {
    http_server::state* server = nullptr;
    http_parts parts;  // none for HEAD
    std::string pending;
    std::size_t sent = 0;                // of pending
    std::size_t held = 0;                // what it adds to the server's answers_held
    std::optional<std::string> address;  // whom it is counted for, unless HEAD
};

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

// The address as a client's is named: IPv4 mapped into IPv6 as IPv4, so that
// one client is one address whether the server listens on IPv4 or IPv6.
std::string address_text(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &v6, text, sizeof text);
        }
    }
    return text;
}

// What the shares of one address count a client from address as: empty for
// a proxy, which many people share.
std::string share_of(const http_server::state& server, const sockaddr* address)
{
    std::string text = address_text(address);
    const bool proxy =
        std::find(server.proxies.begin(), server.proxies.end(), text) != server.proxies.end();
    return proxy ? std::string() : text;
}

client* client_of(MHD_Connection* connection)
{
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<client*>(info->socket_context) : nullptr;
}

// Before the library takes a connection: one address gets its share only.
MHD_Result admit(void* context, const sockaddr* address, socklen_t /*length*/)
{
    const auto* server = static_cast<const http_server::state*>(context);
    const std::string from = share_of(*server, address);
    const auto held = std::count_if(server->clients.begin(), server->clients.end(),
                                    [&from](const client& each) { return each.address == from; });
    return from.empty() || static_cast<unsigned>(held) < server->limits.per_address ? MHD_YES
                                                                                    : MHD_NO;
}

void connection_changed(void* context, MHD_Connection* connection, void** socket_context,
                        MHD_ConnectionNotificationCode change)
{
    auto* server = static_cast<http_server::state*>(context);
    if (change == MHD_CONNECTION_NOTIFY_STARTED) {
        client& started = server->clients.emplace_back();
        const MHD_ConnectionInfo* from =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        started.address = from != nullptr ? share_of(*server, from->client_addr) : "";
        const MHD_ConnectionInfo* socket =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        started.fd = socket != nullptr ? socket->connect_fd : -1;
        started.headers_due = steady_clock::now() + server->limits.headers;
        *socket_context = &started;
    } else if (change == MHD_CONNECTION_NOTIFY_CLOSED) {
        const auto* closed = static_cast<client*>(*socket_context);
        server->clients.remove_if([closed](const client& each) { return &each == closed; });
        *socket_context = nullptr;
    }
}

// A deadline, not a time of silence: a client that trickles its headers a
// byte at a time is cut as one that sends nothing. Shutting the socket down
// rather than closing it lets the library find the end itself and close the
// connection in its own order, as if the client had left.
void cut_late_headers(http_server::state& server)
{
    const auto now = steady_clock::now();
    for (client& each : server.clients) {
        if (!each.cut && each.headers_due <= now && each.fd >= 0) {
            shutdown(each.fd, SHUT_RDWR);
            each.cut = true;
        }
    }
}

ssize_t read_parts(void* context, std::uint64_t /*position*/, char* buffer, std::size_t room)
{
    auto* answer = static_cast<answer_in_parts*>(context);
    if (answer->sent == answer->pending.size()) {
        answer->pending.clear();
        answer->sent = 0;
        const std::size_t block = std::min(room, PART_BLOCK);
        while (answer->parts.next && answer->pending.size() < block &&
               answer->parts.next(answer->pending)) {
        }
        if (answer->pending.empty()) {
            return MHD_CONTENT_READER_END_OF_STREAM;
        }
    }
    const std::size_t size = std::min(room, answer->pending.size() - answer->sent);
    std::memcpy(buffer, answer->pending.data() + answer->sent, size);
    answer->sent += size;
    return static_cast<ssize_t>(size);
}

void parts_done(void* context)
{
    auto* answer = static_cast<answer_in_parts*>(context);
    http_server::state& server = *answer->server;
    server.answers_held -= answer->held;
    if (answer->address && --server.answering[*answer->address] == 0) {
        server.answering.erase(*answer->address);
    }
    delete answer;
}

// An answer in parts, made as its reader takes it; for HEAD, none are made.
MHD_Result queue_parts(http_server::state& server, MHD_Connection* connection,
                       const http_response& answer, bool head)
{
    const client* from = client_of(connection);
    const std::string address = from != nullptr ? from->address : "";
    // Past three quarters of the bound, only an address with no answer under
    // way gets one: a few that fetch without pause cannot keep all others out.
    const std::size_t bound = server.limits.answers_held;
    const bool answering = server.answering.count(address) > 0;
    if (!head &&
        (server.answers_held >= bound || (answering && server.answers_held >= bound / 4 * 3))) {
        return queue(connection, plain_answer(MHD_HTTP_SERVICE_UNAVAILABLE,
                                              "too many answers wait for their readers: try "
                                              "again later\n"));
    }
    // What the kernel takes ahead of a reader that stopped reading is bounded
    // too, so that the parts follow the reader rather than fill megabytes.
    const MHD_ConnectionInfo* socket_info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (socket_info != nullptr) {
        const int size = static_cast<int>(AHEAD_OF_READER);
        setsockopt(socket_info->connect_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    auto* made = new answer_in_parts;
    made->server = &server;
    if (!head) {
        made->parts = answer.parts();
        // What it is made from, and the block it is made into.
        made->held = made->parts.held + 2 * PART_BLOCK;
        made->address = address;
        ++server.answering[address];
    }
    server.answers_held += made->held;
    MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, PART_BLOCK,
                                                               &read_parts, made, &parts_done);
    if (response == nullptr) {
        parts_done(made);
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
    const client* from = client_of(connection);
    const std::string address = from != nullptr ? from->address : "";
    const auto same =
        std::count_if(server.streams.begin(), server.streams.end(),
                      [&address](const event_stream& each) { return each.address == address; });
    if (!address.empty() && static_cast<std::size_t>(same) >= server.limits.streams_per_address) {
        return queue(connection, plain_answer(MHD_HTTP_SERVICE_UNAVAILABLE,
                                              "too many live clients from this address: try "
                                              "again later\n"));
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
    stream.address = address;
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

void request_ended(void* context, MHD_Connection* connection, void** request_context,
                   MHD_RequestTerminationCode /*why*/)
{
    auto* server = static_cast<http_server::state*>(context);
    // A kept connection's next request has the same time for its headers.
    if (client* kept = client_of(connection)) {
        kept->headers_due = steady_clock::now() + server->limits.headers;
    }
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
    if (client* asking = client_of(connection)) {
        asking->headers_due = steady_clock::time_point::max();
    }
    const std::string_view verb = method;
    if (verb != MHD_HTTP_METHOD_GET && verb != MHD_HTTP_METHOD_HEAD) {
        // Answered before any body is read, and the connection closed.
        return queue(connection, plain_answer(MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n"));
    }
    http_response response = server->handler({url, header(connection, MHD_HTTP_HEADER_HOST)});
    if (response.stream && verb == MHD_HTTP_METHOD_GET) {
        return open_stream(*server, connection, std::move(response), request_context);
    }
    if (response.parts) {
        return queue_parts(*server, connection, response, verb == MHD_HTTP_METHOD_HEAD);
    }
    return queue(connection, std::move(response));
}

}  // namespace

http_response plain_answer(unsigned status, std::string body)
{
    return {status, "text/plain; charset=utf-8", std::move(body), false, {}};
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

std::optional<std::string> parse_address(std::string_view text)
{
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const std::string literal(text);
    if (inet_pton(AF_INET, literal.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        return address_text(reinterpret_cast<const sockaddr*>(&v4));
    }
    if (inet_pton(AF_INET6, literal.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        return address_text(reinterpret_cast<const sockaddr*>(&v6));
    }
    return std::nullopt;
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
    for (const std::string& proxy : limits.proxies) {
        const std::optional<std::string> address = parse_address(proxy);
        if (!address) {
            error = "a proxy needs an IPv4 or IPv6 address, got '" + proxy + "'";
            return nullptr;
        }
        server->state_->proxies.push_back(*address);
    }
    // No thread of its own: the caller's loop runs it, through epoll.
    const unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | (ipv6 ? MHD_USE_IPv6 : 0);
    errno = 0;
    // The share of one address is kept here rather than by the library's
    // own limit per address, which knows no proxy.
    state* const serving = server->state_.get();
    serving->daemon = MHD_start_daemon(
        flags, endpoint.port, &admit, serving, &answer, serving, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&address), MHD_OPTION_CONNECTION_LIMIT, limits.connections,
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(limits.idle.count()),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.memory_per_connection,
        MHD_OPTION_NOTIFY_COMPLETED, &request_ended, serving, MHD_OPTION_NOTIFY_CONNECTION,
        &connection_changed, serving, MHD_OPTION_END);
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
    std::optional<std::chrono::milliseconds> due;
    MHD_UNSIGNED_LONG_LONG milliseconds = 0;
    if (MHD_get_timeout(state_->daemon, &milliseconds) == MHD_YES) {
        due = std::chrono::milliseconds(milliseconds);
    }
    const auto now = steady_clock::now();
    for (const client& each : state_->clients) {
        if (!each.cut && each.headers_due != steady_clock::time_point::max()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(std::max(each.headers_due, now) - now);
            due = std::min(due.value_or(left), left);
        }
    }
    return due;
}

void http_server::run()
{
    cut_late_headers(*state_);
    MHD_run(state_->daemon);
}

std::uint16_t http_server::port() const
{
    const MHD_DaemonInfo* info = MHD_get_daemon_info(state_->daemon, MHD_DAEMON_INFO_BIND_PORT);
    return info != nullptr ? info->port : 0;
}

}  // namespace quorvellan::discover
