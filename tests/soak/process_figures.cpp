#include "process_figures.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace quorvellan::soak {

namespace {

// opendir would allocate its 32 KiB buffer; the raw directory call does not.
long count_descriptors()
{
    const int directory = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return -1;
    }
    alignas(8) char buffer[4096];
    long count = 0;
    for (;;) {
        const long got = syscall(SYS_getdents64, directory, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        for (long at = 0; at < got;) {
            dirent64 entry;
            std::memcpy(&entry, buffer + at, offsetof(dirent64, d_name));
            if (buffer[at + offsetof(dirent64, d_name)] != '.') {
                ++count;
            }
            at += entry.d_reclen;
        }
    }
    close(directory);
    return count - 1;  // the descriptor of the listing itself
}

long status_field_kb(const char* status, const char* name)
{
    const std::size_t length = std::strlen(name);
    for (const char* line = status; line != nullptr && *line != '\0';) {
        if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
            return std::strtol(line + length + 1, nullptr, 10);
        }
        line = std::strchr(line, '\n');
        if (line != nullptr) {
            ++line;
        }
    }
    return -1;
}

}  // namespace

process_figures read_process_figures()
{
    process_figures figures{count_descriptors(), -1, -1};
    const int file = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return figures;
    }
    char status[8192];
    std::size_t filled = 0;
    for (;;) {
        const ssize_t got = read(file, status + filled, sizeof status - 1 - filled);
        if (got <= 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    close(file);
    status[filled] = '\0';
    figures.vm_rss_kb = status_field_kb(status, "VmRSS");
    figures.rss_anon_kb = status_field_kb(status, "RssAnon");
    return figures;
}

}  // namespace quorvellan::soak
