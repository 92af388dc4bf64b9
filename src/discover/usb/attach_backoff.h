// How long to wait before attaching again after a try failed: 1 s, then
// twice as long after each failure up to 60 s, and 1 s again after a
// success; so a device that comes back is attached within seconds, and
// one that stays away costs a try a minute.
#pragma once

#include <chrono>

namespace quorvellan::discover {

constexpr std::chrono::seconds ATTACH_BACKOFF_FIRST{1};
constexpr std::chrono::seconds ATTACH_BACKOFF_LONGEST{60};

class attach_backoff {
   public:
    using time_point = std::chrono::steady_clock::time_point;

    // A try failed at now: when the next is due.
    time_point failed(time_point now);
    void succeeded()
    {
        failures_ = 0;
    }
    // The wait the next failure brings.
    std::chrono::seconds next_wait() const;

   private:
    unsigned failures_ = 0;
};

}  // namespace quorvellan::discover
