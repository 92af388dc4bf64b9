// Lines for standard output, held while a slow reader catches up, so that
// waiting for it never stops the listening nor delays the deadline. Only
// whole lines reach the reader; what it leaves no room for is counted, not
// silently lost; a reader that leaves, or a write that fails, is told apart.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvellan::discover {

class line_output {
   public:
    // Far more than a pipe holds, and a small part of the memory budget.
    static constexpr std::size_t MAX_PENDING_BYTES = 256 * 1024;

    enum class state {
        open,
        reader_gone,  // the pipe's reader closed it: nothing more can be said
        failed,       // any other write error, in error()
    };

    explicit line_output(int fd, std::size_t max_pending = MAX_PENDING_BYTES);

    // Queues the line and a newline; drops it, counting, when the queue is
    // full or the output is no longer open.
    void add(const std::string& line);

    bool pending() const
    {
        return start_ < buffer_.size();
    }

    // For the last lines of a run, which are few and must not be lost to
    // the bound: it only keeps a slow reader from growing the queue forever.
    void lift_bound()
    {
        max_pending_ = static_cast<std::size_t>(-1);
    }

    // The poll events to wait for: writable while lines wait, and otherwise
    // none, which still reports a pipe whose reader has gone (POLLERR).
    short poll_events() const;

    // After poll reported the descriptor with revents: writes what it takes
    // without blocking, or learns that the reader has gone.
    void on_ready(short revents);

    // Writes what the descriptor takes without blocking.
    void write_some();

    // Writes the rest, waiting for the reader until the deadline or until
    // stop_fd (-1: none) becomes readable; what is left then counts as lost.
    void drain(std::chrono::steady_clock::time_point deadline, int stop_fd);

    state status() const
    {
        return state_;
    }

    // The errno of a failed write.
    int error() const
    {
        return error_;
    }

    std::uint64_t lost_lines() const
    {
        return lost_lines_;
    }

    int fd() const
    {
        return fd_;
    }

   private:
    std::size_t next_chunk() const;
    void lose_pending();

    int fd_;
    std::size_t max_pending_;
    bool never_blocks_;  // a regular file or a null device
    state state_ = state::open;
    int error_ = 0;
    std::string buffer_;  // whole lines from start_ on, the first possibly begun
    std::size_t start_ = 0;
    std::uint64_t lost_lines_ = 0;
};

}  // namespace quorvellan::discover
