// Which devices' USB/IP servers are asked what they share, and the queries
// under way, as a source of the run loop: every online device with --usb,
// otherwise only the one whose details the person has open. It follows the
// table once a second, starts what the schedule says is due, and hands each
// answer, named from this machine's hardware database, back to the session
// for the table to keep.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <poll.h>

#include "run_loop.h"
#include "session.h"
#include "table/device_table.h"
#include "usb/usb_names.h"
#include "usb/usbip_query.h"
#include "usb/usbip_schedule.h"

namespace quorvellan::discover {

class usb_watch : public loop_source {
   public:
    // everyone: --usb, every online device; else only the one opened.
    usb_watch(bool everyone, session& listening);

    // Starts the queries that are due, and waits on their sockets.
    time_point wait_on(std::vector<pollfd>& waiting, time_point now) override;
    // Steps the queries, hands their answers to the session, and follows
    // the table when a second has passed.
    void step(const pollfd* ready, time_point now, run_state& run) override;

    // The device whose details are open, or none; follow() takes it up.
    void open(std::optional<std::string> key);

    // Takes the table's devices as they are now: which to ask, which no
    // longer (offline, gone), and what their USB device count says.
    void follow(const device_table& table, time_point now);

   private:
    // Starts the queries that are due, at each device's trusted host and
    // its announced USB/IP port.
    void start_due(const device_table& table, time_point now);
    // When a query or the schedule will next need a step.
    time_point next_deadline() const;

    bool wanted(const device_row& row) const;
    void stop(const std::string& key);
    void drop_query(const std::string& key);

    bool everyone_;
    session& listening_;
    time_point next_follow_ = time_point::min();
    std::optional<std::string> open_;
    usbip_schedule schedule_;
    struct asking {
        std::string key;
        std::string host;
        std::uint16_t port;
        usbip_query query;
    };
    std::vector<asking> asking_;                // in wait_on's order
    std::unordered_set<std::string> followed_;  // keys in the schedule
    usb_name_database names_;
};

}  // namespace quorvellan::discover
