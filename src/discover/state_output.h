// The state file (--state) as a source of the run loop: the devices kept
// from the last run taken back into the table, the table written soon
// after it changes and now and then whatever happens, and once more at the
// end, after the last events.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run_loop.h"
#include "session.h"
#include "table/state_file.h"

namespace quorvellan::discover {

class state_output : public loop_source {
   public:
    // known: what load_state read from path, before the terminal was taken.
    // screen_taken: the live view is up, so a failure to write is told at
    // the end rather than over it.
    state_output(const std::string& path, const std::vector<known_device>& known,
                 session& listening, bool screen_taken);

    time_point wait_on(std::vector<pollfd>& waiting, time_point now) override;
    void step(const pollfd* ready, time_point now, run_state& run) override;
    void finish(run_state& run) override;

   private:
    // Every event is a change of the table worth keeping.
    std::uint64_t table_changes() const;
    void tell_failure();

    session& listening_;
    bool screen_taken_;
    state_schedule due_;
    time_point next_look_ = time_point::min();
    state_writer writer_;
};

}  // namespace quorvellan::discover
