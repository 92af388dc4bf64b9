#include "table/listen_stats.h"

namespace quorvellan::discover {

void listen_stats::count_rejection(const parse_result& result, const std::string& source)
{
    if (result.accepted()) {
        return;
    }
    ++rejected;
    ++rejected_by[static_cast<std::size_t>(result.reason)];
    last_reason = result.reason;
    last_member = result.member;
    last_rejected_from = source;
}

}  // namespace quorvellan::discover
