#!/bin/sh
# Parses and lints every shell script we ship or run: the OpenWrt
# package's init script and copy-package, everything under scripts/ (found by
# its first line, as most carry no extension), the kernel guests' init scripts,
# the simulated device's namespaces (tests/e2e) and these tests.
# Usage: lint_shell.sh SOURCE_DIR
set -eu
source_dir=$1

for tool in shellcheck busybox; do
    if ! command -v "$tool" >/dev/null; then
        echo "FAIL: $tool not found (scripts/install-deps installs it)" >&2
        exit 1
    fi
done

failed=0
checked=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

# The init script's shebang names rc.common, which sources it, so its
# dialect is stated rather than guessed. The device's shell is busybox ash,
# which must parse it too, not only dash.
init=$source_dir/packaging/openwrt/quorvellan-beacon/files/quorvellan-beacon.init
sh -n "$init" || fail "sh -n $init"
busybox sh -n "$init" || fail "busybox sh -n $init"
shellcheck -s sh "$init" || fail "shellcheck $init"
checked=$((checked + 1))

list=$(mktemp)
trap 'rm -f "$list"' EXIT
find "$source_dir/scripts" "$source_dir/tests/packaging" "$source_dir/tests/beacon" \
    "$source_dir/tests/device_kernel" "$source_dir/tests/attach_kernel" "$source_dir/tests/support" \
    "$source_dir/tests/e2e" "$source_dir/.ci" "$source_dir/packaging/openwrt/copy-package" -type f | sort >"$list"
while IFS= read -r script; do
    first=$(head -n 1 "$script")
    case $first in
        '#!'*python*) continue ;;
        '#!'*bash*) interpreter='bash' ;;
        '#!'*/sh | '#!'*/sh' '* | '#!'*' sh' | '#!'*dash*) interpreter='sh' ;;
        '#!'*) continue ;;
        *) case $script in *.sh) interpreter='sh' ;; *) continue ;; esac ;;
    esac
    "$interpreter" -n "$script" || fail "$interpreter -n $script"
    # -x: a file a script sources is read where a "shellcheck source=" line
    # says it lies in the tree (a guest's init sources its copy in /lib).
    shellcheck -x -s "$interpreter" "$script" || fail "shellcheck $script"
    checked=$((checked + 1))
done <"$list"

echo "$checked shell scripts checked"
exit "$failed"
