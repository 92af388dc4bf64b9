// quorvellan-discover: listens for device announcements and shows who is on
// the network. Wiring only; every decision lives in the library units.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "announcement_parser.h"
#include "device_table.h"
#include "listener.h"
#include "live_view.h"
#include "options.h"
#include "output_format.h"
#include "terminal_text.h"

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

constexpr int MAX_DATAGRAMS_PER_WAKE = 256;

enum class mode { live_table, change_lines, json_lines };

void print_final_table(const device_table& table, const listen_stats& stats)
{
    for (const std::string& line : table_lines(table.rows(), table.now(), 0, 0)) {
        std::cout << line << '\n';
    }
    std::cout << status_line(table.rows().size(), table.online_count(), stats) << std::endl;
}

void report(mode how, const hearing& heard)
{
    if (how == mode::json_lines &&
        (heard.kind == change::new_device || heard.kind == change::changed)) {
        std::cout << json_line(*heard.row) << std::endl;
    } else if (how == mode::change_lines && heard.kind != change::unchanged) {
        std::cout << change_line(heard) << std::endl;
    }
}

int run_listener(const options& opts)
{
    const listener_socket socket = open_listener(opts.port);
    if (socket.fd < 0) {
        std::cerr << "quorvellan-discover: " << socket.error << std::endl;
        return 1;
    }
    catch_stop_signals();
    std::unique_ptr<live_view> live = opts.json ? nullptr : live_view::open();
    const mode how = opts.json ? mode::json_lines : live ? mode::live_table : mode::change_lines;
    const auto redraw = [&](const device_table& table, const listen_stats& stats) {
        const std::vector<const device_row*> rows = table.rows();
        live->draw(rows, table.now(), status_line(rows.size(), table.online_count(), stats));
    };
    device_table table(read_system_clocks);
    listen_stats stats;
    receiver incoming;
    datagram received;

    const auto start = steady_clock::now();
    const auto deadline = opts.timeout_seconds
                              ? start + std::chrono::duration_cast<steady_clock::duration>(
                                            std::chrono::duration<double>(*opts.timeout_seconds))
                              : steady_clock::time_point::max();
    auto next_tick = start;
    while (stop_requested == 0) {
        const auto now = steady_clock::now();
        if (now >= deadline) {
            break;
        }
        if (now >= next_tick) {
            for (const device_row* row : table.expire()) {
                if (how == mode::change_lines) {
                    std::cout << offline_line(*row, table.now().wall) << std::endl;
                }
            }
            if (how == mode::live_table) {
                redraw(table, stats);
            }
            next_tick = now + std::chrono::seconds(1);
        }
        const auto wake = std::min(next_tick, deadline);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        pollfd waiting[2] = {{socket.fd, POLLIN, 0}, {live ? live->input_fd() : -1, POLLIN, 0}};
        const int ready = poll(waiting, 2, static_cast<int>(wait));
        if (live) {
            const live_view::action asked = live->handle_input();
            if (asked == live_view::action::quit) {
                break;
            }
            if (asked == live_view::action::redraw) {
                redraw(table, stats);
            }
        }
        if (ready <= 0 || (waiting[0].revents & POLLIN) == 0) {
            continue;
        }
        // Bounded, so that a flood cannot hold off the redraw or the timeout.
        for (int i = 0; i < MAX_DATAGRAMS_PER_WAKE && incoming.receive(socket.fd, received); ++i) {
            parse_result parsed = parse_announcement(received.bytes, received.full_length);
            if (parsed.accepted()) {
                const hearing heard = table.hear(parsed.record, received.source);
                if (heard.kind == change::refused) {
                    parsed.reason = rejection::table_full;
                } else {
                    report(how, heard);
                }
            }
            stats.count(parsed, received.source);
        }
    }
    table.expire();
    if (live) {
        live->close();
    } else if (how == mode::change_lines && opts.timeout_seconds) {
        print_final_table(table, stats);
    }
    close(socket.fd);
    return 0;
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
