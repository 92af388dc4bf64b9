// The listener's HTTP server (libmicrohttpd), run from the listener's own
// poll loop: one descriptor to wait on and a deadline, so that serving a
// slow client never holds up the datagrams. Only GET and HEAD are answered;
// connections, their memory and their time are bounded, in all and for each
// address, and so are the event streams (server-sent events) and what each
// may hold for its reader. Large answers are written a part at a time as
// their reader takes them, so that none holds the loop for long. Not from
// a thread of its own: the table, the counts and the event streams stay the
// loop's alone, with no lock and no hand-over of events between threads;
// an answer is made from a copy of what it shows, taken when it is asked.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvellan::discover {

// Where to listen: an IPv4 or IPv6 address literal and a port.
struct http_endpoint {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;
};

// A port as digits, 1 to 65535.
std::optional<std::uint16_t> parse_port(std::string_view text);

// [ADDRESS:]PORT, the address an IPv4 literal or a bracketed IPv6 one
// ("[::]:10132"), loopback when left out. Null with the reason in error.
std::optional<http_endpoint> parse_endpoint(std::string_view text, std::string& error);

std::string describe(const http_endpoint& endpoint);

// An IPv4 or IPv6 address literal as the server names a client (IPv4 mapped
// into IPv6 as IPv4), for --http-proxy; null when it is none.
std::optional<std::string> parse_address(std::string_view text);

struct http_request {
    std::string_view path;  // without its query
    std::string_view host;  // the Host header, empty when there is none
};

// A large answer, written a part at a time as its reader takes it: a part
// is made only when the socket has room for it, so that making the whole
// answer never stands between two datagrams, and one that is never read is
// never made.
struct http_parts {
    // Appends the next part to out; false, appending nothing, once all are.
    std::function<bool(std::string& out)> next;
    std::size_t held = 0;  // bytes kept until the answer is done (what it is made from)
};

struct http_response {
    unsigned status = 200;
    std::string content_type;
    std::string body;
    // An event stream that stays open: body is its first chunk, and push()
    // sends every later one.
    bool stream = false;
    // When set, the body is made of these parts instead. Called at once, or
    // not at all: not for HEAD, nor for an answer shed for want of memory.
    std::function<http_parts()> parts;
};

// A short answer in plain text, such as an error.
http_response plain_answer(unsigned status, std::string body);

// Called for a GET or HEAD.
using http_handler = std::function<http_response(const http_request& request)>;

struct http_limits {
    unsigned connections = 48;  // at once, event streams included; more wait
    unsigned per_address = 8;   // from one address at once; more are closed
    // From a connection's start (or its last answer) to the end of the next
    // request's headers, however they trickle in; a connection later than
    // that is closed.
    std::chrono::seconds headers{5};
    std::chrono::seconds idle{10};  // a connection silent this long is closed
    std::size_t memory_per_connection = 32 * 1024;
    std::size_t streams = 32;  // at once; the next gets 503
    std::size_t streams_per_address = 4;
    std::size_t stream_backlog = 256 * 1024;  // unread bytes before a stream is dropped
    // Held by answers in parts that their readers have not taken yet; past
    // this, the next one gets 503, and past three quarters of it, the next
    // one from an address that already has one under way.
    std::size_t answers_held = 16 * 1024 * 1024;
    // Addresses whose connections are many people's (a reverse proxy): the
    // shares for one address do not apply to them, the totals do.
    std::vector<std::string> proxies;
};

class http_server {
   public:
    // Null, with one line in error, when the endpoint cannot be served.
    static std::unique_ptr<http_server> open(const http_endpoint& endpoint,
                                             const http_limits& limits, http_handler handler,
                                             std::string& error);
    ~http_server();
    http_server(const http_server&) = delete;
    http_server& operator=(const http_server&) = delete;

    // Readable when the server has something to do: then call run().
    int fd() const;

    // When run() is due whether or not fd() became readable (a connection's
    // time running out); nullopt when nothing is due.
    std::optional<std::chrono::milliseconds> due_in() const;

    // Serves what is ready, at most a block of an answer's parts for each
    // connection: one call's work is bounded by the connections, whatever
    // the size of the answers. Closes the connections whose headers are late.
    void run();

    // Sends chunk on every open event stream. A stream whose reader has
    // left more than stream_backlog unread is closed instead.
    void push(const std::string& chunk);

    std::size_t streams() const;

    // Bytes held for the streams' readers, all together.
    std::size_t buffered() const;

    // The port listened on (the one chosen, when 0 was asked for).
    std::uint16_t port() const;

    struct state;

   private:
    http_server() = default;
    std::unique_ptr<state> state_;
};

}  // namespace quorvellan::discover
