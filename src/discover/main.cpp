// quorvellan-discover: listens for device announcements and shows who is on
// the network. Wiring only; every decision lives in the library units.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "announcement_parser.h"
#include "device_table.h"
#include "listener.h"
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

class screen {
   public:
    // The previous drawing is overwritten from its first line, so the
    // terminal's scrollback above it stays as it was.
    void redraw(const device_table& table, const listen_stats& stats)
    {
        winsize size{};
        const bool known = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0;
        // One column spare against auto-wrap, and lines spare for the
        // header, the status line and the cursor, so nothing ever scrolls
        // out of reach of the cursor movement. A width of 0 would mean
        // "uncut" to table_lines, hence at least 1.
        const std::size_t width = known ? std::max<std::size_t>(size.ws_col, 2) - 1 : 79;
        const std::size_t height = known && size.ws_row > 0 ? size.ws_row : 24;
        const std::size_t body_rows = height > 4 ? height - 3 : 1;
        const std::vector<const device_row*> devices = table.rows();
        std::vector<std::string> lines = table_lines(devices, table.now(), width, body_rows);
        lines.push_back(
            fit_width(status_line(devices.size(), table.online_count(), stats), width, false));
        std::string out;
        if (drawn_ > 0) {
            out += "\x1b[" + std::to_string(drawn_) + "A";
        }
        out += "\r\x1b[J";
        for (const std::string& line : lines) {
            out += line + "\n";
        }
        std::cout << out << std::flush;
        drawn_ = lines.size();
    }

   private:
    std::size_t drawn_ = 0;
};

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
    const mode how = opts.json                    ? mode::json_lines
                     : isatty(STDOUT_FILENO) != 0 ? mode::live_table
                                                  : mode::change_lines;
    device_table table(read_system_clocks);
    listen_stats stats;
    receiver incoming;
    datagram received;
    screen live;

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
                live.redraw(table, stats);
            }
            next_tick = now + std::chrono::seconds(1);
        }
        const auto wake = std::min(next_tick, deadline);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        pollfd waiting{socket.fd, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(wait)) <= 0) {
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
    if (how == mode::live_table) {
        live.redraw(table, stats);
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
