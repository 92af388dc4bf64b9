// The attach keeper's decisions, apart from the sockets and files it acts
// on, so that they are tested without a kernel or a network: which row an
// attach rule picks, which of a server's shared USB devices it names, which
// attachment of one this machine has already, when a row is tried again,
// why a port of ours was freed, and what a key of the live view may attach.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "table/device_event.h"
#include "table/device_row.h"
#include "usb/attach_backoff.h"
#include "usb/attach_rule.h"
#include "usb/usbip_devlist.h"
#include "usb/usbip_import.h"
#include "usb/vhci_ports.h"
#include "usb/vhci_records.h"

namespace quorvellan::discover {

// Whether the rule names the row: by its MAC, or by its display name or
// host name as announced.
bool names_row(const attach_rule& rule, const device_row& row);

// The row a rule picks among the table's: the one online row it names, to
// be attached at its trusted host. Offline rows are left out. Two online
// rows that answer to one rule are two senders, one of them a forger, and
// neither is picked; nor is a contested row (two senders of one MAC), nor
// one without a trusted host or a USB/IP port. refusal says why, to each
// of named.
struct rule_pick {
    const device_row* row = nullptr;
    std::vector<const device_row*> named;  // when none is picked: the online rows named
    std::string refusal;
};
rule_pick pick_row(const attach_rule& rule, const std::vector<const device_row*>& rows);

// Whether the rule names a shared USB device of the device it names: by
// its bus id, or by its ids wherever it is.
bool names_usb(const attach_rule& rule, const std::string& busid, usb_ids ids);

// Which of the devices a server shares the rule names: the one with its bus
// id, or every one with its ids; error says why there is none (server:
// "ADDRESS:PORT", for the line).
struct device_pick {
    std::vector<const usb_export*> devices;
    std::string error;
};
device_pick pick_devices(const attach_rule& rule, const std::vector<usb_export>& listed,
                         const std::string& server);

// The port this machine has the server's device on already, whoever
// attached it: one in use whose record names the same server and bus id
// (wanted's port is not looked at). Attaching the device again would make
// two attachments of one device; this one is taken over instead.
std::optional<vhci_port> attached_already(const std::vector<vhci_port>& ports,
                                          const std::vector<vhci_record>& records,
                                          const vhci_record& wanted);

// The rule the live view's key a makes to attach the row's shared device
// busid for the run: MAC/BUSID; or why that key attaches nothing (no MAC to
// name it by, not shared, attached already, a HID, which only a rule
// ending in +hid lets in).
struct key_rule {
    std::optional<attach_rule> rule;
    std::string refusal;
};
key_rule rule_for_key(const device_row& row, const std::string& busid);

// Whether the rule names the row's shared device busid, as its server
// listed it last.
bool names_shared(const attach_rule& rule, const device_row& row, const std::string& busid);

// When a row that rules pick is next tried (its server asked, what they
// name there attached). Time is passed in.
class row_tries {
   public:
    using time_point = std::chrono::steady_clock::time_point;

    // The row as the table has it now, online or not. Due at once when
    // first seen and when back online; soon after its count of USB devices
    // changes, unless due sooner (USBIP_CHANGE_SETTLE: a device just
    // plugged in is shared a moment later); at another address or port once that has settled
    // (USBIP_NEW_ADDRESS_SETTLE: time for a second sender of its MAC to
    // show, so that a forged address is never attached), also when it comes
    // back online there. Each starts the backoff over. True when the
    // address or port changed.
    bool follow(const device_row& row, time_point now);

    // A try failed: again after the backoff's wait.
    void failed(time_point now)
    {
        due_ = backoff_.failed(now);
    }
    // All that the rules name there is attached: no more tries until
    // something changes.
    void succeeded()
    {
        backoff_.succeeded();
        due_ = time_point::max();
    }
    // A port of the row's was freed: at once, the backoff started over.
    void port_freed(time_point now)
    {
        backoff_.succeeded();
        due_ = now;
    }
    // Not before then: a server takes a moment to share again a device
    // whose connection we ended.
    void not_before(time_point then)
    {
        due_ = std::max(due_, then);
    }

    time_point due() const
    {
        return due_;
    }
    // Where it is tried: the row's trusted host and USB/IP port as last
    // followed.
    const std::string& host() const
    {
        return host_;
    }
    std::uint16_t port() const
    {
        return static_cast<std::uint16_t>(port_);
    }

   private:
    bool seen_ = false;
    bool online_ = false;
    std::string host_;
    std::int64_t port_ = 0;
    std::int64_t usb_devices_ = 0;
    time_point due_ = time_point::max();
    attach_backoff backoff_;
};

// A connection that heard nothing from its server for this long when it
// ended was ended by its own keepalive: a healthy idle one hears the
// answer to a probe every USBIP_KEEPALIVE_IDLE.
constexpr std::chrono::milliseconds SILENT_CONNECTION =
    USBIP_KEEPALIVE_IDLE + USBIP_KEEPALIVE_INTERVAL;

// Why a port of ours was freed, as far as what is left tells: by a person
// when its record went with it (usbip detach takes it); else by how its
// connection ended (silent_for: how long it had heard nothing from the
// server, as TCP counts it): silent for SILENT_CONNECTION or more, the
// link was lost; less, the server let go (its end came). None when the
// connection is not ours to read (one taken over at the start): then
// whether the server answers tells.
std::optional<detach_reason> freed_reason(bool record_kept,
                                          std::optional<std::chrono::milliseconds> silent_for);

}  // namespace quorvellan::discover
