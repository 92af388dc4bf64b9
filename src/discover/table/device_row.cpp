#include "table/device_row.h"

#include <ctime>

namespace quorvellan::discover {

clock_reading read_system_clocks()
{
    return {std::chrono::steady_clock::now(), std::chrono::system_clock::now()};
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

std::string web_url(const device_row& row)
{
    if (row.trusted_host.empty()) {
        return "";
    }
    const std::int64_t port = row.announcement.http;
    return "http://" + row.trusted_host + (port == 80 ? "" : ":" + std::to_string(port)) + "/";
}

}  // namespace quorvellan::discover
