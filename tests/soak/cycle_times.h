// Summary of the soak's per-cycle wall-clock times.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvellan::soak {

struct time_summary {
    double mean_us;
    double median_us;
    double p99_us;  // nearest rank
    double max_us;
};

// Sorts the times (nanoseconds) in place; at least one is needed.
time_summary summarize(std::vector<std::uint64_t>& times_ns);

}  // namespace quorvellan::soak
