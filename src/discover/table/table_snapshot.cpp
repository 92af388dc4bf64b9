#include "table/table_snapshot.h"

#include <string>
#include <type_traits>

namespace quorvellan::discover {
namespace {

// What a text holds outside itself: nothing when it is short enough to be
// kept inside, else its buffer and the allocator's header.
std::size_t heap_bytes(const std::string& text)
{
    const auto* inside = reinterpret_cast<const char*>(&text);
    const bool local = text.data() >= inside && text.data() < inside + sizeof text;
    return local ? 0 : text.capacity() + 1 + 2 * sizeof(void*);
}

// What a row's copy holds beyond its own size, near enough for a bound.
std::size_t held_beyond(const device_row& row)
{
    std::size_t bytes = heap_bytes(row.key) + heap_bytes(row.mac) + heap_bytes(row.source) +
                        heap_bytes(row.first_source) + heap_bytes(row.trusted_host);
    for_each_field([&](const char*, auto field) {
        if constexpr (std::is_same_v<decltype(row.announcement.*field), const std::string&>) {
            bytes += heap_bytes(row.announcement.*field);
        }
    });
    if (row.usb) {
        for (const usb_export& usb : row.usb->devices) {
            bytes += sizeof usb + heap_bytes(usb.busid) + heap_bytes(usb.vendor_name) +
                     heap_bytes(usb.product_name) + heap_bytes(usb.class_name) +
                     usb.interfaces.capacity() * sizeof(usb_class_triple);
        }
    }
    return bytes;
}

}  // namespace

std::shared_ptr<const table_snapshot> take_snapshot(const device_table& table,
                                                    const listen_stats& stats)
{
    auto snapshot = std::make_shared<table_snapshot>();
    snapshot->now = table.now();
    snapshot->online = table.online_count();
    snapshot->stats = stats;
    const std::vector<const device_row*> rows = table.rows();
    snapshot->rows.reserve(rows.size());
    snapshot->bytes = sizeof(table_snapshot) + rows.size() * sizeof(device_row);
    for (const device_row* row : rows) {
        device_row& shown = snapshot->rows.emplace_back(*row);
        // Only the table's own bookkeeping reads these; no answer does.
        std::string().swap(shown.last_datagram);
        std::vector<heard_claim>().swap(shown.claims);
        shown.reported = {};
        snapshot->bytes += held_beyond(shown);
    }
    return snapshot;
}

}  // namespace quorvellan::discover
