// quorvellan-soak: runs the daemon's beacon cycle back to back, with the
// daemon's own sources, renderer and sends but without its sleep, and checks
// that its footprint stays flat: every cycle frees each block it allocates,
// descriptors end where the first cycle left them, and resident memory ends
// where the second cycle left it (see RESIDENT_SETTLING_KB).
//
//   quorvellan-soak [--cycles N]
//
// It broadcasts, so it runs only in a namespace of the tests or the bench (see
// namespace_guard.h); tests/soak/test_soak.py and scripts/bench start it there
// on a simulated device. Exit status: 0 flat, 1 not flat, 2 not run.
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "alloc_counter.h"
#include "beacon/cycle.h"
#include "beacon/sender.h"
#include "cycle_times.h"
#include "namespace_guard.h"
#include "probe/usb_census.h"
#include "process_figures.h"

namespace {

using namespace quorvellan;
using namespace quorvellan::soak;

constexpr unsigned long DEFAULT_CYCLES = 100000;
// The per-cycle times are kept (8 bytes each) for the median and p99.
constexpr unsigned long MAX_CYCLES = 10000000;

// The one page by which resident memory may grow from the first cycle to
// the second, and only then. The first cycle starts on a heap nobody has
// used; it leaves freed small blocks in glibc's per-size caches, and with
// them in place the 32 KiB buffer of the USB directory listing lands higher
// in the heap from the second cycle on, reaching a page the first cycle never
// touched. Every later cycle places its blocks exactly as the
// second did.
constexpr long RESIDENT_SETTLING_KB = 4;

unsigned long long sends_made;

// The daemon's own send, counted, so that the report shows the soak really
// reached the device's destinations.
void counted_send(sender& out, const char* text, std::size_t length, const sockaddr_in& destination)
{
    ++sends_made;
    send_announcement(out, text, length, destination);
}

std::uint64_t monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

double cpu_us(const timeval& t)
{
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec);
}

struct range {
    unsigned long long min = ~0ull;
    unsigned long long max = 0;
    void add(unsigned long long value)
    {
        min = value < min ? value : min;
        max = value > max ? value : max;
    }
};

bool parse_cycles(int argc, char** argv, unsigned long& cycles)
{
    cycles = DEFAULT_CYCLES;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cycles") == 0 && i + 1 < argc) {
            char* end = nullptr;
            cycles = std::strtoul(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || cycles == 0 || cycles > MAX_CYCLES) {
                std::fprintf(stderr, "quorvellan-soak: --cycles takes 1 to %lu\n", MAX_CYCLES);
                return false;
            }
        } else {
            std::fprintf(stderr, "usage: quorvellan-soak [--cycles N]  (default %lu)\n",
                         DEFAULT_CYCLES);
            return false;
        }
    }
    return true;
}

enum moment { BEFORE, FIRST, SECOND, END, MOMENTS };

void print_figures_row(const char* label, long process_figures::*field,
                       const process_figures (&at)[MOMENTS])
{
    std::printf("%-18s %8ld %8ld %8ld %8ld\n", label, at[BEFORE].*field, at[FIRST].*field,
                at[SECOND].*field, at[END].*field);
}

// Resident memory is flat when it grew by at most the settling page in the
// second cycle and not at all after it.
bool resident_flat(long process_figures::*field, const process_figures (&at)[MOMENTS])
{
    const long settling = at[SECOND].*field - at[FIRST].*field;
    return settling >= 0 && settling <= RESIDENT_SETTLING_KB && at[END].*field == at[SECOND].*field;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned long cycles;
    if (!parse_cycles(argc, argv, cycles)) {
        return 2;
    }
    char why[256];
    if (!in_private_network(why, sizeof why)) {
        std::fprintf(stderr, "quorvellan-soak: refusing to broadcast: %s\n", why);
        return 2;
    }
    sender out = sender_open({::socket, setsockopt, sendto, getsockname, bind, close});
    if (out.socket < 0) {
        return 2;
    }
    const sockaddr_in limited_broadcast = limited_broadcast_destination();
    const cycle_sources sources{DEVICE_IDENTITY_PATHS, USB_DEVICES_DIR, {getifaddrs, freeifaddrs}};

    // Every page of the table is written now, so that filling it in later
    // cannot show up as growth of the resident set.
    std::vector<std::uint64_t> times_ns(cycles, 0);
    range allocations, frees, sends;
    unsigned long unbalanced = 0;
    process_figures at[MOMENTS];
    at[SECOND] = at[FIRST] = at[BEFORE] = read_process_figures();
    rusage before;
    getrusage(RUSAGE_SELF, &before);
    for (unsigned long i = 0; i < cycles; ++i) {
        const unsigned long long allocated = soak_allocations;
        const unsigned long long freed = soak_frees;
        const unsigned long long sent = sends_made;
        const std::uint64_t start = monotonic_ns();
        beacon_cycle(out, limited_broadcast, sources, counted_send);
        times_ns[i] = monotonic_ns() - start;
        allocations.add(soak_allocations - allocated);
        frees.add(soak_frees - freed);
        sends.add(sends_made - sent);
        if (soak_allocations - allocated != soak_frees - freed) {
            ++unbalanced;
        }
        if (i == 0) {
            at[FIRST] = read_process_figures();
        } else if (i == 1) {
            at[SECOND] = read_process_figures();
        }
    }
    rusage after;
    getrusage(RUSAGE_SELF, &after);
    at[END] = read_process_figures();
    if (cycles == 1) {
        at[SECOND] = at[END];
    }

    const time_summary wall = summarize(times_ns);
    const double user = (cpu_us(after.ru_utime) - cpu_us(before.ru_utime)) / cycles;
    const double system = (cpu_us(after.ru_stime) - cpu_us(before.ru_stime)) / cycles;
    std::printf("cycles: %lu, back to back, on the daemon's own sources and sends\n", cycles);
    std::printf("sends per cycle: min %llu, max %llu\n", sends.min, sends.max);
    std::printf("wall time per cycle: mean %.1f us, median %.1f us, p99 %.1f us, max %.1f us\n",
                wall.mean_us, wall.median_us, wall.p99_us, wall.max_us);
    std::printf("cpu time per cycle: %.1f us (user %.1f us, system %.1f us)\n", user + system, user,
                system);
    std::printf("allocations per cycle: min %llu, max %llu; frees per cycle: min %llu, max %llu\n",
                allocations.min, allocations.max, frees.min, frees.max);
    std::printf("cycles where allocations != frees: %lu\n", unbalanced);
    std::printf("%-18s %8s %8s %8s %8s\n", "", "start", "cycle 1", "cycle 2", "end");
    print_figures_row("open descriptors", &process_figures::descriptors, at);
    print_figures_row("VmRSS (kB)", &process_figures::vm_rss_kb, at);
    print_figures_row("RssAnon (kB)", &process_figures::rss_anon_kb, at);
    std::printf("(resident memory includes the soak's table of cycle times, 8 bytes a cycle)\n");

    const char* failures[4];
    int failed = 0;
    if (unbalanced != 0) {
        failures[failed++] = "cycles kept heap blocks";
    }
    if (at[END].descriptors != at[FIRST].descriptors) {
        failures[failed++] = "open descriptors changed";
    }
    if (!resident_flat(&process_figures::vm_rss_kb, at)) {
        failures[failed++] = "VmRSS grew";
    }
    if (!resident_flat(&process_figures::rss_anon_kb, at)) {
        failures[failed++] = "RssAnon grew";
    }
    if (failed == 0) {
        std::printf("soak: flat\n");
        return 0;
    }
    std::printf("soak: NOT FLAT:");
    for (int i = 0; i < failed; ++i) {
        std::printf("%s %s", i == 0 ? "" : ";", failures[i]);
    }
    std::printf("\n");
    return 1;
}
