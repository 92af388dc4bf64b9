#include "web/event_json.h"

#include "table/attach_command.h"
#include "table/table_policy.h"

namespace quorvellan::discover {
namespace {

nlohmann::ordered_json usb_object(const usb_export& device)
{
    nlohmann::ordered_json object;
    object["busid"] = device.busid;
    object["vendor"] = usb_id(device.vendor_id);
    object["product"] = usb_id(device.product_id);
    object["vendor_name"] = device.vendor_name;
    object["product_name"] = device.product_name;
    object["class"] = device.class_name;
    object["speed"] = usb_speed_name(device.speed);
    return object;
}

// online, the announcement's members, source, source_suspect, contested,
// web, last_seen, key.
void add_facts(nlohmann::ordered_json& object, const device_row& row)
{
    const announcement_record& a = row.announcement;
    object["online"] = row.online;
#define QUORVELLAN_JSON_CONSTANT(member, text) object[#member] = text;
#define QUORVELLAN_JSON_FIELD(member, ...) object[#member] = a.member;
    QUORVELLAN_ANNOUNCEMENT_MEMBERS(QUORVELLAN_JSON_CONSTANT, QUORVELLAN_JSON_FIELD,
                                    QUORVELLAN_JSON_FIELD, QUORVELLAN_JSON_FIELD)
#undef QUORVELLAN_JSON_CONSTANT
#undef QUORVELLAN_JSON_FIELD
    object["source"] = row.source;
    object["source_suspect"] = row.source_suspect;
    object["contested"] = row.contested;
    object["web"] = web_url(row);
    object["last_seen"] = rfc3339_utc(row.last_heard.wall);
    object["key"] = row.key;
}

// The lines that attach each shared device, in the order of "usb".
nlohmann::ordered_json attach_lines(const device_row& row)
{
    nlohmann::ordered_json lines = nlohmann::ordered_json::array();
    for (const usb_export& device : row.usb->devices) {
        lines.push_back(
            {{"busid", device.busid},
             {"linux", usb_attach_command(row, device, usbip_client::linux_usbip)},
             {"windows", usb_attach_command(row, device, usbip_client::windows_usbip_win2)}});
    }
    return lines;
}

void add_usb(nlohmann::ordered_json& object, const device_row& row)
{
    if (row.usb && row.usb->outcome == usbip_outcome::listed) {
        object["usb"] = nlohmann::ordered_json::array();
        for (const usb_export& device : row.usb->devices) {
            object["usb"].push_back(usb_object(device));
        }
        if (offers_attach(row)) {
            object["usb_attach"] = attach_lines(row);
        }
    } else if (row.usb) {
        object["usb_error"] = describe(row.usb->outcome);
    }
    for (const usb_attachment& attached : row.attached) {
        object["usb_attached"].push_back({{"busid", attached.busid}, {"port", attached.port}});
    }
}

// busid and port of attached and detached, with the reason of detached
// (and the check's line when refused); busid, rule and error of
// attach_failed.
void add_attachment(nlohmann::ordered_json& object, const event& reported)
{
    switch (reported.kind) {
        case event_kind::attached:
        case event_kind::detached:
            object["busid"] = reported.busid;
            object["port"] = reported.port;
            if (reported.kind == event_kind::detached) {
                object["reason"] = describe(reported.detached);
                if (!reported.error.empty()) {
                    object["error"] = reported.error;
                }
            }
            break;
        case event_kind::attach_failed:
            object["busid"] = reported.busid;
            object["rule"] = reported.rule;
            object["error"] = reported.error;
            break;
        default:
            break;
    }
}

}  // namespace

std::string json_text(const nlohmann::ordered_json& object)
{
    // Rows built from parsed datagrams are valid UTF-8; replacing keeps a row
    // made any other way from throwing.
    return object.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json device_object(const device_row& row)
{
    nlohmann::ordered_json object;
    add_facts(object, row);
    add_usb(object, row);
    return object;
}

std::string json_line(const event& reported)
{
    const device_row& row = *reported.row;
    nlohmann::ordered_json object;
    object["event"] = describe(reported.kind);
    add_facts(object, row);
    object["changed"] = reported.changed;
    if (reported.kind == event_kind::removed) {
        object["reason"] = describe(reported.reason);
    }
    add_attachment(object, reported);
    if (!reported.previous_mac.empty()) {
        object["previous_mac"] = reported.previous_mac;
    }
    if (!reported.previous_key.empty()) {
        object["previous_key"] = reported.previous_key;
    }
    add_usb(object, row);
    return json_text(object);
}

}  // namespace quorvellan::discover
