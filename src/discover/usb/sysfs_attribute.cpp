#include "usb/sysfs_attribute.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvellan::discover {
namespace {

// One write of the whole text, as sysfs takes it; 0 or the errno.
int write_once(const std::string& path, int flags, std::string_view text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0600);
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

}  // namespace

std::string file_failure(int error, const std::string& path)
{
    if (error == EACCES || error == EPERM) {
        return "not permitted to use " + path + ": attaching USB devices takes root";
    }
    return path + ": " + std::strerror(error);
}

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
    return write_once(path, O_CREAT | O_TRUNC, text);
}

int write_attribute(const std::string& path, std::string_view text)
{
    return write_once(path, 0, text);
}

}  // namespace quorvellan::discover
