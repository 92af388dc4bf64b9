#include "attach_keeper.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "usb/arrival_check.h"
#include "usb/sysfs_attribute.h"
#include "usb/tcp_connections.h"

namespace quorvellan::discover {
namespace {

std::string server_of(const std::string& host, std::uint16_t service)
{
    return host + ":" + std::to_string(service);
}

std::string device_of(const vhci_record& record)
{
    return record.host + ":" + record.service + "/" + record.busid;
}

// How long the connection had heard nothing from its server, as TCP counts it.
std::optional<std::chrono::milliseconds> silent_for(int socket)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (socket < 0 || getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(info.tcpi_last_ack_recv);
}

std::uint16_t local_port_of(int socket)
{
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

void close_socket(int& socket)
{
    if (socket >= 0) {
        close(socket);
        socket = -1;
    }
}

const vhci_port* find_port(const std::vector<vhci_port>& ports, unsigned number)
{
    const auto found = std::find_if(ports.begin(), ports.end(), [number](const vhci_port& port) {
        return port.number == number;
    });
    return found != ports.end() ? &*found : nullptr;
}

}  // namespace

attach_keeper::attach_keeper(std::vector<attach_rule> rules, bool detach_on_exit,
                             session& listening, places where)
    : rules_(std::move(rules)),
      detach_on_exit_(detach_on_exit),
      listening_(listening),
      where_(std::move(where)),
      hold_(where_.sysfs, where_.run_dir)
{
    given_ = rules_.size();
    if (!rules_.empty()) {
        start_keeping();
    }
    listening_.subscribe([this](const event& happened) { noticed(happened); });
}

void attach_keeper::start_keeping()
{
    hold_.restore_left_over();
    const vhci_listing ports = read_vhci_ports(where_.sysfs);
    if (ports.error.empty()) {
        for (const vhci_record& stale :
             adopt_attachments(ports.ports, read_vhci_records(where_.run_dir)).stale) {
            remove_vhci_record(where_.run_dir, stale.port);
        }
    }
    count_kept();
}

attach_keeper::~attach_keeper()
{
    for (kept& attachment : kept_) {
        close_socket(attachment.socket);
    }
    if (attaching_) {
        close_socket(attaching_->socket);
    }
}

// Flags and keys only: the table is in the middle of reporting.
void attach_keeper::noticed(const event& happened)
{
    if (!happened.previous_key.empty()) {
        rekey(happened.previous_key, happened.row->key);
    }
    if (happened.kind != event_kind::new_device && happened.kind != event_kind::online &&
        happened.kind != event_kind::changed) {
        return;
    }
    for (const attach_rule& rule : rules_) {
        look_now_ = look_now_ || names_row(rule, *happened.row);
    }
}

// The row moved to a new MAC, and so to a new key: what is kept for it follows.
void attach_keeper::rekey(const std::string& was, const std::string& key)
{
    if (auto found = jobs_.extract(was)) {
        found.key() = key;
        jobs_.insert(std::move(found));
    }
    for (kept& attachment : kept_) {
        attachment.key = attachment.key == was ? key : attachment.key;
    }
    for (wanted& queued : queue_) {
        queued.key = queued.key == was ? key : queued.key;
    }
    if (attaching_ && attaching_->what.key == was) {
        attaching_->what.key = key;
    }
    std::map<std::pair<std::string, std::size_t>, std::string> said;
    for (auto& [which, error] : said_) {
        said[{which.first == was ? key : which.first, which.second}] = std::move(error);
    }
    said_ = std::move(said);
}

void attach_keeper::say(const std::string& key, std::size_t rule, const std::string& busid,
                        const std::string& error)
{
    std::string& last = said_[{key, rule}];
    if (last != error) {
        last = error;
        listening_.on_attach_failed(key, rules_[rule].text, busid, error);
    }
}

loop_source::time_point attach_keeper::wait_on(std::vector<pollfd>& waiting, time_point now)
{
    if (rules_.empty()) {
        return time_point::max();
    }
    time_point until = look_now_ ? now : next_tick_;
    polled_.clear();
    for (const auto& [key, row] : jobs_) {
        if (row.query) {
            waiting.push_back({row.query->fd(), row.query->events(), 0});
            polled_.push_back(key);
            until = std::min(until, row.query->deadline());
        } else if (row.picked && row.attaching == 0) {
            until = std::min(until, row.tries.due());
        }
    }
    import_polled_ = attaching_ && attaching_->import;
    if (import_polled_) {
        waiting.push_back({attaching_->import->fd(), attaching_->import->events(), 0});
        until = std::min(until, attaching_->import->deadline());
    } else if (attaching_) {
        until = std::min(until, now + ARRIVAL_POLL);
    } else if (!queue_.empty()) {
        until = now;
    }
    return until;
}

// Also when only a deadline has come, which no descriptor tells.
void attach_keeper::step(const pollfd* ready, time_point now, run_state&)
{
    if (rules_.empty()) {
        return;
    }
    for (std::size_t i = 0; i < polled_.size(); ++i) {
        const auto found = jobs_.find(polled_[i]);
        if (found == jobs_.end() || !found->second.query) {
            continue;
        }
        usbip_query& query = *found->second.query;
        if (ready[i].revents != 0 || now >= query.deadline()) {
            query.step(now);
        }
        if (query.outcome() != usbip_outcome::pending) {
            listed(found->first, found->second, now);
        }
    }
    if (attaching_) {
        step_attach(import_polled_ && ready[polled_.size()].revents != 0, now);
    }
    if (now >= next_tick_) {
        tick(now);
        forget_said();
        next_tick_ = now + ATTACH_TICK;
        look_now_ = true;
    }
    if (look_now_) {
        follow(now);
    }
    start_due(now);
    count_kept();
}

// Which rows the rules pick now, and how each has changed.
void attach_keeper::follow(time_point now)
{
    look_now_ = false;
    const device_table& table = listening_.table();
    const std::vector<const device_row*> rows = table.rows();
    for (auto& [key, row] : jobs_) {
        row.picked = false;
        row.rules.clear();
    }
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        if (!in_force(i)) {
            continue;
        }
        const rule_pick pick = pick_row(rules_[i], rows);
        if (pick.row != nullptr) {
            job& row = jobs_[pick.row->key];
            row.picked = true;
            row.rules.push_back(i);
        }
        for (const device_row* named : pick.named) {
            say(named->key, i, "", pick.refusal);
        }
    }
    for (auto found = jobs_.begin(); found != jobs_.end();) {
        const std::string& key = found->first;
        job& row = found->second;
        const device_row* now_row = table.find(key);
        const bool holds = std::any_of(kept_.begin(), kept_.end(),
                                       [&](const kept& each) { return each.key == key; });
        if (now_row == nullptr && !holds && !row.query && row.attaching == 0) {
            found = jobs_.erase(found);
            continue;
        }
        if (now_row != nullptr && row.tries.follow(*now_row, now)) {
            // What was asked or queued at the old address is not to be used.
            row.query.reset();
            row.failed = false;
            const std::size_t before = queue_.size();
            queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                        [&](const wanted& each) { return each.key == key; }),
                         queue_.end());
            row.attaching -= before - queue_.size();
        }
        ++found;
    }
}

// vhci-hcd's ports: ours that were freed, and a person's own devices that
// arrived held in our window.
void attach_keeper::tick(time_point now)
{
    const vhci_listing listing = read_vhci_ports(where_.sysfs);
    if (!listing.error.empty()) {
        return;
    }
    const std::vector<vhci_record> records = read_vhci_records(where_.run_dir);
    for (auto attachment = kept_.begin(); attachment != kept_.end();) {
        const vhci_port* port = find_port(listing.ports, attachment->record.port);
        if (port != nullptr && port->state == VHCI_PORT_USED && port->devid == attachment->devid) {
            ++attachment;
            continue;
        }
        const bool record_kept =
            std::find(records.begin(), records.end(), attachment->record) != records.end();
        std::optional<detach_reason> why =
            freed_reason(record_kept, silent_for(attachment->socket));
        close_socket(attachment->socket);
        if (record_kept) {
            remove_vhci_record(where_.run_dir, attachment->record.port);
        }
        const auto found = jobs_.find(attachment->key);
        const device_row* row = listening_.table().find(attachment->key);
        if (!why &&
            (found == jobs_.end() || !found->second.picked || row == nullptr || !row->online)) {
            why = detach_reason::link_lost;  // no server to ask: silent
        }
        if (why == detach_reason::by_hand) {
            by_hand_.insert(device_of(attachment->record));
        }
        if (found != jobs_.end()) {
            if (why == detach_reason::link_lost && attachment->local_port != 0) {
                found->second.stale.push_back(
                    {attachment->local_port, attachment->record.busid, 0});
            } else if (why == detach_reason::link_lost) {
                note_dead_connections(found->second);
            }
            if (!why) {
                found->second.unexplained.emplace_back(attachment->record.busid,
                                                       attachment->record.port);
            }
            found->second.tries.port_freed(now);
        }
        const kept gone = std::move(*attachment);
        attachment = kept_.erase(attachment);
        if (why) {
            listening_.on_detached(gone.key, gone.record.busid, gone.record.port, *why);
        }
    }
    authorize_others(where_.sysfs, listing.ports, our_ports());
}

// What was said to rows that have left the table is forgotten with them.
void attach_keeper::forget_said()
{
    const device_table& table = listening_.table();
    for (auto said = said_.begin(); said != said_.end();) {
        said = table.find(said->first.first) == nullptr ? said_.erase(said) : std::next(said);
    }
}

std::vector<unsigned> attach_keeper::our_ports() const
{
    std::vector<unsigned> ours;
    for (const kept& attachment : kept_) {
        ours.push_back(attachment.record.port);
    }
    if (attaching_ && attaching_->port >= 0) {
        ours.push_back(static_cast<unsigned>(attaching_->port));
    }
    return ours;
}

// The rows whose try is due: what this machine has attached of what their
// rules name is taken over, what they have at an address they left is let
// go; then their server is asked at once.
void attach_keeper::start_due(time_point now)
{
    for (auto& [key, row] : jobs_) {
        if (!row.picked || row.query || row.attaching > 0 || row.tries.due() > now) {
            continue;
        }
        bool moved = false;
        for (auto attachment = kept_.begin(); attachment != kept_.end();) {
            if (attachment->key == key &&
                (attachment->record.host != row.tries.host() ||
                 attachment->record.service != std::to_string(row.tries.port()))) {
                let_go(*attachment, detach_reason::moved);
                attachment = kept_.erase(attachment);
                moved = true;
            } else {
                ++attachment;
            }
        }
        if (moved) {
            row.tries.not_before(now + SHARED_AGAIN_AFTER);
            continue;
        }
        take_over(key, row);
        row.stale_next = 0;
        ask(row, now);
    }
    // Without vhci-hcd the server is not even asked to let its device go.
    while (!attaching_ && !queue_.empty()) {
        attaching_.emplace(std::move(queue_.front()));
        queue_.pop_front();
        if (const vhci_listing ports = read_vhci_ports(where_.sysfs); !ports.error.empty()) {
            attach_done(ports.error, now);
            continue;
        }
        const wanted& next = attaching_->what;
        attaching_->import.emplace(next.host, next.service, next.listed.busid, now);
    }
}

// From the next port whose connection died unheard, if any is left.
void attach_keeper::ask(job& row, time_point now)
{
    row.queried_from = row.stale_next < row.stale.size() ? row.stale[row.stale_next].port : 0;
    row.query.emplace(row.tries.host(), row.tries.port(), now, row.queried_from);
}

// The attachments on this machine of what the row's rules name at its
// server: ours from a run before, or a person's. A server does not list
// what is in use, so they are known by their records: a bus id rule by
// the bus id, an ids rule by the ids of the device that arrived.
void attach_keeper::take_over(const std::string& key, job& row)
{
    const vhci_listing ports = read_vhci_ports(where_.sysfs);
    if (!ports.error.empty()) {
        return;
    }
    const std::string service = std::to_string(row.tries.port());
    const std::size_t before = kept_.size();
    for (const auto& [port, record] :
         adopt_attachments(ports.ports, read_vhci_records(where_.run_dir)).attached) {
        if (record.host != row.tries.host() || record.service != service ||
            kept_or_coming(record)) {
            continue;
        }
        const std::string path = arrived_device_path(where_.sysfs, port);
        const usb_descriptor_summary arrived =
            path.empty() ? usb_descriptor_summary{} : read_arrived_device(path).summary;
        for (const std::size_t rule : row.rules) {
            const attach_rule& named = rules_[rule];
            if (named.ids
                    ? !path.empty() && *named.ids == usb_ids{arrived.vendor_id, arrived.product_id}
                    : named.busid == record.busid) {
                adopt(key, rule, record, port, nullptr, row);
                break;
            }
        }
    }
    if (kept_.size() == before) {
        return;
    }
    // Which connections are theirs is not known; all but ours will do.
    for (const std::uint16_t port : established(row)) {
        const bool ours = std::any_of(kept_.begin(), kept_.end(),
                                      [port](const kept& each) { return each.local_port == port; });
        if (!ours && std::find(row.taken_over_ports.begin(), row.taken_over_ports.end(), port) ==
                         row.taken_over_ports.end()) {
            row.taken_over_ports.push_back(port);
        }
    }
}

// What the row's server answered: once asked from every port whose
// connection died unheard, what the rules name there is attached, or said
// to be missing.
void attach_keeper::listed(const std::string& key, job& row, time_point now)
{
    const usbip_query query = std::move(*row.query);
    row.query.reset();
    const bool answered = query.outcome() != usbip_outcome::no_answer;
    for (const auto& [busid, port] : row.unexplained) {
        listening_.on_detached(key, busid, port,
                               answered ? detach_reason::server_let_go : detach_reason::link_lost);
    }
    if (!row.unexplained.empty() && !answered) {
        note_dead_connections(row);
    }
    row.unexplained.clear();
    if (answered && row.queried_from != 0 && ask_from_next_stale(row, now)) {
        return;
    }
    if (query.outcome() == usbip_outcome::listed) {
        forget_let_go(row, query.devices());
    }
    if (!row.picked) {
        return;
    }
    const std::string server = server_of(row.tries.host(), row.tries.port());
    if (query.outcome() != usbip_outcome::listed) {
        const std::string error =
            answered
                ? "the USB/IP server at " + server + " answered with " + query.reason()
                : "no answer from the USB/IP server at " + server + " (" + query.reason() + ")";
        for (const std::size_t rule : row.rules) {
            say(key, rule, "", error);
            count(attach_result::failed);
        }
        row.tries.failed(now);
        return;
    }
    take_listed(key, row, query.devices(), now);
}

// The server answered an ask from a dead connection's port: that counts
// as one of its asks, and the try goes on from the next port, if any;
// true when it did.
bool attach_keeper::ask_from_next_stale(job& row, time_point now)
{
    const auto from = std::find_if(
        row.stale.begin(), row.stale.end(),
        [&row](const stale_connection& each) { return each.port == row.queried_from; });
    if (from != row.stale.end() && ++from->asked >= STALE_ASKS) {
        row.stale.erase(from);
    } else if (from != row.stale.end()) {
        ++row.stale_next;
    }
    if (row.stale_next >= row.stale.size() || !row.picked) {
        return false;
    }
    ask(row, now);
    return true;
}

// What the rules name among what the row's server lists: attached here
// already and taken over, or queued to be attached; or said to be missing.
void attach_keeper::take_listed(const std::string& key, job& row,
                                const std::vector<usb_export>& devices, time_point now)
{
    const std::string server = server_of(row.tries.host(), row.tries.port());
    const vhci_listing ports = read_vhci_ports(where_.sysfs);
    const std::vector<vhci_record> records = read_vhci_records(where_.run_dir);
    for (const std::size_t rule : row.rules) {
        const device_pick pick = pick_devices(rules_[rule], devices, server);
        if (!pick.error.empty() && !holds(key, rule, row)) {
            say(key, rule, "", pick.error);
            count(attach_result::failed);
            row.failed = true;
        }
        for (const usb_export* device : pick.devices) {
            const vhci_record record{0, row.tries.host(), std::to_string(row.tries.port()),
                                     device->busid};
            if (kept_or_coming(record) || by_hand_.count(device_of(record)) != 0) {
                continue;
            }
            // A server that lists what is in use: attached here already.
            if (const std::optional<vhci_port> port =
                    attached_already(ports.ports, records, record)) {
                adopt(key, rule, {port->number, record.host, record.service, record.busid}, *port,
                      device, row);
                continue;
            }
            queue_.push_back({key, rule, row.tries.host(), row.tries.port(), *device});
            ++row.attaching;
        }
    }
    if (row.attaching == 0) {
        try_done(row, now);
    }
}

// Something the rule names at the row's server is ours: its server lists
// it no more while it is in use.
bool attach_keeper::holds(const std::string& key, std::size_t rule, const job& row) const
{
    const std::string service = std::to_string(row.tries.port());
    return std::any_of(kept_.begin(), kept_.end(), [&](const kept& attachment) {
        return attachment.key == key && attachment.rule == rule &&
               attachment.record.host == row.tries.host() && attachment.record.service == service;
    });
}

// The device is ours or on its way: kept, queued or being attached.
bool attach_keeper::kept_or_coming(const vhci_record& record) const
{
    const auto same = [&record](const std::string& host, const std::string& service,
                                const std::string& busid) {
        return host == record.host && service == record.service && busid == record.busid;
    };
    for (const kept& attachment : kept_) {
        if (same(attachment.record.host, attachment.record.service, attachment.record.busid)) {
            return true;
        }
    }
    for (const wanted& queued : queue_) {
        if (same(queued.host, std::to_string(queued.service), queued.listed.busid)) {
            return true;
        }
    }
    return attaching_ && same(attaching_->what.host, std::to_string(attaching_->what.service),
                              attaching_->what.listed.busid);
}

// An attachment of the device found on this machine: checked as one of
// ours would be (against the server's list when it has one, else the rule
// alone), let in if it was left held, and kept from now on.
void attach_keeper::adopt(const std::string& key, std::size_t rule, const vhci_record& record,
                          const vhci_port& port, const usb_export* listed, job& row)
{
    usb_ids ids = listed != nullptr ? usb_ids{listed->vendor_id, listed->product_id} : usb_ids{};
    const std::string path = arrived_device_path(where_.sysfs, port);
    if (!path.empty()) {
        const descriptor_reading arrived = read_arrived_device(path);
        if (listed == nullptr) {
            ids = {arrived.summary.vendor_id, arrived.summary.product_id};
        }
        usb_export itself;
        itself.busid = record.busid;
        itself.vendor_id = arrived.summary.vendor_id;
        itself.product_id = arrived.summary.product_id;
        itself.device_class = arrived.summary.device_class;
        const arrival_verdict verdict =
            judge_arrival(arrived, rules_[rule], listed != nullptr ? *listed : itself);
        std::string authorized;
        read_text_file(path + "/authorized", authorized);
        const std::string failure = !verdict.authorize    ? verdict.reason
                                    : authorized == "0\n" ? authorize_device(path)
                                                          : std::string();
        if (!failure.empty()) {
            vhci_detach(where_.sysfs, port.number);
            remove_vhci_record(where_.run_dir, port.number);
            listening_.on_detached(key, record.busid, port.number, detach_reason::refused, failure);
            count(verdict.authorize ? attach_result::failed : attach_result::refused);
            row.failed = true;
            return;
        }
    }
    kept_.push_back({key, rule, record, port.devid, -1, 0, ids});
    said_.erase({key, rule});
    listening_.on_attached(key, record.busid, port.number);
}

void attach_keeper::step_attach(bool ready, time_point now)
{
    attaching& under_way = *attaching_;
    if (!under_way.import) {
        arrive(now);
        return;
    }
    usbip_import& import = *under_way.import;
    if (ready || now >= import.deadline()) {
        import.step(now);
    }
    if (import.outcome() == import_outcome::pending) {
        return;
    }
    if (import.outcome() != import_outcome::imported) {
        attach_done(import.reason(), now);
        return;
    }
    under_way.socket = import.take_socket();
    if (under_way.socket < 0) {
        attach_done(import.reason(), now);
        return;
    }
    under_way.local_port = local_port_of(under_way.socket);
    const vhci_attachment attached =
        vhci_attach(where_.sysfs, under_way.socket, import.reply().device,
                    [&](const vhci_port& port) -> std::string {
                        const std::string hub = vhci_root_hub(where_.sysfs, port);
                        if (hub.empty()) {
                            return "no root hub for vhci port " + std::to_string(port.number);
                        }
                        std::string failure = hold_.hold(hub);
                        if (failure.empty()) {
                            under_way.held.push_back(hub);
                        }
                        return failure;
                    });
    under_way.import.reset();
    if (attached.port < 0) {
        attach_done(attached.error, now);
        return;
    }
    under_way.port = attached.port;
    const wanted& what = under_way.what;
    const vhci_record record{static_cast<unsigned>(attached.port), what.host,
                             std::to_string(what.service), what.listed.busid};
    if (std::string failure = write_vhci_record(where_.run_dir, record); !failure.empty()) {
        attach_done(failure, now);
        return;
    }
    under_way.give_up = now + ARRIVAL_LIMIT;
}

// The device on our port: held until it has arrived, then checked, and let
// in or let go.
void attach_keeper::arrive(time_point now)
{
    attaching& under_way = *attaching_;
    const auto port_number = static_cast<unsigned>(under_way.port);
    const vhci_listing listing = read_vhci_ports(where_.sysfs);
    const vhci_port* port = find_port(listing.ports, port_number);
    // Until the device is enumerated the port reads "not assigned" (5).
    if (port == nullptr || port->free()) {
        attach_done("the connection ended before the device arrived on vhci port " +
                        std::to_string(port_number),
                    now);
        return;
    }
    const std::string path = arrived_device_path(where_.sysfs, *port);
    if (path.empty()) {
        if (now >= under_way.give_up) {
            attach_done("nothing arrived on vhci port " + std::to_string(port_number) + " within " +
                            std::to_string(ARRIVAL_LIMIT.count()) + " s",
                        now);
        }
        return;
    }
    release_holds(under_way.held);
    authorize_others(where_.sysfs, listing.ports, our_ports());
    const arrival_verdict verdict = judge_arrival(
        read_arrived_device(path), rules_[under_way.what.rule], under_way.what.listed);
    if (!verdict.authorize) {
        attach_done(verdict.reason, now, attach_result::refused);
        return;
    }
    if (std::string failure = authorize_device(path); !failure.empty()) {
        attach_done(failure, now);
        return;
    }
    const wanted& what = under_way.what;
    kept_.push_back({what.key,
                     what.rule,
                     {port_number, what.host, std::to_string(what.service), what.listed.busid},
                     port->devid,
                     under_way.socket,
                     under_way.local_port,
                     {what.listed.vendor_id, what.listed.product_id}});
    under_way.socket = -1;
    attach_done("", now);
}

void attach_keeper::attach_done(std::string error, time_point now, attach_result failure)
{
    count(error.empty() ? attach_result::attached : failure);
    if (!error.empty()) {
        undo_attach();
    }
    const wanted what = std::move(attaching_->what);
    attaching_.reset();
    if (error.empty()) {
        said_.erase({what.key, what.rule});
        listening_.on_attached(what.key, what.listed.busid, kept_.back().record.port);
    } else {
        say(what.key, what.rule, what.listed.busid, error);
    }
    const auto found = jobs_.find(what.key);
    if (found == jobs_.end()) {
        return;
    }
    job& row = found->second;
    row.failed = row.failed || !error.empty();
    // A row that moved meanwhile is tried at its new address when that has
    // settled, whatever became of this.
    const bool still_there = what.host == row.tries.host() && what.service == row.tries.port();
    if (row.attaching > 0 && --row.attaching == 0 && still_there) {
        try_done(row, now);
    }
}

// Takes back what the attach under way has put in place.
void attach_keeper::undo_attach()
{
    attaching& under_way = *attaching_;
    if (under_way.port >= 0) {
        vhci_detach(where_.sysfs, static_cast<unsigned>(under_way.port));
        remove_vhci_record(where_.run_dir, static_cast<unsigned>(under_way.port));
        under_way.port = -1;
    }
    release_holds(under_way.held);
    close_socket(under_way.socket);
}

// The local ports of this machine's live connections to the row's server.
std::vector<std::uint16_t> attach_keeper::established(const job& row) const
{
    std::string text;
    read_text_file(where_.tcp_connections, text);
    return established_from(text, row.tries.host(), row.tries.port());
}

// The connections of attachments taken over that have died since: the
// server may hold their devices still.
void attach_keeper::note_dead_connections(job& row) const
{
    const std::vector<std::uint16_t> alive = established(row);
    for (auto port = row.taken_over_ports.begin(); port != row.taken_over_ports.end();) {
        if (std::find(alive.begin(), alive.end(), *port) == alive.end()) {
            row.stale.push_back({*port, "", 0});
            port = row.taken_over_ports.erase(port);
        } else {
            ++port;
        }
    }
}

// The dead connections whose device the server lists again: it has let
// go of what they carried.
void attach_keeper::forget_let_go(job& row, const std::vector<usb_export>& devices)
{
    row.stale.erase(std::remove_if(row.stale.begin(), row.stale.end(),
                                   [&devices](const stale_connection& each) {
                                       return std::any_of(devices.begin(), devices.end(),
                                                          [&each](const usb_export& device) {
                                                              return device.busid == each.busid;
                                                          });
                                   }),
                    row.stale.end());
}

void attach_keeper::try_done(job& row, time_point now)
{
    if (row.failed) {
        row.tries.failed(now);
    } else {
        // All the rules name is attached: nothing held is left to end.
        row.tries.succeeded();
        row.stale.clear();
    }
    if (row.again) {
        row.tries.port_freed(now);
    }
    row.failed = false;
    row.again = false;
}

void attach_keeper::release_holds(std::vector<std::string>& held)
{
    for (const std::string& hub : held) {
        hold_.release(hub);
    }
    held.clear();
}

void attach_keeper::let_go(kept& attachment, detach_reason why)
{
    vhci_detach(where_.sysfs, attachment.record.port);
    remove_vhci_record(where_.run_dir, attachment.record.port);
    close_socket(attachment.socket);
    listening_.on_detached(attachment.key, attachment.record.busid, attachment.record.port, why);
}

std::string attach_keeper::attach_by_key(const std::string& key, const std::string& busid,
                                         time_point now)
{
    const device_row* row = listening_.table().find(key);
    if (row == nullptr) {
        return "it has left the table";
    }
    const std::string device =
        row->trusted_host + ":" + std::to_string(row->announcement.usbip) + "/" + busid;
    bool named = false;
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        named = named || (in_force(i) && names_shared(rules_[i], *row, busid));
    }
    const key_rule made = rule_for_key(*row, busid);
    if (!(named && by_hand_.count(device) != 0) && !made.rule) {
        return made.refusal;
    }
    if (std::string refusal = vhci_attach_refusal(where_.sysfs); !refusal.empty()) {
        return refusal;
    }
    if (rules_.empty()) {
        start_keeping();
    }
    by_hand_.erase(device);
    if (!named) {
        const auto same = std::find_if(rules_.begin(), rules_.end(), [&](const attach_rule& rule) {
            return rule.text == made.rule->text;
        });
        if (same == rules_.end()) {
            rules_.push_back(*made.rule);
        } else {
            dropped_.erase(static_cast<std::size_t>(same - rules_.begin()));
        }
    }
    job& tried = jobs_[key];
    tried.tries.port_freed(now);
    tried.again = tried.query || tried.attaching > 0;
    look_now_ = true;
    return "attaching " + busid + ", kept attached for this run";
}

std::string attach_keeper::detach_by_key(const std::string& key, const std::string& busid)
{
    const auto found = std::find_if(kept_.begin(), kept_.end(), [&](const kept& attachment) {
        return attachment.key == key && attachment.record.busid == busid;
    });
    if (found == kept_.end()) {
        return busid + " is not attached here by this listener";
    }
    if (std::string refusal = vhci_attach_refusal(where_.sysfs); !refusal.empty()) {
        return refusal;
    }
    const device_row* row = listening_.table().find(key);
    for (std::size_t i = given_; row != nullptr && i < rules_.size(); ++i) {
        if (names_row(rules_[i], *row) && names_usb(rules_[i], busid, found->ids)) {
            dropped_.insert(i);
        }
    }
    by_hand_.insert(device_of(found->record));
    let_go(*found, detach_reason::by_hand);
    kept_.erase(found);
    return busid + " let go: so until a, or the next run";
}

void attach_keeper::finish(run_state&)
{
    if (attaching_) {
        undo_attach();
        attaching_.reset();
    }
    for (kept& attachment : kept_) {
        if (detach_on_exit_) {
            let_go(attachment, detach_reason::by_rule);
        }
        close_socket(attachment.socket);
    }
    kept_.clear();
}

bool attach_keeper::in_force(std::size_t rule) const
{
    return dropped_.count(rule) == 0;
}

void attach_keeper::count(attach_result result)
{
    ++listening_.stats().attach_attempts[static_cast<std::size_t>(result)];
}

// Each rule in force with how many of ours it names, whichever rule
// attached them: the metrics read it.
void attach_keeper::count_kept()
{
    const device_table& table = listening_.table();
    std::vector<attach_rule_count>& counts = listening_.stats().attach_rules;
    std::size_t shown = 0;
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        if (!in_force(i)) {
            continue;
        }
        const attach_rule& rule = rules_[i];
        if (shown == counts.size()) {
            counts.emplace_back();
        }
        attach_rule_count& count = counts[shown++];
        if (count.rule != rule.text) {
            count.rule = rule.text;
        }
        count.attached = static_cast<std::uint64_t>(
            std::count_if(kept_.begin(), kept_.end(), [&](const kept& each) {
                const device_row* row = table.find(each.key);
                return row != nullptr && names_row(rule, *row) &&
                       names_usb(rule, each.record.busid, each.ids);
            }));
    }
    counts.resize(shown);
}

}  // namespace quorvellan::discover
