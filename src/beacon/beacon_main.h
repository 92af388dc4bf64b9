// The daemon's process entry: set up the socket, then beacon forever.
#pragma once

namespace quorvellan {

// Returns 1 when the socket cannot be set up; otherwise never returns.
int beacon_main();

}  // namespace quorvellan
