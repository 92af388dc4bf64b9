#include "probe/identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace quorvellan {

const identity_paths DEVICE_IDENTITY_PATHS = {
    "/etc/quorvellan-name",          "/proc/sys/kernel/hostname",
    "/etc/quorvellan-version",       "/sys/class/net/phy0-ap0/address",
    "/sys/class/net/br-lan/address",
};

namespace {

enum class line_result { unopened, no_line, read };

// Reads at most capacity - 1 bytes from the start of the file into buffer,
// always NUL-terminated; the caller cuts the text at its first line feed.
// Only a regular file counts as opened: a FIFO or a device node in place of
// an identity file could otherwise block the daemon in open or read for
// good, so neither waits. The file is closed on every path.
line_result read_first_line(const char* path, char* buffer, std::size_t capacity)
{
    buffer[0] = '\0';
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return line_result::unopened;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return line_result::unopened;
    }
    const ssize_t got = read(fd, buffer, capacity - 1);
    close(fd);
    if (got <= 0) {
        return line_result::no_line;
    }
    buffer[got] = '\0';
    return line_result::read;
}

void cut_at(char* text, char c)
{
    if (char* at = std::strchr(text, c)) {
        *at = '\0';
    }
}

template <std::size_t N>
void set_text(char (&field)[N], const char* text)
{
    std::strncpy(field, text, N - 1);
    field[N - 1] = '\0';
}

// Name and host name: never left empty, and a carriage return ends them,
// since a file written on another system may end its line with CR LF.
template <std::size_t N>
void read_display_text(char (&field)[N], const char* path, const char* fallback)
{
    if (read_first_line(path, field, N) != line_result::read) {
        set_text(field, fallback);
        return;
    }
    cut_at(field, '\n');
    cut_at(field, '\r');
    if (field[0] == '\0') {
        set_text(field, fallback);
    }
}

}  // namespace

void read_identity(announcement& facts, const identity_paths& paths)
{
    read_display_text(facts.name, paths.name, DEFAULT_NAME);
    read_display_text(facts.hostname, paths.hostname, DEFAULT_HOSTNAME);

    // Version and MAC are reported byte for byte up to the line feed, a
    // carriage return included; an empty first line is a deliberate empty
    // version, not a missing one.
    if (read_first_line(paths.version, facts.version, sizeof facts.version) == line_result::read) {
        cut_at(facts.version, '\n');
    } else {
        set_text(facts.version, DEFAULT_VERSION);
    }

    line_result mac = read_first_line(paths.mac, facts.mac, sizeof facts.mac);
    if (mac == line_result::unopened) {
        mac = read_first_line(paths.mac_fallback, facts.mac, sizeof facts.mac);
    }
    if (mac == line_result::read) {
        cut_at(facts.mac, '\n');
    } else {
        facts.mac[0] = '\0';
    }
}

}  // namespace quorvellan
