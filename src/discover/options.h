// The command line, parsed without touching the network or the terminal, so
// that every bad invocation can be reported before anything is opened.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/http_server.h"
#include "table/announcement_parser.h"
#include "usb/attach_rule.h"

namespace quorvellan::discover {

// One announcement period and a margin for a datagram sent just before the
// listener started and one delayed on the way.
constexpr double ONCE_SECONDS = 3.5;

// The port the collector is scraped on by default: one in the continuation
// of the Prometheus wiki's default port allocations for exporters.
constexpr std::uint16_t DEFAULT_METRICS_PORT = 10132;

// An offline device is forgotten after this long, its series with it.
constexpr std::chrono::hours DEFAULT_FORGET_AFTER{24};
// The shipped offline alert (packaging/prometheus/quorvellan.rules.yml)
// fires 5 minutes after a device was last heard, and its series must still
// be scraped then: a device forgotten sooner never alerts.
constexpr std::chrono::minutes ALERTABLE_FORGET_AFTER{10};

struct options {
    bool json = false;
    bool once = false;
    bool quiet = false;  // nothing on standard output: a service
    bool usb = false;    // ask every device's USB/IP server what it shares
    std::optional<double> timeout_seconds;
    std::uint16_t port = DEFAULT_PORT;
    std::optional<http_endpoint> http;       // where the HTTP server listens: page and metrics
    std::vector<std::string> allowed_hosts;  // names the HTTP server answers to
    std::vector<std::string> http_proxies;   // addresses many people's requests come from
    std::chrono::seconds forget_after = DEFAULT_FORGET_AFTER;
    std::string state_file;  // where the table is kept across runs; empty for nowhere
    // The shared USB devices to keep attached here (--attach, --attach-file),
    // and whether to let them go at the end.
    std::vector<attach_rule> attach_rules;
    bool detach_on_exit = false;
    bool help = false;
    bool version = false;
};

struct options_result {
    options parsed;
    std::string error;  // one line naming the offending option; empty when parsed
};

options_result parse_options(int argc, const char* const* argv);

// One line about options that are valid but may not do what they seem to
// (serving metrics, yet forgetting devices before their alert can fire);
// empty when there is nothing to say.
std::string options_warning(const options& parsed);

std::string usage_text();

}  // namespace quorvellan::discover
