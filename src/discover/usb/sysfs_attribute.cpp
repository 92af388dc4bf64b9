#include "usb/sysfs_attribute.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quorvellan::discover {

int read_text_file(const std::string& path, std::string& text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    text.clear();
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = n < 0 ? errno : 0;
            close(fd);
            return error;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
}

int write_text_file(const std::string& path, std::string_view text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno;
    }
    const ssize_t written = write(fd, text.data(), text.size());
    int error = written < 0 ? errno : written == static_cast<ssize_t>(text.size()) ? 0 : EIO;
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

int write_attribute(const std::string& path, std::string_view text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const ssize_t written = write(fd, text.data(), text.size());
    const int error = written < 0 ? errno : written == static_cast<ssize_t>(text.size()) ? 0 : EIO;
    close(fd);
    return error;
}

}  // namespace quorvellan::discover
