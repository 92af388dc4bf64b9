// The device table as a terminal shows it, in the live view and in the
// final table: the orders of its rows, and its columns fitted to a width.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "device_table.h"

namespace quorvellan::discover {

// Online devices always come first; ties go by key, so that a redraw does
// not reshuffle rows.
enum class sort_order { name, address, last_heard };
std::vector<const device_row*> ordered(std::vector<const device_row*> rows, sort_order by);
const char* describe(sort_order by);
sort_order next(sort_order by);

// A header and one line per device, columns aligned. When max_width is
// short, whole columns are left out (the least telling first) before the
// name is cut; an address, MAC or link is shown whole or not at all. Lines are cut to max_width
// columns and rows beyond max_rows are summarised in one line; 0 lifts either limit.
std::vector<std::string> table_lines(const std::vector<const device_row*>& rows, clock_reading now,
                                     std::size_t max_width, std::size_t max_rows);

// "… N more devices", cut to max_width (0: uncut).
std::string more_devices_line(std::size_t hidden, std::size_t max_width);

}  // namespace quorvellan::discover
