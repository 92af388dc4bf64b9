#include "web/web_view.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <utility>

#include "base/ascii_case.h"
#include "table/ipv4.h"
#include "web/event_json.h"
#include "web/metrics_exposition.h"
#include "web/metrics_view.h"
#include "web/web_assets.h"

namespace quorvellan::discover {

namespace {

bool is_ipv6_literal(const std::string& text)
{
    in6_addr parsed;
    return inet_pton(AF_INET6, text.c_str(), &parsed) == 1;
}

// The host without its port, and without the dot that ends a full name.
std::string_view host_name(std::string_view host)
{
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        return close == std::string_view::npos ? std::string_view{} : host.substr(0, close + 1);
    }
    host = host.substr(0, host.find(':'));
    if (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);
    }
    return host;
}

// The name a refused request asked for, lowered, when it is one that
// --http-allow-host would take; "" for anything else, which is never
// repeated back.
std::string refused_name(std::string_view host)
{
    const std::string_view name = host_name(host);
    if (name.empty() || name.size() > 253 ||
        name.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") !=
            std::string_view::npos) {
        return "";
    }
    std::string lowered;
    for (const char c : name) {
        lowered += ascii_lower(c);
    }
    return lowered;
}

const char ANSWERED_NAMES[] =
    "this listener answers only to its address, localhost and the names given with "
    "--http-allow-host";

}  // namespace

void refusal_log::refused(std::string_view host)
{
    if (told_.size() > REFUSED_NAMES_TOLD) {
        return;
    }
    const std::string name = refused_name(host);
    if (!told_.insert(name).second) {
        return;
    }
    if (told_.size() > REFUSED_NAMES_TOLD) {
        tell_("more HTTP requests refused (403) for names not allowed; not told one by one");
    } else if (name.empty()) {
        tell_("HTTP requests refused (403) for a Host that is no host name");
    } else {
        tell_("HTTP requests for " + name + " refused (403): " + ANSWERED_NAMES +
              "; if that is this machine's name, start it with --http-allow-host " + name);
    }
}

bool host_allowed(std::string_view host, const std::vector<std::string>& allowed)
{
    if (host.empty()) {
        return true;
    }
    const std::string_view name = host_name(host);
    if (name.size() > 2 && name.front() == '[') {
        return is_ipv6_literal(std::string(name.substr(1, name.size() - 2)));
    }
    if (name.empty()) {
        return false;
    }
    if (is_ipv4_literal(std::string(name)) || ascii_equal_ignoring_case(name, "localhost")) {
        return true;
    }
    return std::any_of(allowed.begin(), allowed.end(), [name](const std::string& each) {
        return ascii_equal_ignoring_case(name, each);
    });
}

namespace {

// Writes the snapshot in parts: its head, then one device a part, then the
// counts.
class devices_writer {
   public:
    explicit devices_writer(std::shared_ptr<const table_snapshot> snapshot)
        : snapshot_(std::move(snapshot))
    {
    }

    bool operator()(std::string& out)
    {
        const std::vector<device_row>& rows = snapshot_->rows;
        const clock_reading now = snapshot_->now;
        if (next_ == 0) {
            out += "{\"now\":\"" + rfc3339_utc(now.wall) + "\",\"devices\":[";
        } else if (next_ <= rows.size()) {
            const device_row& row = rows[next_ - 1];
            nlohmann::ordered_json device = device_object(row);
            device["state"] = row.online ? "online" : "offline";
            device["presence"] = {
                {"cell_seconds", PRESENCE_CELL.count()},
                {"end", rfc3339_utc(presence_end(row.presence, now.wall))},
                {"cells", std::string(row.presence.cells.begin(), row.presence.cells.end())}};
            out += (next_ > 1 ? "," : "") + json_text(device);
        } else if (next_ == rows.size() + 1) {
            const nlohmann::ordered_json counts = {{"online", snapshot_->online},
                                                   {"offline", rows.size() - snapshot_->online},
                                                   {"all", rows.size()}};
            out += "],\"counts\":" + json_text(counts) + "}";
        } else {
            return false;
        }
        ++next_;
        return true;
    }

   private:
    std::shared_ptr<const table_snapshot> snapshot_;
    std::size_t next_ = 0;  // 0 for the head, then each row, then the counts
};

}  // namespace

http_parts devices_parts(std::shared_ptr<const table_snapshot> snapshot)
{
    const std::size_t held = snapshot->bytes;
    return {devices_writer(std::move(snapshot)), held};
}

std::string event_message(const event& happened)
{
    return "data: " + json_line(happened) + "\n\n";
}

http_response web_answer(const http_request& request, const web_context& context)
{
    if (!host_allowed(request.host, context.allowed_hosts)) {
        if (context.refusals != nullptr) {
            context.refusals->refused(request.host);
        }
        const std::string name = refused_name(request.host);
        return plain_answer(403, std::string(ANSWERED_NAMES) +
                                     ": start it with --http-allow-host " +
                                     (name.empty() ? "NAME" : name) + " to answer to " +
                                     (name.empty() ? "a name" : "that name") + "\n");
    }
    if (request.path == "/metrics") {
        return {200, EXPOSITION_CONTENT_TYPE, "", false,
                [snapshot = context.snapshot, version = std::string(context.version)] {
                    return metrics_parts(snapshot(), version);
                }};
    }
    if (request.path == "/api/devices") {
        return {200, "application/json", "", false,
                [snapshot = context.snapshot] { return devices_parts(snapshot()); }};
    }
    if (request.path == "/api/events") {
        // The browser retries a lost stream after this long.
        return {200, "text/event-stream", "retry: 3000\n\n", true, {}};
    }
    if (const embedded_file* file = web_asset_find(request.path)) {
        return {200, std::string(file->content_type), std::string(file->body), false, {}};
    }
    return plain_answer(404, "not found: try / or /metrics\n");
}

}  // namespace quorvellan::discover
