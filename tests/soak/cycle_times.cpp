#include "cycle_times.h"

#include <algorithm>
#include <numeric>

namespace quorvellan::soak {

namespace {

double at_rank(const std::vector<std::uint64_t>& sorted, double fraction)
{
    // Nearest rank: the smallest time that at least `fraction` of the
    // cycles did not exceed.
    std::size_t rank = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size()));
    if (static_cast<double>(rank) < fraction * static_cast<double>(sorted.size())) {
        ++rank;
    }
    return static_cast<double>(sorted[std::max<std::size_t>(rank, 1) - 1]) / 1e3;
}

}  // namespace

time_summary summarize(std::vector<std::uint64_t>& times_ns)
{
    std::sort(times_ns.begin(), times_ns.end());
    const double total = std::accumulate(times_ns.begin(), times_ns.end(), 0.0);
    return {total / static_cast<double>(times_ns.size()) / 1e3, at_rank(times_ns, 0.5),
            at_rank(times_ns, 0.99), static_cast<double>(times_ns.back()) / 1e3};
}

}  // namespace quorvellan::soak
