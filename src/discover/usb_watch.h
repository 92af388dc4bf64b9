// Which devices' USB/IP servers are asked what they share, and the queries
// under way: every online device with --usb, otherwise only the one whose
// details the person has open. It follows the table, starts what the
// schedule says is due, and hands each answer, named from this machine's
// hardware database, back for the table to keep.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <poll.h>

#include "device_table.h"
#include "usb_names.h"
#include "usbip_query.h"
#include "usbip_schedule.h"

namespace quorvellan::discover {

class usb_watch {
   public:
    using time_point = std::chrono::steady_clock::time_point;

    // everyone: --usb, every online device; else only the one opened.
    explicit usb_watch(bool everyone);

    // The device whose details are open, or none; follow() takes it up.
    void open(std::optional<std::string> key);

    // Takes the table's devices as they are now: which to ask, which no
    // longer (offline, gone), and what their USB device count says.
    void follow(const device_table& table, time_point now);

    // Starts the queries that are due, at each device's trusted host and
    // its announced USB/IP port.
    void start_due(const device_table& table, time_point now);

    // The sockets of the queries under way, appended to a poll set.
    void add_to(std::vector<pollfd>& waiting) const;

    // When a query or the schedule will next need a step.
    time_point next_deadline() const;

    // After the wait: steps the queries (waiting from first on, as
    // add_to put them) and returns the answers that came, by row key, each
    // with the server it came from.
    std::vector<std::pair<std::string, usb_listing>> step(const std::vector<pollfd>& waiting,
                                                          std::size_t first, time_point now);

   private:
    bool wanted(const device_row& row) const;
    void stop(const std::string& key);
    void drop_query(const std::string& key);

    bool everyone_;
    std::optional<std::string> open_;
    usbip_schedule schedule_;
    struct asking {
        std::string key;
        std::string host;
        std::uint16_t port;
        usbip_query query;
    };
    std::vector<asking> asking_;                // in add_to's order
    std::unordered_set<std::string> followed_;  // keys in the schedule
    usb_name_database names_;
};

}  // namespace quorvellan::discover
