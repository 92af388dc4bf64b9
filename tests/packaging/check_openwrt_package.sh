#!/bin/sh
# Runs the OpenWrt recipe's own steps on the host, through stand-ins for the
# buildroot's make files: its metadata, its copy of the source tree, a CMake
# build with its options and its install step, then checks what the package
# would hold. A cross build needs a buildroot; this catches the rest.
# Usage: check_openwrt_package.sh SOURCE_DIR PROJECT_VERSION
set -eu
source_dir=$1
project_version=$2
recipe_dir=$source_dir/packaging/openwrt/quorvellan-beacon
init_script=$recipe_dir/files/quorvellan-beacon.init

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

recipe() {
    make -s -C "$recipe_dir" TOPDIR="$source_dir/tests/packaging/openwrt-stub" \
        BUILD_DIR="$work/build" "$@"
}

failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

metadata=$(recipe metadata)
field() {
    printf '%s\n' "$metadata" | sed -n "s/^$1=//p"
}

[ "$(field PKG_VERSION)" = "$project_version" ] ||
    fail "PKG_VERSION $(field PKG_VERSION) differs from the project's $project_version"
# libc comes implicitly; anything more (libstdcpp above all) is a dependency
# the statically linked daemon does not have.
[ -z "$(field DEPENDS)" ] || fail "DEPENDS is '$(field DEPENDS)', want none"
user=$(field USERID | sed -n 's/^\([a-z][a-z0-9-]*\)=[0-9][0-9]*:\1=[0-9][0-9]*$/\1/p')
[ -n "$user" ] || fail "USERID '$(field USERID)' is not user=uid:group=gid"
grep -q "^[[:space:]]*procd_set_param user $user\$" "$init_script" ||
    fail "the init script does not run the daemon as '$user'"
grep -q '^[[:space:]]*procd_set_param command /usr/sbin/quorvellan-beacon$' "$init_script" ||
    fail "the init script does not start /usr/sbin/quorvellan-beacon"
cmake_options=$(field CMAKE_OPTIONS)
for option in -DQUORVELLAN_TESTS=OFF -DQUORVELLAN_TOOLS=OFF; do
    case " $cmake_options " in
        *" $option "*) ;;
        *) fail "CMAKE_OPTIONS lacks $option" ;;
    esac
done

# The build sees only what Build/Prepare copied, so a directory missing from
# its list fails here rather than in the buildroot.
recipe prepare
build_dir=$(field PKG_BUILD_DIR)
# shellcheck disable=SC2086 # CMAKE_OPTIONS is a list of words
cmake -S "$build_dir" -B "$build_dir/cmake-build" $cmake_options \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build_dir/cmake-build" -j2 >/dev/null
DESTDIR=$(field PKG_INSTALL_DIR) cmake --install "$build_dir/cmake-build" >/dev/null

recipe package PKG_ROOT="$work/root"
contents=$(cd "$work/root" && find . ! -type d | sort)
want='./etc/init.d/quorvellan-beacon
./usr/sbin/quorvellan-beacon'
if [ "$contents" != "$want" ]; then
    fail "the package holds:"
    printf '%s\n' "$contents" >&2
fi
for file in etc/init.d/quorvellan-beacon usr/sbin/quorvellan-beacon; do
    [ -x "$work/root/$file" ] || fail "$file is not executable"
done

needed=$(readelf -d "$work/root/usr/sbin/quorvellan-beacon" |
    sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for library in $needed; do
    case $library in
        libc.so* | libm.so* | ld-*) ;;
        *) fail "the daemon needs $library at run time; the package does not depend on it" ;;
    esac
done

[ "$failed" = 0 ] && echo "OpenWrt package checked"
exit "$failed"
