// The /metrics exposition, case by case, and the HTTP server that serves it,
// over real connections on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "http_server.h"
#include "metrics_exposition.h"
#include "metrics_view.h"
#include "session.h"

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
    table.record_usb("mac aa:bb:cc:00:00:01", usb_listing{usbip_outcome::listed, {shared}});
    const std::string text = metrics_text(table, stats, "0.1.0");
    EXPECT_EQ(check_exposition(text), "") << text;
    EXPECT_NE(text.find("quorvellan_device_up{mac=\"aa:bb:cc:00:00:01\"} 1\n"), std::string::npos);
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
    // The checker itself catches a split family and a repeated series.
    EXPECT_NE(check_exposition("# HELP a x\n# TYPE a gauge\na 1\n# HELP b x\n# TYPE b gauge\n"
                               "b 1\na 2\n"),
              "");
    EXPECT_NE(check_exposition("# HELP a x\n# TYPE a gauge\na{k=\"v\"} 1\na{k=\"v\"} 2\n"), "");
}

// A blocking client on loopback: what the server answered, or "" when it
// closed without an answer.
std::string ask(std::uint16_t port, const std::string& request)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) >= 0) {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            reply.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return reply;
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
        [](std::string_view path) {
            return path == "/metrics" ? http_response{200, EXPOSITION_CONTENT_TYPE, "m 1\n"}
                                      : http_response{404, "text/plain", "no\n"};
        },
        error);
    ASSERT_TRUE(server) << error;
    const std::uint16_t port = server->port();
    std::map<std::string, std::string> replies;
    std::thread clients([&] {
        // Stuck clients, connected and silent, up to the connection limit.
        std::vector<int> stuck;
        for (int i = 0; i < 3; ++i) {
            stuck.push_back(socket(AF_INET, SOCK_STREAM, 0));
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(stuck.back(), reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        for (const char* request :
             {"GET /metrics HTTP/1.0\r\n\r\n", "HEAD /metrics HTTP/1.0\r\n\r\n",
              "GET / HTTP/1.0\r\n\r\n", "POST /metrics HTTP/1.0\r\nContent-Length: 2\r\n\r\nhi"}) {
            replies[request] = ask(port, request);
        }
        // The limit reached: one more waits for a place, which the stuck
        // ones give up when their time is out.
        stuck.push_back(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(stuck.back(), reinterpret_cast<sockaddr*>(&to), sizeof to);
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
    EXPECT_EQ(status("GET / HTTP/1.0\r\n\r\n"), "404");
    EXPECT_EQ(status("POST /metrics HTTP/1.0\r\nContent-Length: 2\r\n\r\nhi"), "405");
    EXPECT_EQ(status("over the limit"), "200");
    EXPECT_EQ(status("after the stuck ones went"), "200");
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

}  // namespace
}  // namespace quorvellan::discover
