// Floods the listener's port with announcements, for scripts/bench-listener.
//
//   bench_flood BROADCAST PORT MACS FIRST_SOURCE SOURCES RATE SECONDS KIND
//               [REAL_SOURCE LEAD]
//
// MACS invented devices, one after another, from SOURCES addresses from
// FIRST_SOURCE on, a batch of datagrams from each in turn (sendmmsg). KIND:
// valid, long (every text at its longest) or huge (64 KiB of junk). RATE
// datagrams a second, or 0: as fast as it goes. A real device announces every
// 3 seconds from REAL_SOURCE, alone for LEAD seconds, so that it is
// established before the flood starts. Prints the datagrams sent and the
// flood's seconds.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { BATCH = 64 };

static const unsigned REAL_MAC = 0x99999999u;

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static struct in_addr address_or_exit(const char* text)
{
    struct in_addr address;
    if (inet_pton(AF_INET, text, &address) != 1) {
        fprintf(stderr, "bench_flood: not an IPv4 address: %s\n", text);
        exit(2);
    }
    return address;
}

static int sender(unsigned long source)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0), on = 1;
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(source)};
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0 ||
        bind(fd, (struct sockaddr*)&a, sizeof a) < 0) {
        perror("bench_flood: socket");
        exit(1);
    }
    return fd;
}

static size_t render(char* out, size_t room, const char* kind, const char* name, unsigned mac)
{
    char longer[97];
    if (strcmp(kind, "huge") == 0) {
        memset(out, 'x', 65507);
        return 65507;
    }
    memset(longer, 'L', 96);
    longer[96] = 0;
    int is_long = strcmp(kind, "long") == 0;
    return (size_t)snprintf(
        out, room,
        "{\"id\":\"quorvellan_link\",\"name\":\"%s%s\",\"hostname\":\"%s\",\"version\":\"%.*s\","
        "\"mac\":\"02:00:%02x:%02x:%02x:%02x%s\",\"ip_ap\":\"\",\"ip_lan\":\"\",\"http\":80,"
        "\"usbip\":3240,\"usb_devices\":0}",
        name, is_long ? longer + 10 + strlen(name) : "", is_long ? longer : "bench",
        is_long ? 48 : 3, is_long ? longer : "1.0", (mac >> 24) & 255, (mac >> 16) & 255,
        (mac >> 8) & 255, mac & 255, is_long ? longer + 65 : "");
}

static void announce_real(int fd, const struct sockaddr_in* to)
{
    char one[1024];
    size_t n = render(one, sizeof one, "valid", "Bench Real", REAL_MAC);
    sendto(fd, one, n, 0, (const struct sockaddr*)to, sizeof *to);
}

int main(int argc, char** argv)
{
    if (argc != 9 && argc != 11) {
        fprintf(stderr,
                "usage: bench_flood BROADCAST PORT MACS FIRST_SOURCE SOURCES RATE SECONDS KIND "
                "[REAL_SOURCE LEAD]\n");
        return 2;
    }
    struct sockaddr_in to = {.sin_family = AF_INET,
                             .sin_port = htons(atoi(argv[2])),
                             .sin_addr = address_or_exit(argv[1])};
    unsigned macs = strtoul(argv[3], 0, 10), sources = strtoul(argv[5], 0, 10);
    double rate = atof(argv[6]), seconds = atof(argv[7]);
    const char* kind = argv[8];
    struct in_addr first = address_or_exit(argv[4]);
    if (macs == 0 || sources == 0) {
        fprintf(stderr, "bench_flood: MACS and SOURCES start at 1\n");
        return 2;
    }
    // A socket per invented address, beyond the usual descriptor limit.
    struct rlimit enough = {sources + 64, sources + 64};
    setrlimit(RLIMIT_NOFILE, &enough);
    int* fds = calloc(sources, sizeof *fds);
    if (!fds) {
        perror("bench_flood");
        return 1;
    }
    for (unsigned s = 0; s < sources; ++s) {
        fds[s] = sender(ntohl(first.s_addr) + s);
    }
    int real = -1;
    double lead = 0;
    if (argc == 11) {
        real = sender(ntohl(address_or_exit(argv[9]).s_addr));
        lead = atof(argv[10]);
    }
    static char payload[BATCH][65536];
    struct mmsghdr messages[BATCH];
    struct iovec parts[BATCH];
    memset(messages, 0, sizeof messages);
    for (int i = 0; i < BATCH; ++i) {
        parts[i].iov_base = payload[i];
        parts[i].iov_len = render(payload[i], sizeof payload[i], kind, "Bench", 0);
        messages[i].msg_hdr.msg_name = &to;
        messages[i].msg_hdr.msg_namelen = sizeof to;
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    // The MAC's last eight hex digits sit at the same place in every payload.
    char* mac_at = strstr(payload[0], "02:00:");
    size_t mac_offset = mac_at ? (size_t)(mac_at - payload[0]) + 6 : 0;
    unsigned long long sent = 0;
    unsigned source = 0, next_mac = 0;
    double next_real = now();
    const double flood_at = next_real + lead;
    while (real >= 0 && now() < flood_at) {
        if (now() >= next_real) {
            announce_real(real, &to);
            next_real += 3.0;
        }
        usleep(10000);
    }
    const double start = now(), end = start + seconds;
    // At a set rate, batches of a hundredth of a second's datagrams.
    int batch = rate > 0 && rate < 100 * BATCH ? (int)(rate / 100 > 1 ? rate / 100 : 1) : BATCH;
    while (now() < end) {
        if (real >= 0 && now() >= next_real) {
            announce_real(real, &to);
            next_real += 3.0;
        }
        for (int i = 0; i < batch && mac_offset; ++i) {
            char hex[12];
            unsigned mac = next_mac++ % macs;
            snprintf(hex, sizeof hex, "%02x:%02x:%02x:%02x", (mac >> 24) & 255, (mac >> 16) & 255,
                     (mac >> 8) & 255, mac & 255);
            memcpy(payload[i] + mac_offset, hex, 11);
        }
        int done = sendmmsg(fds[source], messages, batch, 0);
        if (done > 0) {
            sent += done;
        }
        source = (source + 1) % sources;
        if (rate > 0) {
            double wait = start + sent / rate - now();
            if (wait > 0) {
                struct timespec pause = {(time_t)wait, (long)((wait - (time_t)wait) * 1e9)};
                nanosleep(&pause, 0);
            }
        }
    }
    printf("%llu %.3f\n", sent, now() - start);
    return 0;
}
