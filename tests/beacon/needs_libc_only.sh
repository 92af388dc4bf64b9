#!/bin/sh
# The daemon must run on a system with a C library and nothing else: no
# libstdc++, no libgcc_s. Usage: needs_libc_only.sh DAEMON
set -eu
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
case "$needed" in
libc.so.6) echo "needs only: $needed" ;;
*)
    echo "the daemon needs more than libc: $(echo "$needed" | tr '\n' ' ')" >&2
    exit 1
    ;;
esac
