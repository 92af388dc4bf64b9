// quorvellan-discover: listens for device announcements and shows who is on
// the network. Wiring only: the options decide the run, listen_loop runs it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstring>
#include <iostream>
#include <string>

#include "listen_loop.h"
#include "options.h"

namespace {

using namespace quorvellan::discover;

// A supervisor may start us with any of them closed: the socket must not
// become standard input, where the live view would read its datagrams as keys.
// Returns whether standard output was closed: the null device in its place
// takes every line, and so would hide that none of them can arrive.
bool open_standard_descriptors()
{
    bool output_closed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            output_closed = output_closed || fd == STDOUT_FILENO;
            if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) < 0) {
                break;
            }
        }
    }
    return output_closed;
}

// Said before anything is tried rather than at the first line: that line
// may come hours later, or never (nothing heard), and the run would end
// with status 0 after all, so the port and the HTTP address would be held
// for output that cannot arrive.
int refuse_closed_output()
{
    std::cerr << "quorvellan-discover: write error: " << std::strerror(EBADF)
              << " (standard output is closed; --quiet runs without it)" << std::endl;
    return EXIT_FAILED;
}

// Standard output in full: status 0, also when the reader has gone, or 1
// with one line on a failed write.
int print(const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t written = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            if (errno == EPIPE) {
                return EXIT_DONE;
            }
            std::cerr << "quorvellan-discover: write error: " << std::strerror(errno) << std::endl;
            return EXIT_FAILED;
        }
        done += static_cast<std::size_t>(written);
    }
    return EXIT_DONE;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool output_closed = open_standard_descriptors();
    std::setlocale(LC_ALL, "");
    // A reader that leaves is noticed by EPIPE, not by dying.
    std::signal(SIGPIPE, SIG_IGN);
    const options_result options = parse_options(argc, argv);
    if (!options.error.empty()) {
        std::cerr << "quorvellan-discover: " << options.error
                  << "\nTry 'quorvellan-discover --help'." << std::endl;
        return EXIT_USAGE;
    }
    const bool prints = options.parsed.help || options.parsed.version || !options.parsed.quiet;
    if (output_closed && prints) {
        return refuse_closed_output();
    }
    if (options.parsed.help) {
        return print(usage_text());
    }
    if (options.parsed.version) {
        return print(std::string("quorvellan-discover ") + QUORVELLAN_VERSION + "\n");
    }
    if (const std::string warning = options_warning(options.parsed); !warning.empty()) {
        std::cerr << "quorvellan-discover: " << warning << std::endl;
    }
    return run_listener(options.parsed);
}
