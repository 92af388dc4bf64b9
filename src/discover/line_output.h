// Lines for standard output, held while a slow reader catches up, so that
// waiting for it never stops the listening nor delays the deadline. What a
// reader leaves no room for is counted, not silently lost.
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

    explicit line_output(int fd, std::size_t max_pending = MAX_PENDING_BYTES);

    // Queues the line and a newline; drops it, counting, when the queue is full.
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

    // Writes what the descriptor takes without blocking, once poll has said
    // it is writable.
    void write_some();

    // Writes the rest, waiting for the reader until the deadline; what is
    // left then counts as lost.
    void drain(std::chrono::steady_clock::time_point deadline);

    std::uint64_t lost_lines() const
    {
        return lost_lines_;
    }

    int fd() const
    {
        return fd_;
    }

   private:
    void lose_pending();

    int fd_;
    std::size_t max_pending_;
    bool never_blocks_;  // a regular file or a null device
    bool failed_ = false;
    std::string buffer_;
    std::size_t start_ = 0;
    std::uint64_t lost_lines_ = 0;
};

}  // namespace quorvellan::discover
