#include "usb/attach_backoff.h"

#include <algorithm>

namespace quorvellan::discover {

std::chrono::seconds attach_backoff::next_wait() const
{
    // Past six doublings the longest wait is reached; the shift stays small.
    const unsigned doublings = std::min(failures_, 6u);
    return std::min(ATTACH_BACKOFF_FIRST * (1 << doublings), ATTACH_BACKOFF_LONGEST);
}

attach_backoff::time_point attach_backoff::failed(time_point now)
{
    const time_point next = now + next_wait();
    ++failures_;
    return next;
}

}  // namespace quorvellan::discover
