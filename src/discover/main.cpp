// quorvellan-discover: listens for device announcements and shows who is on
// the network. Wiring only: the options decide the run; the sources it
// needs are opened and added to the run loop here, each output one line;
// and every run ends through the one shut-down path, which gives the
// terminal back, drains the output and says what went wrong.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "attach_keeper.h"
#include "datagram_input.h"
#include "http_output.h"
#include "live_output.h"
#include "net/udp_socket.h"
#include "options.h"
#include "run_loop.h"
#include "session.h"
#include "state_output.h"
#include "stdout_output.h"
#include "terminal/line_output.h"
#include "terminal/live_view.h"
#include "usb/vhci_records.h"
#include "usb_watch.h"

namespace {

using namespace quorvellan::discover;

// The exit statuses, documented in --help and the manual page.
constexpr int EXIT_DONE = 0;           // time up, q, a signal, or the reader left
constexpr int EXIT_FAILED = 1;         // one line on standard error says why
constexpr int EXIT_USAGE = 2;          // a bad command line
constexpr int EXIT_NOTHING_HEARD = 3;  // --once heard no device

// A supervisor may start us with any of them closed: the socket must not
// become standard input, where the live view would read its datagrams as keys.
// Returns whether standard output was closed: the null device in its place
// takes every line, and so would hide that none of them can arrive.
bool open_standard_descriptors()
{
    bool output_closed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            output_closed = output_closed || fd == STDOUT_FILENO;
            if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) < 0) {
                break;
            }
        }
    }
    return output_closed;
}

// Said before anything is tried rather than at the first line: that line
// may come hours later, or never (nothing heard), and the run would end
// with status 0 after all, so the port and the HTTP address would be held
// for output that cannot arrive.
int refuse_closed_output()
{
    std::cerr << "quorvellan-discover: write error: " << std::strerror(EBADF)
              << " (standard output is closed; --quiet runs without it)" << std::endl;
    return EXIT_FAILED;
}

// Standard output in full: status 0, also when the reader has gone, or 1
// with one line on a failed write.
int print(const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t written = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            if (errno == EPIPE) {
                return EXIT_DONE;
            }
            std::cerr << "quorvellan-discover: write error: " << std::strerror(errno) << std::endl;
            return EXIT_FAILED;
        }
        done += static_cast<std::size_t>(written);
    }
    return EXIT_DONE;
}

std::chrono::steady_clock::time_point deadline_of(const options& opts,
                                                  std::chrono::steady_clock::time_point start)
{
    const std::optional<double> seconds = opts.once ? ONCE_SECONDS : opts.timeout_seconds;
    return seconds ? start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(*seconds))
                   : std::chrono::steady_clock::time_point::max();
}

int cannot_listen(const std::string& error)
{
    std::cerr << "quorvellan-discover: " << error << std::endl;
    return EXIT_FAILED;
}

// What went wrong and the summary where they are wanted, once the terminal
// is back and the last lines are out; how the run ended as an exit status.
int exit_status(const options& opts, const run_state& ended, const session& listening)
{
    if (!ended.error().empty()) {
        std::cerr << "quorvellan-discover: " << ended.error() << std::endl;
    }
    // The reader that left was the audience for everything, the summary too.
    if (ended.ended() == ending::reader_gone) {
        return EXIT_DONE;
    }
    if (listening.wants_summary()) {
        std::cerr << "quorvellan-discover: " << listening.status() << std::endl;
    }
    if (!ended.error().empty()) {
        return EXIT_FAILED;
    }
    if (opts.once && ended.ended() == ending::deadline && listening.found_nothing()) {
        std::cerr << "quorvellan-discover: no device heard in " << ONCE_SECONDS << " s on UDP port "
                  << opts.port << std::endl;
        return EXIT_NOTHING_HEARD;
    }
    return EXIT_DONE;
}

int run(const options& opts)
{
    run_loop loop;
    // What can fail, or has something to say, while the terminal is as it
    // was: the port, the HTTP address, the state file.
    const udp_socket socket = open_udp_socket(opts.port);
    if (socket.fd < 0) {
        return cannot_listen(socket.error);
    }
    std::string error;
    std::unique_ptr<http_output> page;
    if (opts.http && !(page = http_output::open(opts, QUORVELLAN_VERSION, error))) {
        close(socket.fd);
        return cannot_listen(error);
    }
    std::vector<known_device> known;
    if (!opts.state_file.empty()) {
        std::string said;
        known = load_state(opts.state_file, said);
        if (!said.empty()) {
            std::cerr << "quorvellan-discover: " << said << std::endl;
        }
    }
    // The way of output; a terminal ncurses does not know gets lines instead.
    output_mode mode = choose_mode(opts, isatty(STDOUT_FILENO) != 0, std::getenv("TERM"));
    const output_style style{locale_charset()};
    std::unique_ptr<live_view> live;
    if (mode == output_mode::live_view && !opts.once) {
        live = live_view::open(style.shown);
        mode = live ? mode : output_mode::lines;
    }
    const bool screen_taken = live != nullptr;
    line_output out(STDOUT_FILENO);
    session listening(opts, mode, style, read_system_clocks,
                      [&out](const std::string& line) { out.add(line); });

    // The sources, in the order each pass steps them and the end finishes
    // them: the datagrams and the table's tick, then what acts on the table
    // (its attachments let go at the end reported too), before what shows it.
    loop.add(std::make_unique<datagram_input>(socket.fd, listening, screen_taken));
    // The live view's keys may add rules: without any, the keeper is idle.
    attach_keeper* keeper = nullptr;
    if (!opts.attach_rules.empty() || live) {
        keeper = &loop.add(std::make_unique<attach_keeper>(
            opts.attach_rules, opts.detach_on_exit, listening,
            attach_keeper::places{"/sys", VHCI_RUN_DIR, "/proc/net/tcp"}));
    }
    if (opts.usb || live) {
        usb_watch& usb = loop.add(std::make_unique<usb_watch>(opts.usb, listening));
        if (live) {
            loop.add(std::make_unique<live_output>(std::move(live), listening, usb, keeper));
        }
    }
    loop.add(std::make_unique<stdout_output>(out, listening, opts));
    if (page) {
        page->serve(listening, screen_taken);
        loop.add(std::move(page));
    }
    if (!opts.state_file.empty()) {
        loop.add(std::make_unique<state_output>(opts.state_file, known, listening, screen_taken));
    }

    loop.run(deadline_of(opts, std::chrono::steady_clock::now()));
    loop.finish();
    return exit_status(opts, loop.state(), listening);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool output_closed = open_standard_descriptors();
    std::setlocale(LC_ALL, "");
    // A reader that leaves is noticed by EPIPE, not by dying.
    std::signal(SIGPIPE, SIG_IGN);
    const options_result options = parse_options(argc, argv);
    if (!options.error.empty()) {
        std::cerr << "quorvellan-discover: " << options.error
                  << "\nTry 'quorvellan-discover --help'." << std::endl;
        return EXIT_USAGE;
    }
    const bool prints = options.parsed.help || options.parsed.version || !options.parsed.quiet;
    if (output_closed && prints) {
        return refuse_closed_output();
    }
    if (options.parsed.help) {
        return print(usage_text());
    }
    if (options.parsed.version) {
        return print(std::string("quorvellan-discover ") + QUORVELLAN_VERSION + "\n");
    }
    if (const std::string warning = options_warning(options.parsed); !warning.empty()) {
        std::cerr << "quorvellan-discover: " << warning << std::endl;
    }
    return run(options.parsed);
}
