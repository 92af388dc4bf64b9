#!/bin/sh
# Runs COMMAND as a simulated device: in new network, mount and UTS
# namespaces, and with --pid a new PID namespace too, COMMAND its PID 1 (when
# it ends, the kernel ends everything in there). The one recipe of the
# end-to-end tests (simdevice.py), scripts/bench and scripts/demo.
#   device_namespaces.sh [--pid] HOSTNAME COMMAND [ARG]...
# Inside: /sys afresh, so that /sys/class/net shows the namespace's links; an
# empty tmpfs over /sys/bus for USB entries of the caller's making; a tmpfs
# on /run; /etc writable through an overlay whose upper half lives in /run,
# without the identity files; HOSTNAME, which may be empty; loopback up.
# The namespaces are made here, never entered: nothing of this reaches the
# caller's own mounts.
set -eu

# shellcheck disable=SC2016 # expanded by the shell inside, from its arguments
setup='set -eu
mount -t sysfs sysfs /sys
mount -t tmpfs -o mode=0755 device-bus /sys/bus
mount -t tmpfs -o mode=0755 device-run /run
mkdir /run/etc-upper /run/etc-work
mount -t overlay -o lowerdir=/etc,upperdir=/run/etc-upper,workdir=/run/etc-work device-etc /etc
rm -rf /etc/quorvellan-name /etc/quorvellan-version
# hostname(1) refuses an empty name; the kernel takes it.
printf "%s\n" "$1" >/proc/sys/kernel/hostname
shift
ip link set lo up
exec "$@"'

pid=""
if [ "${1-}" = --pid ]; then
    pid="--pid --fork --mount-proc --kill-child"
    shift
fi
if [ $# -lt 2 ]; then
    echo "usage: device_namespaces.sh [--pid] HOSTNAME COMMAND [ARG]..." >&2
    exit 2
fi
# shellcheck disable=SC2086 # one word per option
exec unshare --net --mount --uts $pid sh -c "$setup" device-namespaces "$@"
