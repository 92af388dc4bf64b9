// Runs the built tool: exit codes and what reaches stdout and stderr are its
// contract with scripts.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "session.h"

#include <array>
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
run_result run_tool(const std::string& args)
{
    const std::string base = ::testing::TempDir() + "discover_" + std::to_string(getpid());
    const int status = std::system((std::string(DISCOVER_BINARY) + " " + args + " </dev/null >" +
                                    base + ".out 2>" + base + ".err")
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
        {"--port=0x50", "'--port'"},
        {"--port 99999999999999999999", "'--port'"},
        {"--json=yes", "'--json'"},
        {"-jx", "'-x'"},
        {"-t", "'-t'"},
        {"-p 0", "'-p'"},
        {"-1 -t 5", "'--once'"},
        {"stray --json", "'stray'"},
    };
    for (const auto& [args, named] : cases) {
        const run_result r = run_tool(args);
        const std::string first_line = r.err.substr(0, r.err.find('\n'));
        EXPECT_EQ(r.exit_code, 2) << args;
        EXPECT_NE(first_line.find(named), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("\nUsage: quorvellan-discover"), first_line.size()) << r.err;
        EXPECT_EQ(r.out, "") << args;
    }
    EXPECT_EQ(run_tool("-h").out.rfind("Usage: quorvellan-discover", 0), 0u);
    EXPECT_EQ(run_tool("-V").out.rfind("quorvellan-discover ", 0), 0u);
}

TEST(CommandLine, ShortOptionsBundleAndTheModeFollowsTheOutput)
{
    const options_result bundled =
        parse_options(5, std::array<const char*, 5>{"discover", "-j1", "-p", "9", "-pt"}.data());
    EXPECT_EQ(bundled.error, "option '-p' needs a port number from 1 to 65535, got 't'");
    const options_result parsed =
        parse_options(4, std::array<const char*, 4>{"discover", "-j1", "-p9", "--po=8"}.data());
    ASSERT_EQ(parsed.error, "");
    EXPECT_TRUE(parsed.parsed.json && parsed.parsed.once && parsed.parsed.port == 8);

    const struct {
        bool json;
        bool terminal;
        const char* term;
        output_mode mode;
    } rows[] = {
        {true, true, "xterm-256color", output_mode::json},
        {false, true, "xterm-256color", output_mode::live_view},
        {false, true, "dumb", output_mode::lines},
        {false, true, nullptr, output_mode::lines},
        {false, true, "", output_mode::lines},
        {false, false, "xterm-256color", output_mode::lines},
    };
    for (const auto& row : rows) {
        options opts;
        opts.json = row.json;
        EXPECT_EQ(choose_mode(opts, row.terminal, row.term), row.mode) << row.term;
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

TEST(CommandLine, PortInUseExits1AndAQuietListenExits0)
{
    std::string port;
    {
        const held_port held;
        port = std::to_string(held.port);
        const run_result busy = run_tool("--json --timeout 5 --port " + port);
        EXPECT_EQ(busy.exit_code, 1);
        EXPECT_NE(busy.err.find("port " + port), std::string::npos) << busy.err;
        EXPECT_EQ(busy.err.find('\n'), busy.err.size() - 1) << busy.err;
    }
    const run_result json = run_tool("--json --timeout 0.3 --port " + port);
    EXPECT_EQ(json.exit_code, 0);
    EXPECT_EQ(json.out, "");
    const run_result table = run_tool("-t0.3 --port=" + port);
    EXPECT_EQ(table.exit_code, 0);
    EXPECT_NE(table.out.find("0 devices, 0 online | datagrams: 0 accepted, 0 rejected"),
              std::string::npos)
        << table.out;
    const run_result once = run_tool("-1j -p " + port);
    EXPECT_EQ(once.exit_code, 0);
    EXPECT_EQ(once.out + once.err, "");

    // Waiting for datagrams into a pipe whose reader has gone takes no CPU.
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    std::system((std::string(DISCOVER_BINARY) + " -t 2 -p " + port + " </dev/null | true").c_str());
    getrusage(RUSAGE_CHILDREN, &after);
    const auto seconds = [](const rusage& r) {
        return r.ru_utime.tv_sec + r.ru_stime.tv_sec +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    EXPECT_LT(seconds(after) - seconds(before), 0.25);
}

}  // namespace
}  // namespace quorvellan::discover
