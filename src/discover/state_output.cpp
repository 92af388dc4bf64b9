#include "state_output.h"

#include <iostream>
#include <optional>

namespace quorvellan::discover {

state_output::state_output(const std::string& path, const std::vector<known_device>& known,
                           session& listening, bool screen_taken)
    : listening_(listening),
      screen_taken_(screen_taken),
      due_(std::chrono::steady_clock::now()),
      writer_(path)
{
    for (const known_device& device : known) {
        listening_.restore(device);
    }
}

loop_source::time_point state_output::wait_on(std::vector<pollfd>&, time_point)
{
    return next_look_;
}

// The state handed to its writer when due; a failure to write it said once,
// where it does not spoil the live view.
void state_output::step(const pollfd*, time_point now, run_state&)
{
    if (now < next_look_) {
        return;
    }
    next_look_ = now + std::chrono::seconds(1);
    if (due_.due(now, table_changes())) {
        writer_.write(state_text(listening_.table()));
    }
    if (!screen_taken_) {
        tell_failure();
    }
}

void state_output::finish(run_state&)
{
    writer_.write(state_text(listening_.table()));
    writer_.finish();
    tell_failure();
}

std::uint64_t state_output::table_changes() const
{
    std::uint64_t changes = 0;
    for (const std::uint64_t count : listening_.stats().events) {
        changes += count;
    }
    return changes;
}

void state_output::tell_failure()
{
    if (const std::optional<std::string> failure = writer_.take_failure()) {
        std::cerr << "quorvellan-discover: " << *failure << std::endl;
    }
}

}  // namespace quorvellan::discover
