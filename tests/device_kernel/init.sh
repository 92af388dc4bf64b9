#!/bin/sh
# The guest's init (PID 1 on the emulated device).  It readies the system,
# then runs the lines the host writes to the console (guest_init.sh).  The
# device itself (NICs, bridge, addresses, identity, daemon) is set up by
# those lines, through the functions below, so that the host's scenario
# table holds every value.

# shellcheck source=SCRIPTDIR/../support/guest_init.sh
. /lib/guest_init.sh

# provision AP_MAC STA_MAC USB_DEVICES: the typical device's network, and
# waits until the kernel has enumerated that many USB devices.
provision() {
    # The bridge before the NICs: the kernel lists addresses by interface
    # index, and a device lists its LAN before its uplink.
    modprobe bridge && ip link add br-lan type bridge || return 1
    modprobe -a pcnet32 uhci-hcd || return 1
    rename_nic "$1" phy0-ap0 && rename_nic "$2" phy0-sta0 || return 1
    ip link set phy0-ap0 master br-lan
    ip link set phy0-ap0 up
    ip link set br-lan up
    ip link set phy0-sta0 up
    ip addr add 192.168.8.1/24 brd + dev br-lan
    ip addr add 10.0.0.23/24 brd + dev phy0-sta0
    ip route add default via 10.0.0.1
    wait_usb "$3"
}

# rename_nic MAC NAME: the NIC with that MAC, whichever ethN the driver made.
rename_nic() {
    tries=50
    while [ "$tries" -gt 0 ]; do
        for nic in /sys/class/net/eth*; do
            if [ -e "$nic/address" ] && [ "$(cat "$nic/address")" = "$1" ]; then
                ip link set "${nic##*/}" name "$2"
                return
            fi
        done
        tries=$((tries - 1))
        sleep 0.1
    done
    echo "@@error no NIC with MAC $1"
    return 1
}

# identity NAME HOSTNAME VERSION: what the device's firmware writes.
identity() {
    echo "$1" >/etc/quorvellan-name
    hostname "$2"
    echo "$3" >/etc/quorvellan-version
}

# start [USER]: the daemon in the background, as root or as USER.
start() {
    if [ -n "${1:-}" ]; then
        su -s /bin/sh "$1" -c 'exec /usr/bin/quorvellan-beacon' </dev/null &
    else
        /usr/bin/quorvellan-beacon </dev/null &
    fi
    daemon=$!
    sleep 0.2
    echo "@@daemon $daemon $(awk '/^Uid:/ { print $2 }' /proc/$daemon/status)"
}

# stop: says whether the daemon was still running, then ends it.
stop() {
    if kill -0 "$daemon" 2>/dev/null; then
        echo "@@alive yes"
        kill "$daemon"
        wait "$daemon" 2>/dev/null
    else
        wait "$daemon"
        echo "@@alive no, exit status $?"
    fi
    return 0
}

# usbip_serve [BUSID...]: Debian's USB/IP server, sharing every USB device
# that is not a hub; the devices named are then configured, which binding
# leaves them not, so that the server lists their interfaces as well.
usbip_serve() {
    modprobe usbip-host || return 1
    usbipd -D -4 || return 1
    for device in /sys/bus/usb/devices/[0-9]*; do
        # Interfaces have no bDeviceClass; hubs have class 09.
        [ -e "$device/bDeviceClass" ] || continue
        [ "$(cat "$device/bDeviceClass")" = 09 ] && continue
        usbip bind -b "${device##*/}" >/dev/null || return 1
    done
    for busid in "$@"; do
        echo 1 >"/sys/bus/usb/devices/$busid/bConfigurationValue" || return 1
    done
    # usbipd listens only after it has gone to the background.
    wait_listening 0CA8 yes
}

# usbip_stop: the server ends, and its port with it.
usbip_stop() {
    server=$(pidof usbipd) && kill "$server" || return 1
    wait_listening 0CA8 no
}

# wait_listening HEXPORT yes|no: until a TCP socket listens on the port, or
# none does.
wait_listening() {
    tries=100
    while [ "$tries" -gt 0 ]; do
        if grep -q "^ *[0-9]*: [0-9A-F]*:$1 [0-9A-F:]* 0A " /proc/net/tcp; then
            [ "$2" = yes ] && return
        else
            [ "$2" = no ] && return
        fi
        tries=$((tries - 1))
        sleep 0.1
    done
    echo "@@error port $1 listening is not $2"
    return 1
}

# figures: the running daemon's memory and descriptors beside an idle
# program in the same system.
figures() {
    sleep 600 &
    idle=$!
    sleep 0.5
    figure daemon "$daemon"
    figure idle "$idle"
    kill "$idle"
    wait "$idle" 2>/dev/null
    return 0
}

# figure NAME PID: "@@figure NAME VmRSS=kB RssAnon=kB fds=N".
figure() {
    memory=$(awk '/^(VmRSS|RssAnon):/ { printf "%s=%s ", substr($1, 1, length($1) - 1), $2 }' \
        "/proc/$2/status")
    descriptors=$(find "/proc/$2/fd" -mindepth 1 -maxdepth 1 | wc -l)
    echo "@@figure $1 ${memory}fds=$descriptors"
}

serve_console
