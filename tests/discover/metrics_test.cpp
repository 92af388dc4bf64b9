// The HTTP answers: the /metrics exposition case by case, the page's routes
// and whom they answer, and the HTTP server that serves them, over real
// connections on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "net/http_server.h"
#include "session.h"
#include "web/metrics_exposition.h"
#include "web/metrics_view.h"
#include "web/web_view.h"

namespace quorvellan::discover {
namespace {

using namespace std::chrono_literals;

TEST(Exposition, LabelValuesAreEscapedAndValidUtf8)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"back\\slash \"quoted\"\nnext", "back\\\\slash \\\"quoted\\\"\\nnext"},
        {"caf\xc3\xa9 \xf0\x9f\x94\x8c", "caf\xc3\xa9 \xf0\x9f\x94\x8c"},
        {"bad\xff\xc3 end", "bad\xef\xbf\xbd\xef\xbf\xbd end"},
        {std::string("nul\0in", 6), std::string("nul\0in", 6)},
    };
    for (const auto& [raw, written] : cases) {
        EXPECT_EQ(exposition_label_value(raw), written);
    }
    EXPECT_EQ(exposition_value(3), "3");
    EXPECT_EQ(exposition_value(1765300000.5), "1765300000.500");
}

// An answer in parts, all of it.
std::string whole(http_parts parts)
{
    std::string out;
    while (parts.next(out)) {
    }
    return out;
}

// What Prometheus requires of a whole scrape, which promtool 2.42 does not
// check: each family's HELP and TYPE once and before its samples, the
// samples of a family together, and no series twice. Returns what is wrong.
std::string check_exposition(const std::string& text)
{
    std::map<std::string, int> helps, types;
    std::set<std::string> series, finished;
    std::string current;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
            const std::string name = line.substr(7, line.find(' ', 7) - 7);
            (line[2] == 'H' ? helps : types)[name]++;
            if (name != current) {
                finished.insert(current);
                current = name;
            }
            continue;
        }
        const std::string name = line.substr(0, line.find_first_of("{ "));
        if (name != current || finished.count(name) > 0) {
            return "a sample apart from its family: " + line;
        }
        if (!series.insert(line.substr(0, line.rfind(' '))).second) {
            return "a series twice: " + line;
        }
    }
    for (const auto& [name, count] : helps) {
        if (count != 1 || types[name] != 1) {
            return "HELP or TYPE not once for " + name;
        }
    }
    return "";
}

announcement_record device(const std::string& mac, const std::string& name)
{
    announcement_record a;
    a.name = name;
    a.hostname = "h";
    a.version = "1.0";
    a.mac = mac;
    a.ip_ap = "192.168.8.1";
    a.http = 80;
    a.usbip = 3240;
    a.usb_devices = 2;
    return a;
}

// A table with a hostile name, two devices without a MAC and one forgotten.
TEST(Exposition, OneFamilyOnceEachSeriesOnceAndForgottenDevicesGone)
{
    clock_reading now{std::chrono::steady_clock::time_point{} + 1000h,
                      std::chrono::system_clock::time_point{} + 480000h};
    listen_stats stats;
    device_table table([&now] { return now; }, [](const event&) {}, std::chrono::seconds(60));
    table.hear(device("AA:BB:CC:00:00:01", "Lab \"east\"\n\xff"), "192.168.8.1", {}, "a");
    table.hear(device("", "no mac"), "192.168.8.2", {}, "b");
    table.hear(device("", "no mac either"), "192.168.8.3", {}, "c");
    table.hear(device("aa:bb:cc:00:00:02", "Gone"), "192.168.8.4", {}, "d");
    now.monotonic += 40s;
    table.tick();  // all offline
    now.monotonic += 30s;
    table.hear(device("AA:BB:CC:00:00:01", "Lab \"east\"\n\xff"), "192.168.8.1", {}, "a");
    table.hear(device("", "no mac"), "192.168.8.2", {}, "b");
    table.hear(device("", "no mac either"), "192.168.8.3", {}, "c");
    table.tick();  // the fourth, silent for 70 s, is forgotten
    usb_export shared;
    shared.busid = "1-2";
    shared.vendor_id = 0x0627;
    shared.product_id = 0x0001;
    shared.product_name = "QEMU Tablet";
    table.record_usb("mac aa:bb:cc:00:00:01",
                     usb_listing{usbip_outcome::listed, {shared}, "192.168.8.1", 3240});
    const std::string text = whole(metrics_parts(take_snapshot(table, stats), "0.1.0"));
    EXPECT_EQ(check_exposition(text), "") << text;
    EXPECT_NE(text.find("quorvellan_device_up{mac=\"aa:bb:cc:00:00:01\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("quorvellan_device_contested{mac=\"aa:bb:cc:00:00:01\"} 0\n"),
              std::string::npos);
    EXPECT_NE(text.find("name=\"Lab \\\"east\\\"\\n\xef\xbf\xbd\""), std::string::npos) << text;
    EXPECT_NE(
        text.find("{mac=\"\",source=\"192.168.8.3\",member=\"ip_ap\",address=\"192.168.8.1\"}"),
        std::string::npos);
    EXPECT_EQ(text.find("aa:bb:cc:00:00:02"), std::string::npos) << "forgotten, yet listed";
    EXPECT_NE(text.find("quorvellan_device_usb_info{mac=\"aa:bb:cc:00:00:01\",busid=\"1-2\","
                        "vendor=\"0627\",product=\"0001\",vendor_name=\"\","
                        "product_name=\"QEMU Tablet\",class=\"\"} 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("quorvellan_datagrams_rejected_total{reason=\"no_room\"} 0\n"),
              std::string::npos);
    EXPECT_NE(text.find("quorvellan_build_info{version=\"0.1.0\"} 1\n"), std::string::npos);
    EXPECT_EQ(text.find("quorvellan_attach"), std::string::npos) << "attach metrics without rules";
    stats.attach_rules = {{"lab/1-1", 1}, {"aa:bb:cc:00:00:01/0403:6001", 0}};
    stats.attach_attempts = {1, 2, 0};
    const std::string attaching = whole(metrics_parts(take_snapshot(table, stats), "0.1.0"));
    EXPECT_EQ(check_exposition(attaching), "") << attaching;
    for (const char* line :
         {"quorvellan_attach_rule_attached{rule=\"lab/1-1\"} 1\n",
          "quorvellan_attach_rule_attached{rule=\"aa:bb:cc:00:00:01/0403:6001\"} 0\n",
          "quorvellan_attach_attempts_total{result=\"refused\"} 2\n",
          "quorvellan_attach_attempts_total{result=\"failed\"} 0\n"}) {
        EXPECT_NE(attaching.find(line), std::string::npos) << line;
    }
    // The checker itself catches a split family and a repeated series.
    EXPECT_NE(check_exposition("# HELP a x\n# TYPE a gauge\na 1\n# HELP b x\n# TYPE b gauge\n"
                               "b 1\na 2\n"),
              "");
    EXPECT_NE(check_exposition("# HELP a x\n# TYPE a gauge\na{k=\"v\"} 1\na{k=\"v\"} 2\n"), "");
}

// A client on loopback from the address from (any of 127.0.0.0/8 is this
// machine's), that gives up a read after 10 s rather than hang the test.
int connect_to(std::uint16_t port, int receive_buffer = 0, const char* from = "127.0.0.1")
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    const timeval patience{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    inet_pton(AF_INET, from, &source.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return fd;
}

// A blocking client on loopback: what the server answered, or "" when it
// closed without an answer.
std::string ask(std::uint16_t port, const std::string& request, const char* from = "127.0.0.1")
{
    const int fd = connect_to(port, 0, from);
    std::string reply;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) >= 0) {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            reply.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return reply;
}

// Runs the server as the listener's loop does until done() or 10 s.
template <typename Done>
void serve_until(http_server& server, Done done)
{
    for (const auto until = std::chrono::steady_clock::now() + 10s;
         !done() && std::chrono::steady_clock::now() < until;) {
        pollfd waiting{server.fd(), POLLIN, 0};
        poll(&waiting, 1, 5);
        server.run();
    }
}

// Asks from a thread while the server runs, and reads the status only: the
// connection closed then, or left open in keep, its answer unread.
std::string status_while_serving(http_server& server, const std::string& request, const char* from,
                                 int* keep = nullptr)
{
    std::string status;
    std::thread asking([&] {
        const int fd = connect_to(server.port(), 4096, from);
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char head[12];
        status = recv(fd, head, sizeof head, MSG_WAITALL) == sizeof head ? std::string(head + 9, 3)
                                                                         : "none";
        if (keep != nullptr) {
            *keep = fd;
        } else {
            close(fd);
        }
    });
    serve_until(server, [&] { return !status.empty(); });
    asking.join();
    return status;
}

// What a reply's status line says, or "none" for no reply.
std::string status_of(const std::string& reply)
{
    return reply.size() >= 12 ? reply.substr(9, 3) : "none";
}

// The server on loopback, run as the listener's loop runs it, while clients
// ask from a thread of the test's.
TEST(HttpServer, AnswersGetAndHeadOnlyAndNoClientHoldsTheLoop)
{
    std::string error;
    http_limits limits;
    limits.connections = 4;
    limits.idle = 1s;
    const auto server = http_server::open(
        {"127.0.0.1", 0}, limits,
        [](const http_request& request) {
            return request.path == "/metrics"
                       ? http_response{200, EXPOSITION_CONTENT_TYPE, "m 1\n", false, {}}
                       : http_response{404, "text/plain", "no\n", false, {}};
        },
        error);
    ASSERT_TRUE(server) << error;
    const std::uint16_t port = server->port();
    std::map<std::string, std::string> replies;
    std::thread clients([&] {
        // Stuck clients, connected and silent, up to the connection limit.
        std::vector<int> stuck;
        for (int i = 0; i < 3; ++i) {
            stuck.push_back(connect_to(port));
        }
        for (const char* request :
             {"GET /metrics HTTP/1.0\r\n\r\n", "HEAD /metrics HTTP/1.0\r\n\r\n",
              "GET / HTTP/1.0\r\n\r\n", "POST /metrics HTTP/1.0\r\nContent-Length: 2\r\n\r\nhi"}) {
            replies[request] = ask(port, request);
        }
        // The limit reached: one more waits for a place, which the stuck
        // ones give up when their time is out.
        stuck.push_back(connect_to(port));
        std::this_thread::sleep_for(100ms);
        replies["over the limit"] = ask(port, "GET /metrics HTTP/1.0\r\n\r\n");
        std::this_thread::sleep_for(1500ms);  // the stuck ones time out
        replies["after the stuck ones went"] = ask(port, "GET /metrics HTTP/1.0\r\n\r\n");
        for (const int fd : stuck) {
            close(fd);
        }
    });
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (replies.size() < 6 && std::chrono::steady_clock::now() < until) {
        pollfd waiting{server->fd(), POLLIN, 0};
        poll(&waiting, 1, static_cast<int>(server->due_in().value_or(100ms).count()));
        server->run();
    }
    clients.join();
    const auto status = [&](const std::string& key) {
        return replies[key].substr(0, 12).substr(9);
    };
    EXPECT_EQ(status("GET /metrics HTTP/1.0\r\n\r\n"), "200");
    EXPECT_NE(replies["GET /metrics HTTP/1.0\r\n\r\n"].find(
                  "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"),
              std::string::npos);
    EXPECT_EQ(replies["HEAD /metrics HTTP/1.0\r\n\r\n"].find("m 1"), std::string::npos);
    for (const char* header :
         {"\r\nX-Content-Type-Options: nosniff\r\n", "\r\nReferrer-Policy: no-referrer\r\n",
          "\r\nX-Frame-Options: DENY\r\n",
          "\r\nContent-Security-Policy: default-src 'none'; script-src 'self'; "}) {
        EXPECT_NE(replies["GET /metrics HTTP/1.0\r\n\r\n"].find(header), std::string::npos)
            << header;
    }
    EXPECT_EQ(status("GET / HTTP/1.0\r\n\r\n"), "404");
    EXPECT_EQ(status("POST /metrics HTTP/1.0\r\nContent-Length: 2\r\n\r\nhi"), "405");
    EXPECT_EQ(status("over the limit"), "200");
    EXPECT_EQ(status("after the stuck ones went"), "200");
}

// Event streams: a reader that keeps up gets every chunk; one past the
// limit, in all or for its address, gets 503, but a proxy's address has no
// such share; a reader that stopped reading is dropped, and what the server
// holds for it stays bounded however much is pushed.
TEST(HttpServer, EventStreamsAreBoundedAndAStuckReaderIsDropped)
{
    std::string error;
    http_limits limits;
    limits.streams = 6;
    limits.streams_per_address = 2;
    limits.proxies = {"127.0.0.3"};
    limits.stream_backlog = 64 * 1024;
    limits.idle = 1s;
    const auto server = http_server::open(
        {"127.0.0.1", 0}, limits,
        [](const http_request&) {
            return http_response{200, "text/event-stream", "retry: 3000\n\n", true, {}};
        },
        error);
    ASSERT_TRUE(server) << error;
    const std::uint16_t port = server->port();
    const std::string request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const int reader = connect_to(port);
    const int stuck = connect_to(port, 4096);
    send(reader, request.data(), request.size(), MSG_NOSIGNAL);
    send(stuck, request.data(), request.size(), MSG_NOSIGNAL);
    serve_until(*server, [&] { return server->streams() == 2; });
    ASSERT_EQ(server->streams(), 2U);
    // Each asks in turn while the others stay open: the status each got.
    std::vector<int> others;
    std::vector<std::string> statuses;
    for (const char* from :
         {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.3", "127.0.0.3", "127.0.0.4"}) {
        others.push_back(-1);
        statuses.push_back(status_while_serving(*server, request, from, &others.back()));
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"503", "200", "200", "200", "200", "503"}))
        << "one address past its share, another, a proxy past the share, then past the total";
    for (const int fd : others) {
        close(fd);
    }
    // A sleeping stream finds its reader gone when it next has to send.
    server->push(KEEPALIVE_MESSAGE);
    serve_until(*server, [&] { return server->streams() == 2; });
    ASSERT_EQ(server->streams(), 2U);

    std::size_t read = 0;
    std::size_t most_buffered = 0;
    const std::string chunk = "data: " + std::string(8 * 1024, 'x') + "\n\n";
    const std::size_t pushed = 64;
    for (std::size_t i = 0; i < pushed; ++i) {
        server->push(chunk);
        most_buffered = std::max(most_buffered, server->buffered());
        // The reader keeps up: it has all pushed so far (and some framing).
        serve_until(*server, [&] {
            char buffer[65536];
            const ssize_t n = recv(reader, buffer, sizeof buffer, MSG_DONTWAIT);
            read += n > 0 ? static_cast<std::size_t>(n) : 0;
            return read >= (i + 1) * chunk.size();
        });
    }
    EXPECT_LE(most_buffered, 2 * (limits.stream_backlog + chunk.size()));
    serve_until(*server, [&] { return server->streams() == 1; });
    EXPECT_EQ(server->streams(), 1U) << "the stuck reader is still served";
    EXPECT_GT(read, pushed * chunk.size());
    close(reader);
    close(stuck);
}

// One address gets its share of the connections, however many it opens:
// the rest are closed unanswered. Its slow headers, a byte at a time on
// every connection it can open, hold neither another address, which is
// still answered, nor any of those connections, each closed however
// steadily it trickles.
TEST(HttpServer, OneAddressTricklingHeadersHoldsNeitherTheServerNorItsConnections)
{
    std::string error;
    http_limits limits;
    limits.headers = 2s;
    const auto server = http_server::open(
        {"127.0.0.1", 0}, limits,
        [](const http_request& request) {
            if (request.path != "/big") {
                return http_response{200, EXPOSITION_CONTENT_TYPE, "m 1\n", false, {}};
            }
            // A megabyte, which a reader that reads nothing keeps waiting.
            return http_response{200, "text/plain", "", false, [] {
                                     std::size_t left = 1024;
                                     return http_parts{[left](std::string& out) mutable {
                                                           out += std::string(1024, 'x');
                                                           return left-- > 0;
                                                       },
                                                       0};
                                 }};
        },
        error);
    ASSERT_TRUE(server) << error;
    const std::uint16_t port = server->port();
    const std::string request = "GET /big HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::size_t steps = 40;  // at one byte in 100 ms, 4 s: far past the deadline
    std::size_t answered_at_once = 0;
    std::atomic<std::size_t> step{0};
    std::size_t steps_when_answered = steps;
    std::string answered;
    std::vector<std::size_t> cut_after(limits.connections, steps);
    std::atomic<bool> done{false};
    std::thread clients([&] {
        // Whole requests at once, each for an answer that keeps its
        // connection open while it is not read.
        std::vector<int> at_once;
        for (unsigned i = 0; i < limits.connections; ++i) {
            at_once.push_back(connect_to(port, 4096));
            send(at_once.back(), request.data(), request.size(), MSG_NOSIGNAL);
        }
        for (const int fd : at_once) {
            char head[12];
            answered_at_once += recv(fd, head, sizeof head, MSG_WAITALL) == sizeof head;
        }
        for (const int fd : at_once) {
            close(fd);
        }
        std::vector<int> slow;
        for (unsigned i = 0; i < limits.connections; ++i) {
            slow.push_back(connect_to(port));
        }
        std::atomic<bool> other_done{false};
        std::thread other([&] {
            answered = ask(port, "GET /metrics HTTP/1.0\r\n\r\n", "127.0.0.2");
            steps_when_answered = step;
            other_done = true;
        });
        const auto all_cut = [&] {
            return std::count(cut_after.begin(), cut_after.end(), steps) == 0;
        };
        for (; step < steps && !(other_done && all_cut()); ++step) {
            for (std::size_t i = 0; i < slow.size(); ++i) {
                char ended;
                if (cut_after[i] == steps &&
                    (send(slow[i], &request[step % request.size()], 1, MSG_NOSIGNAL) != 1 ||
                     recv(slow[i], &ended, 1, MSG_DONTWAIT) == 0)) {
                    cut_after[i] = step;
                }
            }
            std::this_thread::sleep_for(100ms);
        }
        other.join();
        for (const int fd : slow) {
            close(fd);
        }
        done = true;
    });
    serve_until(*server, [&] { return done.load(); });
    clients.join();
    EXPECT_EQ(answered_at_once, limits.per_address);
    EXPECT_EQ(status_of(answered), "200");
    EXPECT_LT(steps_when_answered, steps) << "answered only once the trickle stopped";
    EXPECT_EQ(std::count(cut_after.begin(), cut_after.end(), steps), 0)
        << "connections still open after all their trickle";
}

// A large answer is made a part at a time as its reader takes it: a run of
// the server makes a block of it at most, a reader that stops reading stops
// its making, and the bytes such answers hold are bounded: past the bound,
// the next gets 503 until one is done, and sooner for an address that
// already has one under way.
TEST(HttpServer, LargeAnswersAreMadeAsTheirReaderTakesThem)
{
    std::string error;
    http_limits limits;
    // Each answer holds this and a little more: past three quarters of the
    // bound alone, and past all of it with a second.
    const std::size_t held = 100 * 1024;
    limits.answers_held = 128 * 1024;
    const std::string part = std::string(1023, 'x') + "\n";
    const std::size_t parts = 1000;
    std::size_t made = 0;
    const auto server = http_server::open(
        {"127.0.0.1", 0}, limits,
        [&](const http_request&) {
            return http_response{200, "text/plain", "", false, [&] {
                                     std::size_t count = 0;
                                     return http_parts{[&, count](std::string& out) mutable {
                                                           if (count == parts) {
                                                               return false;
                                                           }
                                                           out += part;
                                                           ++count;
                                                           ++made;
                                                           return true;
                                                       },
                                                       held};
                                 }};
        },
        error);
    ASSERT_TRUE(server) << error;
    const std::uint16_t port = server->port();
    const std::string request = "GET /big HTTP/1.0\r\n\r\n";
    const int slow = connect_to(port, 4096);
    send(slow, request.data(), request.size(), MSG_NOSIGNAL);
    // Run after run until its reader has stopped the making.
    std::size_t most_in_one_run = 0;
    for (std::size_t before = 0, still = 0; still < 20; still = made == before ? still + 1 : 0) {
        before = made;
        pollfd waiting{server->fd(), POLLIN, 0};
        poll(&waiting, 1, 5);
        server->run();
        most_in_one_run = std::max(most_in_one_run, made - before);
    }
    EXPECT_GT(made, 0U);
    EXPECT_LT(made, parts / 4) << "made though nobody read it";
    EXPECT_LE(most_in_one_run, 16U) << "one run made more than a block";

    // Past three quarters of the bound only an address with no answer under
    // way gets one; past the bound, none does.
    int other = -1;
    EXPECT_EQ(status_while_serving(*server, request, "127.0.0.1"), "503");
    EXPECT_EQ(status_while_serving(*server, request, "127.0.0.2", &other), "200");
    EXPECT_EQ(status_while_serving(*server, request, "127.0.0.3"), "503");

    std::string body;
    std::atomic<bool> all_read{false};
    std::thread reading([&] {
        const int room = 256 * 1024;
        setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
        char buffer[65536];
        for (ssize_t n; (n = recv(slow, buffer, sizeof buffer, 0)) > 0;) {
            body.append(buffer, static_cast<std::size_t>(n));
        }
        all_read = true;
    });
    serve_until(*server, [&] { return all_read.load(); });
    reading.join();
    close(slow);
    body.erase(0, body.find("\r\n\r\n") + 4);
    EXPECT_EQ(body.size(), parts * part.size());
    EXPECT_EQ(body.find_first_not_of("x\n"), std::string::npos);
    close(other);
    EXPECT_EQ(status_while_serving(*server, request, "127.0.0.3"), "200")
        << "the bytes held were not given back";
}

TEST(HttpServer, EndpointsAreAnAddressLiteralAndAPort)
{
    const struct {
        const char* text;
        const char* endpoint;  // null: refused
    } rows[] = {
        {"10132", "127.0.0.1:10132"}, {"0.0.0.0:10132", "0.0.0.0:10132"},
        {"[::1]:9", "[::1]:9"},       {"localhost:10132", nullptr},
        {"10.0.0.1:", nullptr},       {"65536", nullptr},
        {"10.0.0.1:http", nullptr},   {"", nullptr},
    };
    for (const auto& r : rows) {
        std::string error;
        const std::optional<http_endpoint> parsed = parse_endpoint(r.text, error);
        EXPECT_EQ(parsed ? describe(*parsed) : "", r.endpoint ? r.endpoint : "") << r.text;
        EXPECT_EQ(error.empty(), r.endpoint != nullptr) << r.text;
    }
}

// Against DNS rebinding: a page elsewhere that makes the person's browser
// ask this listener names its own host, which is refused.
TEST(WebView, OnlyAddressesLocalhostAndAllowedNamesAreAnswered)
{
    const std::vector<std::string> allowed = {"collector.lan"};
    const struct {
        const char* host;
        bool answered;
    } rows[] = {
        {"", true},
        {"192.0.2.80:8080", true},
        {"127.0.0.1", true},
        {"[::1]:10132", true},
        {"LocalHost:10132", true},
        {"localhost.", true},
        {"Collector.LAN:10132", true},
        {"evil.example", false},
        {"127.0.0.1.evil.example", false},
        {"localhost.evil.example", false},
        {"collector.lan.evil.example", false},
        {"[::1", false},
        {"[evil]:80", false},
        {":80", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(host_allowed(row.host, allowed), row.answered) << row.host;
    }
    // Each name refused is told once, a few at most, and never a Host that
    // is no name.
    std::vector<std::string> told;
    refusal_log log([&told](const std::string& line) { told.push_back(line); });
    for (const char* host : {"Shop-Pi.example:10132", "shop-pi.example", "\x1b[2J", "[evil]:80"}) {
        log.refused(host);
    }
    for (int name = 0; name < 20; ++name) {
        log.refused("name" + std::to_string(name) + ".example");
    }
    ASSERT_EQ(told.size(), REFUSED_NAMES_TOLD + 1);
    EXPECT_EQ(told[0],
              "HTTP requests for shop-pi.example refused (403): this listener answers only to its "
              "address, localhost and the names given with --http-allow-host; if that is this "
              "machine's name, start it with --http-allow-host shop-pi.example");
    EXPECT_EQ(told[1], "HTTP requests refused (403) for a Host that is no host name");
    EXPECT_EQ(told.back().rfind("more HTTP requests refused (403)", 0), 0u);
}

TEST(WebView, EachPathHasItsAnswer)
{
    device_table table(
        read_system_clocks, [](const event&) {}, std::nullopt);
    announcement_record device;
    device.mac = "02:5a:17:00:de:01";
    device.name = "Demo Link";
    device.ip_ap = "192.168.8.1";
    table.hear(device, "192.168.8.1", {}, "{}");
    const listen_stats stats;
    const std::vector<std::string> allowed;
    const web_context context{[&] { return take_snapshot(table, stats); }, allowed, "0.1.0"};
    const struct {
        const char* path;
        const char* host;
        unsigned status;
        const char* type;
        bool stream;
    } rows[] = {
        {"/", "127.0.0.1", 200, "text/html; charset=utf-8", false},
        {"/app.js", "localhost", 200, "text/javascript; charset=utf-8", false},
        {"/metrics", "127.0.0.1", 200, EXPOSITION_CONTENT_TYPE, false},
        {"/api/devices", "127.0.0.1", 200, "application/json", false},
        {"/api/events", "127.0.0.1", 200, "text/event-stream", true},
        {"/api/devices", "evil.example", 403, "text/plain; charset=utf-8", false},
        {"/index.htm", "127.0.0.1", 404, "text/plain; charset=utf-8", false},
    };
    for (const auto& row : rows) {
        const http_response answer = web_answer({row.path, row.host}, context);
        EXPECT_EQ(answer.status, row.status) << row.path;
        EXPECT_EQ(answer.content_type, row.type) << row.path;
        EXPECT_EQ(answer.stream, row.stream) << row.path;
    }
    // A refusal says which option admits the name.
    EXPECT_EQ(web_answer({"/metrics", "Shop-Pi.example:10132"}, context).body,
              "this listener answers only to its address, localhost and the names given with "
              "--http-allow-host: start it with --http-allow-host shop-pi.example to answer to "
              "that name\n");
    const nlohmann::json snapshot =
        nlohmann::json::parse(whole(web_answer({"/api/devices", ""}, context).parts()));
    const nlohmann::json& listed = snapshot.at("devices").at(0);
    EXPECT_EQ(listed.at("name"), "Demo Link");
    EXPECT_EQ(listed.at("state"), "online");
    EXPECT_EQ(listed.at("presence").at("cells").get<std::string>().back(), 'u');
    EXPECT_EQ(snapshot.at("counts"), nlohmann::json::parse(R"({"online":1,"offline":0,"all":1})"));
}

// The page's snapshot and the metrics are written a part at a time: each
// stays the table as it was when asked, whatever changes between its parts.
TEST(WebView, LargeAnswersStayTheTableAsItWasWhenAsked)
{
    clock_reading now{std::chrono::steady_clock::time_point{} + 1000h,
                      std::chrono::system_clock::time_point{} + 480000h};
    device_table table([&now] { return now; }, [](const event&) {}, std::nullopt);
    table.hear(device("aa:bb:cc:00:00:01", "One"), "192.168.8.1", {}, "a");
    table.hear(device("aa:bb:cc:00:00:02", "Two"), "192.168.8.2", {}, "b");
    const listen_stats stats;
    const std::vector<std::string> allowed;
    const web_context context{[&] { return take_snapshot(table, stats); }, allowed, "0.1.0"};
    int change = 0;
    for (const char* path : {"/api/devices", "/metrics"}) {
        const std::string asked = whole(web_answer({path, ""}, context).parts());
        http_parts parts = web_answer({path, ""}, context).parts();
        std::string written;
        parts.next(written);
        parts.next(written);
        ++change;
        table.hear(device("aa:bb:cc:00:00:01", "Renamed " + std::to_string(change)), "192.168.8.1",
                   {}, "a");
        table.hear(device("aa:bb:cc:00:00:0" + std::to_string(2 + change), "New"), "192.168.8.3",
                   {}, "c");
        now.monotonic += 1s;
        now.wall += 1s;
        while (parts.next(written)) {
        }
        EXPECT_EQ(written, asked) << path;
    }
}

// One cell per ten minutes: online at any time in it wins, the strip moves
// on with the clock, and a clock stepped back rewrites nothing.
TEST(PresenceStrip, MarksTheCellOfEachMoment)
{
    using std::chrono::system_clock;
    const system_clock::time_point start{std::chrono::seconds(1765300200)};  // a cell's start
    presence_strip strip;
    const struct {
        std::chrono::seconds at;
        bool online;
        const char* newest;  // the last cells after the mark
    } rows[] = {
        {0s, false, "o"},          {60s, true, "u"},      {599s, false, "u"},
        {600s, false, "uo"},       {1800s, true, "uo-u"}, {900s, false, "uo-u"},
        {86400s * 2, true, "--u"},
    };
    for (const auto& row : rows) {
        presence_mark(strip, start + row.at, row.online);
        const std::string cells(strip.cells.begin(), strip.cells.end());
        const std::string newest = row.newest;
        EXPECT_EQ(cells.substr(cells.size() - newest.size()), newest) << row.at.count();
    }
    EXPECT_EQ(presence_end(strip, start), start + 86400s * 2 + 600s);
}

}  // namespace
}  // namespace quorvellan::discover
