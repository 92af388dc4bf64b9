// Standard output as a source of the run loop: the session's lines (or
// JSON lines) written as fast as the reader takes them, a reader that
// leaves or a write that fails ending the run; and at the end the last
// lines (the held-back changes, the final table or snapshot), drained
// within a grace time unless the run waits for them.
#pragma once

#include <vector>

#include "options.h"
#include "run_loop.h"
#include "session.h"
#include "terminal/line_output.h"

namespace quorvellan::discover {

class stdout_output : public loop_source {
   public:
    // out: where the session's line sink puts its lines.
    stdout_output(line_output& out, session& listening, const options& opts);

    time_point wait_on(std::vector<pollfd>& waiting, time_point now) override;
    void step(const pollfd* ready, time_point now, run_state& run) override;
    void finish(run_state& run) override;

   private:
    void fail_on_error(run_state& run);

    line_output& out_;
    session& listening_;
    bool timed_;  // --timeout: its last lines wait no longer than a grace time
};

}  // namespace quorvellan::discover
