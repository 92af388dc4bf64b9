// Keeps the shared USB devices that attach rules name attached here through
// vhci-hcd, as a source of the run loop. It follows the table: for each row
// a rule picks (attach_plan) it asks the row's USB/IP server at once what
// it shares, imports what the rules name there, hands each connection to
// vhci-hcd with the port's hub holding new devices back, and lets the
// device in only once its own descriptors pass the check; one attach at a
// time, none of them waiting in the loop. About once a second it reads
// vhci-hcd's ports: a port of ours freed is reported with why and tried
// again at once, and a person's own attach that arrived held in our window
// is let in. An attachment this machine has already of a device a rule
// names (a run before ours, a person's) is taken over, never doubled; at
// the end they stay, unless told to let go. What it does the table reports
// (attached, detached, attach_failed), each failure's cause once. Without
// rules it does nothing at all until a person's key in the live view adds
// one for the run.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <poll.h>

#include "attach_plan.h"
#include "run_loop.h"
#include "session.h"
#include "usb/attach_rule.h"
#include "usb/usbip_import.h"
#include "usb/usbip_query.h"
#include "usb/vhci_authorization.h"
#include "usb/vhci_records.h"

namespace quorvellan::discover {

// How often vhci-hcd's ports are read: a freed port is seen within this.
constexpr std::chrono::seconds ATTACH_TICK{1};
// How long an attached device may take to arrive held, and how often the
// port is looked at meanwhile.
constexpr std::chrono::seconds ARRIVAL_LIMIT{10};
constexpr std::chrono::milliseconds ARRIVAL_POLL{50};
// How many tries ask from the port of a connection that died unheard,
// until the server lists what it carried: its list can come before it has
// let the device go, and a SYN as the link comes back can be lost. With
// the backoff, about a minute.
constexpr unsigned STALE_ASKS = 6;
// After letting go of a device to attach it at its new address, how long
// its server is given to share it again.
constexpr std::chrono::seconds SHARED_AGAIN_AFTER{1};

class attach_keeper : public loop_source {
   public:
    // Where vhci-hcd, the records and the list of TCP connections are:
    // "/sys", VHCI_RUN_DIR and "/proc/net/tcp" for real.
    struct places {
        std::string sysfs;
        std::string run_dir;
        std::string tcp_connections;
    };

    // With rules, puts back a hub that a run ended inside a hold left held,
    // and drops the records of attachments that ended while no one watched;
    // without, leaves that to the first rule a key adds.
    attach_keeper(std::vector<attach_rule> rules, bool detach_on_exit, session& listening,
                  places where);
    ~attach_keeper() override;
    attach_keeper(const attach_keeper&) = delete;
    attach_keeper& operator=(const attach_keeper&) = delete;

    time_point wait_on(std::vector<pollfd>& waiting, time_point now) override;
    void step(const pollfd* ready, time_point now, run_state& run) override;
    // An attach under way is undone; the attachments stay, or with
    // detach_on_exit are let go (detached, by rule).
    void finish(run_state& run) override;

    // The live view's keys, on the row keyed key and its shared device
    // busid; each returns one line for its status line. attach_by_key keeps
    // it attached for the run, as by the rule MAC/BUSID (see rule_for_key),
    // or lets a rule's device that a person let go be attached again;
    // nothing when vhci-hcd is missing or not ours to use. detach_by_key
    // lets it go (detached, by hand: so until attach_by_key or the next
    // run) and drops the rule for the run that named it.
    std::string attach_by_key(const std::string& key, const std::string& busid, time_point now);
    std::string detach_by_key(const std::string& key, const std::string& busid);

   private:
    // A connection that died unheard, and what it carried.
    struct stale_connection {
        std::uint16_t port = 0;  // local
        std::string busid;       // "" for one taken over: not known
        unsigned asked = 0;      // tries that asked from its port
    };
    // A row that rules pick (or did), and its tries.
    struct job {
        std::vector<std::size_t> rules;  // into rules_: those that pick it now
        bool picked = false;
        row_tries tries;
        std::optional<usbip_query> query;
        std::uint16_t queried_from = 0;  // the local port the query went from
        // The connections to its server that died unheard (link lost),
        // over which the server may still hold a device (and then not list
        // it): a try first asks from the port of each in turn, which ends
        // what the server holds (see usbip_exchange).
        std::vector<stale_connection> stale;
        std::size_t stale_next = 0;  // this try's next to ask from
        // Those of the connections of the attachments taken over, while
        // they live.
        std::vector<std::uint16_t> taken_over_ports;
        // Freed ports of attachments taken over, whose reason waits for
        // whether the server answers.
        std::vector<std::pair<std::string, unsigned>> unexplained;
        std::size_t attaching = 0;  // devices of this try queued or under way
        bool failed = false;        // one of this try's failed
        bool again = false;         // a rule came while it was tried: try again at its end
    };
    // An attachment of ours.
    struct kept {
        std::string key;       // the row's
        std::size_t rule = 0;  // the first that named it
        vhci_record record;
        std::uint32_t devid = 0;       // to know the port taken by another since
        int socket = -1;               // our hold of its connection; -1 for one taken over
        std::uint16_t local_port = 0;  // where the connection went from
        usb_ids ids;                   // as the server listed them, or the device said
    };
    // A device to attach, then its attach under way.
    struct wanted {
        std::string key;
        std::size_t rule = 0;
        std::string host;
        std::uint16_t service = 0;
        usb_export listed;  // as the server's list described it
    };
    struct attaching {
        explicit attaching(wanted device) : what(std::move(device))
        {
        }

        wanted what;
        std::optional<usbip_import> import;  // until imported
        int socket = -1;
        std::uint16_t local_port = 0;
        int port = -1;  // once on vhci-hcd
        std::vector<std::string> held;
        time_point give_up;
    };

    void start_keeping();
    void noticed(const event& happened);
    void rekey(const std::string& was, const std::string& key);
    void follow(time_point now);
    void tick(time_point now);
    void forget_said();
    void start_due(time_point now);
    void ask(job& row, time_point now);
    void listed(const std::string& key, job& row, time_point now);
    void take_over(const std::string& key, job& row);
    void adopt(const std::string& key, std::size_t rule, const vhci_record& record,
               const vhci_port& port, const usb_export* listed, job& row);
    bool ask_from_next_stale(job& row, time_point now);
    void take_listed(const std::string& key, job& row, const std::vector<usb_export>& devices,
                     time_point now);
    bool holds(const std::string& key, std::size_t rule, const job& row) const;
    void step_attach(bool ready, time_point now);
    void arrive(time_point now);
    // The attach under way ended, as told (error: "" for attached; failure:
    // how a failure is counted). A copy: the import's reason it is often
    // given goes with the attach.
    void attach_done(std::string error, time_point now,
                     attach_result failure = attach_result::failed);
    // Not one a key added and a person let go since.
    bool in_force(std::size_t rule) const;
    void count(attach_result result);
    void count_kept();
    void undo_attach();
    void try_done(job& row, time_point now);
    std::vector<std::uint16_t> established(const job& row) const;
    void note_dead_connections(job& row) const;
    static void forget_let_go(job& row, const std::vector<usb_export>& devices);
    void release_holds(std::vector<std::string>& held);
    void let_go(kept& attachment, detach_reason why);
    void say(const std::string& key, std::size_t rule, const std::string& busid,
             const std::string& error);
    std::vector<unsigned> our_ports() const;
    bool kept_or_coming(const vhci_record& record) const;

    std::vector<attach_rule> rules_;  // the run's, then those keys added
    std::size_t given_ = 0;           // how many of rules_ the run was given
    std::set<std::size_t> dropped_;   // those keys added and let go since
    bool detach_on_exit_;
    session& listening_;
    places where_;
    new_device_hold hold_;
    std::map<std::string, job> jobs_;  // by row key
    std::vector<kept> kept_;
    std::deque<wanted> queue_;
    std::optional<attaching> attaching_;
    // "HOST:PORT/BUSID" of the devices a person detached: left so.
    std::set<std::string> by_hand_;
    // The last error said for a row and a rule, so that each is said once.
    std::map<std::pair<std::string, std::size_t>, std::string> said_;
    bool look_now_ = true;
    time_point next_tick_ = time_point::min();
    std::vector<std::string> polled_;  // the keys whose queries wait_on gave, in order
    bool import_polled_ = false;
};

}  // namespace quorvellan::discover
