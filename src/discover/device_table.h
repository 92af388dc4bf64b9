// The devices heard so far, one row each, and the events about them: what is
// new, what changed, what went quiet or came back, and what left the table.
// Whom it keeps and for how long is decided in table_policy; time comes from
// an injected clock so that all of it can be tested without waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "announcement_parser.h"
#include "ipv4.h"
#include "presence_strip.h"
#include "table_policy.h"
#include "usbip_query.h"

namespace quorvellan::discover {

// Offline decisions use the monotonic reading, so that a wall clock step
// neither revives nor buries devices; the wall reading is for display.
struct clock_reading {
    std::chrono::steady_clock::time_point monotonic;
    std::chrono::system_clock::time_point wall;
};
using clock_source = std::function<clock_reading()>;

clock_reading read_system_clocks();

// What a device's USB/IP server said it shares, the last time it was asked.
struct usb_listing {
    usbip_outcome outcome = usbip_outcome::no_answer;  // listed, no_answer or refused
    std::vector<usb_export> devices;                   // with listed, named from the database
    std::string host;                                  // the server asked: its address
    std::int64_t port = 0;                             // and its port

    bool operator==(const usb_listing& other) const
    {
        return outcome == other.outcome && devices == other.devices && host == other.host &&
               port == other.port;
    }
};

struct device_row {
    std::string key;
    announcement_record announcement;
    std::string source;           // dotted IPv4 address the latest datagram came from
    std::string first_source;     // the one it was first heard from
    bool source_suspect = false;  // see is_suspect
    // The address trusted as the device's (see choose_trusted_host): its web
    // link and where its USB/IP server is asked; empty when none is.
    std::string trusted_host;
    int trusted_rule = NO_TRUSTED_HOST;  // the rule that chose it
    // Two senders speak for it (see note_claim): no attach line, no query.
    bool contested = false;
    std::chrono::steady_clock::time_point contested_until;
    std::vector<heard_claim> claims;  // heard within CONTEST_WINDOW
    std::chrono::steady_clock::time_point first_heard;
    clock_reading last_heard;
    bool online = true;
    // The bytes of its latest datagram, to know a repeat without reading it.
    std::string last_datagram;
    // Absent until the USB/IP server at its trusted host and announced port
    // has answered; dropped when either changes.
    std::optional<usb_listing> usb;
    presence_strip presence;  // over the last day, marked on every tick

    // What the last report about this row said, to report each change once
    // and at most once a period.
    announcement_record reported;
    std::string reported_suspect;  // the suspect source reported, or empty
    bool reported_contested = false;
    std::chrono::steady_clock::time_point reported_at;
};

// http://HOST[:PORT]/ for a row, at its trusted host; "" when it has none.
std::string web_url(const device_row& row);

// usb: what its USB/IP server shares changed, or could first be told.
enum class event_kind { new_device, changed, offline, online, removed, usb };
constexpr std::size_t EVENT_KIND_COUNT = static_cast<std::size_t>(event_kind::usb) + 1;

// Why a row left the table.
enum class removal { evicted, forgotten };

// The row is valid while the event is being handled, a removed one too.
struct event {
    event_kind kind = event_kind::new_device;
    const device_row* row = nullptr;
    std::vector<std::string> changed;  // member names, "source" and "contested"
    clock_reading at;
    removal reason = removal::evicted;  // of a removed event
    std::string previous_mac;           // of a changed event that moved the row to a new MAC
};
using event_sink = std::function<void(const event&)>;

// A device as a state file keeps it between runs (see state_file): what a
// row knows of it that is worth more than a minute of listening.
struct known_device {
    announcement_record announcement;
    std::string source;
    std::string first_source;
    std::chrono::system_clock::time_point first_heard;
    std::chrono::system_clock::time_point last_heard;
    presence_strip presence;
};

// What became of a datagram heard.
enum class hearing {
    known,
    added,
    held,  // a new MAC that may be a known device's: decided within a period
    source_full,
    table_full,
};

class device_table {
   public:
    device_table(clock_source clock, event_sink sink, forget_after forget);

    // Byte for byte the latest datagram of an online device, from the address
    // it came from: counted as heard, with nothing to read. The cheap answer
    // that keeps a flood of repeats cheap.
    bool heard_again(std::string_view datagram, const std::string& source);

    // receiving: the subnets of the interface the datagram arrived on;
    // datagram: the bytes the announcement was read from.
    hearing hear(const announcement_record& announcement, const std::string& source,
                 const std::vector<ipv4_subnet>& receiving, std::string_view datagram);

    // To be called about once a second: reports the devices that went
    // offline, the changes held back that are now due, and the rows forgotten.
    void tick();

    // Reports every change still held back, due or not: for the end of a run.
    void flush();

    // Keeps what the USB/IP server of the row keyed key answered, unless it
    // was asked at another address or port than the row's now; reports a usb
    // event when that differs from what it kept before.
    void record_usb(const std::string& key, usb_listing listing);

    // Takes in a device known from an earlier run: offline, with no event,
    // since nothing happened to it in this run. Its silence counts from when
    // it was last heard, so that it is forgotten when it would have been.
    // False when its row exists already or the table is full.
    bool restore(const known_device& known);

    // A row as restore() takes it back.
    known_device known(const device_row& row) const;

    // Ordered by name, then key, so that a redraw does not reshuffle rows.
    std::vector<const device_row*> rows() const;

    // The row keyed key, or null.
    const device_row* find(const std::string& key) const;

    std::size_t size() const
    {
        return index_.size();
    }

    std::size_t online_count() const
    {
        return online_;
    }

    clock_reading now() const
    {
        return clock_();
    }

   private:
    using row_list = std::list<device_row>;

    hearing hear_new(const announcement_record& announcement, const std::string& source,
                     const std::vector<ipv4_subnet>& receiving, std::string_view datagram,
                     clock_reading now);
    void add_row(const announcement_record& announcement, const std::string& source,
                 const std::vector<ipv4_subnet>& receiving, clock_reading now);
    void remove_row(row_list::iterator row, removal reason, clock_reading now);
    // The repeat index, by the latest datagram's bytes.
    void index_datagram(row_list::iterator row, std::string_view datagram);
    void unindex_datagram(row_list::iterator row);
    void set_online(device_row& row, bool online);
    void report_changes(device_row& row, event_kind kind, clock_reading now,
                        const std::string& previous_mac);
    // A new MAC held back while it may still be a known device's.
    struct held_mac {
        announcement_record announcement;
        std::string source;
        std::vector<ipv4_subnet> receiving;
        std::string datagram;
        std::chrono::steady_clock::time_point since;
        std::string known_key;  // the row it may continue
    };
    bool hold(const announcement_record& announcement, const std::string& source,
              const std::vector<ipv4_subnet>& receiving, std::string_view datagram,
              clock_reading now);
    // Decides the held MACs whose time has come: a device beside the known
    // one when that spoke again, the known one under a new MAC when it fell
    // silent.
    void decide_held(clock_reading now);
    void move_to_new_mac(row_list::iterator row, const held_mac& held, clock_reading now);
    void emit(event_kind kind, const device_row& row, clock_reading now);

    clock_source clock_;
    event_sink sink_;
    forget_after forget_;
    row_list rows_;  // least recently heard first
    std::unordered_map<std::string, row_list::iterator> index_;
    std::unordered_map<std::string_view, row_list::iterator> by_datagram_;
    // By first_source, the address a row was made for.
    std::unordered_map<std::string, std::size_t> online_by_source_;
    std::unordered_map<std::string, held_mac> held_;  // by the new row key
    std::unordered_map<std::string, std::vector<std::string>> keys_by_source_;  // first_source
    std::size_t online_ = 0;
};

}  // namespace quorvellan::discover
