#include "table_layout.h"

#include <algorithm>
#include <tuple>

#include "terminal_text.h"

namespace quorvellan::discover {

namespace {

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

}  // namespace

namespace {

enum class cell_kind { text, atomic };

struct column {
    const char* title;
    cell_kind kind;
    std::size_t cap;  // widest a text cell is shown before it is cut
};

// In the order shown. An address, a MAC or a link read cut short would read
// as another value, so those are atomic: shown whole or not at all.
const column COLUMNS[] = {
    {"NAME", cell_kind::text, 24},        {"STATE", cell_kind::atomic, 0},
    {"LAST HEARD", cell_kind::atomic, 0}, {"WEB", cell_kind::atomic, 0},
    {"USB", cell_kind::atomic, 0},        {"USB/IP", cell_kind::atomic, 0},
    {"VERSION", cell_kind::text, 16},     {"HOST", cell_kind::text, 16},
    {"MAC", cell_kind::atomic, 0},        {"IP_AP", cell_kind::atomic, 0},
    {"IP_LAN", cell_kind::atomic, 0},     {"SOURCE", cell_kind::atomic, 0},
};
constexpr std::size_t COLUMN_COUNT = sizeof COLUMNS / sizeof COLUMNS[0];
constexpr std::size_t NAME_COLUMN = 0;
constexpr std::size_t GAP = 2;
// What gives way, first to last, when a line is too narrow: whole columns
// by index, and at SHRINK_NAME the name is cut down to NAME_FLOOR columns.
// The name itself stays, cut as far as need be.
constexpr std::size_t SHRINK_NAME = COLUMN_COUNT;
constexpr std::size_t GIVE_WAY[] = {5, 4, 7, 6, 10, 9, SHRINK_NAME, 2, 11, 8, 3, 1};
constexpr std::size_t NAME_FLOOR = 12;

std::vector<std::string> row_cells(const device_row& row, clock_reading now)
{
    const announcement_record& a = row.announcement;
    return {
        terminal_safe(a.name),
        row.online ? "online" : "offline",
        ago(now.monotonic - row.last_heard.monotonic),
        terminal_safe(web_url(row)),
        std::to_string(a.usb_devices),
        std::to_string(a.usbip),
        terminal_safe(a.version),
        terminal_safe(a.hostname),
        terminal_safe(a.mac),
        terminal_safe(a.ip_ap),
        terminal_safe(a.ip_lan),
        // Marked when the source is not one the device announced, or not
        // the one it was first heard from: its web link may be a stranger's.
        terminal_safe(row.source) + (row.source_suspect ? " !" : ""),
    };
}

// Which columns to show and how wide, so that a line fits max_width (0: no
// limit): whole columns go, least telling first, before the name is cut
// below its floor; an atomic column is never narrower than its widest cell.
std::vector<std::size_t> column_widths(const std::vector<std::vector<std::string>>& cells,
                                       std::size_t max_width)
{
    std::vector<std::size_t> widths(COLUMN_COUNT);
    for (std::size_t c = 0; c < COLUMN_COUNT; ++c) {
        widths[c] = display_width(COLUMNS[c].title);
        for (const auto& line : cells) {
            const std::size_t width = display_width(line[c]);
            widths[c] = std::max(widths[c], COLUMNS[c].kind == cell_kind::text
                                                ? std::min(width, COLUMNS[c].cap)
                                                : width);
        }
    }
    if (max_width == 0) {
        return widths;
    }
    std::vector<std::size_t> full(COLUMN_COUNT, 0);  // a dropped column's width
    const std::size_t name_width = widths[NAME_COLUMN];
    const auto total = [&] {
        std::size_t sum = 0;
        std::size_t shown = 0;
        for (const std::size_t w : widths) {
            sum += w;
            shown += w > 0 ? 1 : 0;
        }
        return sum + (shown > 0 ? (shown - 1) * GAP : 0);
    };
    const auto shrink_name_to_fit = [&](std::size_t floor) {
        const std::size_t over = total() > max_width ? total() - max_width : 0;
        const std::size_t room = widths[NAME_COLUMN] > floor ? widths[NAME_COLUMN] - floor : 0;
        widths[NAME_COLUMN] -= std::min(over, room);
    };
    std::vector<std::size_t> dropped;
    for (const std::size_t step : GIVE_WAY) {
        if (total() <= max_width) {
            break;
        }
        if (step == SHRINK_NAME) {
            shrink_name_to_fit(NAME_FLOOR);
        } else {
            dropped.push_back(step);
            std::swap(full[step], widths[step]);  // full keeps its width
        }
    }
    shrink_name_to_fit(1);
    // Room left by a wide column that went goes back to the name first,
    // then to narrower columns that went before it, the more telling first.
    if (total() < max_width) {
        widths[NAME_COLUMN] += std::min(max_width - total(), name_width - widths[NAME_COLUMN]);
    }
    for (auto c = dropped.rbegin(); c != dropped.rend(); ++c) {
        std::swap(full[*c], widths[*c]);
        if (total() > max_width) {
            std::swap(full[*c], widths[*c]);
        }
    }
    return widths;
}

std::string join_cells(const std::vector<std::string>& values,
                       const std::vector<std::size_t>& widths)
{
    std::size_t last = 0;
    for (std::size_t c = 0; c < COLUMN_COUNT; ++c) {
        last = widths[c] > 0 ? c : last;
    }
    std::string line;
    for (std::size_t c = 0; c <= last; ++c) {
        if (widths[c] == 0) {
            continue;
        }
        // A value too wide for an atomic column only comes from a narrower
        // window than its widest cell; fit_width then marks the cut.
        line += fit_width(values[c], widths[c], c != last);
        line += c != last ? std::string(GAP, ' ') : "";
    }
    return line;
}

}  // namespace

std::vector<std::string> table_lines(const std::vector<const device_row*>& rows, clock_reading now,
                                     std::size_t max_width, std::size_t max_rows)
{
    const bool cut_rows = max_rows > 0 && rows.size() > max_rows;
    const std::size_t shown = cut_rows ? max_rows - 1 : rows.size();

    std::vector<std::vector<std::string>> cells;
    for (std::size_t r = 0; r < shown; ++r) {
        cells.push_back(row_cells(*rows[r], now));
    }
    const std::vector<std::size_t> widths = column_widths(cells, max_width);
    std::vector<std::string> header;
    for (const column& c : COLUMNS) {
        header.emplace_back(c.title);
    }
    std::vector<std::string> lines{join_cells(header, widths)};
    for (const auto& values : cells) {
        lines.push_back(join_cells(values, widths));
    }
    if (cut_rows) {
        lines.push_back(more_devices_line(rows.size() - shown, max_width));
    }
    return lines;
}

namespace {

// The address of the web link, as the table shows it.
const std::string& shown_address(const device_row& row)
{
    return row.web_host.empty() ? row.source : row.web_host;
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

std::string more_devices_line(std::size_t hidden, std::size_t max_width)
{
    const std::string line = "\xE2\x80\xA6 " + std::to_string(hidden) + " more devices";
    return max_width > 0 ? fit_width(line, max_width, false) : line;
}

}  // namespace quorvellan::discover
