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

using samples = std::vector<metric_sample>;

samples up_of(const device_row& row, metric_labels device)
{
    return {{std::move(device), row.online ? 1.0 : 0.0}};
}

samples last_seen_of(const device_row& row, metric_labels device)
{
    return {{std::move(device), seconds_since_epoch(row.last_heard.wall)}};
}

samples contested_of(const device_row& row, metric_labels device)
{
    return {{std::move(device), row.contested ? 1.0 : 0.0}};
}

samples usb_count_of(const device_row& row, metric_labels device)
{
    return {{std::move(device), static_cast<double>(row.announcement.usb_devices)}};
}

samples info_of(const device_row& row, metric_labels device)
{
    const announcement_record& a = row.announcement;
    return {{with(std::move(device), {{"name", a.name},
                                      {"hostname", a.hostname},
                                      {"version", a.version},
                                      {"web", web_url(row)}}),
             1}};
}

samples addresses_of(const device_row& row, metric_labels device)
{
    samples addresses;
    for (const auto& [member, address] : {std::pair{"ip_ap", &row.announcement.ip_ap},
                                          std::pair{"ip_lan", &row.announcement.ip_lan}}) {
        if (!address->empty()) {
            addresses.push_back({with(device, {{"member", member}, {"address", *address}}), 1});
        }
    }
    return addresses;
}

samples shared_usb_of(const device_row& row, metric_labels device)
{
    samples shared;
    if (row.usb && row.usb->outcome == usbip_outcome::listed) {
        for (const usb_export& usb : row.usb->devices) {
            shared.push_back({with(device, {{"busid", usb.busid},
                                            {"vendor", usb_id(usb.vendor_id)},
                                            {"product", usb_id(usb.product_id)},
                                            {"vendor_name", usb.vendor_name},
                                            {"product_name", usb.product_name},
                                            {"class", usb.class_name}}),
                              1});
        }
    }
    return shared;
}

// The per-device families, all gauges: their samples for one row.
struct device_family {
    const char* name;
    const char* help;
    samples (*of)(const device_row& row, metric_labels device);
};

constexpr device_family DEVICE_FAMILIES[] = {
    {"quorvellan_device_up", "Whether the device is online (1) or offline (0).", up_of},
    {"quorvellan_device_last_seen_timestamp_seconds",
     "When the device was last heard, in seconds since the epoch.", last_seen_of},
    {"quorvellan_device_contested",
     "Whether two senders announce the device's MAC (1), which puts its address in doubt.",
     contested_of},
    {"quorvellan_device_usb_devices", "USB devices plugged into the device, as it announces.",
     usb_count_of},
    {"quorvellan_device_info",
     "The device's announced name, host name and version, and its web link (empty when it has "
     "no address the listener trusts).",
     info_of},
    {"quorvellan_device_address_info", "Each IPv4 address the device announces, by member.",
     addresses_of},
    {"quorvellan_device_usb_info",
     "Each USB device the device shares over USB/IP, as its server lists it (with --usb).",
     shared_usb_of},
};

// Each family rendered into out and let go before the next is built, so
// that a scrape of a full table holds one family's samples at a time.
void render_devices(const device_table& table, std::string& out)
{
    const std::vector<const device_row*> rows = table.rows();
    for (const device_family& kind : DEVICE_FAMILIES) {
        metric_family family{kind.name, "gauge", kind.help, {}};
        for (const device_row* row : rows) {
            for (metric_sample& sample : kind.of(*row, device_labels(*row))) {
                family.samples.push_back(std::move(sample));
            }
        }
        render_family(family, out);
    }
}

std::vector<metric_family> listener_families(const device_table& table, const listen_stats& stats,
                                             std::string_view version)
{
    metric_family received{
        "quorvellan_datagrams_received_total",
        "counter",
        "Datagrams received on the port, whatever became of them.",
        {{{}, static_cast<double>(stats.accepted + stats.rejected + stats.refused)}}};
    metric_family rejected{"quorvellan_datagrams_rejected_total",
                           "counter",
                           "Datagrams that were no announcement, or for which the table had no "
                           "room (no_room), by reason.",
                           {}};
    for (std::size_t r = 1; r < REJECTION_COUNT; ++r) {
        rejected.samples.push_back({{{"reason", identify(static_cast<rejection>(r))}},
                                    static_cast<double>(stats.rejected_by[r])});
    }
    rejected.samples.push_back({{{"reason", "no_room"}}, static_cast<double>(stats.refused)});
    metric_family drops{"quorvellan_kernel_drops_total",
                        "counter",
                        "Datagrams the kernel dropped because the socket was full.",
                        {{{}, static_cast<double>(stats.kernel_drops)}}};
    metric_family events{"quorvellan_events_total", "counter", "Events reported, by kind.", {}};
    for (std::size_t k = 0; k < EVENT_KIND_COUNT; ++k) {
        events.samples.push_back({{{"kind", describe(static_cast<event_kind>(k))}},
                                  static_cast<double>(stats.events[k])});
    }
    metric_family devices{"quorvellan_devices",
                          "gauge",
                          "Devices in the table.",
                          {{{}, static_cast<double>(table.size())}}};
    metric_family build{"quorvellan_build_info",
                        "gauge",
                        "The listener's version.",
                        {{{{"version", std::string(version)}}, 1}}};
    return {received, rejected, drops, events, devices, build};
}

}  // namespace

std::string metrics_text(const device_table& table, const listen_stats& stats,
                         std::string_view version)
{
    std::string out;
    render_devices(table, out);
    for (const metric_family& family : listener_families(table, stats, version)) {
        render_family(family, out);
    }
    return out;
}

}  // namespace quorvellan::discover
