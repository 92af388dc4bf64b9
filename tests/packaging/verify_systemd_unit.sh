#!/bin/sh
# Checks the systemd unit with systemd's own tools, against the installed
# binary at the path the unit names, without starting anything.
# Usage: verify_systemd_unit.sh BUILD_DIR UNIT_FILE
set -eu
build_dir=$1
unit=$2
name=$(basename "$unit")
# systemd 252 measures 1.1; more means some hardening has gone.
max_exposure=11

for tool in systemd-analyze cmake; do
    if ! command -v "$tool" >/dev/null; then
        echo "FAIL: $tool not found (scripts/install-deps installs it)" >&2
        exit 1
    fi
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# A root of our own: the real install tree under /usr, so that the check of
# ExecStart sees the binary where a package puts it, and the system's units
# for the targets the unit is ordered against.
cmake --install "$build_dir" --prefix "$root/usr" >/dev/null
mkdir -p "$root/usr/lib/systemd" "$root/etc/systemd/system"
cp -a /usr/lib/systemd/system "$root/usr/lib/systemd/"
cp "$unit" "$root/etc/systemd/system/$name"

failed=0

# verify prints warnings (unknown keys, bad values) yet exits 0: any output
# is a failure.
out=$(systemd-analyze verify --root="$root" "$name" 2>&1) || failed=1
if [ -n "$out" ]; then
    printf '%s\n' "$out"
    failed=1
fi

# Settings that would break the daemon without any tool noticing.
if grep -nE '^[[:space:]]*(ProtectHostname|PrivateNetwork|ProcSubset|IPAddressDeny)=' "$unit"; then
    echo "FAIL: the unit cuts the daemon off from the host name, /proc/sys or the network" >&2
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
