// The floor the listener is measured against, for scripts/bench-listener: a
// bare receive loop with the listener's socket options, nothing done with
// what it receives.
//
//   bench_bare_receiver PORT SECONDS
//
// Counts the datagrams to PORT until SECONDS have passed; prints them and the
// kernel's drops.
#define _GNU_SOURCE
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

enum { BATCH = 64 };

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: bench_bare_receiver PORT SECONDS\n");
        return 2;
    }
    // The listener's options: the kernel's count of the datagrams it dropped
    // for want of room, and 4 MiB of room.
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0), on = 1, bytes = 4 << 20;
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons(atoi(argv[1]))};
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) < 0 ||
        bind(fd, (struct sockaddr*)&a, sizeof a) < 0) {
        perror("bench_bare_receiver: socket");
        return 1;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) < 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    static char buffers[BATCH][65536];
    static char controls[BATCH][64];
    struct mmsghdr m[BATCH];
    struct iovec v[BATCH];
    const double end = now() + atof(argv[2]);
    unsigned long long received = 0;
    unsigned drops = 0;
    for (;;) {
        double left = end - now();
        if (left <= 0) {
            break;
        }
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)(left * 1000) + 1) <= 0) {
            continue;
        }
        for (int i = 0; i < BATCH; ++i) {
            v[i].iov_base = buffers[i];
            v[i].iov_len = sizeof buffers[i];
            memset(&m[i].msg_hdr, 0, sizeof m[i].msg_hdr);
            m[i].msg_hdr.msg_iov = &v[i];
            m[i].msg_hdr.msg_iovlen = 1;
            m[i].msg_hdr.msg_control = controls[i];
            m[i].msg_hdr.msg_controllen = sizeof controls[i];
        }
        int n = recvmmsg(fd, m, BATCH, 0, 0);
        if (n <= 0) {
            continue;
        }
        received += n;
        // The count of drops so far comes with every datagram.
        struct msghdr* h = &m[n - 1].msg_hdr;
        for (struct cmsghdr* c = CMSG_FIRSTHDR(h); c; c = CMSG_NXTHDR(h, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                memcpy(&drops, CMSG_DATA(c), sizeof drops);
            }
        }
    }
    printf("%llu %u\n", received, drops);
    return 0;
}
