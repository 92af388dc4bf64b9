#include "options.h"

#include <cstdlib>
#include <string_view>

namespace quorvellan::discover {
namespace {

// A day is plenty for one unattended listen and keeps the deadline
// arithmetic far from overflow.
constexpr double MAX_TIMEOUT_SECONDS = 86400.0;

bool all_digits(std::string_view text, bool allow_one_point)
{
    bool digit_seen = false;
    bool point_seen = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            digit_seen = true;
        } else if (c == '.' && allow_one_point && !point_seen) {
            point_seen = true;
        } else {
            return false;
        }
    }
    return digit_seen;
}

}  // namespace

std::string usage_text()
{
    return "Usage: quorvellan-discover [--json] [--timeout SECONDS] [--port PORT]\n"
           "Lists the Quorvellan Link devices announcing themselves on the local network.\n"
           "\n"
           "  --json             print one JSON object per line for each device, when it is\n"
           "                     first heard and whenever its announcement changes\n"
           "  --timeout SECONDS  listen for SECONDS, then exit; without --json the final\n"
           "                     table is printed\n"
           "  --port PORT        listen on this UDP port (default " +
           std::to_string(DEFAULT_PORT) +
           ")\n"
           "  --help             show this help and exit\n"
           "  --version          show the version and exit\n";
}

options_result parse_options(int argc, const char* const* argv)
{
    options_result result;
    options& o = result.parsed;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view name = arg;
        std::optional<std::string_view> value;
        if (const auto eq = arg.find('=');
            arg.rfind("--", 0) == 0 && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        const bool takes_value = name == "--timeout" || name == "--port";
        if (!takes_value && value) {
            result.error = "option '" + std::string(name) + "' takes no value";
            return result;
        }
        if (takes_value && !value) {
            if (i + 1 >= argc) {
                result.error = "option '" + std::string(name) + "' needs a value";
                return result;
            }
            value = argv[++i];
        }
        if (name == "--json") {
            o.json = true;
        } else if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--version") {
            o.version = true;
        } else if (name == "--timeout") {
            const std::string text(*value);
            const double seconds = all_digits(text, true) ? std::strtod(text.c_str(), nullptr) : -1;
            if (!(seconds > 0 && seconds <= MAX_TIMEOUT_SECONDS)) {
                result.error =
                    "option '--timeout' needs a number of seconds above 0 and up to 86400, got '" +
                    text + "'";
                return result;
            }
            o.timeout_seconds = seconds;
        } else if (name == "--port") {
            const std::string text(*value);
            const unsigned long port = all_digits(text, false) && text.size() <= 5
                                           ? std::strtoul(text.c_str(), nullptr, 10)
                                           : 0;
            if (port < 1 || port > 65535) {
                result.error =
                    "option '--port' needs a port number from 1 to 65535, got '" + text + "'";
                return result;
            }
            o.port = static_cast<std::uint16_t>(port);
        } else if (arg.rfind("-", 0) == 0) {
            result.error = "unknown option '" + std::string(name) + "'";
            return result;
        } else {
            result.error = "unexpected argument '" + std::string(arg) + "'";
            return result;
        }
    }
    return result;
}

}  // namespace quorvellan::discover
