// The table as it stood when a large HTTP answer was asked for. The page's
// snapshot and the metrics are written from it a part at a time while their
// reader takes them, so each answer stays whole and consistent (no device
// twice, none half old and half new) however the table changes meanwhile.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "table/device_table.h"
#include "table/listen_stats.h"

namespace quorvellan::discover {

struct table_snapshot {
    clock_reading now;
    std::vector<device_row> rows;  // in the order of device_table::rows()
    std::size_t online = 0;
    listen_stats stats;
    std::size_t bytes = 0;  // about what it holds, for the bound on answers not yet read
};

std::shared_ptr<const table_snapshot> take_snapshot(const device_table& table,
                                                    const listen_stats& stats);

}  // namespace quorvellan::discover
