#!/bin/sh
# The guest's init (PID 1 of a laptop and a device in one kernel).  It
# readies the system, then runs the lines the host writes to the console
# (guest_init.sh), through the functions below.
#
# The initial network namespace is the laptop's: vhci-hcd, Debian's usbip,
# the listener.  The device's is a namespace of its own (and a mount
# namespace, for a sysfs that shows its own interfaces), joined to the
# laptop's by a veth: its end is br-lan, as on a device, 192.168.8.1 with
# the MAC 52:54:00:5a:00:01; the laptop's is lan0, 192.168.8.2.

# shellcheck source=SCRIPTDIR/../support/guest_init.sh
. /lib/guest_init.sh

DEVICE_ADDRESS=192.168.8.1
VHCI=/sys/devices/platform/vhci_hcd.0

# in_device COMMAND...: runs it in the device's namespaces.
in_device() {
    nsenter -t "$device" -n -m "$@"
}

# now: seconds since boot, to the hundredth.
now() {
    cut -d ' ' -f 1 /proc/uptime
}

# setup: the modules, the device's namespace and link, its beacon and its
# USB/IP server sharing every USB device; waits until it listens.
setup() {
    modprobe -a xhci-pci usbip-host vhci-hcd veth || return 1
    wait_usb 3 || return 1
    unshare -n -m sh -c 'mount -t sysfs sysfs /sys && exec sleep 100000' &
    device=$!
    ip link add lan0 type veth peer name peer0 || return 1
    # busybox names the peer itself: the other end of lan0.
    peer=$(ip -o link show | sed -n 's/^[0-9]*: \([^@:]*\)@lan0.*/\1/p')
    ip link set "$peer" netns "$device" || return 1
    in_device ip link set "$peer" name br-lan
    in_device ip link set br-lan address 52:54:00:5a:00:01
    in_device ip link set lo up
    in_device ip addr add "$DEVICE_ADDRESS/24" brd + dev br-lan
    in_device ip link set br-lan up
    ip link set lo up
    ip addr add 192.168.8.2/24 brd + dev lan0
    ip link set lan0 up
    echo "Lab Router" >/etc/quorvellan-name
    echo "24.10.1" >/etc/quorvellan-version
    in_device hostname lab-router
    in_device usbipd -D -4 || return 1
    for device_dir in /sys/bus/usb/devices/[0-9]*; do
        # Interfaces have no bDeviceClass; hubs have class 09.
        [ -e "$device_dir/bDeviceClass" ] || continue
        [ "$(cat "$device_dir/bDeviceClass")" = 09 ] && continue
        in_device usbip bind -b "${device_dir##*/}" >/dev/null || return 1
    done
    in_device quorvellan-beacon </dev/null >/dev/null 2>&1 &
    wait_listening 0CA8
}

# wait_listening HEXPORT: until a TCP socket listens on the port in the
# device's namespace.
wait_listening() {
    tries=100
    while [ "$tries" -gt 0 ]; do
        in_device grep -q "^ *[0-9]*: [0-9A-F]*:$1 [0-9A-F:]* 0A " /proc/net/tcp && return
        tries=$((tries - 1))
        sleep 0.1
    done
    echo "@@error nothing listens on port $1"
    return 1
}

# say COMMAND...: runs it, its output (both streams) as lines of ours.
say() {
    "$@" >/tmp/said 2>&1
    status=$?
    sed 's/^/@@/' /tmp/said
    return $status
}

# driver ARGS...: the test program of the attach units, its lines ours.
driver() {
    say attach_driver "$@"
}

# heard: what the listener hears from the laptop's side, its USB/IP
# queries included.
heard() {
    say quorvellan-discover --json --usb --timeout 4
}

# show_vhci: each device on a vhci port as "@@vhci PORT BUSID VID:PID
# authorized=A configuration=C", then what usbip port says of them.
show_vhci() {
    cat $VHCI/status* | while read -r _ port state _ _ _ busid; do
        [ "$state" = 006 ] || continue
        dir=/sys/bus/usb/devices/$busid
        # The status files pad the port number to four digits.
        echo "@@vhci $((1$port - 10000)) $busid $(cat "$dir/idVendor"):$(cat "$dir/idProduct")" \
            "authorized=$(cat "$dir/authorized")" \
            "configuration=$(cat "$dir/bConfigurationValue")"
    done
    say usbip port
}

# port_of BUSID: the vhci port whose record names the server's BUSID.
port_of() {
    grep -l " $1\$" /var/run/vhci_hcd/port* | sed 's/.*port//'
}

# own_attach_during_hold OWN_BUSID OUR_BUSID OUR_RULE: a person's usbip
# attach of OWN_BUSID while the driver re-attaches OUR_BUSID with its hub
# held for 4 s after it arrived; then every device on vhci.
own_attach_during_hold() {
    attach_driver detach "$(port_of "$2")" || return 1
    attach_driver attach $DEVICE_ADDRESS "$2" "$3" 4 >/tmp/driver 2>&1 &
    driving=$!
    sleep 1.5
    say usbip attach -r $DEVICE_ADDRESS -b "$1" || return 1
    wait $driving
    status=$?
    sed 's/^/@@/' /tmp/driver
    show_vhci
    return $status
}

# raw_import BUSID: the server's import reply, as bytes in hex
# ("@@raw_reply HEX"); the connection then closes, and the server takes the
# device back.
raw_import() {
    padding=$((32 - ${#1}))
    { printf '\001\021\200\003\000\000\000\000%s' "$1"
      head -c "$padding" /dev/zero
      sleep 1; } | nc -w 2 $DEVICE_ADDRESS 3240 >/tmp/reply
    echo "@@raw_reply $(od -An -v -tx1 /tmp/reply | tr -d ' \n')"
}

# silence_until_free BUSID: the device's side of the link goes down
# without a word; the seconds until vhci-hcd frees the port of our
# attachment of BUSID, and whether the person's own usbip attachments were
# freed by then.
silence_until_free() {
    port=$(port_of "$1")
    started=$(now)
    in_device ip link set br-lan down
    tries=600
    while [ "$tries" -gt 0 ]; do
        cat $VHCI/status* | grep -q "^[hs]s  $(printf %04d "$port") 004 " && break
        tries=$((tries - 1))
        sleep 0.1
    done
    [ "$tries" -gt 0 ] || { echo "@@error port $port still in use after 60 s"; return 1; }
    echo "@@figure silent_link_frees_port $(echo "$(now) $started" | awk '{ print $1 - $2 }') s"
    echo "@@others_in_use $(cat $VHCI/status* | grep -c " 006 ")"
}

serve_console
