// The listener's run from start to end: set-up, the loop that waits on its
// sources (the socket, standard output, the keyboard, the stop signals) one
// pass at a time, and the one shut-down path that gives the terminal back,
// drains the output and says what went wrong.
#pragma once

#include "options.h"

namespace quorvellan::discover {

// The exit status: 0, or 1 after an error it has reported.
int run_listener(const options& opts);

}  // namespace quorvellan::discover
