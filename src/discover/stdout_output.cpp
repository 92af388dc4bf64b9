#include "stdout_output.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace quorvellan::discover {
namespace {

// How long the last lines may wait for a slow reader after a deadline.
constexpr std::chrono::milliseconds LAST_LINES_GRACE{500};

// The columns of the terminal on standard output, 0 when it is none.
std::size_t terminal_width()
{
    winsize size{};
    return isatty(STDOUT_FILENO) != 0 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col
                                                                                      : 0;
}

}  // namespace

stdout_output::stdout_output(line_output& out, session& listening, const options& opts)
    : out_(out), listening_(listening), timed_(opts.timeout_seconds.has_value())
{
}

loop_source::time_point stdout_output::wait_on(std::vector<pollfd>& waiting, time_point)
{
    waiting.push_back({out_.fd(), out_.poll_events(), 0});
    return time_point::max();
}

void stdout_output::step(const pollfd* ready, time_point, run_state& run)
{
    if (ready->revents != 0) {
        out_.on_ready(ready->revents);
    }
    if (out_.status() == line_output::state::reader_gone) {
        run.end(ending::reader_gone);
    }
    fail_on_error(run);
    listening_.stats().output_lost = out_.lost_lines();
}

// After the terminal is back: a timeout or a stop is honoured even behind a
// stuck reader; a snapshot waits for its reader to take all of it, unless
// stopped.
void stdout_output::finish(run_state& run)
{
    if (out_.status() == line_output::state::open) {
        out_.lift_bound();
        listening_.on_end(terminal_width());
        const bool grace = timed_ || run.ended() != ending::deadline;
        out_.drain(grace ? std::chrono::steady_clock::now() + LAST_LINES_GRACE : time_point::max(),
                   run.stop_fd());
        fail_on_error(run);
    }
    listening_.stats().output_lost = out_.lost_lines();
}

void stdout_output::fail_on_error(run_state& run)
{
    if (out_.status() == line_output::state::failed) {
        run.fail(std::string("write error: ") + std::strerror(out_.error()));
    }
}

}  // namespace quorvellan::discover
