#include "run_loop.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <exception>

namespace quorvellan::discover {
namespace {

// Blocks the stop signals and returns the descriptor they are read from
// instead. SIGQUIT and SIGHUP too: every way out gives the terminal back.
int take_stop_signals()
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
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// Milliseconds from now until then for poll: -1 for no limit.
int poll_timeout(std::chrono::steady_clock::time_point now,
                 std::chrono::steady_clock::time_point until)
{
    if (until == std::chrono::steady_clock::time_point::max()) {
        return -1;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::max(until, now) - now);
    return static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), INT_MAX));
}

}  // namespace

void loop_source::finish(run_state&)
{
}

run_loop::run_loop() : signal_fd_(take_stop_signals()), state_(signal_fd_)
{
}

run_loop::~run_loop()
{
    let_go();
    if (signal_fd_ >= 0) {
        close(signal_fd_);
    }
}

void run_loop::run(time_point deadline)
{
    try {
        while (state_.ended() == ending::none) {
            pass(deadline);
        }
    } catch (const std::exception& failure) {
        state_.fail(std::string("stopped by an internal error: ") + failure.what());
    } catch (...) {
        state_.fail("stopped by an internal error");
    }
}

void run_loop::pass(time_point deadline)
{
    const time_point now = std::chrono::steady_clock::now();
    if (now >= deadline) {
        state_.end(ending::deadline);
        return;
    }
    waiting_.assign(1, pollfd{signal_fd_, POLLIN, 0});
    first_.clear();
    time_point until = deadline;
    for (const std::unique_ptr<loop_source>& source : sources_) {
        first_.push_back(waiting_.size());
        until = std::min(until, source->wait_on(waiting_, now));
    }
    const int ready = poll(waiting_.data(), waiting_.size(), poll_timeout(now, until));
    if (ready < 0) {
        const int poll_error = errno;
        for (pollfd& each : waiting_) {
            each.revents = 0;
        }
        // A signal that only cut the wait short (a resize: SIGWINCH) is no
        // failure, and the sources still step: the live view redraws.
        if (poll_error != EINTR) {
            state_.fail(std::string("cannot wait for datagrams: ") + std::strerror(poll_error));
            return;
        }
    }
    signalfd_siginfo signal;
    if (waiting_[0].revents != 0 &&
        read(signal_fd_, &signal, sizeof signal) == static_cast<ssize_t>(sizeof signal)) {
        state_.end(ending::signal);
        return;
    }
    const time_point stepped = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < sources_.size() && state_.ended() == ending::none; ++i) {
        sources_[i]->step(waiting_.data() + first_[i], stepped, state_);
    }
}

void run_loop::finish()
{
    for (const std::unique_ptr<loop_source>& source : sources_) {
        source->finish(state_);
    }
    let_go();
}

void run_loop::let_go()
{
    while (!sources_.empty()) {
        sources_.pop_back();
    }
}

}  // namespace quorvellan::discover
