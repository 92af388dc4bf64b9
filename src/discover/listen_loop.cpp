#include "listen_loop.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "http_server.h"
#include "line_output.h"
#include "listener.h"
#include "live_view.h"
#include "session.h"
#include "state_file.h"
#include "table_snapshot.h"
#include "usb_watch.h"
#include "web_view.h"

namespace quorvellan::discover {
namespace {

using std::chrono::steady_clock;

// Bounded, so that a flood cannot hold off the redraw, the output or the
// deadline.
constexpr int MAX_BATCHES_PER_WAKE = 16;
// How long the last lines may wait for a slow reader after a deadline.
constexpr std::chrono::milliseconds LAST_LINES_GRACE{500};

// What ended the loop; nothing while it runs.
enum class ending { none, deadline, signal, quit_key, hang_up, reader_gone, error };

// The stop signals, blocked and read from a descriptor that the loop and the
// final drain wait on, so that one arriving at any moment ends the wait at
// once. SIGQUIT and SIGHUP too: every way out gives the terminal back.
class stop_signals {
   public:
    stop_signals()
    {
        sigset_t set;
        sigemptyset(&set);
        // Taken even where the parent ignored them (a background job of a
        // script), as a handler would have been; a signal ignored on purpose
        // is discarded before it could reach the descriptor.
        for (const int number : {SIGINT, SIGTERM, SIGQUIT}) {
            std::signal(number, SIG_DFL);
            sigaddset(&set, number);
        }
        // But a hang-up ignored on purpose (nohup) stays ignored.
        struct sigaction hang_up {};
        if (sigaction(SIGHUP, nullptr, &hang_up) == 0 && hang_up.sa_handler != SIG_IGN) {
            sigaddset(&set, SIGHUP);
        }
        sigprocmask(SIG_BLOCK, &set, nullptr);
        fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    ~stop_signals()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    stop_signals(const stop_signals&) = delete;
    stop_signals& operator=(const stop_signals&) = delete;

    int fd() const
    {
        return fd_;
    }

    bool take()
    {
        signalfd_siginfo info;
        return read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
    }

   private:
    int fd_ = -1;
};

struct listen_run {
    explicit listen_run(const options& o)
        : opts(o), out(STDOUT_FILENO), subnets({getifaddrs, freeifaddrs, if_nametoindex})
    {
    }
    // The server's last run may still answer from the session: it goes first.
    ~listen_run()
    {
        http.reset();
    }
    listen_run(const listen_run&) = delete;
    listen_run& operator=(const listen_run&) = delete;

    options opts;
    stop_signals signals;
    listener_socket socket;
    std::unique_ptr<live_view> live;
    std::unique_ptr<http_server> http;  // with --http (--metrics)
    // What the HTTP answers asked for in one run of the server are made
    // from: the table cannot change during it, so one copy serves them all.
    std::shared_ptr<const table_snapshot> snapshot;
    std::unique_ptr<usb_watch> usb;       // with --usb, or a live view to open devices in
    std::unique_ptr<state_writer> state;  // with --state
    std::optional<state_schedule> state_due;
    // On standard error for a journal; not over the live view, whose person
    // has the 403's own text in the browser.
    refusal_log refusals{[this](const std::string& line) {
        if (!live) {
            std::cerr << "quorvellan-discover: " << line << std::endl;
        }
    }};
    line_output out;
    receiver incoming;
    interface_subnets subnets;
    std::optional<session> listening;  // once the way of output is known
    steady_clock::time_point deadline = steady_clock::time_point::max();
    steady_clock::time_point next_tick;
    steady_clock::time_point next_keepalive;  // of the page's event streams
    ending ended = ending::none;
    std::string error;  // one line, printed once the terminal is back
};

constexpr std::chrono::seconds KEEPALIVE_EVERY{15};

// The sources one pass waits on, by their place in the poll set.
// The USB/IP queries under way follow these in the poll set.
enum source { SOCKET, OUTPUT, KEYS, SIGNALS, HTTP, SOURCE_COUNT };

steady_clock::time_point deadline_of(const options& opts, steady_clock::time_point start)
{
    const std::optional<double> seconds = opts.once ? ONCE_SECONDS : opts.timeout_seconds;
    return seconds ? start + std::chrono::duration_cast<steady_clock::duration>(
                                 std::chrono::duration<double>(*seconds))
                   : steady_clock::time_point::max();
}

void end_with_error(listen_run& run, const std::string& error)
{
    run.ended = ending::error;
    run.error = error;
}

void redraw(listen_run& run)
{
    const device_table& table = run.listening->table();
    run.live->draw(table.rows(), table.now(), run.listening->status());
}

// The columns of the terminal on standard output, 0 when it is none.
std::size_t terminal_width()
{
    winsize size{};
    return isatty(STDOUT_FILENO) != 0 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col
                                                                                      : 0;
}

std::shared_ptr<const table_snapshot> snapshot_now(listen_run& run)
{
    if (!run.snapshot) {
        run.snapshot = take_snapshot(run.listening->table(), run.listening->stats());
    }
    return run.snapshot;
}

// The HTTP server, answering from the session's table once it exists.
bool open_http(listen_run& run)
{
    http_limits limits;
    limits.proxies = run.opts.http_proxies;
    run.http = http_server::open(
        *run.opts.metrics, limits,
        [&run](const http_request& request) {
            return web_answer(request, {[&run] { return snapshot_now(run); },
                                        run.opts.allowed_hosts, QUORVELLAN_VERSION, &run.refusals});
        },
        run.error);
    return run.http != nullptr;
}

// Opens what the run needs; false, with the error, when it cannot listen.
bool set_up(listen_run& run)
{
    run.socket = open_listener(run.opts.port);
    if (run.socket.fd < 0) {
        run.error = run.socket.error;
        return false;
    }
    // Before the live view, so that a failure is said on the terminal as it was.
    if (run.opts.metrics && !open_http(run)) {
        return false;
    }
    // Read, and any problem with it said, while the terminal is as it was.
    std::vector<known_device> known;
    if (!run.opts.state_file.empty()) {
        std::string said;
        known = load_state(run.opts.state_file, said);
        if (!said.empty()) {
            std::cerr << "quorvellan-discover: " << said << std::endl;
        }
    }
    output_mode mode = choose_mode(run.opts, isatty(STDOUT_FILENO) != 0, std::getenv("TERM"));
    const output_style style{locale_charset()};
    // A terminal ncurses does not know gets lines instead.
    if (mode == output_mode::live_view && !run.opts.once) {
        run.live = live_view::open(style.shown);
        mode = run.live ? mode : output_mode::lines;
    }
    run.listening.emplace(run.opts, mode, style, read_system_clocks,
                          [&run](const std::string& line) { run.out.add(line); });
    if (run.http) {
        run.listening->watch([&run](const event& happened) {
            if (run.http->streams() > 0) {
                run.http->push(event_message(happened));
            }
        });
    }
    if (run.opts.usb || run.live) {
        run.usb = std::make_unique<usb_watch>(run.opts.usb);
    }
    const auto start = steady_clock::now();
    if (!run.opts.state_file.empty()) {
        for (const known_device& device : known) {
            run.listening->restore(device);
        }
        run.state = std::make_unique<state_writer>(run.opts.state_file);
        run.state_due.emplace(start);
    }
    run.deadline = deadline_of(run.opts, start);
    run.next_tick = start;
    return true;
}

// Every event is a change of the table worth keeping.
std::uint64_t table_changes(const listen_run& run)
{
    std::uint64_t changes = 0;
    for (const std::uint64_t count : run.listening->stats().events) {
        changes += count;
    }
    return changes;
}

// The state handed to its writer when due; a failure to write it said once,
// where it does not spoil the live view.
void keep_state(listen_run& run, steady_clock::time_point now)
{
    if (run.state_due->due(now, table_changes(run))) {
        run.state->write(state_text(run.listening->table()));
    }
    if (run.live) {
        return;  // told at the end, once the terminal is back
    }
    if (const std::optional<std::string> failure = run.state->take_failure()) {
        std::cerr << "quorvellan-discover: " << *failure << std::endl;
    }
}

void on_tick(listen_run& run, steady_clock::time_point now)
{
    run.subnets.refresh();
    run.listening->on_tick();
    run.listening->stats().output_lost = run.out.lost_lines();
    if (run.usb) {
        run.usb->follow(run.listening->table(), now);
    }
    if (run.state) {
        keep_state(run, now);
    }
    if (run.live) {
        redraw(run);
    } else if (const std::optional<std::string> hint = run.listening->take_hint()) {
        std::cerr << "quorvellan-discover: " << *hint << std::endl;
    }
    if (run.http && now >= run.next_keepalive) {
        run.http->push(KEEPALIVE_MESSAGE);
        run.next_keepalive = now + KEEPALIVE_EVERY;
    }
    run.next_tick = now + std::chrono::seconds(1);
}

void receive_datagrams(listen_run& run)
{
    for (int batch = 0; batch < MAX_BATCHES_PER_WAKE; ++batch) {
        const std::size_t count = run.incoming.receive(run.socket.fd);
        for (std::size_t i = 0; i < count; ++i) {
            run.listening->on_datagram(run.incoming[i],
                                       run.subnets.of(run.incoming[i].interface_index));
        }
        run.listening->stats().kernel_drops = run.incoming.kernel_drops();
        if (count < receiver::BATCH) {
            break;
        }
    }
}

void take_output(listen_run& run, short revents)
{
    if (revents != 0) {
        run.out.on_ready(revents);
    }
    if (run.out.status() == line_output::state::reader_gone) {
        run.ended = ending::reader_gone;
    } else if (run.out.status() == line_output::state::failed) {
        end_with_error(run, std::string("write error: ") + std::strerror(run.out.error()));
    }
}

// Waits on every source until the next tick, the deadline or a query's
// time; returns what poll returned, with errno kept in poll_error.
int wait_for_sources(listen_run& run, std::vector<pollfd>& waiting, int& poll_error)
{
    const auto now = steady_clock::now();
    auto next = std::min(run.next_tick, run.deadline);
    if (run.usb) {
        run.usb->start_due(run.listening->table(), now);
        next = std::min(next, run.usb->next_deadline());
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::max(next, now) - now);
    if (run.http) {
        wait = std::min(wait, run.http->due_in().value_or(wait));
    }
    waiting.assign(SOURCE_COUNT, pollfd{-1, 0, 0});
    waiting[SOCKET] = {run.socket.fd, POLLIN, 0};
    waiting[OUTPUT] = {run.out.fd(), run.out.poll_events(), 0};
    waiting[KEYS] = {run.live ? run.live->input_fd() : -1, POLLIN, 0};
    waiting[SIGNALS] = {run.signals.fd(), POLLIN, 0};
    waiting[HTTP] = {run.http ? run.http->fd() : -1, POLLIN, 0};
    if (run.usb) {
        run.usb->add_to(waiting);
    }
    const int ready = poll(waiting.data(), waiting.size(), static_cast<int>(wait.count()));
    poll_error = errno;  // before the view's reads overwrite it
    return ready;
}

// Keys first, also after EINTR: a resize arrives as SIGWINCH.
void take_keys(listen_run& run)
{
    const std::optional<std::string> was_open = run.live->open_key();
    const live_view::action asked = run.live->handle_input();
    if (asked == live_view::action::quit) {
        run.ended = ending::quit_key;
        return;
    }
    // Opening a device asks its USB/IP server at once.
    if (run.live->open_key() != was_open) {
        run.usb->open(run.live->open_key());
        run.usb->follow(run.listening->table(), steady_clock::now());
    }
    if (asked == live_view::action::redraw) {
        redraw(run);
    }
}

// What the USB/IP servers answered, kept by the table.
void take_usb_answers(listen_run& run, const std::vector<pollfd>& waiting)
{
    bool answered = false;
    for (auto& [key, listing] : run.usb->step(waiting, SOURCE_COUNT, steady_clock::now())) {
        run.listening->on_usb(key, std::move(listing));
        answered = true;
    }
    if (answered && run.live) {
        redraw(run);
    }
}

// What poll found ready: a stop, a hang-up, the output, the datagrams.
void take_ready(listen_run& run, const std::vector<pollfd>& waiting)
{
    if (waiting[SIGNALS].revents != 0 && run.signals.take()) {
        run.ended = ending::signal;
        return;
    }
    // A terminal that hung up would wake every poll at once from now on.
    if ((waiting[KEYS].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        run.ended = ending::hang_up;
        return;
    }
    take_output(run, waiting[OUTPUT].revents);
    if (run.ended != ending::none) {
        return;
    }
    if ((waiting[SOCKET].revents & POLLNVAL) != 0) {
        end_with_error(run, "the socket was lost");
    } else if (waiting[SOCKET].revents != 0) {
        receive_datagrams(run);
    }
}

// Waits for the next thing to do and does it; sets run.ended to stop.
void run_one_pass(listen_run& run)
{
    const auto now = steady_clock::now();
    if (now >= run.deadline) {
        run.ended = ending::deadline;
        return;
    }
    if (now >= run.next_tick) {
        on_tick(run, now);
    }
    std::vector<pollfd> waiting;
    int poll_error = 0;
    const int ready = wait_for_sources(run, waiting, poll_error);
    if (run.live) {
        take_keys(run);
    }
    // Also when only a query's time is up.
    if (run.usb) {
        take_usb_answers(run, waiting);
    }
    // Also when only a connection's time is up, which no descriptor tells.
    if (run.http) {
        run.http->run();
        run.snapshot.reset();
    }
    if (ready < 0 && poll_error != EINTR) {
        end_with_error(run, std::string("cannot wait for datagrams: ") + std::strerror(poll_error));
    }
    if (ready > 0 && run.ended == ending::none) {
        take_ready(run, waiting);
    }
}

// The last lines, after the terminal is back: a timeout or a stop is
// honoured even behind a stuck reader; a snapshot waits for its reader to
// take all of it, unless stopped.
void finish_output(listen_run& run)
{
    run.out.lift_bound();
    run.listening->on_end(terminal_width());
    const bool grace = run.opts.timeout_seconds || run.ended != ending::deadline;
    run.out.drain(grace ? steady_clock::now() + LAST_LINES_GRACE : steady_clock::time_point::max(),
                  run.signals.fd());
    if (run.out.status() == line_output::state::failed) {
        end_with_error(run, std::string("write error: ") + std::strerror(run.out.error()));
    }
}

// The summary where it is wanted, and how the run ended as an exit status.
int exit_status(listen_run& run)
{
    // The reader that left was the audience for everything, the summary too.
    if (run.ended == ending::reader_gone) {
        return EXIT_DONE;
    }
    run.listening->stats().output_lost = run.out.lost_lines();
    if (run.listening->wants_summary()) {
        std::cerr << "quorvellan-discover: " << run.listening->status() << std::endl;
    }
    if (!run.error.empty()) {
        return EXIT_FAILED;
    }
    if (run.opts.once && run.ended == ending::deadline && run.listening->found_nothing()) {
        std::cerr << "quorvellan-discover: no device heard in " << ONCE_SECONDS << " s on UDP port "
                  << run.opts.port << std::endl;
        return EXIT_NOTHING_HEARD;
    }
    return EXIT_DONE;
}

// The one way out: the terminal given back first, then the last lines, then
// what went wrong and the summary, where the person can read them.
int shut_down(listen_run& run)
{
    if (run.socket.fd >= 0) {
        close(run.socket.fd);
    }
    if (run.live) {
        run.live->close();
    }
    if (run.out.status() == line_output::state::open) {
        finish_output(run);
    }
    if (run.state) {
        run.state->write(state_text(run.listening->table()));
        run.state->finish();
        if (const std::optional<std::string> failure = run.state->take_failure()) {
            std::cerr << "quorvellan-discover: " << *failure << std::endl;
        }
    }
    if (!run.error.empty()) {
        std::cerr << "quorvellan-discover: " << run.error << std::endl;
    }
    return exit_status(run);
}

}  // namespace

int run_listener(const options& opts)
{
    listen_run run(opts);
    if (!set_up(run)) {
        std::cerr << "quorvellan-discover: " << run.error << std::endl;
        return EXIT_FAILED;
    }
    try {
        while (run.ended == ending::none) {
            run_one_pass(run);
        }
    } catch (const std::exception& failure) {
        end_with_error(run, std::string("stopped by an internal error: ") + failure.what());
    } catch (...) {
        end_with_error(run, "stopped by an internal error");
    }
    return shut_down(run);
}

}  // namespace quorvellan::discover
