#!/bin/sh
# Checks a systemd unit as cmake --install writes it, with systemd's own
# tools, against the installed binary at the path the unit names, without
# starting anything.
# Usage: verify_systemd_unit.sh BUILD_DIR UNIT_NAME [MAX_EXPOSURE]
set -eu
build_dir=$1
name=$2
# In tenths, as systemd-analyze security takes it: systemd 252 measures the
# daemon's and the collector's 1.1, and the attach service's 1.5 (root, as
# vhci-hcd's files are root's); more means some hardening has gone.
max_exposure=${3:-11}

for tool in systemd-analyze cmake; do
    if ! command -v "$tool" >/dev/null; then
        echo "FAIL: $tool not found (scripts/install-deps installs it)" >&2
        exit 1
    fi
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# A root of our own: the real install tree under /usr, as a package stages
# it, so that the check of ExecStart sees the binary where the unit says;
# and the system's units for the targets the unit is ordered against.
DESTDIR=$root cmake --install "$build_dir" --prefix /usr >/dev/null
unit=$root/usr/lib/systemd/system/$name
if [ ! -f "$unit" ]; then
    echo "FAIL: cmake --install put no $name into /usr/lib/systemd/system" >&2
    exit 1
fi
mkdir -p "$root/usr/lib/systemd/system"
cp -an /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"

failed=0

# verify prints warnings (unknown keys, bad values) yet exits 0: any output
# is a failure. It opens the manual pages that Documentation= names with
# man, which looks in the install tree's.
out=$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" "$name" 2>&1) || failed=1
if [ -n "$out" ]; then
    printf '%s\n' "$out"
    failed=1
fi

# Settings that would break a program without any tool noticing: the daemon
# re-reads the host name and /proc/sys, and both must reach the network.
cut_off='PrivateNetwork|IPAddressDeny'
[ "$name" = quorvellan-beacon.service ] && cut_off="$cut_off|ProtectHostname|ProcSubset"
if grep -nE "^[[:space:]]*($cut_off)=" "$unit"; then
    echo "FAIL: the unit cuts the program off from what it reads or from the network" >&2
    failed=1
fi

# The table on failure, since it names the weakened settings; else the score.
if report=$(systemd-analyze security --offline=yes --root="$root" \
    --threshold="$max_exposure" "$name" 2>&1); then
    printf '%s\n' "$report" | tail -n 1
else
    printf '%s\n' "$report"
    failed=1
fi

[ "$failed" = 0 ] && echo "unit verified"
exit "$failed"
