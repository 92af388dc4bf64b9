// The USB/IP device list and import: the reply parsers' refusals, one
// exchange against a real loopback peer for each way a server can answer or
// fail to, the socket an import keeps for the kernel, the schedule's
// bounds, and the names from this machine's hardware database.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "support/usbip_reply.h"
#include "usb/usb_names.h"
#include "usb/usbip_devlist.h"
#include "usb/usbip_import.h"
#include "usb/usbip_query.h"
#include "usb/usbip_schedule.h"

namespace quorvellan::discover {
namespace {

using std::chrono::seconds;
using std::chrono::steady_clock;

// busid, busnum, devnum, speed, ids, bcdDevice, class, configuration,
// configurations, interfaces.
usb_export configured_keyboard()
{
    return {"1-1.2", 1, 3, 2, 0x0627, 0x0001, 0, {}, 1, 1, {{3, 1, 1}, {3, 0, 0}}, {}, {}, {}};
}

usb_export unconfigured_serial()
{
    return {"1-1.1", 1, 2, 2, 0x0403, 0x6001, 0x0600, {}, 0, 1, {}, {}, {}, {}};
}

const std::vector<usb_export> SHARED = {unconfigured_serial(), configured_keyboard()};

// Offsets into a reply of SHARED.
constexpr std::size_t FIRST_RECORD = USBIP_REPLY_HEADER_BYTES;
constexpr std::size_t FIRST_BUSID = FIRST_RECORD + 256;

std::string with(std::string reply, std::size_t at, const std::string& bytes)
{
    return reply.replace(at, bytes.size(), bytes);
}

struct reply_case {
    const char* name;
    std::string reply;
    bool ended;
    devlist_state state;
    devlist_fault fault;
};

TEST(UsbipDevlist, RepliesAreListedOrRefusedWhole)
{
    const std::string good = test::usbip_reply(SHARED);
    const std::string unterminated_busid = std::string(32, '1');
    const reply_case cases[] = {
        {"configured and unconfigured", good, true, devlist_state::complete, devlist_fault::none},
        {"nothing shared", test::usbip_reply({}), true, devlist_state::complete,
         devlist_fault::none},
        {"a byte past the count", good + '\0', true, devlist_state::refused,
         devlist_fault::trailing_bytes},
        {"a byte past the count, still open", good + '\0', false, devlist_state::refused,
         devlist_fault::trailing_bytes},
        {"count above the records", test::usbip_reply(SHARED, 3), true, devlist_state::refused,
         devlist_fault::truncated},
        {"count above the records, still open", test::usbip_reply(SHARED, 3), false,
         devlist_state::incomplete, devlist_fault::none},
        {"cut inside the interfaces", good.substr(0, good.size() - 2), true, devlist_state::refused,
         devlist_fault::truncated},
        {"cut inside the header", good.substr(0, 9), true, devlist_state::refused,
         devlist_fault::truncated},
        {"cut inside the header, still open", good.substr(0, 9), false, devlist_state::incomplete,
         devlist_fault::none},
        {"count below the records", test::usbip_reply(SHARED, 1), true, devlist_state::refused,
         devlist_fault::trailing_bytes},
        {"version 1.1.0", with(good, 0, "\x01\x10"), true, devlist_state::refused,
         devlist_fault::wrong_version},
        {"an import reply", with(good, 2, std::string("\x00\x03", 2)), true, devlist_state::refused,
         devlist_fault::wrong_code},
        {"failure status", with(good, 7, "\x01"), true, devlist_state::refused,
         devlist_fault::failure_status},
        {"129 devices", with(test::usbip_reply({}), 8, std::string("\0\0\0\x81", 4)), false,
         devlist_state::refused, devlist_fault::too_many_devices},
        {"busid without its NUL", with(good, FIRST_BUSID, unterminated_busid), true,
         devlist_state::refused, devlist_fault::unterminated_busid},
        {"path without its NUL", with(good, FIRST_RECORD, std::string(256, 'p')), true,
         devlist_state::refused, devlist_fault::unterminated_path},
        {"busid with a shell's metacharacter", with(good, FIRST_BUSID, "1;reboot"), true,
         devlist_state::refused, devlist_fault::not_a_busid},
        {"empty busid", with(good, FIRST_BUSID, std::string(1, '\0')), true, devlist_state::refused,
         devlist_fault::not_a_busid},
        {"one busid twice", test::usbip_reply({configured_keyboard(), configured_keyboard()}), true,
         devlist_state::refused, devlist_fault::duplicate_busid},
    };
    for (const reply_case& c : cases) {
        SCOPED_TRACE(c.name);
        const devlist_reply parsed = parse_devlist_reply(c.reply, c.ended);
        EXPECT_EQ(parsed.state, c.state);
        EXPECT_EQ(parsed.fault, c.fault) << describe(parsed.fault);
        if (parsed.state != devlist_state::complete) {
            EXPECT_TRUE(parsed.devices.empty());
        }
    }
    EXPECT_EQ(parse_devlist_reply(good).devices, SHARED);
}

TEST(UsbipDevlist, RequestIsVersionCodeAndZeroStatus)
{
    const auto request = devlist_request();
    EXPECT_EQ(std::string(request.data(), request.size()),
              std::string("\x01\x11\x80\x05\0\0\0\0", 8));
}

// A server on loopback, stepped in the same thread as the query: it takes
// the request, then writes its pieces one per turn, then ends as told.
struct loopback_server {
    enum class ending { close, reset, stay };

    std::vector<std::string> pieces;
    ending end = ending::close;
    std::size_t request_bytes = 8;
    int listening = -1;
    int connection = -1;
    std::string request;
    std::uint16_t port = 0;
    std::uint16_t peer_port = 0;  // the client's, once accepted

    loopback_server(std::vector<std::string> to_send, ending how, std::size_t expected = 8)
        : pieces(std::move(to_send)), end(how), request_bytes(expected)
    {
        listening = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(listen(listening, 4), 0);
        getsockname(listening, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }

    ~loopback_server()
    {
        for (const int fd : {listening, connection}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    // One turn: accepts, reads the request, or sends the next piece.
    void turn()
    {
        if (connection < 0) {
            sockaddr_in peer{};
            socklen_t size = sizeof peer;
            connection = accept4(listening, reinterpret_cast<sockaddr*>(&peer), &size,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
            peer_port = ntohs(peer.sin_port);
            return;
        }
        char buffer[64];
        if (request.size() < request_bytes) {
            const ssize_t n = recv(connection, buffer, sizeof buffer, 0);
            request.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        } else if (!pieces.empty()) {
            EXPECT_EQ(send(connection, pieces.front().data(), pieces.front().size(), 0),
                      static_cast<ssize_t>(pieces.front().size()));
            pieces.erase(pieces.begin());
        } else if (end != ending::stay) {
            if (end == ending::reset) {
                const linger abort_at_close = {1, 0};
                setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort_at_close,
                           sizeof abort_at_close);
            }
            close(connection);
            connection = -1;
            end = ending::stay;
        }
    }
};

// Runs the exchange against the server until it ends; a server that stays
// silent is met with the deadline once it has nothing left to do.
template <typename exchange>
void run_against(exchange& asking, loopback_server& server)
{
    int idle_turns = 0;
    for (int turn = 0; turn < 200 && asking.fd() >= 0; ++turn) {
        pollfd waiting = {asking.fd(), asking.events(), 0};
        poll(&waiting, 1, 10);
        server.turn();
        const bool idle = server.request.size() == server.request_bytes && server.pieces.empty() &&
                          server.end == loopback_server::ending::stay;
        idle_turns += idle ? 1 : 0;
        asking.step(idle_turns > 5 ? asking.deadline() : steady_clock::now());
    }
}

usbip_query ask(loopback_server& server)
{
    usbip_query query("127.0.0.1", server.port, steady_clock::now());
    run_against(query, server);
    return query;
}

struct query_case {
    const char* name;
    std::vector<std::string> pieces;
    loopback_server::ending end;
    usbip_outcome outcome;
    devlist_fault fault;
};

TEST(UsbipQuery, EachWayAServerAnswersEndsTheQuery)
{
    using ending = loopback_server::ending;
    const std::string reply = test::usbip_reply(SHARED);
    const query_case cases[] = {
        {"whole reply", {reply}, ending::stay, usbip_outcome::listed, devlist_fault::none},
        {"reply in pieces",
         {reply.substr(0, 5), reply.substr(5, 300), reply.substr(305)},
         ending::close,
         usbip_outcome::listed,
         devlist_fault::none},
        {"reply with a byte too many",
         {reply + 'x'},
         ending::close,
         usbip_outcome::refused,
         devlist_fault::trailing_bytes},
        {"reply cut short",
         {reply.substr(0, 400)},
         ending::close,
         usbip_outcome::refused,
         devlist_fault::truncated},
        {"closed without a word", {}, ending::close, usbip_outcome::no_answer, devlist_fault::none},
        {"reset",
         {reply.substr(0, 100)},
         ending::reset,
         usbip_outcome::no_answer,
         devlist_fault::none},
        {"silent",
         {reply.substr(0, 100)},
         ending::stay,
         usbip_outcome::no_answer,
         devlist_fault::none},
    };
    for (const query_case& c : cases) {
        SCOPED_TRACE(c.name);
        loopback_server server(c.pieces, c.end);
        const usbip_query query = ask(server);
        EXPECT_EQ(query.outcome(), c.outcome) << query.reason();
        EXPECT_EQ(query.fault(), c.fault);
        EXPECT_EQ(query.fd(), -1);
        EXPECT_EQ(server.request, std::string("\x01\x11\x80\x05\0\0\0\0", 8));
        if (c.outcome == usbip_outcome::listed) {
            EXPECT_EQ(query.devices(), SHARED);
        }
    }
}

// From the port of a connection that died unheard, so that its server ends
// its half; from any other when that port is taken meanwhile.
TEST(UsbipQuery, GoesFromTheLocalPortAskedForWhileItIsFree)
{
    const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), size), 0);
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size);
    const std::uint16_t taken = ntohs(address.sin_port);
    for (const bool free : {false, true}) {
        SCOPED_TRACE(free ? "free" : "taken");
        if (free) {
            close(holder);
        } else {
            ASSERT_EQ(listen(holder, 1), 0);
        }
        loopback_server server({test::usbip_reply(SHARED)}, loopback_server::ending::close);
        usbip_query query("127.0.0.1", server.port, steady_clock::now(), taken);
        run_against(query, server);
        EXPECT_EQ(query.outcome(), usbip_outcome::listed) << query.reason();
        EXPECT_EQ(server.peer_port == taken, free) << server.peer_port;
    }
}

TEST(UsbipQuery, NoServerIsNoAnswer)
{
    std::uint16_t closed_port = 0;
    {
        loopback_server gone({}, loopback_server::ending::close);
        closed_port = gone.port;
    }
    for (const char* address : {"127.0.0.1", "not.an.address"}) {
        SCOPED_TRACE(address);
        usbip_query query(address, closed_port, steady_clock::now());
        for (int turn = 0; turn < 100 && query.outcome() == usbip_outcome::pending; ++turn) {
            pollfd waiting = {query.fd(), query.events(), 0};
            poll(&waiting, 1, 10);
            query.step(steady_clock::now());
        }
        EXPECT_EQ(query.outcome(), usbip_outcome::no_answer) << query.reason();
        EXPECT_STREQ(describe(query.outcome()), "no answer from the USB/IP server");
    }
}

struct import_reply_case {
    const char* name;
    std::string reply;
    bool ended;
    devlist_state state;
    import_fault fault;
};

TEST(UsbipImport, RepliesAreTakenOrRefusedWhole)
{
    const usb_export serial = unconfigured_serial();
    const std::string good = test::usbip_import_reply(serial);
    const std::string busy = test::usbip_import_reply(serial, 2);
    usb_export elsewhere = serial;
    elsewhere.busid = "1-1.2";
    const import_reply_case cases[] = {
        {"the device", good, true, devlist_state::complete, import_fault::none},
        {"cut inside the record", good.substr(0, 300), true, devlist_state::refused,
         import_fault::truncated},
        {"cut inside the record, still open", good.substr(0, 300), false, devlist_state::incomplete,
         import_fault::none},
        {"cut inside the header, still open", good.substr(0, 5), false, devlist_state::incomplete,
         import_fault::none},
        {"a byte past the record, still open", good + '\0', false, devlist_state::refused,
         import_fault::trailing_bytes},
        {"version 1.1.0", with(good, 0, "\x01\x10"), true, devlist_state::refused,
         import_fault::wrong_version},
        {"a device list reply", with(good, 2, std::string("\x00\x05", 2)), true,
         devlist_state::refused, import_fault::wrong_code},
        {"busy, still open", busy, false, devlist_state::refused, import_fault::failure_status},
        {"a busid without its NUL", with(good, 8 + 256, std::string(32, '1')), true,
         devlist_state::refused, import_fault::bad_record},
        {"another device's record", test::usbip_import_reply(elsewhere), true,
         devlist_state::refused, import_fault::other_busid},
    };
    for (const import_reply_case& c : cases) {
        SCOPED_TRACE(c.name);
        const import_reply parsed = parse_import_reply(c.reply, serial.busid, c.ended);
        EXPECT_EQ(parsed.state, c.state);
        EXPECT_EQ(parsed.fault, c.fault) << describe(parsed, serial.busid);
    }
    usb_export imported = serial;
    imported.interfaces.clear();
    EXPECT_EQ(parse_import_reply(good, serial.busid).device, imported);
    EXPECT_EQ(describe(parse_import_reply(busy, "1-1"), "1-1"),
              "the server refused to share 1-1 (status 2: in use by another client)");
    const auto request = import_request("1-1");
    EXPECT_EQ(std::string(request.data(), request.size()), std::string("\x01\x11\x80\x03\0\0\0\0"
                                                                       "1-1",
                                                                       11) +
                                                               std::string(29, '\0'));
}

struct import_case {
    const char* name;
    std::vector<std::string> pieces;
    loopback_server::ending end;
    import_outcome outcome;
};

TEST(UsbipImport, OnlyAWholeReplyForTheDeviceKeepsTheConnection)
{
    using ending = loopback_server::ending;
    const std::string reply = test::usbip_import_reply(unconfigured_serial());
    usb_export elsewhere = unconfigured_serial();
    elsewhere.busid = "1-2";
    const import_case cases[] = {
        {"whole reply", {reply}, ending::stay, import_outcome::imported},
        {"reply in pieces",
         {reply.substr(0, 7), reply.substr(7)},
         ending::stay,
         import_outcome::imported},
        {"busy",
         {test::usbip_import_reply(unconfigured_serial(), 2)},
         ending::close,
         import_outcome::refused},
        {"another device's record",
         {test::usbip_import_reply(elsewhere)},
         ending::stay,
         import_outcome::refused},
        {"a byte too many", {reply + 'x'}, ending::stay, import_outcome::refused},
        {"closed without a word", {}, ending::close, import_outcome::no_answer},
        {"silent", {reply.substr(0, 100)}, ending::stay, import_outcome::no_answer},
    };
    for (const import_case& c : cases) {
        SCOPED_TRACE(c.name);
        loopback_server server(c.pieces, c.end, USBIP_IMPORT_REQUEST_BYTES);
        usbip_import importing("127.0.0.1", server.port, "1-1.1", steady_clock::now());
        run_against(importing, server);
        EXPECT_EQ(importing.outcome(), c.outcome) << importing.reason();
        const auto request = import_request("1-1.1");
        EXPECT_EQ(server.request, std::string(request.data(), request.size()));
        const int kept = importing.take_socket();
        EXPECT_EQ(kept >= 0, c.outcome == import_outcome::imported);
        if (kept >= 0) {
            close(kept);
        }
    }
}

// What vhci-hcd is handed: a blocking socket that gives up on a silent peer.
TEST(UsbipImport, TheKeptConnectionNoticesASilentPeer)
{
    loopback_server server({test::usbip_import_reply(unconfigured_serial())},
                           loopback_server::ending::stay, USBIP_IMPORT_REQUEST_BYTES);
    usbip_import importing("127.0.0.1", server.port, "1-1.1", steady_clock::now());
    run_against(importing, server);
    const int fd = importing.take_socket();
    ASSERT_GE(fd, 0) << importing.reason();
    const auto option = [fd](int level, int name) {
        int value = -1;
        socklen_t size = sizeof value;
        getsockopt(fd, level, name, &value, &size);
        return value;
    };
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 5);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 2);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 3);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_USER_TIMEOUT), 10000);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(importing.take_socket(), -1);  // handed over once
    close(fd);
}

TEST(UsbipSchedule, AsksOnFirstHearingThenEveryPeriod)
{
    usbip_schedule schedule;
    const auto t0 = steady_clock::time_point{} + seconds(1000);
    schedule.heard("a", "10.0.0.1", 3240, 2, t0);
    EXPECT_EQ(schedule.start_due(t0), std::vector<std::string>{"a"});
    schedule.finished("a", true, t0);
    for (int s = 3; s < 30; s += 3) {
        schedule.heard("a", "10.0.0.1", 3240, 2, t0 + seconds(s));
        EXPECT_TRUE(schedule.start_due(t0 + seconds(s)).empty()) << s;
    }
    EXPECT_EQ(schedule.next_due(), t0 + USBIP_REQUERY_PERIOD);
    EXPECT_EQ(schedule.start_due(t0 + seconds(30)), std::vector<std::string>{"a"});
}

TEST(UsbipSchedule, AChangedCountAsksSoonButNotTooOften)
{
    struct change_case {
        const char* name;
        int changed_at;  // seconds after a query started
        int asked_at;
    };
    const change_case cases[] = {
        {"long after the last query", 20, 20 + 3},
        {"right after the last query", 1, 10},
        {"while it is in flight", 0, 10},
    };
    for (const change_case& c : cases) {
        SCOPED_TRACE(c.name);
        usbip_schedule schedule;
        const auto t0 = steady_clock::time_point{} + seconds(1000);
        schedule.heard("a", "10.0.0.1", 3240, 2, t0);
        schedule.start_due(t0);
        if (c.changed_at > 0) {
            schedule.finished("a", true, t0);
        }
        schedule.heard("a", "10.0.0.1", 3240, 3, t0 + seconds(c.changed_at));
        schedule.finished("a", true, t0);
        EXPECT_EQ(schedule.next_due(), t0 + seconds(c.asked_at));
        EXPECT_TRUE(schedule.start_due(t0 + seconds(c.asked_at - 1)).empty());
        EXPECT_EQ(schedule.start_due(t0 + seconds(c.asked_at)).size(), 1u);
    }
}

TEST(UsbipSchedule, BoundsTheQueriesInFlight)
{
    usbip_schedule schedule(2);
    const auto t0 = steady_clock::time_point{} + seconds(1000);
    for (const char* key : {"a", "b", "c", "d"}) {
        schedule.heard(key, std::string("10.0.0.") + key[0], 3240, 1, t0);
    }
    const std::vector<std::string> first = {"a", "b"};
    EXPECT_EQ(schedule.start_due(t0), first);
    EXPECT_TRUE(schedule.start_due(t0).empty());
    EXPECT_EQ(schedule.next_due(), steady_clock::time_point::max());
    schedule.forget("a");  // its query is dropped with it, and its slot freed
    schedule.finished("b", true, t0);
    const std::vector<std::string> second = {"c", "d"};
    EXPECT_EQ(schedule.start_due(t0 + seconds(1)), second);
    EXPECT_EQ(schedule.in_flight(), 2u);
}

// Invented devices naming other hosts, one new address each: what the
// schedule lets out, second by second, and what it still lets out for a
// real device whose server has listed before.
TEST(UsbipSchedule, ServersThatNeverListedShareOneBudgetAndAnAddressItsGap)
{
    usbip_schedule schedule(1000);
    const auto t0 = steady_clock::time_point{} + seconds(1000);
    schedule.heard("real", "10.0.0.2", 3240, 1, t0);
    ASSERT_EQ(schedule.start_due(t0).size(), 1u);
    schedule.finished("real", true, t0);
    for (int i = 0; i < 100; ++i) {
        schedule.heard("invented " + std::to_string(i), "10.1.0." + std::to_string(i), 3240, 0,
                       t0 + seconds(1));
    }
    // Another device naming an address just asked, and one naming the real
    // device's address with another port, which never listed.
    schedule.heard("same address", "10.0.0.2", 3240, 0, t0 + seconds(1));
    schedule.heard("another port", "10.0.0.2", 22, 0, t0 + seconds(1));
    const struct {
        int tenths;  // after t0
        std::size_t started;
    } steps[] = {{10, USBIP_BUDGET_BURST}, {15, 0}, {20, 1}, {50, 3}, {100, 5}, {105, 0}};
    std::vector<std::string> all;
    for (const auto& step : steps) {
        const auto at = t0 + std::chrono::milliseconds(100 * step.tenths);
        const std::vector<std::string> started = schedule.start_due(at);
        EXPECT_EQ(started.size(), step.started) << step.tenths;
        for (const std::string& key : started) {
            schedule.finished(key, false, at);
            all.push_back(key);
        }
    }
    // The address is asked again once its gap is over, by one of the two.
    EXPECT_EQ(std::count(all.begin(), all.end(), "same address") +
                  std::count(all.begin(), all.end(), "another port"),
              1);
    // A server that listed is asked outside the budget, which is spent on
    // the invented ones.
    schedule.forget("same address");
    const std::vector<std::string> started = schedule.start_due(t0 + seconds(30));
    EXPECT_EQ(started.size(), USBIP_BUDGET_BURST + 1);
    EXPECT_EQ(std::count(started.begin(), started.end(), "real"), 1);
}

// A flood of invented devices churns the table: those gone before their
// turn leave the budget to one still there.
TEST(UsbipSchedule, ADeviceGoneBeforeItsTurnSpendsNothing)
{
    usbip_schedule schedule(1000);
    const auto t0 = steady_clock::time_point{} + seconds(1000);
    for (int i = 10; i < 30; ++i) {
        schedule.heard("d" + std::to_string(i), "10.1.0." + std::to_string(i), 3240, 0, t0);
    }
    for (const std::string& key : schedule.start_due(t0)) {
        schedule.finished(key, false, t0);
    }
    const auto only_the_last = [](const std::string& key) { return key == "d29"; };
    EXPECT_EQ(schedule.start_due(t0 + seconds(1), only_the_last), std::vector<std::string>{"d29"});
    EXPECT_TRUE(schedule.start_due(t0 + seconds(2), only_the_last).empty()) << "gone, forgotten";
}

// A device whose address changes: the query in flight is the caller's to
// drop, and the new address is asked once a contest would have shown.
TEST(UsbipSchedule, ANewAddressIsAskedAfterItSettles)
{
    usbip_schedule schedule;
    const auto t0 = steady_clock::time_point{} + seconds(1000);
    schedule.heard("a", "10.0.0.2", 3240, 1, t0);
    ASSERT_EQ(schedule.start_due(t0).size(), 1u);
    EXPECT_FALSE(schedule.heard("a", "10.0.0.2", 3240, 1, t0 + seconds(1)));
    EXPECT_TRUE(schedule.heard("a", "10.0.0.66", 3240, 1, t0 + seconds(1)));
    EXPECT_EQ(schedule.in_flight(), 0u);
    EXPECT_EQ(schedule.next_due(), t0 + seconds(1) + USBIP_NEW_ADDRESS_SETTLE);
    EXPECT_TRUE(schedule.start_due(t0 + seconds(7)).empty());
    EXPECT_EQ(schedule.start_due(t0 + seconds(8)), std::vector<std::string>{"a"});
}

TEST(UsbNames, NamesComeFromTheDatabaseAndIdsStandAloneWithout)
{
    const usb_name_database names;
    if (!names.available()) {
        GTEST_SKIP() << "no hardware database (hwdb.bin) on this machine";
    }
    struct name_case {
        usb_export device;
        const char* vendor;
        const char* product;
        const char* classes;
    };
    usb_export hub;
    hub.vendor_id = 0xffff;  // in no database
    hub.product_id = 0xfffe;
    hub.device_class = {9, 0, 0};
    usb_export storage_and_keyboard = unconfigured_serial();
    storage_and_keyboard.vendor_id = 0x46f4;  // QEMU, whose disk the database has no name for
    storage_and_keyboard.product_id = 0x0001;
    storage_and_keyboard.interfaces = {{8, 6, 0x50}, {3, 1, 1}, {3, 0, 0}};
    const name_case cases[] = {
        {unconfigured_serial(), "Future Technology Devices International, Ltd",
         "FT232 Serial (UART) IC", ""},
        {configured_keyboard(), "Adomax Technology Co., Ltd", "QEMU Tablet",
         "Human Interface Device"},
        {storage_and_keyboard, "QEMU", "", "Mass Storage, Human Interface Device"},
        {hub, "", "", "Hub"},
    };
    for (name_case c : cases) {
        SCOPED_TRACE(c.device.busid);
        names.name(c.device);
        EXPECT_EQ(c.device.vendor_name, c.vendor);
        EXPECT_EQ(c.device.product_name, c.product);
        EXPECT_EQ(c.device.class_name, c.classes);
    }
}

}  // namespace
}  // namespace quorvellan::discover
