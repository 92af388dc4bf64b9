/*
 * fail_syscall: runs a command with one of the daemon's start-up system calls
 * made to fail, to see how the daemon reports it.
 *
 *   fail_syscall socket ERRNO COMMAND [ARG]...
 *       socket(AF_INET, ...) fails with ERRNO
 *   fail_syscall setsockopt-broadcast ERRNO COMMAND [ARG]...
 *       setsockopt(..., SOL_SOCKET, SO_BROADCAST, ...) fails with ERRNO
 *
 * ERRNO is a number.  A seccomp filter does it: it survives execve and
 * acts on the host system calls, so it works the same on a native daemon
 * and on a foreign one run by qemu-user, which issues those calls for its
 * guest.  Exhausting descriptors instead (prlimit --nofile) would stop a
 * dynamic executable from loading its libraries, long before socket().
 */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_AARCH64
#elif defined(__riscv) && __riscv_xlen == 64
#define HOST_AUDIT_ARCH AUDIT_ARCH_RISCV64
#else
#error "fail_syscall: add this host's AUDIT_ARCH and check it has socket(2) as a system call"
#endif

/* The filter compares the low 32 bits of an argument. */
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define ARG_LOW(n) (offsetof(struct seccomp_data, args) + (n) * sizeof(__u64))
#else
#define ARG_LOW(n) (offsetof(struct seccomp_data, args) + (n) * sizeof(__u64) + sizeof(__u32))
#endif

#define LOAD(offset) BPF_STMT(BPF_LD | BPF_W | BPF_ABS, (offset))
/* Falls through on equality, otherwise skips `skip` instructions, which
 * must land on the final "allow". */
#define REQUIRE(value, skip) BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (value), 0, (skip))

static int usage(void)
{
    fprintf(stderr, "usage: fail_syscall socket|setsockopt-broadcast ERRNO COMMAND [ARG]...\n");
    return 2;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        return usage();
    }
    char* end = NULL;
    const long error = strtol(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || error <= 0 || error > SECCOMP_RET_DATA) {
        return usage();
    }
    const __u32 fail = SECCOMP_RET_ERRNO | (__u32)error;

    struct sock_filter socket_filter[] = {
        LOAD(offsetof(struct seccomp_data, arch)),
        REQUIRE(HOST_AUDIT_ARCH, 5),
        LOAD(offsetof(struct seccomp_data, nr)),
        REQUIRE(__NR_socket, 3),
        LOAD(ARG_LOW(0)),
        REQUIRE(AF_INET, 1),
        BPF_STMT(BPF_RET | BPF_K, fail),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_filter setsockopt_filter[] = {
        LOAD(offsetof(struct seccomp_data, arch)),
        REQUIRE(HOST_AUDIT_ARCH, 7),
        LOAD(offsetof(struct seccomp_data, nr)),
        REQUIRE(__NR_setsockopt, 5),
        LOAD(ARG_LOW(1)),
        REQUIRE(SOL_SOCKET, 3),
        LOAD(ARG_LOW(2)),
        REQUIRE(SO_BROADCAST, 1),
        BPF_STMT(BPF_RET | BPF_K, fail),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };

    struct sock_fprog program;
    if (strcmp(argv[1], "socket") == 0) {
        program.len = sizeof socket_filter / sizeof socket_filter[0];
        program.filter = socket_filter;
    } else if (strcmp(argv[1], "setsockopt-broadcast") == 0) {
        program.len = sizeof setsockopt_filter / sizeof setsockopt_filter[0];
        program.filter = setsockopt_filter;
    } else {
        return usage();
    }

    /* Lets an unprivileged caller install the filter; it also keeps a
     * set-user-ID command from running with the filter, which we never want. */
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        perror("fail_syscall: prctl(PR_SET_NO_NEW_PRIVS)");
        return 125;
    }
    if (syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) {
        perror("fail_syscall: seccomp");
        return 125;
    }
    execvp(argv[3], argv + 3);
    fprintf(stderr, "fail_syscall: %s: %s\n", argv[3], strerror(errno));
    return 127;
}
