// The table and the listener's counts as Prometheus metrics, built afresh
// from a snapshot of them at each scrape: one more view that only reads the
// table.
#pragma once

#include <memory>
#include <string>

#include "net/http_server.h"
#include "table/table_snapshot.h"

namespace quorvellan::discover {

// Every family, all prefixed quorvellan_:
//   device_up{mac}                                gauge, 1 online, 0 offline
//   device_last_seen_timestamp_seconds{mac}       gauge
//   device_contested{mac}                         gauge, 1 while two senders announce its MAC
//   device_usb_devices{mac}                       gauge
//   device_info{mac,name,hostname,version,web}    gauge of 1
//   device_address_info{mac,member,address}       gauge of 1, ip_ap and ip_lan
//   device_usb_info{mac,busid,vendor,product,vendor_name,product_name,class}
//                                                 gauge of 1, each shared USB device
//   datagrams_received_total                      counter
//   datagrams_rejected_total{reason}              counter, a fixed set of reasons
//   kernel_drops_total                            counter
//   events_total{kind}                            counter
//   devices                                       gauge, rows in the table
//   build_info{version}                           gauge of 1
// mac is the device's MAC in lower case; a device that announces none is
// told apart by an extra label, source, its address. A part is a family's
// head, or one device's samples of a family, or the listener's families.
http_parts metrics_parts(std::shared_ptr<const table_snapshot> snapshot, std::string version);

}  // namespace quorvellan::discover
