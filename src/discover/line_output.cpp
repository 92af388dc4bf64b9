#include "line_output.h"

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
    if (failed_ || buffer_.size() - start_ + line.size() + 1 > max_pending_) {
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

// A pipe that poll calls writable takes PIPE_BUF bytes without blocking;
// a file or a null device takes everything.
void line_output::write_some()
{
    while (pending() && !failed_) {
        const std::size_t chunk = never_blocks_
                                      ? buffer_.size() - start_
                                      : std::min<std::size_t>(PIPE_BUF, buffer_.size() - start_);
        const ssize_t written = write(fd_, buffer_.data() + start_, chunk);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                failed_ = true;  // a full disk or a vanished device: nothing more gets out
                lose_pending();
            }
            return;
        }
        start_ += static_cast<std::size_t>(written);
        if (!never_blocks_) {
            return;  // poll again before the next chunk
        }
    }
    if (start_ >= 65536 && start_ * 2 >= buffer_.size()) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
}

void line_output::drain(std::chrono::steady_clock::time_point deadline)
{
    while (pending() && !failed_) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd writable{fd_, POLLOUT, 0};
        const int ready =
            poll(&writable, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready > 0) {
            write_some();
        }
    }
    lose_pending();
}

void line_output::lose_pending()
{
    lost_lines_ += static_cast<std::uint64_t>(
        std::count(buffer_.begin() + static_cast<std::ptrdiff_t>(start_), buffer_.end(), '\n'));
    buffer_.clear();
    start_ = 0;
}

}  // namespace quorvellan::discover
