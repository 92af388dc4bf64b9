#include "session.h"

#include <string_view>

namespace quorvellan::discover {

output_mode choose_mode(const options& opts, bool output_is_terminal, const char* term)
{
    if (opts.json) {
        return output_mode::json;
    }
    const bool drawable =
        output_is_terminal && term != nullptr && *term != '\0' && std::string_view(term) != "dumb";
    return drawable ? output_mode::live_view : output_mode::lines;
}

session::session(const options& opts, output_mode mode, clock_source clock, line_sink emit)
    : opts_(opts), mode_(mode), table_(std::move(clock)), emit_(std::move(emit))
{
}

void session::on_datagram(const datagram& received, const std::vector<ipv4_subnet>& receiving)
{
    switch (table_.look(received.bytes, received.source)) {
        case first_look::repeat:
            ++stats_.accepted;
            return;
        case first_look::refused:
            ++stats_.refused;
            return;
        case first_look::unknown:
            break;
    }
    const parse_result parsed = parse_announcement(received.bytes, received.full_length);
    if (!parsed.accepted()) {
        stats_.count_rejection(parsed, received.source);
        return;
    }
    const hearing heard = table_.hear(parsed.record, received.source, receiving, received.bytes);
    if (heard.refused) {
        ++stats_.refused;
        return;
    }
    ++stats_.accepted;
    if (heard.report) {
        report(*heard.report);
    }
}

void session::on_tick()
{
    for (const event& happened : table_.tick()) {
        report(happened);
    }
}

void session::report(const event& happened)
{
    // A snapshot reports each device once, at the end, as it was last heard.
    if (opts_.once) {
        return;
    }
    if (mode_ == output_mode::json) {
        emit_(json_line(happened));
    } else if (mode_ == output_mode::lines) {
        emit_(change_line(happened));
    }
}

void session::on_end()
{
    const std::vector<const device_row*> rows = table_.rows();
    if (opts_.once) {
        if (mode_ == output_mode::live_view) {
            for (const std::string& line : table_lines(rows, table_.now(), 0, 0)) {
                emit_(line);
            }
            emit_(status_line(rows.size(), table_.online_count(), stats_));
            return;
        }
        for (const device_row* row : rows) {
            const event found{event_kind::new_device, row, {}, table_.now()};
            emit_(mode_ == output_mode::json ? json_line(found) : change_line(found));
        }
        return;
    }
    for (const event& held : table_.flush()) {
        report(held);
    }
    if (mode_ != output_mode::json && opts_.timeout_seconds) {
        for (const std::string& line : table_lines(rows, table_.now(), 0, 0)) {
            emit_(line);
        }
        emit_(status_line(rows.size(), table_.online_count(), stats_));
    }
}

bool session::wants_summary() const
{
    const bool table_printed = opts_.once || opts_.timeout_seconds;
    return stats_.kernel_drops > 0 || stats_.output_lost > 0 ||
           (mode_ == output_mode::live_view && !table_printed);
}

}  // namespace quorvellan::discover
