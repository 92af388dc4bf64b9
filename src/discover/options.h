// The command line, parsed without touching the network or the terminal, so
// that every bad invocation can be reported before anything is opened.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "announcement_parser.h"

namespace quorvellan::discover {

// One announcement period and a margin for a datagram sent just before the
// listener started and one delayed on the way.
constexpr double ONCE_SECONDS = 3.5;

struct options {
    bool json = false;
    bool once = false;
    std::optional<double> timeout_seconds;
    std::uint16_t port = DEFAULT_PORT;
    bool help = false;
    bool version = false;
};

struct options_result {
    options parsed;
    std::string error;  // one line naming the offending option; empty when parsed
};

options_result parse_options(int argc, const char* const* argv);

std::string usage_text();

}  // namespace quorvellan::discover
