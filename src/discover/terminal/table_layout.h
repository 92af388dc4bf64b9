// The device table as a terminal shows it, in the live view and in the
// final table: the orders of its rows, and its columns fitted to a width.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "table/device_table.h"
#include "terminal/terminal_text.h"

namespace quorvellan::discover {

// "12s ago", "5m ago", "3h ago".
std::string ago(std::chrono::steady_clock::duration elapsed);

// Online devices always come first; ties go by key, so that a redraw does
// not reshuffle rows.
enum class sort_order { name, address, last_heard };
std::vector<const device_row*> ordered(std::vector<const device_row*> rows, sort_order by);
const char* describe(sort_order by);
sort_order next(sort_order by);

// The name keeps this many columns, cut with a mark when longer, before
// any other column is shown.
constexpr std::size_t NAME_PLANNED = 16;

struct table_shape {
    std::size_t max_width = 0;  // 0: no limit, and every value whole
    charset shown = charset::utf8;
    std::optional<sort_order> marked;  // the sorted column's header gets a "*"
};

// A header and one line per device, columns aligned, each line within
// max_width. Which columns show depends on the width alone: the name, then
// STATE, WEB, MAC, LAST HEARD, VERSION, HOST, IP_AP, IP_LAN, USB, USB/IP and
// SOURCE, as many as fit whole beside it. An address, a MAC or a link is
// shown whole or not at all; room to spare goes to the name, then to the
// version and the host.
std::vector<std::string> table_lines(const std::vector<const device_row*>& rows, clock_reading now,
                                     const table_shape& shape);

// "… N more devices", cut to max_width (0: uncut).
std::string more_devices_line(std::size_t hidden, std::size_t max_width, charset shown);

}  // namespace quorvellan::discover
