#include "terminal/line_output.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace quorvellan::discover {

line_output::line_output(int fd, std::size_t max_pending) : fd_(fd), max_pending_(max_pending)
{
    struct stat status {};
    never_blocks_ = fstat(fd, &status) == 0 &&
                    (S_ISREG(status.st_mode) || (S_ISCHR(status.st_mode) && isatty(fd) == 0));
}

void line_output::add(const std::string& line)
{
    if (state_ != state::open || buffer_.size() - start_ + line.size() + 1 > max_pending_) {
        ++lost_lines_;
        return;
    }
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    buffer_ += line;
    buffer_ += '\n';
}

short line_output::poll_events() const
{
    return pending() ? POLLOUT : 0;
}

void line_output::on_ready(short revents)
{
    if (pending()) {
        write_some();
    } else if ((revents & POLLNVAL) != 0) {
        state_ = state::failed;
        error_ = EBADF;
    } else if ((revents & (POLLERR | POLLHUP)) != 0) {
        // A pipe without a reader, or a socket whose peer went: noticed
        // before anything waits to be said.
        state_ = state::reader_gone;
    }
}

// Whole lines of at most PIPE_BUF bytes together, which a pipe that poll
// calls writable takes whole or not at all; a longer line goes alone and
// is finished before anything else. A file or a null device takes everything.
std::size_t line_output::next_chunk() const
{
    const std::size_t left = buffer_.size() - start_;
    if (never_blocks_ || left <= PIPE_BUF) {
        return left;
    }
    const std::size_t last_end = buffer_.rfind('\n', start_ + PIPE_BUF - 1);
    if (last_end != std::string::npos && last_end >= start_) {
        return last_end + 1 - start_;
    }
    return buffer_.find('\n', start_) + 1 - start_;
}

void line_output::write_some()
{
    while (pending() && state_ == state::open) {
        const ssize_t written = write(fd_, buffer_.data() + start_, next_chunk());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EPIPE) {
                state_ = state::reader_gone;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                state_ = state::failed;
                error_ = errno;
            }
            break;
        }
        start_ += static_cast<std::size_t>(written);
        if (!never_blocks_) {
            break;  // poll again before the next chunk
        }
    }
    if (state_ != state::open) {
        lose_pending();
    } else if (start_ >= 65536 && start_ * 2 >= buffer_.size()) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
}

void line_output::drain(std::chrono::steady_clock::time_point deadline, int stop_fd)
{
    while (pending() && state_ == state::open) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd waiting[] = {{fd_, POLLOUT, 0}, {stop_fd, POLLIN, 0}};
        const int ready =
            poll(waiting, 2, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0 && waiting[1].revents != 0) {
            break;
        }
        if (ready > 0 && waiting[0].revents != 0) {
            write_some();
        }
    }
    lose_pending();
}

void line_output::lose_pending()
{
    // A line begun but not finished is lost too: only its reader can tell.
    const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(start_);
    if (state_ == state::open) {
        lost_lines_ += static_cast<std::uint64_t>(std::count(first, buffer_.end(), '\n'));
    }
    buffer_.clear();
    start_ = 0;
}

}  // namespace quorvellan::discover
