// The soak sends real broadcasts as fast as it can, so it runs only inside a
// network namespace that scripts/lib/devicenet.py made: that module's enter()
// records the identity of the namespace it left in the environment, and the
// soak refuses to run unless it is somewhere else.
#pragma once

#include <cstddef>

namespace quorvellan::soak {

// True when this process is inside a namespace entered through devicenet;
// otherwise false, with the reason in `why`.
bool in_private_network(char* why, std::size_t capacity);

}  // namespace quorvellan::soak
