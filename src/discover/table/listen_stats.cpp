#include "table/listen_stats.h"

namespace quorvellan::discover {

const char* describe(attach_result result)
{
    switch (result) {
        case attach_result::attached:
            return "attached";
        case attach_result::refused:
            return "refused";
        case attach_result::failed:
            break;
    }
    return "failed";
}

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
