// The events as lines of text, for a pipe, a file or a dumb terminal: one
// line each, with the device's whole announcement. Values from the network
// pass through terminal_safe on the way.
#pragma once

#include <string>

#include "table/device_event.h"
#include "terminal/terminal_text.h"

namespace quorvellan::discover {

// One line for an event, with the device's whole announcement.
std::string change_line(const event& reported, charset shown);

}  // namespace quorvellan::discover
