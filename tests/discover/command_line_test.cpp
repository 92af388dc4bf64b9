// Runs the built tool: exit codes and what reaches stdout and stderr are its
// contract with scripts.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "options.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quorvellan::discover {
namespace {

struct run_result {
    int exit_code;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path)
{
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// args is pasted into a shell command: only plain words belong in it.
// output: where standard output goes, a file of the test's by default.
run_result run_tool(const std::string& args, std::string output = "")
{
    const std::string base = ::testing::TempDir() + "discover_" + std::to_string(getpid());
    std::ofstream(base + ".out").close();
    output = output.empty() ? ">" + base + ".out" : output;
    const int status = std::system((std::string(DISCOVER_BINARY) + " " + args + " </dev/null " +
                                    output + " 2>" + base + ".err")
                                       .c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(base + ".out"),
            slurp(base + ".err")};
}

TEST(CommandLine, BadInvocationsExit2NamingTheOption)
{
    const std::pair<const char*, const char*> cases[] = {
        {"--bogus", "'--bogus'"},
        {"-x", "'-x'"},
        {"--json stray", "'stray'"},
        {"--timeout", "'--timeout'"},
        {"--timeout soon", "'--timeout'"},
        {"--timeout 0", "'--timeout'"},
        {"--timeout=1e9", "'--timeout'"},
        {"--port 65536", "'--port'"},
        {"--forget-after 0", "'--forget-after'"},
        {"--forget-after 24x", "'--forget-after'"},
        {"--forget-after 90", "'--forget-after'"},
        {"-1 --state devices.json", "'--once'"},
        {"-f 367d", "'-f'"},
        {"--metrics localhost:10132", "'--metrics'"},
        {"--http 1.2.3.4", "'--http'"},
        {"--http-allow-host a/b", "'--http-allow-host'"},
        {"--http-proxy proxy.lan", "'--http-proxy'"},
        {"-q --json", "'--quiet'"},
        {"--port=0x50", "'--port'"},
        {"--port 99999999999999999999", "'--port'"},
        {"--json=yes", "'--json'"},
        {"-jx", "'-x'"},
        {"-t", "'-t'"},
        {"-p 0", "'-p'"},
        {"-1 -t 5", "'--once'"},
        {"stray --json", "'stray'"},
        {"--attach lab-router", "'--attach'"},
        {"--attach lab-router/usb1", "'--attach'"},
        {"--attach-file /nonexistent/rules", "'--attach-file'"},
        {"--detach-on-exit", "'--detach-on-exit'"},
        {"-1 --attach lab-router/1-1", "'--once'"},
    };
    for (const auto& [args, named] : cases) {
        const run_result r = run_tool(args);
        const std::string first_line = r.err.substr(0, r.err.find('\n'));
        EXPECT_EQ(r.exit_code, 2) << args;
        EXPECT_NE(first_line.find(named), std::string::npos) << r.err;
        EXPECT_EQ(r.err, first_line + "\nTry 'quorvellan-discover --help'.\n");
        EXPECT_EQ(r.out, "") << args;
    }
    EXPECT_EQ(run_tool("-h").out.rfind("Usage: quorvellan-discover", 0), 0u);
    EXPECT_EQ(run_tool("-V").out.rfind("quorvellan-discover ", 0), 0u);
}

TEST(CommandLine, ShortOptionsBundle)
{
    const options_result bundled =
        parse_options(5, std::array<const char*, 5>{"discover", "-j1", "-p", "9", "-pt"}.data());
    EXPECT_EQ(bundled.error, "option '-p' needs a port number as digits from 1 to 65535, got 't'");
    const options_result parsed =
        parse_options(4, std::array<const char*, 4>{"discover", "-j1", "-p9", "--po=8"}.data());
    ASSERT_EQ(parsed.error, "");
    EXPECT_TRUE(parsed.parsed.json && parsed.parsed.once && parsed.parsed.port == 8);
    // The edge values are in.
    const options_result edges = parse_options(
        7, std::array<const char*, 7>{"discover", "--port", "65535", "-t", "86400", "-f", "366d"}
               .data());
    ASSERT_EQ(edges.error, "");
    EXPECT_EQ(edges.parsed.port, 65535);
    EXPECT_EQ(edges.parsed.timeout_seconds, 86400.0);
    EXPECT_EQ(edges.parsed.forget_after, std::chrono::hours(24 * 366));
    // Long options without a short one are taken too.
    const options_result named = parse_options(
        7, std::array<const char*, 7>{"discover", "--http", "10132", "--http-allow-host",
                                      "collector.lan", "--http-proxy", "::1"}
               .data());
    ASSERT_EQ(named.error, "");
    EXPECT_EQ(named.parsed.allowed_hosts, std::vector<std::string>{"collector.lan"});
    EXPECT_EQ(named.parsed.http_proxies, std::vector<std::string>{"::1"});
    // Rules one by one and from a file, in the order given.
    const std::string rules = ::testing::TempDir() + "discover_rules";
    std::ofstream(rules) << "# the disk\n52:54:00:5A:00:01/46f4:0001\n";
    const options_result attach = parse_options(
        6, std::array<const char*, 6>{"discover", "--attach=lab-router/1-1+hid", "--attach-file",
                                      rules.c_str(), "--detach-on-exit", "--attach=lab/2-1"}
               .data());
    ASSERT_EQ(attach.error, "");
    std::vector<std::string> texts;
    for (const attach_rule& rule : attach.parsed.attach_rules) {
        texts.push_back(rule.text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"lab-router/1-1+hid", "52:54:00:5A:00:01/46f4:0001",
                                               "lab/2-1"}));
    EXPECT_TRUE(attach.parsed.detach_on_exit);
    std::ofstream(rules) << "lab/usb1\n";
    EXPECT_EQ(parse_options(
                  3, std::array<const char*, 3>{"discover", "--attach-file", rules.c_str()}.data())
                  .error,
              "option '--attach-file' needs a readable file of attach rules; " + rules +
                  ":1: attach rule 'lab/usb1': 'usb1' is neither a bus id (1-1.2) nor "
                  "vendor:product (0403:6001)");
    const options_result kept = parse_options(
        2, std::array<const char*, 2>{"discover", "--state=/var/lib/q/devices.json"}.data());
    ASSERT_EQ(kept.error, "");
    EXPECT_EQ(kept.parsed.state_file, "/var/lib/q/devices.json");
    // Serving metrics, yet forgetting a device before its alert could fire.
    const struct {
        std::array<const char*, 5> args;
        bool warned;
    } warnings[] = {
        {{"discover", "-m", "10132", "-f", "9m"}, true},
        {{"discover", "-m", "10132", "-f", "10m"}, false},
        {{"discover", "-j", "-t", "5", "-f9m"}, false},
    };
    for (const auto& row : warnings) {
        const options_result parsed = parse_options(5, row.args.data());
        ASSERT_EQ(parsed.error, "");
        EXPECT_EQ(options_warning(parsed.parsed).rfind("option '--forget-after' under 10m", 0) == 0,
                  row.warned)
            << row.args[4];
    }
}

// Holds a port without sharing it, so that the tool cannot bind it.
struct held_port {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    std::uint16_t port = 0;

    held_port()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~held_port()
    {
        close(fd);
    }
};

// Each way a run ends, by its status and the one line on standard error.
TEST(CommandLine, EveryEndHasItsStatusAndItsLine)
{
    std::string port;
    {
        const held_port held;
        port = std::to_string(held.port);
        const run_result busy = run_tool("--json --timeout 5 --port " + port);
        EXPECT_EQ(busy.exit_code, 1);
        EXPECT_NE(busy.err.find("port " + port), std::string::npos) << busy.err;
        EXPECT_NE(busy.err.find("ss -ulpn 'sport = :" + port + "'"), std::string::npos);
        EXPECT_EQ(busy.err.find('\n'), busy.err.size() - 1) << busy.err;
    }
    const struct {
        std::string args;
        std::string output;  // a redirection, or the test's file
        int status;
        std::string out;  // a piece of standard output, or "" for none
        std::string err;  // a piece of the one line on standard error, or "" for none
    } rows[] = {
        {"--json --timeout 0.3 -p " + port, "", 0, "", ""},
        {"-t0.3 --port=" + port, "", 0, "listening on UDP port " + port, ""},
        {"-1j -p " + port, "", 3, "", "no device heard in 3.5 s on UDP port " + port},
        {"--help", ">/dev/full", 1, "", "write error: No space left on device"},
        {"--version", ">/dev/full", 1, "", "write error: No space left on device"},
        {"-t 0.3 -p " + port, ">/dev/full", 1, "", "write error: No space left on device"},
        // Closed, standard output is the null device, not the socket; what
        // would be written there cannot arrive, and that is said at once.
        {"--json -t 0.3 -p " + port, ">&-", 1, "", "write error: Bad file descriptor"},
        {"--help", ">&-", 1, "", "write error: Bad file descriptor"},
        {"-q -t 0.3 -p " + port, ">&-", 0, "", ""},
    };
    for (const auto& r : rows) {
        const run_result ran = run_tool(r.args, r.output);
        EXPECT_EQ(ran.exit_code, r.status) << r.args << " " << r.output;
        EXPECT_EQ(ran.out.empty(), r.out.empty()) << ran.out;
        EXPECT_NE(ran.out.find(r.out), std::string::npos) << ran.out;
        EXPECT_EQ(ran.err.empty(), r.err.empty()) << ran.err;
        EXPECT_NE(ran.err.find(r.err), std::string::npos) << ran.err;
        EXPECT_LE(std::count(ran.err.begin(), ran.err.end(), '\n'), 1) << ran.err;
    }

    // A reader that leaves ends the run at once and quietly, with status 0
    // for pipefail scripts, even while there is nothing to write.
    const auto started = std::chrono::steady_clock::now();
    const int status = std::system(("bash -o pipefail -c '" + std::string(DISCOVER_BINARY) +
                                    " -j -t 60 -p " + port + " </dev/null 2>&1 | true'")
                                       .c_str());
    EXPECT_EQ(status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

}  // namespace
}  // namespace quorvellan::discover
