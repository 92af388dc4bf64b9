#include "web/metrics_view.h"

#include <iterator>
#include <utility>
#include <vector>

#include "web/metrics_exposition.h"

namespace quorvellan::discover {
namespace {

// The labels that name a device's series: its MAC as its row keeps it, or
// without one the address its row was made for.
metric_labels device_labels(const device_row& row)
{
    if (row.mac.empty()) {
        return {{"mac", ""}, {"source", row.first_source}};
    }
    return {{"mac", row.mac}};
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

// With attach rules: how each rule stands, and the tries by how they ended.
void add_attach_families(const listen_stats& stats, std::vector<metric_family>& families)
{
    metric_family rules{"quorvellan_attach_rule_attached",
                        "gauge",
                        "How many of the shared USB devices each attach rule names are attached "
                        "here now (0: none).",
                        {}};
    for (const attach_rule_count& rule : stats.attach_rules) {
        rules.samples.push_back({{{"rule", rule.rule}}, static_cast<double>(rule.attached)});
    }
    metric_family attempts{"quorvellan_attach_attempts_total",
                           "counter",
                           "Tries to attach a shared USB device that an attach rule names, by "
                           "how they ended.",
                           {}};
    for (std::size_t r = 0; r < ATTACH_RESULT_COUNT; ++r) {
        attempts.samples.push_back({{{"result", describe(static_cast<attach_result>(r))}},
                                    static_cast<double>(stats.attach_attempts[r])});
    }
    families.push_back(std::move(rules));
    families.push_back(std::move(attempts));
}

std::vector<metric_family> listener_families(const table_snapshot& snapshot,
                                             const std::string& version)
{
    const listen_stats& stats = snapshot.stats;
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
                          {{{}, static_cast<double>(snapshot.rows.size())}}};
    metric_family build{
        "quorvellan_build_info", "gauge", "The listener's version.", {{{{"version", version}}, 1}}};
    std::vector<metric_family> families{received, rejected, drops, events, devices, build};
    if (!stats.attach_rules.empty()) {
        add_attach_families(stats, families);
    }
    return families;
}

// Writes the families in parts: each per-device family's head, then its
// samples one device at a time, then the listener's families together.
class metrics_writer {
   public:
    metrics_writer(std::shared_ptr<const table_snapshot> snapshot, std::string version)
        : snapshot_(std::move(snapshot)), version_(std::move(version))
    {
    }

    bool operator()(std::string& out)
    {
        constexpr std::size_t families = std::size(DEVICE_FAMILIES);
        const std::vector<device_row>& rows = snapshot_->rows;
        if (family_ == families) {
            for (const metric_family& family : listener_families(*snapshot_, version_)) {
                render_family(family, out);
            }
        } else if (family_ > families) {
            return false;
        } else {
            const device_family& kind = DEVICE_FAMILIES[family_];
            metric_family family{kind.name, "gauge", kind.help, {}};
            if (row_ == 0) {
                render_head(family, out);
            } else {
                const device_row& row = rows[row_ - 1];
                family.samples = kind.of(row, device_labels(row));
                render_samples(family, out);
            }
            if (row_ < rows.size()) {
                ++row_;
                return true;
            }
        }
        ++family_;
        row_ = 0;
        return true;
    }

   private:
    std::shared_ptr<const table_snapshot> snapshot_;
    std::string version_;
    std::size_t family_ = 0;  // DEVICE_FAMILIES, then one past it for the listener's
    std::size_t row_ = 0;     // 0 for the family's head, then each row's samples
};

}  // namespace

http_parts metrics_parts(std::shared_ptr<const table_snapshot> snapshot, std::string version)
{
    const std::size_t held = snapshot->bytes;
    return {metrics_writer(std::move(snapshot), std::move(version)), held};
}

}  // namespace quorvellan::discover
