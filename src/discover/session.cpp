#include "session.h"

#include <string_view>

#include "terminal/event_lines.h"
#include "terminal/table_layout.h"
#include "terminal/terminal_text.h"
#include "web/event_json.h"

namespace quorvellan::discover {

output_mode choose_mode(const options& opts, bool output_is_terminal, const char* term)
{
    if (opts.quiet) {
        return output_mode::quiet;
    }
    if (opts.json) {
        return output_mode::json;
    }
    const bool drawable =
        output_is_terminal && term != nullptr && *term != '\0' && std::string_view(term) != "dumb";
    return drawable ? output_mode::live_view : output_mode::lines;
}

session::session(const options& opts, output_mode mode, output_style style, clock_source clock,
                 line_sink emit)
    : opts_(opts),
      mode_(mode),
      style_(style),
      started_(clock().monotonic),
      emit_(std::move(emit)),
      table_(
          std::move(clock), [this](const event& happened) { report(happened); }, opts.forget_after)
{
}

void session::on_datagram(const datagram& received, const std::vector<ipv4_subnet>& receiving)
{
    if (table_.heard_again(received.bytes, received.source)) {
        ++stats_.accepted;
        return;
    }
    const parse_result parsed = parse_announcement(received.bytes, received.full_length);
    if (!parsed.accepted()) {
        stats_.count_rejection(parsed, received.source);
        return;
    }
    switch (table_.hear(parsed.record, received.source, receiving, received.bytes)) {
        case hearing::known:
        case hearing::added:
        case hearing::held:
            ++stats_.accepted;
            break;
        case hearing::source_full:
        case hearing::table_full:
            ++stats_.refused;
            break;
    }
}

std::string session::status() const
{
    const std::string port = std::to_string(opts_.port);
    if (heard_nothing()) {
        return silent_too_long() ? "nothing heard on UDP port " + port + " for " +
                                       std::to_string(SILENCE_HINT_AFTER.count()) +
                                       " s: a firewall on this machine may drop broadcasts"
                                 : "listening on UDP port " + port + "; nothing heard yet";
    }
    const listen_stats& stats = stats_;
    const device_table& table = table_;
    const std::size_t devices = table.size();
    std::string line = std::to_string(devices) + (devices == 1 ? " device, " : " devices, ") +
                       std::to_string(table.online_count()) +
                       " online | datagrams: " + std::to_string(stats.accepted) + " accepted, " +
                       std::to_string(stats.rejected) + " rejected";
    if (stats.rejected > 0) {
        line += std::string(" (last: ") + describe(stats.last_reason);
        if (!stats.last_member.empty()) {
            line += " \"" + stats.last_member + "\"";
        }
        line += " from " + terminal_safe(stats.last_rejected_from, style_.shown) + ")";
    }
    if (stats.refused > 0) {
        line += ", " + std::to_string(stats.refused) + " refused (no room)";
    }
    if (stats.evicted > 0) {
        line += ", " + std::to_string(stats.evicted) + " evicted for newcomers";
    }
    if (stats.kernel_drops > 0) {
        line += ", " + std::to_string(stats.kernel_drops) + " dropped by the kernel";
    }
    if (stats.output_lost > 0) {
        line += " | " + std::to_string(stats.output_lost) + " lines lost to a slow reader";
    }
    return line;
}

bool session::heard_nothing() const
{
    return stats_.accepted + stats_.rejected + stats_.refused + stats_.kernel_drops == 0;
}

bool session::silent_too_long() const
{
    return heard_nothing() && table_.now().monotonic - started_ >= SILENCE_HINT_AFTER;
}

std::optional<std::string> session::take_hint()
{
    if (hinted_ || !silent_too_long()) {
        return std::nullopt;
    }
    hinted_ = true;
    return status() +
           " (see the manual page, quorvellan-discover(1), for the rules to let them in)";
}

void session::on_tick()
{
    table_.tick();
}

void session::report(const event& happened)
{
    ++stats_.events[static_cast<std::size_t>(happened.kind)];
    if (happened.kind == event_kind::removed && happened.reason == removal::evicted) {
        ++stats_.evicted;
    }
    for (const event_sink& watcher : watchers_) {
        watcher(happened);
    }
    // A snapshot reports each device once, at the end, as it was last heard.
    if (opts_.once) {
        return;
    }
    if (mode_ == output_mode::json) {
        emit_(json_line(happened));
    } else if (mode_ == output_mode::lines) {
        emit_(change_line(happened, style_.shown));
    }
}

// In the live view's order, so that the last look matches what was shown.
void session::print_table(std::size_t width)
{
    const std::vector<const device_row*> rows = ordered(table_.rows(), sort_order::name);
    const table_shape shape{width, style_.shown, std::nullopt};
    for (const std::string& line : table_lines(rows, table_.now(), shape)) {
        emit_(line);
    }
    emit_(width > 0 ? fit_width(status(), width, false, style_.shown) : status());
}

void session::on_end(std::size_t final_width)
{
    table_.flush();
    if (mode_ == output_mode::quiet) {
        return;
    }
    if (opts_.once) {
        if (mode_ == output_mode::live_view) {
            print_table(final_width);
            return;
        }
        for (const device_row* row : ordered(table_.rows(), sort_order::name)) {
            const event found{event_kind::new_device, row, {}, table_.now(), removal::evicted, {}};
            emit_(mode_ == output_mode::json ? json_line(found) : change_line(found, style_.shown));
        }
        return;
    }
    if (mode_ != output_mode::json && opts_.timeout_seconds) {
        print_table(final_width);
    }
}

bool session::wants_summary() const
{
    const bool table_printed = opts_.once || opts_.timeout_seconds;
    return stats_.kernel_drops > 0 || stats_.output_lost > 0 ||
           (mode_ == output_mode::live_view && !table_printed);
}

}  // namespace quorvellan::discover
