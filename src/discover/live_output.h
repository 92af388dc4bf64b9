// The live view as a source of the run loop: its keys, a redraw every
// second and whenever a shared USB device is told, the device opened with
// Enter asked at once for what it shares, and the terminal given back at
// the end whatever ended the run. Its keys a and d in a device's details
// are served by the attach keeper, when there is one.
#pragma once

#include <memory>
#include <vector>

#include "attach_keeper.h"
#include "run_loop.h"
#include "session.h"
#include "terminal/live_view.h"
#include "usb_watch.h"

namespace quorvellan::discover {

class live_output : public loop_source {
   public:
    // keeper: null where USB devices cannot be attached here.
    live_output(std::unique_ptr<live_view> view, session& listening, usb_watch& usb,
                attach_keeper* keeper);

    time_point wait_on(std::vector<pollfd>& waiting, time_point now) override;
    void step(const pollfd* ready, time_point now, run_state& run) override;
    void finish(run_state& run) override;

   private:
    void redraw(time_point now);

    std::unique_ptr<live_view> view_;
    session& listening_;
    usb_watch& usb_;
    attach_keeper* keeper_;
    bool told_usb_ = false;  // a usb event since the last drawing
    time_point next_redraw_ = time_point::min();
};

}  // namespace quorvellan::discover
