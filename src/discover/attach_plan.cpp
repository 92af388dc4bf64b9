#include "attach_plan.h"

#include <algorithm>

#include "table/table_policy.h"
#include "usb/arrival_check.h"
#include "usb/usbip_schedule.h"

namespace quorvellan::discover {

bool names_row(const attach_rule& rule, const device_row& row)
{
    if (rule.kind == attach_rule::device_kind::mac) {
        return row.mac == rule.device;
    }
    return row.announcement.name == rule.device || row.announcement.hostname == rule.device;
}

rule_pick pick_row(const attach_rule& rule, const std::vector<const device_row*>& rows)
{
    rule_pick pick;
    for (const device_row* row : rows) {
        if (row->online && names_row(rule, *row)) {
            pick.named.push_back(row);
        }
    }
    if (pick.named.size() > 1) {
        pick.refusal = "two devices answer to '" + rule.device + "' (";
        for (std::size_t i = 0; i < pick.named.size(); ++i) {
            pick.refusal += (i == 0 ? "" : ", ") + pick.named[i]->key;
        }
        pick.refusal += "): one of them is not what it says, so neither is attached";
    } else if (pick.named.size() == 1 && pick.named[0]->contested) {
        pick.refusal =
            "two senders announce its MAC, so its address is in doubt: not attached "
            "until that ends";
    } else if (pick.named.size() == 1 && pick.named[0]->trusted_host.empty()) {
        pick.refusal = "it has no address the network vouches for: not attached";
    } else if (pick.named.size() == 1 && (pick.named[0]->announcement.usbip <= 0 ||
                                          pick.named[0]->announcement.usbip > 65535)) {
        pick.refusal = "it announces no USB/IP port: not attached";
    } else if (pick.named.size() == 1) {
        pick.row = pick.named[0];
        pick.named.clear();
    }
    return pick;
}

bool names_usb(const attach_rule& rule, const std::string& busid, usb_ids ids)
{
    return rule.ids ? *rule.ids == ids : busid == rule.busid;
}

device_pick pick_devices(const attach_rule& rule, const std::vector<usb_export>& listed,
                         const std::string& server)
{
    device_pick pick;
    for (const usb_export& device : listed) {
        if (names_usb(rule, device.busid, {device.vendor_id, device.product_id})) {
            pick.devices.push_back(&device);
        }
    }
    if (pick.devices.empty()) {
        pick.error = server + (rule.ids ? " shares no " + format_ids(*rule.ids)
                                        : " does not share " + rule.busid);
    }
    return pick;
}

std::optional<vhci_port> attached_already(const std::vector<vhci_port>& ports,
                                          const std::vector<vhci_record>& records,
                                          const vhci_record& wanted)
{
    for (const auto& [port, record] : adopt_attachments(ports, records).attached) {
        if (record.host == wanted.host && record.service == wanted.service &&
            record.busid == wanted.busid) {
            return port;
        }
    }
    return std::nullopt;
}

key_rule rule_for_key(const device_row& row, const std::string& busid)
{
    for (const usb_attachment& attached : row.attached) {
        if (attached.busid == busid) {
            return {std::nullopt,
                    busid + " is attached here already, port " + std::to_string(attached.port)};
        }
    }
    if (row.mac.empty()) {
        return {std::nullopt,
                "it announces no MAC, which a rule made by a key names it by: "
                "attach it by --attach"};
    }
    const usb_export* shared = nullptr;
    if (row.usb && row.usb->outcome == usbip_outcome::listed) {
        for (const usb_export& device : row.usb->devices) {
            shared = device.busid == busid ? &device : shared;
        }
    }
    if (shared == nullptr) {
        return {std::nullopt, "it does not share " + busid};
    }
    const bool hid = shared->device_class.code == USB_CLASS_HID ||
                     std::any_of(shared->interfaces.begin(), shared->interfaces.end(),
                                 [](const usb_class_triple& c) { return c.code == USB_CLASS_HID; });
    if (hid) {
        return {std::nullopt, busid + " is a HID: a HID is attached only by a rule ending in +hid"};
    }
    attach_rule rule;
    rule.text = row.mac + "/" + busid;
    rule.device = row.mac;
    rule.busid = busid;
    return {rule, ""};
}

bool names_shared(const attach_rule& rule, const device_row& row, const std::string& busid)
{
    if (!names_row(rule, row) || !row.usb) {
        return false;
    }
    const std::vector<const usb_export*> named = pick_devices(rule, row.usb->devices, "").devices;
    return std::any_of(named.begin(), named.end(),
                       [&busid](const usb_export* device) { return device->busid == busid; });
}

bool row_tries::follow(const device_row& row, time_point now)
{
    const bool moved = seen_ && (row.trusted_host != host_ || row.announcement.usbip != port_);
    // A new address settles first even when the row comes back with it:
    // one datagram of a forger's would bring it back so.
    if (moved) {
        backoff_.succeeded();
        due_ = now + USBIP_NEW_ADDRESS_SETTLE;
    } else if (!seen_ || (row.online && !online_)) {
        backoff_.succeeded();
        due_ = now;
    } else if (row.announcement.usb_devices != usb_devices_) {
        backoff_.succeeded();
        due_ = std::min(due_, now + USBIP_CHANGE_SETTLE);
    }
    seen_ = true;
    online_ = row.online;
    host_ = row.trusted_host;
    port_ = row.announcement.usbip;
    usb_devices_ = row.announcement.usb_devices;
    return moved;
}

std::optional<detach_reason> freed_reason(bool record_kept,
                                          std::optional<std::chrono::milliseconds> silent_for)
{
    if (!record_kept) {
        return detach_reason::by_hand;
    }
    if (!silent_for) {
        return std::nullopt;
    }
    return *silent_for >= SILENT_CONNECTION ? detach_reason::link_lost
                                            : detach_reason::server_let_go;
}

}  // namespace quorvellan::discover
