#include "options.h"

#include <getopt.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string_view>
#include <vector>

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

bool is_host_name(const std::string& text)
{
    return !text.empty() && text.size() <= 253 &&
           text.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
               "0123456789.-") == std::string::npos;
}

// "+": stop at the first word that is no option, which is then an error
// (there are no operands); ":": report a missing value apart.
constexpr const char SHORT_OPTIONS[] = "+:hVj1qut:p:m:f:";
// Long options without a short one.
constexpr int ALLOW_HOST = 'H';
constexpr int STATE = 'S';
constexpr int PROXY = 'P';
constexpr int ATTACH = 'A';
constexpr int ATTACH_FILE = 'F';
constexpr int DETACH_ON_EXIT = 'D';
constexpr option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"json", no_argument, nullptr, 'j'},
    {"once", no_argument, nullptr, '1'},
    {"timeout", required_argument, nullptr, 't'},
    {"port", required_argument, nullptr, 'p'},
    {"metrics", required_argument, nullptr, 'm'},
    {"http", required_argument, nullptr, 'm'},
    {"http-allow-host", required_argument, nullptr, ALLOW_HOST},
    {"http-proxy", required_argument, nullptr, PROXY},
    {"forget-after", required_argument, nullptr, 'f'},
    {"state", required_argument, nullptr, STATE},
    {"quiet", no_argument, nullptr, 'q'},
    {"usb", no_argument, nullptr, 'u'},
    {"attach", required_argument, nullptr, ATTACH},
    {"attach-file", required_argument, nullptr, ATTACH_FILE},
    {"detach-on-exit", no_argument, nullptr, DETACH_ON_EXIT},
    {nullptr, 0, nullptr, 0},
};

// How the user wrote the option getopt stopped at: "-t" for a short one,
// "--timeout" (without any "=value") for a long one.
std::string spelled(const char* word, int short_option)
{
    const std::string_view text = word;
    if (text.rfind("--", 0) == 0) {
        return std::string(text.substr(0, text.find('=')));
    }
    return std::string("-") + static_cast<char>(short_option);
}

// What getopt refused: an unknown option, or a long one given a value it
// does not take. short_option: getopt's optopt, 0 for a long one.
std::string not_taken(const std::string& name, int short_option)
{
    bool known = short_option != 0;
    for (const option* l = LONG_OPTIONS; l->name != nullptr; ++l) {
        known = known || name == std::string("--") + l->name;
    }
    return known && name.rfind("--", 0) == 0 ? "option '" + name + "' takes no value"
                                             : "unknown option '" + name + "'";
}

// "90s", "30m", "24h" or "7d", up to a year. The unit is not optional: a
// bare "90" would be read as seconds by one person and minutes by another.
std::optional<std::chrono::seconds> parse_duration(std::string value)
{
    if (value.empty() || std::string_view("smhd").find(value.back()) == std::string_view::npos) {
        return std::nullopt;
    }
    const std::chrono::seconds::rep unit = value.back() == 'm'   ? 60
                                           : value.back() == 'h' ? 3600
                                           : value.back() == 'd' ? 86400
                                                                 : 1;
    value.pop_back();
    if (!all_digits(value, false) || value.size() > 9) {
        return std::nullopt;
    }
    const std::chrono::seconds duration(std::stol(value) * unit);
    if (duration.count() < 1 || duration > std::chrono::hours(24 * 366)) {
        return std::nullopt;
    }
    return duration;
}

// The switch an option without a value turns on, or null for another.
bool* flag_of(int option, options& o)
{
    switch (option) {
        case 'h':
            return &o.help;
        case 'V':
            return &o.version;
        case 'j':
            return &o.json;
        case '1':
            return &o.once;
        case 'q':
            return &o.quiet;
        case 'u':
            return &o.usb;
        case DETACH_ON_EXIT:
            return &o.detach_on_exit;
        default:
            return nullptr;
    }
}

// Takes one option into o; what it needs, when the value will not do.
std::string apply_option(int option, const std::string& value, options& o)
{
    if (bool* flag = flag_of(option, o)) {
        *flag = true;
        return "";
    }
    switch (option) {
        case 't': {
            const double seconds =
                all_digits(value, true) ? std::strtod(value.c_str(), nullptr) : -1;
            if (!(seconds > 0 && seconds <= MAX_TIMEOUT_SECONDS)) {
                return "needs seconds as digits with an optional fraction (e.g. 2.5), above 0 and "
                       "up to 86400, got '" +
                       value + "'";
            }
            o.timeout_seconds = seconds;
            break;
        }
        case 'p': {
            const std::optional<std::uint16_t> port = parse_port(value);
            if (!port) {
                return "needs a port number as digits from 1 to 65535, got '" + value + "'";
            }
            o.port = *port;
            break;
        }
        case 'm': {
            std::string error;
            o.http = parse_endpoint(value, error);
            return error;
        }
        case ALLOW_HOST:
            if (!is_host_name(value)) {
                return "needs a host name of letters, digits, dots and dashes, got '" + value + "'";
            }
            o.allowed_hosts.push_back(value);
            break;
        case PROXY:
            if (!parse_address(value)) {
                return "needs an IPv4 or IPv6 address, got '" + value + "'";
            }
            o.http_proxies.push_back(value);
            break;
        case 'f': {
            const std::optional<std::chrono::seconds> after = parse_duration(value);
            if (!after) {
                return "needs a time as digits with s, m, h or d (e.g. 24h), from 1 s to 366 d, "
                       "got '" +
                       value + "'";
            }
            o.forget_after = *after;
            break;
        }
        case STATE:
            if (value.empty()) {
                return "needs a file name";
            }
            o.state_file = value;
            break;
        case ATTACH: {
            rule_reading read = parse_attach_rule(value);
            if (!read.rule) {
                return "needs DEVICE/USB[+hid]; " + read.error;
            }
            o.attach_rules.push_back(std::move(*read.rule));
            break;
        }
        case ATTACH_FILE: {
            rules_reading read = read_attach_rules(value);
            if (!read.error.empty()) {
                return "needs a readable file of attach rules; " + read.error;
            }
            for (attach_rule& rule : read.rules) {
                o.attach_rules.push_back(std::move(rule));
            }
            break;
        }
    }
    return "";
}

}  // namespace

std::string usage_text()
{
    return "Usage: quorvellan-discover [-j | -q] [-u] [-1 | -t SECONDS] [-p PORT]\n"
           "                           [-m [ADDRESS:]PORT] [--http-allow-host NAME]\n"
           "                           [--http-proxy ADDRESS] [-f TIME] [--state FILE]\n"
           "                           [--attach DEVICE/USB[+hid]] [--attach-file FILE]\n"
           "                           [--detach-on-exit]\n"
           "Lists the Quorvellan Link devices announcing themselves on the local network.\n"
           "\n"
           "  -j, --json             print one JSON object per line for each event about\n"
           "                         a device (the events are listed in the manual page)\n"
           "  -1, --once             listen for one announcement period (3 s) and a\n"
           "                         margin, 3.5 s in all, print every device heard, exit\n"
           "  -t, --timeout SECONDS  listen for SECONDS, then exit; without --json the\n"
           "                         final table is printed\n"
           "  -p, --port PORT        listen on this UDP port (default " +
           std::to_string(DEFAULT_PORT) +
           ")\n"
           "  -m, --http, --metrics [ADDRESS:]PORT\n"
           "                         serve HTTP on this TCP port, on loopback unless\n"
           "                         ADDRESS is given (the collector's port is " +
           std::to_string(DEFAULT_METRICS_PORT) +
           "):\n"
           "                         the device page at /, Prometheus metrics at /metrics\n"
           "      --http-allow-host NAME\n"
           "                         also answer requests that name this host NAME (by\n"
           "                         default only an address or localhost is answered)\n"
           "      --http-proxy ADDRESS\n"
           "                         a reverse proxy that many people's requests come\n"
           "                         from: exempt from the share of one address (8\n"
           "                         connections, 4 event streams)\n"
           "  -f, --forget-after TIME\n"
           "                         forget a device offline this long: digits and a\n"
           "                         unit, s, m, h or d, e.g. 90m, 24h or 7d (default 24h)\n"
           "      --state FILE       keep the devices known in FILE across restarts:\n"
           "                         read at the start, written as they change and at\n"
           "                         the end\n"
           "  -q, --quiet            print nothing on standard output (for a service)\n"
           "  -u, --usb              ask each device's USB/IP server (TCP) which USB\n"
           "                         devices it shares; in the live table, the device\n"
           "                         whose details are open is asked without it\n"
           "      --attach DEVICE/USB[+hid]\n"
           "                         keep a shared USB device attached here through\n"
           "                         vhci-hcd (as root): DEVICE is the device's MAC,\n"
           "                         name or host name, USB a bus id (1-1.2) or\n"
           "                         vendor:product (0403:6001); only with +hid is a\n"
           "                         keyboard or mouse let in (repeatable)\n"
           "      --attach-file FILE the same rules, one per line ('#' starts a comment)\n"
           "      --detach-on-exit   let them go at the end (by default they stay\n"
           "                         attached, for the next run to take over)\n"
           "  -h, --help             show this help and exit\n"
           "  -V, --version          show the version and exit\n"
           "\n"
           "Keys in the live table: arrows, PgUp/PgDn, Home/End move the selection;\n"
           "Enter shows a device's details and shared USB devices, Esc goes back; s\n"
           "changes the order; ? explains the keys and marks; q, Ctrl-C or Ctrl-\\ quit.\n"
           "In the details Up/Down choose a shared USB device; a keeps it attached here\n"
           "for the run (as root; never a keyboard or mouse), d lets it go.\n"
           "\n"
           "Exit status: 0 done (time up, q, a signal, or the reader of the output left);\n"
           "1 an error, said on standard error (standard output closed is one, unless\n"
           "--quiet); 2 a bad command line; 3 --once heard no device.\n"
           "\n"
           "More in the manual page: man quorvellan-discover\n";
}

options_result parse_options(int argc, const char* const* argv)
{
    options_result result;
    options& o = result.parsed;
    // getopt permutes its argument vector; it works on a copy so that the
    // caller's stays as given.
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        args.push_back(const_cast<char*>(argv[i]));
    }
    args.push_back(nullptr);
    optind = 0;  // also resets glibc's state from any earlier parse
    opterr = 0;
    bool attach_given = false;
    for (;;) {
        const int previous = optind == 0 ? 1 : optind;
        const int c = getopt_long(argc, args.data(), SHORT_OPTIONS, LONG_OPTIONS, nullptr);
        if (c == -1) {
            break;
        }
        // The word getopt just read: for a short option bundled with others
        // ("-jx") optind has not moved yet.
        const char* word = args[std::min(previous, argc - 1)];
        const std::string value = optarg != nullptr ? optarg : "";
        if (c == ':') {
            result.error = "option '" + spelled(word, optopt) + "' needs a value";
            return result;
        }
        if (c == '?') {
            result.error = not_taken(spelled(word, optopt), optopt);
            return result;
        }
        attach_given = attach_given || c == ATTACH || c == ATTACH_FILE;
        result.error = apply_option(c, value, o);
        if (!result.error.empty()) {
            result.error = "option '" + spelled(word, c) + "' " + result.error;
            return result;
        }
    }
    if (optind < argc) {
        result.error = "unexpected argument '" + std::string(args[optind]) + "'";
        return result;
    }
    if (o.quiet && o.json) {
        result.error = "option '--quiet' prints nothing; leave out '--json'";
        return result;
    }
    if (o.once && o.timeout_seconds) {
        result.error = "option '--once' listens for a fixed time; leave out '--timeout'";
        return result;
    }
    if (o.once && !o.state_file.empty()) {
        result.error = "option '--once' lists the devices heard now; leave out '--state'";
        return result;
    }
    if (o.once && attach_given) {
        result.error = "option '--once' lists the devices heard now; leave out '--attach'";
        return result;
    }
    if (o.detach_on_exit && !attach_given) {
        result.error =
            "option '--detach-on-exit' lets go of what the attach rules keep attached; give "
            "'--attach' or '--attach-file'";
        return result;
    }
    return result;
}

std::string options_warning(const options& parsed)
{
    if (!parsed.http || parsed.forget_after >= ALERTABLE_FORGET_AFTER) {
        return "";
    }
    return "option '--forget-after' under " + std::to_string(ALERTABLE_FORGET_AFTER.count()) +
           "m: where Prometheus alerts with the shipped rules, an offline device leaves the "
           "metrics before, or soon after, its alert fires (after 5 minutes of silence; see "
           "collector.md)";
}

}  // namespace quorvellan::discover
