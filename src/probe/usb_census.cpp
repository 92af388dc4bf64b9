#include "probe/usb_census.h"

#include <dirent.h>

#include <cstring>

namespace quorvellan {
namespace {

bool names_usb_device(const char* name)
{
    return name[0] >= '0' && name[0] <= '9' && std::strchr(name, '-') != nullptr &&
           std::strchr(name, ':') == nullptr;
}

}  // namespace

std::int32_t count_usb_devices(const char* directory)
{
    std::int32_t count = 0;
    DIR* dir = opendir(directory);
    if (dir == nullptr) {
        return count;
    }
    // A read error ends the walk like the end of the directory does.
    while (const dirent* entry = readdir(dir)) {
        if (names_usb_device(entry->d_name)) {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

}  // namespace quorvellan
