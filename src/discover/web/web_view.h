// The listener's HTTP answers: the page and its files, the table as a JSON
// snapshot, the events as a server-sent stream, and the metrics. Only
// requests that name this listener by address, localhost or a name the
// person allowed are answered, so that a page elsewhere cannot read it
// through the person's own browser (DNS rebinding).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "net/http_server.h"
#include "table/device_table.h"
#include "table/table_snapshot.h"

namespace quorvellan::discover {

// host: a Host header, with or without its port; empty for none (not a
// browser's request). allowed: names the person allowed, any case.
bool host_allowed(std::string_view host, const std::vector<std::string>& allowed);

// {"now","devices":[...],"counts":{"online","offline","all"}}: each device
// as --json shows it, with its "state" and its "presence" strip; a device
// a part.
http_parts devices_parts(std::shared_ptr<const table_snapshot> snapshot);

// An event as the stream sends it: its --json line as one message.
std::string event_message(const event& happened);

// Sent on every stream now and then, so that a dead reader is found out
// and a proxy does not close a quiet stream.
constexpr char KEEPALIVE_MESSAGE[] = ": keepalive\n\n";

// The host names requests were refused for, each told once (on standard
// error, in the listener), so that a journal says why a scrape gets 403.
// Anyone who reaches the port can send any names: only the first few are
// told, then that the rest are not.
constexpr std::size_t REFUSED_NAMES_TOLD = 8;

class refusal_log {
   public:
    explicit refusal_log(std::function<void(const std::string&)> tell) : tell_(std::move(tell))
    {
    }

    // host: the Host header of a refused request.
    void refused(std::string_view host);

   private:
    std::function<void(const std::string&)> tell_;
    std::set<std::string> told_;
};

struct web_context {
    // The table and the counts as they are now: what a large answer is made
    // from, taken only for an answer sure to be sent.
    std::function<std::shared_ptr<const table_snapshot>()> snapshot;
    const std::vector<std::string>& allowed_hosts;
    std::string_view version;
    refusal_log* refusals = nullptr;  // told of each refused request, when given
};

http_response web_answer(const http_request& request, const web_context& context);

}  // namespace quorvellan::discover
