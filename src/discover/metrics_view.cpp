#include "metrics_view.h"

#include <vector>

#include "metrics_exposition.h"
#include "report_format.h"

namespace quorvellan::discover {
namespace {

// The labels that name a device's series: its MAC, as its row is keyed.
metric_labels device_labels(const device_row& row)
{
    if (row.announcement.mac.empty()) {
        return {{"mac", ""}, {"source", row.first_source}};
    }
    return {{"mac", row.key.substr(row.key.find(' ') + 1)}};
}

metric_labels with(metric_labels labels, metric_labels more)
{
    labels.insert(labels.end(), more.begin(), more.end());
    return labels;
}

double seconds_since_epoch(std::chrono::system_clock::time_point when)
{
    return std::chrono::duration<double>(when.time_since_epoch()).count();
}

std::vector<metric_family> device_families(const device_table& table)
{
    metric_family up{"quorvellan_device_up", "gauge",
                     "Whether the device is online (1) or offline (0).", {}};
    metric_family seen{"quorvellan_device_last_seen_timestamp_seconds", "gauge",
                       "When the device was last heard, in seconds since the epoch.", {}};
    metric_family usb{"quorvellan_device_usb_devices", "gauge",
                      "USB devices plugged into the device, as it announces.", {}};
    metric_family info{"quorvellan_device_info", "gauge",
                       "The device's announced name, host name and version, and its web link.",
                       {}};
    metric_family addresses{"quorvellan_device_address_info", "gauge",
                            "Each IPv4 address the device announces, by member.", {}};
    for (const device_row* row : table.rows()) {
        const announcement_record& a = row->announcement;
        const metric_labels device = device_labels(*row);
        up.samples.push_back({device, row->online ? 1.0 : 0.0});
        seen.samples.push_back({device, seconds_since_epoch(row->last_heard.wall)});
        usb.samples.push_back({device, static_cast<double>(a.usb_devices)});
        info.samples.push_back({with(device, {{"name", a.name},
                                              {"hostname", a.hostname},
                                              {"version", a.version},
                                              {"web", web_url(*row)}}),
                                1});
        for (const auto& [member, address] : {std::pair{"ip_ap", &a.ip_ap},
                                              std::pair{"ip_lan", &a.ip_lan}}) {
            if (!address->empty()) {
                addresses.samples.push_back(
                    {with(device, {{"member", member}, {"address", *address}}), 1});
            }
        }
    }
    return {up, seen, usb, info, addresses};
}

std::vector<metric_family> listener_families(const device_table& table, const listen_stats& stats,
                                             std::string_view version)
{
    metric_family received{"quorvellan_datagrams_received_total", "counter",
                           "Datagrams received on the port, whatever became of them.",
                           {{{}, static_cast<double>(stats.accepted + stats.rejected +
                                                     stats.refused)}}};
    metric_family rejected{"quorvellan_datagrams_rejected_total", "counter",
                           "Datagrams that were no announcement, or for which the table had no "
                           "room (no_room), by reason.",
                           {}};
    for (std::size_t r = 1; r < REJECTION_COUNT; ++r) {
        rejected.samples.push_back(
            {{{"reason", identify(static_cast<rejection>(r))}},
             static_cast<double>(stats.rejected_by[r])});
    }
    rejected.samples.push_back({{{"reason", "no_room"}}, static_cast<double>(stats.refused)});
    metric_family drops{"quorvellan_kernel_drops_total", "counter",
                        "Datagrams the kernel dropped because the socket was full.",
                        {{{}, static_cast<double>(stats.kernel_drops)}}};
    metric_family events{"quorvellan_events_total", "counter", "Events reported, by kind.", {}};
    for (std::size_t k = 0; k < EVENT_KIND_COUNT; ++k) {
        events.samples.push_back({{{"kind", describe(static_cast<event_kind>(k))}},
                                  static_cast<double>(stats.events[k])});
    }
    metric_family devices{"quorvellan_devices", "gauge", "Devices in the table.",
                          {{{}, static_cast<double>(table.size())}}};
    metric_family build{"quorvellan_build_info", "gauge", "The listener's version.",
                        {{{{"version", std::string(version)}}, 1}}};
    return {received, rejected, drops, events, devices, build};
}

}  // namespace

std::string metrics_text(const device_table& table, const listen_stats& stats,
                         std::string_view version)
{
    std::vector<metric_family> families = device_families(table);
    for (metric_family& family : listener_families(table, stats, version)) {
        families.push_back(std::move(family));
    }
    return render_exposition(families);
}

}  // namespace quorvellan::discover
