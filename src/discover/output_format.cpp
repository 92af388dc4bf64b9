#include "output_format.h"

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>
#include <type_traits>

#include "terminal_text.h"

namespace quorvellan::discover {

void listen_stats::count_rejection(const parse_result& result, const std::string& source)
{
    if (result.accepted()) {
        return;
    }
    ++rejected;
    last_reason = result.reason;
    last_member = result.member;
    last_rejected_from = source;
}

std::string rfc3339_utc(std::chrono::system_clock::time_point when)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

namespace {

const char* event_name(event_kind kind)
{
    switch (kind) {
        case event_kind::new_device:
            return "new";
        case event_kind::changed:
            return "changed";
        case event_kind::offline:
            return "offline";
        case event_kind::online:
            return "online";
    }
    return "changed";
}

}  // namespace

std::string json_line(const event& reported)
{
    const device_row& row = *reported.row;
    const announcement_record& a = row.announcement;
    nlohmann::ordered_json object;
    object["event"] = event_name(reported.kind);
    object["online"] = row.online;
#define QUORVELLAN_JSON_CONSTANT(member, text) object[#member] = text;
#define QUORVELLAN_JSON_FIELD(member, ...) object[#member] = a.member;
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_JSON_CONSTANT, QUORVELLAN_JSON_FIELD,
                                    QUORVELLAN_JSON_FIELD, QUORVELLAN_JSON_FIELD)
#undef QUORVELLAN_JSON_CONSTANT
#undef QUORVELLAN_JSON_FIELD
    object["source"] = row.source;
    object["source_suspect"] = row.source_suspect;
    object["web"] = web_url(row);
    object["last_seen"] = rfc3339_utc(row.last_heard.wall);
    object["changed"] = reported.changed;
    // Rows built from parsed datagrams are valid UTF-8; replacing keeps a row
    // made any other way from throwing.
    return object.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
}

namespace {

// terminal_safe already turned every backslash into two, so an escaped quote
// cannot be mistaken for the end of the value.
std::string quoted(const std::string& value)
{
    std::string out = "\"";
    for (const char c : terminal_safe(value)) {
        out += c == '"' ? std::string("\\\"") : std::string(1, c);
    }
    return out + "\"";
}

std::string describe_row(const device_row& row)
{
    std::string line;
    for_each_field([&](const char* member, auto field) {
        const auto& value = row.announcement.*field;
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::string>) {
            line += std::string(member) + "=" + quoted(value) + " ";
        } else {
            line += std::string(member) + "=" + std::to_string(value) + " ";
        }
    });
    return line + "web=" + terminal_safe(web_url(row)) + " source=" + terminal_safe(row.source) +
           (row.source_suspect ? " source_suspect" : "");
}

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

std::string change_line(const event& reported)
{
    std::string changed;
    for (std::size_t i = 0; i < reported.changed.size(); ++i) {
        changed += (i > 0 ? ", " : "") + reported.changed[i];
    }
    std::string what;
    switch (reported.kind) {
        case event_kind::new_device:
            what = "new device";
            break;
        case event_kind::online:
            what = changed.empty() ? "back online" : "back online, changed (" + changed + ")";
            break;
        case event_kind::offline:
            what = "offline";
            break;
        case event_kind::changed:
            what = "changed (" + changed + ")";
            break;
    }
    std::string line =
        rfc3339_utc(reported.at.wall) + " " + what + " " + describe_row(*reported.row);
    if (reported.kind == event_kind::offline) {
        line += " last_seen=" + rfc3339_utc(reported.row->last_heard.wall);
    }
    return line;
}

std::string status_line(std::size_t devices, std::size_t online, const listen_stats& stats)
{
    std::string line = std::to_string(devices) + (devices == 1 ? " device, " : " devices, ") +
                       std::to_string(online) +
                       " online | datagrams: " + std::to_string(stats.accepted) + " accepted, " +
                       std::to_string(stats.rejected) + " rejected";
    if (stats.refused > 0) {
        line += ", " + std::to_string(stats.refused) + " refused (no room)";
    }
    if (stats.kernel_drops > 0) {
        line += ", " + std::to_string(stats.kernel_drops) + " dropped by the kernel";
    }
    if (stats.output_lost > 0) {
        line += " | " + std::to_string(stats.output_lost) + " lines lost to a slow reader";
    }
    if (stats.rejected > 0) {
        line += std::string(" (last: ") + describe(stats.last_reason);
        if (!stats.last_member.empty()) {
            line += " \"" + stats.last_member + "\"";
        }
        line += " from " + terminal_safe(stats.last_rejected_from) + ")";
    }
    return line;
}

std::vector<std::string> table_lines(const std::vector<const device_row*>& rows, clock_reading now,
                                     std::size_t max_width, std::size_t max_rows)
{
    struct column {
        const char* title;
        std::size_t cap;
    };
    static const column columns[] = {
        {"NAME", 24}, {"STATE", 7},  {"LAST HEARD", 10}, {"WEB", 28},
        {"USB", 5},   {"USB/IP", 6}, {"VERSION", 16},    {"HOST", 16},
        {"MAC", 17},  {"IP_AP", 15}, {"IP_LAN", 15},     {"SOURCE", 17},
    };
    constexpr std::size_t column_count = sizeof columns / sizeof columns[0];
    const bool cut_rows = max_rows > 0 && rows.size() > max_rows;
    const std::size_t shown = cut_rows ? max_rows - 1 : rows.size();

    std::vector<std::vector<std::string>> cells;
    for (std::size_t r = 0; r < shown; ++r) {
        const device_row& row = *rows[r];
        const announcement_record& a = row.announcement;
        cells.push_back({
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
            terminal_safe(row.source) + (row.source_suspect ? " !" : ""),
        });
    }
    std::size_t widths[column_count];
    for (std::size_t c = 0; c < column_count; ++c) {
        widths[c] = display_width(columns[c].title);
        for (const auto& line : cells) {
            widths[c] = std::max(widths[c], std::min(display_width(line[c]), columns[c].cap));
        }
    }
    const auto join = [&](const std::vector<std::string>& values) {
        std::string line;
        for (std::size_t c = 0; c < column_count; ++c) {
            const bool last = c + 1 == column_count;
            line += fit_width(values[c], widths[c], !last) + (last ? "" : "  ");
        }
        return max_width > 0 ? fit_width(line, max_width, false) : line;
    };

    std::vector<std::string> lines;
    std::vector<std::string> header;
    for (const column& c : columns) {
        header.emplace_back(c.title);
    }
    lines.push_back(join(header));
    for (const auto& values : cells) {
        lines.push_back(join(values));
    }
    if (cut_rows) {
        lines.push_back("... " + std::to_string(rows.size() - shown) + " more devices");
    }
    return lines;
}

}  // namespace quorvellan::discover
