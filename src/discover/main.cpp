// quorvellan-discover: listens for device announcements and shows who is on
// the network. Wiring only: the session decides what to report, the table
// whom to keep, the listener how to receive.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "line_output.h"
#include "listener.h"
#include "live_view.h"
#include "options.h"
#include "output_format.h"
#include "session.h"

namespace {

using namespace quorvellan::discover;
using std::chrono::steady_clock;

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int)
{
    stop_requested = 1;
}

// Without SA_RESTART, so that a signal cuts the wait in poll short.
void catch_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Bounded, so that a flood cannot hold off the redraw, the output or the
// deadline.
constexpr int MAX_BATCHES_PER_WAKE = 16;
// How long the last lines may wait for a slow reader after a deadline.
constexpr std::chrono::milliseconds LAST_LINES_GRACE{500};

steady_clock::time_point deadline_of(const options& opts, steady_clock::time_point start)
{
    const std::optional<double> seconds = opts.once ? ONCE_SECONDS : opts.timeout_seconds;
    return seconds ? start + std::chrono::duration_cast<steady_clock::duration>(
                                 std::chrono::duration<double>(*seconds))
                   : steady_clock::time_point::max();
}

int run_listener(const options& opts)
{
    const listener_socket socket = open_listener(opts.port);
    if (socket.fd < 0) {
        std::cerr << "quorvellan-discover: " << socket.error << std::endl;
        return 1;
    }
    catch_stop_signals();
    output_mode mode = choose_mode(opts, isatty(STDOUT_FILENO) != 0, std::getenv("TERM"));
    // A terminal ncurses does not know gets lines instead.
    std::unique_ptr<live_view> live =
        mode == output_mode::live_view && !opts.once ? live_view::open() : nullptr;
    if (mode == output_mode::live_view && !opts.once && !live) {
        mode = output_mode::lines;
    }
    line_output out(STDOUT_FILENO);
    session listening(opts, mode, read_system_clocks,
                      [&out](const std::string& line) { out.add(line); });
    receiver incoming;
    interface_subnets subnets;
    const auto redraw = [&] {
        const device_table& table = listening.table();
        live->draw(table.rows(), table.now(),
                   status_line(table.size(), table.online_count(), listening.stats()));
    };

    const auto start = steady_clock::now();
    const auto deadline = deadline_of(opts, start);
    auto next_tick = start;
    int status = 0;
    while (stop_requested == 0) {
        const auto now = steady_clock::now();
        if (now >= deadline) {
            break;
        }
        if (now >= next_tick) {
            subnets.refresh();
            listening.on_tick();
            listening.stats().output_lost = out.lost_lines();
            if (live) {
                redraw();
            }
            next_tick = now + std::chrono::seconds(1);
        }
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(std::min(next_tick, deadline) - now)
                .count();
        // Standard output only while lines wait: a pipe whose reader is gone
        // would otherwise wake every poll at once, with nothing to write.
        pollfd waiting[] = {{socket.fd, POLLIN, 0},
                            {out.pending() ? out.fd() : -1, POLLOUT, 0},
                            {live ? live->input_fd() : -1, POLLIN, 0}};
        const int ready = poll(waiting, 3, static_cast<int>(wait));
        const int poll_error = errno;  // before the view's reads overwrite it
        // Also after EINTR: a resize arrives as SIGWINCH.
        if (live) {
            const live_view::action asked = live->handle_input();
            if (asked == live_view::action::quit) {
                break;
            }
            if (asked == live_view::action::redraw) {
                redraw();
            }
        }
        if (ready < 0) {
            if (poll_error == EINTR) {
                continue;
            }
            std::cerr << "quorvellan-discover: cannot wait for datagrams: "
                      << std::strerror(poll_error) << std::endl;
            status = 1;
            break;
        }
        // A terminal that hung up would wake every poll at once from now on.
        if ((waiting[2].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            break;
        }
        if (waiting[1].revents != 0) {
            out.write_some();
        }
        if (waiting[0].revents & POLLNVAL) {
            std::cerr << "quorvellan-discover: the socket was lost" << std::endl;
            status = 1;
            break;
        }
        if (waiting[0].revents != 0) {
            for (int batch = 0; batch < MAX_BATCHES_PER_WAKE; ++batch) {
                const std::size_t count = incoming.receive(socket.fd);
                for (std::size_t i = 0; i < count; ++i) {
                    listening.on_datagram(incoming[i], subnets.of(incoming[i].interface_index));
                }
                listening.stats().kernel_drops = incoming.kernel_drops();
                if (count < receiver::BATCH) {
                    break;
                }
            }
        }
    }
    close(socket.fd);
    if (live) {
        live->close();
    }
    out.lift_bound();
    listening.on_end();
    // A timeout or a stop is honoured even behind a stuck reader; a
    // snapshot waits for its reader to take all of it.
    out.drain(opts.timeout_seconds || stop_requested != 0 ? steady_clock::now() + LAST_LINES_GRACE
                                                          : steady_clock::time_point::max());
    listening.stats().output_lost = out.lost_lines();
    if (listening.wants_summary()) {
        const listen_stats& stats = listening.stats();
        std::cerr << "quorvellan-discover: "
                  << status_line(listening.table().size(), listening.table().online_count(), stats)
                  << std::endl;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    const options_result options = parse_options(argc, argv);
    if (!options.error.empty()) {
        std::cerr << "quorvellan-discover: " << options.error << '\n' << usage_text();
        return 2;
    }
    if (options.parsed.help) {
        std::cout << usage_text();
        return 0;
    }
    if (options.parsed.version) {
        std::cout << "quorvellan-discover " << QUORVELLAN_VERSION << '\n';
        return 0;
    }
    return run_listener(options.parsed);
}
