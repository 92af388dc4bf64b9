#include "namespace_guard.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quorvellan::soak {

namespace {

// Set by the namespace tests (tests/e2e/simdevice.py) and scripts/bench:
// "DEV:INODE" of every network namespace above ours, comma-separated, as
// Python's os.stat reports them.
constexpr const char* LEFT_NAMESPACES = "QUORVELLAN_DEVICENET_HOST_NETNS";

bool listed(const char* list, const char* identity)
{
    const std::size_t length = std::strlen(identity);
    for (const char* entry = list; entry != nullptr;) {
        const char* end = std::strchr(entry, ',');
        const std::size_t entry_length =
            end ? static_cast<std::size_t>(end - entry) : std::strlen(entry);
        if (entry_length == length && std::strncmp(entry, identity, length) == 0) {
            return true;
        }
        entry = end ? end + 1 : nullptr;
    }
    return false;
}

}  // namespace

bool in_private_network(char* why, std::size_t capacity)
{
    const char* left = std::getenv(LEFT_NAMESPACES);
    if (left == nullptr || *left == '\0') {
        std::snprintf(why, capacity,
                      "not started inside a namespace of the tests or the bench (%s unset)",
                      LEFT_NAMESPACES);
        return false;
    }
    struct stat ours;
    if (stat("/proc/self/ns/net", &ours) != 0) {
        std::snprintf(why, capacity, "cannot tell which network namespace this is");
        return false;
    }
    char identity[64];
    std::snprintf(identity, sizeof identity, "%llu:%llu",
                  static_cast<unsigned long long>(ours.st_dev),
                  static_cast<unsigned long long>(ours.st_ino));
    if (listed(left, identity)) {
        std::snprintf(why, capacity, "still in the network namespace it was started from (%s)",
                      identity);
        return false;
    }
    return true;
}

}  // namespace quorvellan::soak
