#include "terminal/line_output.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>

namespace quorvellan::discover {
namespace {

using namespace std::chrono_literals;

// A pipe of one page whose reader reads only when told to.
struct small_pipe {
    int read_end = -1;
    int write_end = -1;

    small_pipe()
    {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
        read_end = fds[0];
        write_end = fds[1];
        fcntl(write_end, F_SETPIPE_SZ, 4096);
    }
    ~small_pipe()
    {
        close_reader();
        close(write_end);
    }
    void close_reader()
    {
        if (read_end >= 0) {
            close(read_end);
            read_end = -1;
        }
    }
    std::string take()
    {
        std::string got;
        char buffer[8192];
        for (ssize_t n; (n = read(read_end, buffer, sizeof buffer)) > 0;) {
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
};

// Writes while the pipe takes more, as the loop would.
void write_while_writable(line_output& out)
{
    pollfd writable{out.fd(), POLLOUT, 0};
    while (out.pending() && poll(&writable, 1, 0) == 1) {
        out.write_some();
    }
}

TEST(LineOutput, ASlowReaderGetsWholeLinesAndTheRestIsCounted)
{
    small_pipe pipe;
    line_output out(pipe.write_end, 1000);
    const std::string line(99, 'x');  // 100 bytes with its newline
    for (int i = 0; i < 12; ++i) {
        out.add(line);
    }
    EXPECT_EQ(out.lost_lines(), 2u) << "the queue holds ten lines";
    write_while_writable(out);
    std::string got = pipe.take();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), '\n');
    std::uint64_t written = static_cast<std::uint64_t>(std::count(got.begin(), got.end(), '\n'));
    // A reader that stops reading: a long line is never cut by the deadline.
    out.lift_bound();
    for (int i = 0; i < 100; ++i) {
        out.add(std::string(299, 'y'));
    }
    const auto started = std::chrono::steady_clock::now();
    out.drain(std::chrono::steady_clock::now() + 200ms, -1);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 200ms);
    got = pipe.take();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), '\n');
    written += static_cast<std::uint64_t>(std::count(got.begin(), got.end(), '\n'));
    EXPECT_EQ(written + out.lost_lines(), 112u) << "every line written or counted";
    EXPECT_EQ(out.status(), line_output::state::open);
}

TEST(LineOutput, AStopEndsTheDrainBehindAReaderThatNeverReads)
{
    small_pipe pipe;
    small_pipe stop;
    line_output out(pipe.write_end);
    for (int i = 0; i < 100; ++i) {
        out.add(std::string(100, 'z'));
    }
    ASSERT_EQ(write(stop.write_end, "!", 1), 1);
    out.drain(std::chrono::steady_clock::time_point::max(), stop.read_end);
    EXPECT_FALSE(out.pending());
    EXPECT_GT(out.lost_lines(), 0u);
}

TEST(LineOutput, AReaderThatLeavesIsToldApartFromAWriteError)
{
    // As the listener does: a reader that leaves is an EPIPE, not a death.
    const auto default_action = std::signal(SIGPIPE, SIG_IGN);
    for (const bool with_lines : {false, true}) {
        small_pipe pipe;
        line_output gone(pipe.write_end);
        pipe.close_reader();
        if (with_lines) {
            gone.add("lost on nobody");
        }
        pollfd output{pipe.write_end, gone.poll_events(), 0};
        ASSERT_EQ(poll(&output, 1, 0), 1) << "noticed while nothing waits, too";
        gone.on_ready(output.revents);
        EXPECT_EQ(gone.status(), line_output::state::reader_gone);
        EXPECT_EQ(gone.lost_lines(), 0u) << "nobody to tell";
    }
    std::signal(SIGPIPE, default_action);

    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    line_output failing(full);
    failing.add("no room");
    failing.write_some();
    EXPECT_EQ(failing.status(), line_output::state::failed);
    EXPECT_EQ(failing.error(), ENOSPC);
    close(full);
}

}  // namespace
}  // namespace quorvellan::discover
