#!/bin/sh
# scripts/install-deps installs what its arguments select: every group
# without any, the named groups and packages with them. Run as an ordinary
# user on a machine with nothing installed (stubs of id and dpkg-query
# first on PATH), it lists what it would install and installs nothing.
#   check_install_deps.sh SOURCE_DIR
set -eu
install_deps=$1/scripts/install-deps
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
printf '#!/bin/sh\necho 1000\n' >"$stubs/id"
printf '#!/bin/sh\nexit 1\n' >"$stubs/dpkg-query"
chmod +x "$stubs/id" "$stubs/dpkg-query"

failed=0
# ARGUMENTS, then packages the list must hold, then "-" and ones it must not.
while IFS='|' read -r arguments holds; do
    # shellcheck disable=SC2086 # one word per argument
    listed=$(PATH="$stubs:$PATH" sh "$install_deps" $arguments 2>&1 >/dev/null || true)
    listed=" ${listed#install-deps: missing packages:} "
    want=yes
    for package in $holds; do
        [ "$package" = - ] && { want=no; continue; }
        case $listed in *" $package "*) found=yes ;; *) found=no ;; esac
        if [ "$found" != "$want" ]; then
            echo "FAIL: install-deps $arguments: $package listed: $found; $listed"
            failed=1
        fi
    done
done <<'ROWS'
|build-essential libmicrohttpd-dev dpkg-dev g++-mipsel-linux-gnu chromium
package|cmake libmicrohttpd-dev pkg-config dpkg-dev file - chromium qemu-system-mips clang g++-mipsel-linux-gnu googletest
build tmux|cmake tmux - dpkg-dev chromium
test|pyflakes3 shellcheck chromium - g++-mipsel-linux-gnu dpkg-dev
ROWS
exit "$failed"
