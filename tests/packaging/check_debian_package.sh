#!/bin/sh
# Builds the listener's Debian package from the build tree with CPack and
# reads it back with dpkg-deb: its name, the libraries it depends on (from
# dpkg-shlibdeps), its licence, exactly the files it installs and which of
# them are conffiles; and lintian, Debian's own checker, finds no error and
# no warning in it.
#   check_debian_package.sh BUILD_DIR
set -eu
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
set -- "$out"/quorvellan-discover_*_*.deb
[ -f "$1" ] || { echo "FAIL: no quorvellan-discover_VERSION_ARCH.deb in $(ls "$out")"; exit 1; }
deb=$1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

[ "$(dpkg-deb -f "$deb" Package)" = quorvellan-discover ] || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libncursesw6 libutf8proc2 libstdc++6 libmicrohttpd12 libudev1; do
    echo "$depends" | grep -q "\\b$library (>=" || fail "Depends lacks $library: $depends"
done
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $6}')
expected="-rw-r--r-- ./etc/quorvellan/attach.rules
-rwxr-xr-x ./usr/bin/quorvellan-discover
-rw-r--r-- ./usr/lib/systemd/system/quorvellan-attach.service
-rw-r--r-- ./usr/lib/systemd/system/quorvellan-discover.service
-rw-r--r-- ./usr/share/doc/quorvellan-discover/announcement.md
-rw-r--r-- ./usr/share/doc/quorvellan-discover/changelog.gz
-rw-r--r-- ./usr/share/doc/quorvellan-discover/collector.md
-rw-r--r-- ./usr/share/doc/quorvellan-discover/copyright
-rw-r--r-- ./usr/share/doc/quorvellan-discover/discover.md
-rw-r--r-- ./usr/share/doc/quorvellan-discover/examples/quorvellan.rules.yml
-rw-r--r-- ./usr/share/man/man1/quorvellan-discover.1.gz"
[ "$files" = "$expected" ] || fail "files:
$files"
# The attach rules are the person's once installed: dpkg keeps their edits.
conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles 2>&1) || true
[ "$conffiles" = /etc/quorvellan/attach.rules ] || fail "conffiles: $conffiles"
# As shipped, the service attaches nothing.
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./etc/quorvellan/attach.rules |
    grep -vE '^[[:space:]]*(#|$)' && fail "attach.rules holds a rule"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/quorvellan-discover/copyright |
    grep -qx "License: ISC" || fail "copyright file names no ISC licence"
file -b "$(dpkg-deb -x "$deb" "$out/root" && echo "$out/root/usr/bin/quorvellan-discover")" |
    grep -q ", stripped" || fail "binary not stripped"
# Installed, the unit is not enabled: the package has no maintainer scripts.
! dpkg-deb -I "$deb" | grep -qE '^ +[0-9]+ bytes, +[0-9]+ lines .*(postinst|prerm)' ||
    fail "maintainer scripts, which could enable the service"
if ! report=$(lintian --fail-on error,warning --display-info "$deb" 2>&1); then
    printf '%s\n' "$report"
    fail "lintian"
fi
# Built as Debian builds its own packages: fortified, bound at load time.
if printf '%s\n' "$report" | grep -E 'hardening-'; then
    fail "the program lacks hardening Debian's own packages have"
fi
[ "$failed" = 0 ] && echo "$(basename "$deb"): $depends"
exit "$failed"
