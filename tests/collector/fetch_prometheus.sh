#!/bin/sh
# Debian's Prometheus (prometheus and promtool) unpacked into CACHE_DIR, not
# installed: its package scripts would start a server in this machine's own
# network. Downloaded once; later runs find it there.
#   fetch_prometheus.sh CACHE_DIR
set -eu
cache=$1
[ -x "$cache/root/usr/bin/prometheus" ] && exit 0
mkdir -p "$cache/debs"
cd "$cache/debs"
download() {
    apt-get -q -o APT::Sandbox::User="$(id -un)" download prometheus >/dev/null
}
download || { apt-get update -qq && download; }
rm -rf "$cache/root"
dpkg -x prometheus_*.deb "$cache/root"
"$cache/root/usr/bin/prometheus" --version 2>&1 | head -1
