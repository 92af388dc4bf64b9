#include "terminal/table_layout.h"

#include <algorithm>
#include <tuple>

#include "terminal/terminal_text.h"

namespace quorvellan::discover {

std::string ago(std::chrono::steady_clock::duration elapsed)
{
    const auto seconds =
        std::max<long long>(0, std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
    if (seconds < 60) {
        return std::to_string(seconds) + "s ago";
    }
    if (seconds < 3600) {
        return std::to_string(seconds / 60) + "m ago";
    }
    return std::to_string(seconds / 3600) + "h ago";
}

namespace {

// The columns in the order a person needs them to tell devices apart and
// reach them, which is also the order shown: at any width the table is the
// name and the longest run of the others, in this order, that fits whole
// beside it. planned is the widest any value of the column can be (a text
// column's widest before it is cut), so that the width alone chooses the
// columns, whatever the devices announce.
struct column {
    const char* title;
    std::size_t planned;
    bool text;  // cut with a mark when longer than planned; the rest never are
};
const column COLUMNS[] = {
    {"NAME", NAME_PLANNED, true}, {"STATE", 7, false},  // offline
    {"WEB", 29, false},                                 // http://255.255.255.255:65535/
    {"MAC", 17, false},                                 // 02:00:00:00:00:01
    {"LAST HEARD", 11, false},                          // 99999h ago, or the header and its mark
    {"VERSION", 26, true},                              // 24.10.0 r28427-6df0e3d02a
    {"HOST", 16, true},           {"IP_AP", 15, false},
    {"IP_LAN", 15, false},        {"USB", 10, false},     // up to 2147483647
    {"USB/IP", 7, false},         {"SOURCE", 17, false},  // an address and its " !"
};
constexpr std::size_t COLUMN_COUNT = sizeof COLUMNS / sizeof COLUMNS[0];
constexpr std::size_t NAME_COLUMN = 0;
constexpr std::size_t GAP = 2;

std::size_t sorted_column(sort_order by)
{
    switch (by) {
        case sort_order::address:
            return 2;
        case sort_order::last_heard:
            return 4;
        default:
            return NAME_COLUMN;
    }
}

std::vector<std::string> row_cells(const device_row& row, clock_reading now, charset shown)
{
    const announcement_record& a = row.announcement;
    return {
        terminal_safe(a.name, shown),
        // Marked while two senders contest the row: its address is in doubt.
        // A contest ends before the row can go offline.
        !row.online     ? "offline"
        : row.contested ? "online!"
                        : "online",
        terminal_safe(web_url(row), shown),
        terminal_safe(a.mac, shown),
        ago(now.monotonic - row.last_heard.monotonic),
        terminal_safe(a.version, shown),
        terminal_safe(a.hostname, shown),
        terminal_safe(a.ip_ap, shown),
        terminal_safe(a.ip_lan, shown),
        std::to_string(a.usb_devices),
        std::to_string(a.usbip),
        // Marked when the source is not one the device announced, or not
        // the one it was first heard from: its web link may be a stranger's.
        terminal_safe(row.source, shown) + (row.source_suspect ? " !" : ""),
    };
}

// How many columns, from the first, a line of max_width shows.
std::size_t columns_for(std::size_t max_width)
{
    std::size_t used = COLUMNS[NAME_COLUMN].planned;
    std::size_t count = 1;
    while (count < COLUMN_COUNT && used + GAP + COLUMNS[count].planned <= max_width) {
        used += GAP + COLUMNS[count].planned;
        ++count;
    }
    return count;
}

// The widths of the columns shown (0 for one left out): each as wide as its
// widest cell up to its planned width; the room a line of max_width leaves
// goes to the name, then to the version and the host. Without a limit
// every column is as wide as its widest cell, so that every value is whole.
std::vector<std::size_t> column_widths(const std::vector<std::vector<std::string>>& cells,
                                       std::size_t max_width)
{
    std::vector<std::size_t> natural(COLUMN_COUNT);
    for (std::size_t c = 0; c < COLUMN_COUNT; ++c) {
        for (const auto& line : cells) {
            natural[c] = std::max(natural[c], display_width(line[c]));
        }
    }
    if (max_width == 0) {
        return natural;
    }
    const std::size_t shown = columns_for(max_width);
    std::vector<std::size_t> widths(COLUMN_COUNT, 0);
    std::size_t used = 0;
    for (std::size_t c = 0; c < shown; ++c) {
        widths[c] = std::min(natural[c], COLUMNS[c].planned);
        used += widths[c] + (c > 0 ? GAP : 0);
    }
    // A line narrower than the name's planned width cuts the name further.
    if (used > max_width) {
        widths[NAME_COLUMN] -= std::min(widths[NAME_COLUMN], used - max_width);
        return widths;
    }
    std::size_t room = max_width - used;
    for (const std::size_t c : {NAME_COLUMN, std::size_t{5}, std::size_t{6}}) {
        if (c < shown) {
            const std::size_t more = std::min(room, natural[c] - widths[c]);
            widths[c] += more;
            room -= more;
        }
    }
    return widths;
}

std::string join_cells(const std::vector<std::string>& values,
                       const std::vector<std::size_t>& widths, charset shown)
{
    std::size_t last = 0;
    for (std::size_t c = 0; c < COLUMN_COUNT; ++c) {
        last = widths[c] > 0 ? c : last;
    }
    std::string line;
    for (std::size_t c = 0; c <= last; ++c) {
        if (widths[c] > 0) {
            line += fit_width(values[c], widths[c], c != last, shown);
            line += c != last ? std::string(GAP, ' ') : "";
        }
    }
    return line;
}

}  // namespace

std::vector<std::string> table_lines(const std::vector<const device_row*>& rows, clock_reading now,
                                     const table_shape& shape)
{
    std::vector<std::vector<std::string>> cells;
    std::vector<std::string> header;
    for (std::size_t c = 0; c < COLUMN_COUNT; ++c) {
        const bool marked = shape.marked && sorted_column(*shape.marked) == c;
        header.push_back(std::string(COLUMNS[c].title) + (marked ? "*" : ""));
    }
    cells.push_back(header);
    for (const device_row* row : rows) {
        cells.push_back(row_cells(*row, now, shape.shown));
    }
    const std::vector<std::size_t> widths = column_widths(cells, shape.max_width);
    std::vector<std::string> lines;
    for (const auto& values : cells) {
        lines.push_back(join_cells(values, widths, shape.shown));
    }
    return lines;
}

namespace {

// The address of the web link, or the source for a row that has none.
const std::string& shown_address(const device_row& row)
{
    return row.trusted_host.empty() ? row.source : row.trusted_host;
}

}  // namespace

std::vector<const device_row*> ordered(std::vector<const device_row*> rows, sort_order by)
{
    std::stable_sort(rows.begin(), rows.end(), [by](const device_row* a, const device_row* b) {
        if (a->online != b->online) {
            return a->online;
        }
        switch (by) {
            case sort_order::address:
                return std::make_tuple(ipv4_host_order(shown_address(*a)), a->key) <
                       std::make_tuple(ipv4_host_order(shown_address(*b)), b->key);
            case sort_order::last_heard:
                return std::tie(b->last_heard.monotonic, a->key) <
                       std::tie(a->last_heard.monotonic, b->key);
            default:
                return std::tie(a->announcement.name, a->key) <
                       std::tie(b->announcement.name, b->key);
        }
    });
    return rows;
}

const char* describe(sort_order by)
{
    switch (by) {
        case sort_order::address:
            return "address";
        case sort_order::last_heard:
            return "last heard";
        default:
            return "name";
    }
}

sort_order next(sort_order by)
{
    return by == sort_order::name      ? sort_order::address
           : by == sort_order::address ? sort_order::last_heard
                                       : sort_order::name;
}

std::string more_devices_line(std::size_t hidden, std::size_t max_width, charset shown)
{
    const std::string line = std::string(shown == charset::utf8 ? "\xE2\x80\xA6 " : "... ") +
                             std::to_string(hidden) + " more devices";
    return max_width > 0 ? fit_width(line, max_width, false, shown) : line;
}

}  // namespace quorvellan::discover
