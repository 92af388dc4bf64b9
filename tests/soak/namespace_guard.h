// The soak sends real broadcasts as fast as it can, so it runs only inside a
// network namespace that the tests' simulated device (tests/e2e/simdevice.py)
// or scripts/bench made: they record the identity of the namespace they left
// in the environment, and the soak refuses to run unless it is somewhere else.
#pragma once

#include <cstddef>

namespace quorvellan::soak {

// True when this process is inside such a namespace;
// otherwise false, with the reason in `why`.
bool in_private_network(char* why, std::size_t capacity);

}  // namespace quorvellan::soak
