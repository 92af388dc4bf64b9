// The devices heard so far, one row each, and the events about them: what is
// new, what changed, what went quiet or came back, and what left the table.
// Whom it keeps and for how long is decided in table_policy; time comes from
// an injected clock so that all of it can be tested without waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "table/announcement_parser.h"
#include "table/device_event.h"
#include "table/device_row.h"
#include "table/ipv4.h"
#include "table/presence_strip.h"
#include "table/table_policy.h"

namespace quorvellan::discover {

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

    // The shared USB device busid of the row keyed key is attached here on
    // vhci port `port`, and let in: an attached event, unless it was so
    // already.
    void record_attachment(const std::string& key, const std::string& busid, unsigned port);

    // It was let go from that port, for that reason (error: the check's line
    // when refused): a detached event, also when the table did not know it
    // attached (one found at the start, then refused).
    void record_detachment(const std::string& key, const std::string& busid, unsigned port,
                           detach_reason why, std::string error = {});

    // What the rule names of the row could not be attached, and why
    // (busid: "" when the failure names no one device): an attach_failed
    // event. Whoever tries again says a cause once, not at every try.
    void record_attach_failure(const std::string& key, const std::string& rule,
                               const std::string& busid, std::string error);

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
    // previous_mac, previous_key: the row's before it moved to a new MAC.
    void report_changes(device_row& row, event_kind kind, clock_reading now,
                        const std::string& previous_mac = {}, const std::string& previous_key = {});
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
