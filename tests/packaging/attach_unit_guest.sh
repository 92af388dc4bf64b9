#!/bin/sh
# The guest's side of attach_unit_sandbox.py, in a guest whose init is
# systemd. "driver" (a plain service) makes a device in a network namespace
# of its own, joined to this one by a veth: its end is br-lan (192.168.8.1,
# MAC 52:54:00:5a:00:01), where Debian's usbipd shares the guest's FTDI
# adapter and quorvellan-beacon announces it; this namespace's end is lan0
# (192.168.8.2). It writes a rule for the adapter, starts
# quorvellan-attach.service as installed, the real listener under its whole
# sandbox, and reports what the listener did and what the stop left.
# "probe", which a drop-in runs before the listener in the same sandbox,
# tries the writes it must never be able to make. Lines for the host start
# with "@@".

VHCI=/sys/devices/platform/vhci_hcd.0
UNIT=quorvellan-attach.service
# Opened by systemd, outside the sandbox, for the probe and the listener.
LOG=/run/attach.log

# step NAME COMMAND: runs the command, says ok or refused with its error.
step() {
    name=$1
    shift
    if (eval "$*") >/tmp/said 2>&1; then
        echo "ok $name"
    else
        echo "refused $name: $(tr '\n' ' ' </tmp/said)"
    fi
}

probe() {
    step other_hub "echo 0 >/sys/bus/usb/devices/usb1/authorized_default"
    step run_unit "echo >/run/systemd/system/left.service"
    step etc "echo >/etc/left"
}

# within TENTHS COMMAND...: until the command succeeds, for at most that
# many tenths of a second.
within() {
    tries=$1
    shift
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}

# in_device COMMAND...: runs it in the device's namespaces.
in_device() {
    nsenter -t "$device" -n -m "$@"
}

# make_device: the device's namespace (and a mount namespace, for a sysfs that
# shows its own interfaces, which the beacon reads its MAC from), its link,
# its USB/IP server sharing the adapter and its beacon.
make_device() {
    modprobe -a xhci-pci usbip-host veth
    within 100 test -e /sys/bus/usb/devices/1-1
    unshare -n -m sh -c 'mount -t sysfs sysfs /sys && exec sleep 100000' &
    device=$!
    # Its namespaces made, it sleeps.
    within 50 grep -qx sleep "/proc/$device/comm"
    ip link add lan0 type veth peer name peer0
    # busybox names the peer itself: the other end of lan0.
    peer=$(ip -o link show | sed -n 's/^[0-9]*: \([^@:]*\)@lan0.*/\1/p')
    ip link set "$peer" netns "$device"
    in_device ip link set "$peer" name br-lan
    in_device ip link set br-lan address 52:54:00:5a:00:01
    in_device ip link set lo up
    in_device ip addr add 192.168.8.1/24 brd + dev br-lan
    in_device ip link set br-lan up
    ip addr add 192.168.8.2/24 brd + dev lan0
    ip link set lan0 up
    echo "Lab Router" >/etc/quorvellan-name
    echo "24.10.1" >/etc/quorvellan-version
    in_device usbipd -D -4
    in_device usbip bind -b 1-1 >/dev/null
    in_device quorvellan-beacon </dev/null >/dev/null 2>&1 &
}

driver() {
    echo "@@driver"
    make_device
    mkdir -p /etc/quorvellan
    echo 52:54:00:5a:00:01/0403:6001 >/etc/quorvellan/attach.rules
    echo "@@vhci loaded before start: $(grep -c '^vhci_hcd ' /proc/modules)"
    systemctl start $UNIT
    within 300 sh -c "grep -q 'attached (1-1 on port' $LOG || ! systemctl -q is-active $UNIT"
    echo "@@caps $(sed -n 's/^Cap[A-Za-z]*:[[:space:]]*//p' \
        "/proc/$(systemctl show -P MainPID $UNIT)/status" | tr '\n' ' ')"
    usbip port | sed 's/^/@@port /'
    # The adapter on its vhci port: authorized, as the listener left it.
    cat $VHCI/status* | while read -r _ _ state _ _ _ busid; do
        [ "$state" = 006 ] && echo "@@authorized $(cat "/sys/bus/usb/devices/$busid/authorized")"
    done
    systemctl stop $UNIT
    echo "@@result $(systemctl show -P Result $UNIT)"
    # How the probe and the listener ended: killed by the system call
    # filter, say, it is "code=killed, signal=SYS".
    systemctl status --no-pager --lines=0 $UNIT | sed -n 's/^ *\(Process\|Main PID\):/@@status &/p'
    sed 's/^/@@/' $LOG
    # Stopped, it leaves its attachment and the record usbip reads.
    if grep -q '^hs  0000 006' $VHCI/status && grep -q ' 1-1$' /run/vhci_hcd/port*; then
        echo "@@kept"
    fi
    echo "@@driver done"
    poweroff -f
}

"$1"
