// The listener's run from start to end: set-up, the loop that waits on its
// sources (the socket, standard output, the keyboard, the stop signals) one
// pass at a time, and the one shut-down path that gives the terminal back,
// drains the output and says what went wrong.
#pragma once

#include "options.h"

namespace quorvellan::discover {

// The exit statuses, documented in --help and the manual page.
constexpr int EXIT_DONE = 0;           // time up, q, a signal, or the reader left
constexpr int EXIT_FAILED = 1;         // one line on standard error says why
constexpr int EXIT_USAGE = 2;          // a bad command line
constexpr int EXIT_NOTHING_HEARD = 3;  // --once heard no device

int run_listener(const options& opts);

}  // namespace quorvellan::discover
