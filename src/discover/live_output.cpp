#include "live_output.h"

#include <optional>
#include <string>

namespace quorvellan::discover {

live_output::live_output(std::unique_ptr<live_view> view, session& listening, usb_watch& usb,
                         attach_keeper* keeper)
    : view_(std::move(view)), listening_(listening), usb_(usb), keeper_(keeper)
{
    if (keeper_ != nullptr) {
        view_->offer_attach();
    }
    listening_.subscribe([this](const event& happened) {
        told_usb_ = told_usb_ || happened.kind == event_kind::usb;
    });
}

loop_source::time_point live_output::wait_on(std::vector<pollfd>& waiting, time_point now)
{
    waiting.push_back({view_->input_fd(), POLLIN, 0});
    return told_usb_ ? now : next_redraw_;
}

// Keys first, also after EINTR: a resize arrives as SIGWINCH.
void live_output::step(const pollfd* ready, time_point now, run_state& run)
{
    const std::optional<std::string> was_open = view_->open_key();
    const live_view::action asked = view_->handle_input();
    if (asked == live_view::action::quit) {
        run.end(ending::quit_key);
        return;
    }
    // A terminal that hung up would wake every poll at once from now on.
    if ((ready->revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        run.end(ending::hang_up);
        return;
    }
    for (const usb_request& asked_for : view_->take_requests()) {
        view_->say(asked_for.attach ? keeper_->attach_by_key(asked_for.key, asked_for.busid, now)
                                    : keeper_->detach_by_key(asked_for.key, asked_for.busid));
    }
    // Opening a device asks its USB/IP server at once.
    if (view_->open_key() != was_open) {
        usb_.open(view_->open_key());
        usb_.follow(listening_.table(), now);
    }
    if (asked == live_view::action::redraw || told_usb_ || now >= next_redraw_) {
        redraw(now);
    }
}

void live_output::finish(run_state&)
{
    view_->close();
}

void live_output::redraw(time_point now)
{
    const device_table& table = listening_.table();
    view_->draw(table.rows(), table.now(), listening_.status());
    told_usb_ = false;
    if (now >= next_redraw_) {
        next_redraw_ = now + std::chrono::seconds(1);
    }
}

}  // namespace quorvellan::discover
