#!/bin/sh
# Runs the OpenWrt recipe's steps on the host, through stand-ins for the
# buildroot's make files and procd's shell helpers (openwrt-stub/), on a copy
# of the package as an SDK's package/ directory holds it: its sources, a
# CMake build with its options, what the package holds, and what its init
# script hands to procd. A cross build needs a buildroot; this catches the
# rest. Usage: check_openwrt_package.sh SOURCE_DIR PROJECT_VERSION
set -eu
source_dir=$1
project_version=$2
recipe_dir=$source_dir/packaging/openwrt/quorvellan-beacon
stub=$source_dir/tests/packaging/openwrt-stub
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}
# Usage: recipe PACKAGE_DIR TARGET [VARIABLE=VALUE...]
recipe() {
    dir=$1
    shift
    make -s -C "$dir" TOPDIR="$stub" BUILD_DIR="$work/build" "$@"
}

# Linked in, the recipe finds the repository around it; copied without its
# sources, it says so rather than failing halfway.
recipe "$recipe_dir" prepare BUILD_DIR="$work/linked" || fail "the linked recipe finds no sources"
cp -R "$recipe_dir" "$work/bare"
if complaint=$(recipe "$work/bare" metadata 2>&1); then
    fail "a copy without its sources was accepted"
fi
case $complaint in
    *"no sources"*) ;;
    *) fail "a copy without its sources does not say so: $complaint" ;;
esac

package_dir=$(sh "$source_dir/packaging/openwrt/copy-package" "$work/sdk/package")
mkdir "$package_dir/patches"
printf '%s\n' '--- /dev/null' '+++ b/patched' '@@ -0,0 +1 @@' '+patched' >"$package_dir/patches/1.patch"
metadata=$(recipe "$package_dir" metadata)
field() {
    printf '%s\n' "$metadata" | sed -n "s/^$1=//p"
}
[ "$(field PKG_VERSION)" = "$project_version" ] ||
    fail "PKG_VERSION $(field PKG_VERSION) differs from the project's $project_version"
# The buildroot's compiler has warnings of its own; they must not stop a release.
case " $(field CMAKE_OPTIONS) " in
    *" -DQUORVELLAN_WERROR=OFF "*) ;;
    *) fail "CMAKE_OPTIONS lacks -DQUORVELLAN_WERROR=OFF" ;;
esac

recipe "$package_dir" prepare
build_dir=$(field PKG_BUILD_DIR)
[ -e "$build_dir/patched" ] || fail "the package's patches/ are not applied"
for file in $(field PKG_LICENSE_FILES); do
    [ -f "$build_dir/$file" ] || fail "the build tree lacks the licence file $file"
done
# shellcheck disable=SC2046 # CMAKE_OPTIONS is a list of words
cmake -S "$build_dir" -B "$build_dir/cmake-build" $(field CMAKE_OPTIONS) \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build_dir/cmake-build" -j2 >/dev/null
DESTDIR=$(field PKG_INSTALL_DIR) cmake --install "$build_dir/cmake-build" >/dev/null

root=$work/root
recipe "$package_dir" package PKG_ROOT="$root"
contents=$(cd "$root" && find . ! -type d | sort)
if [ "$contents" != './etc/init.d/quorvellan-beacon
./lib/upgrade/keep.d/quorvellan-beacon
./usr/sbin/quorvellan-beacon' ]; then
    fail "the package holds:"
    printf '%s\n' "$contents" >&2
fi
for file in etc/init.d/quorvellan-beacon usr/sbin/quorvellan-beacon; do
    [ -x "$root/$file" ] || fail "$file is not executable"
done
# sysupgrade keeps the owner's name, never the version: that follows the firmware.
keep=$(cat "$root/lib/upgrade/keep.d/quorvellan-beacon" 2>/dev/null || :)
[ "$keep" = /etc/quorvellan-name ] || fail "sysupgrade keeps '$keep', want /etc/quorvellan-name"

# The packaged init script's start, on a scratch /etc.
etc=$work/etc
mkdir "$etc"
start() {
    # The stand-ins and variables are for the init script and procd's
    # helpers; rc.common runs without set -e.
    # shellcheck disable=SC2034,SC2317
    (
        set +e
        name=quorvellan-beacon
        user_exists() { grep -qs "^$1:" "$etc/passwd"; }
        logger() { echo "logger $*" >&2; }
        ubus() { printf '%s' "$5" >"$work/procd"; }
        # shellcheck source=/dev/null
        . "$stub/procd.sh"
        # shellcheck source=/dev/null
        . "$root/etc/init.d/quorvellan-beacon"
        version_file=$etc/quorvellan-version
        release_file=$etc/openwrt_release
        rc_procd start_service
    ) 2>"$work/stderr"
}
param() {
    sed -n "s/^$1 //p" "$work/procd"
}
release() {
    printf "DISTRIB_RELEASE='%s'\nDISTRIB_REVISION='%s'\n" "$1" "$2" >"$etc/openwrt_release"
}
version() {
    sed -n 1p "$etc/quorvellan-version" 2>/dev/null
}
user=$(field USERID | sed 's/=.*//')
echo 'root:x:0:0:root:/root:/bin/ash' >"$etc/passwd"
release 24.10.0 r28427-6df0e3d02a

# Without its user, procd would run the daemon as root.
start
[ -z "$(param instance)" ] || fail "started with the user $user missing"
grep -q "no user $user" "$work/stderr" || fail "nothing said about the missing user $user"

echo "$user:x:32400:32400:$user:/var:/bin/false" >>"$etc/passwd"
start
[ ! -s "$work/stderr" ] || fail "the start complains: $(cat "$work/stderr")"
[ "$(param instance)" = 1 ] || fail "not one instance: $(param instance)"
command=$(param command)
[ -x "$root${command%% *}" ] || fail "the instance runs '$command', which the package lacks"
[ "$(param user)" = "$user" ] || fail "the instance runs as '$(param user)', not $user"
[ -n "$(param respawn)" ] || fail "procd does not restart the daemon"
[ "$(version)" = "24.10.0 r28427-6df0e3d02a" ] || fail "version '$(version)' after the first start"

release 24.10.1 r28597-0425664679
start
[ "$(version)" = "24.10.1 r28597-0425664679" ] || fail "version '$(version)' after an upgrade"
# A full overlay: /dev/full fails every write with ENOSPC, as the overlay
# would halfway through the new file, which a link to it stands for.
release 24.10.2 r28700-0e4cc5bd1e
ln -s /dev/full "$etc/quorvellan-version.new"
start
if [ -e "$etc/quorvellan-version.new" ] || [ -L "$etc/quorvellan-version.new" ]; then
    fail "a failed write leaves quorvellan-version.new behind"
fi
[ "$(version)" = "24.10.1 r28597-0425664679" ] || fail "version '$(version)' after a failed write"
[ "$(param instance)" = 1 ] || fail "not started after a failed version write"
echo 1.4.2-lab >"$etc/quorvellan-version"
start
[ "$(version)" = 1.4.2-lab ] || fail "a version written by hand was replaced"

[ "$failed" = 0 ] && echo "OpenWrt package checked"
exit "$failed"
