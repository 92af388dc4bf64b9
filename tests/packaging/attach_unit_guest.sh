#!/bin/sh
# The guest's side of attach_unit_sandbox.py, in a guest whose init is
# systemd. "driver" (a plain service) shares the guest's FTDI adapter with
# Debian's usbipd on loopback, starts quorvellan-attach.service as installed,
# whose ExecStart a drop-in replaced by "probe", and reports what the probe
# found and what the stop left. "probe" runs inside the unit's sandbox: the
# writes the listener makes, each of which must work, and writes it must
# never be able to make. Lines for the host start with "@@".

VHCI=/sys/devices/platform/vhci_hcd.0
LOG=/run/vhci_hcd/probe.log

# step NAME COMMAND: runs the command, says ok or refused with its error.
step() {
    name=$1
    shift
    if (eval "$*") >/tmp/said 2>&1; then
        echo "@@ok $name"
    else
        echo "@@refused $name: $(tr '\n' ' ' </tmp/said)"
    fi
}

probe() {
    # Its run directory is the one place it may write: the log goes there.
    exec >"$LOG" 2>&1
    echo "@@caps $(sed -n 's/^Cap\(Eff\|Bnd\|Amb\):[[:space:]]*//p' /proc/self/status | tr '\n' ' ')"
    for hub in "$VHCI"/usb*; do
        break
    done
    step hold "echo 0 >$hub/authorized_default"
    step release "echo 1 >$hub/authorized_default"
    step attach "usbip attach -r 127.0.0.1 -b 1-1"
    arrived=
    tries=50
    while [ -z "$arrived" ] && [ "$tries" -gt 0 ]; do
        for device in /sys/bus/usb/devices/[0-9]*-1; do
            case $(readlink -f "$device") in
                "$VHCI"/*) arrived=$device ;;
            esac
        done
        tries=$((tries - 1))
        sleep 0.1
    done
    step descriptors "test -n '$arrived' && test -s $arrived/descriptors"
    step deauthorize "echo 0 >$arrived/authorized"
    step authorize "echo 1 >$arrived/authorized"
    step record "test -s /var/run/vhci_hcd/port0"
    step detach "usbip detach -p 0"
    step other_hub "echo 0 >/sys/bus/usb/devices/usb1/authorized_default"
    step run_unit "echo >/run/systemd/system/left.service"
    step etc "echo >/etc/left"
    # Attached again, to be left attached when the service stops.
    step reattach "usbip attach -r 127.0.0.1 -b 1-1"
    echo "@@probe done"
}

driver() {
    echo "@@driver"
    modprobe -a xhci-pci usbip-host
    tries=100
    while [ ! -e /sys/bus/usb/devices/1-1 ] && [ "$tries" -gt 0 ]; do
        tries=$((tries - 1))
        sleep 0.1
    done
    usbipd -D -4
    sleep 1
    usbip bind -b 1-1 >/dev/null
    echo "@@vhci loaded before start: $(grep -c '^vhci_hcd ' /proc/modules)"
    systemctl start quorvellan-attach.service
    tries=300
    while systemctl -q is-active quorvellan-attach.service && [ "$tries" -gt 0 ]; do
        tries=$((tries - 1))
        sleep 0.1
    done
    echo "@@result $(systemctl show -P Result quorvellan-attach.service)"
    cat "$LOG"
    # Stopped, it leaves its attachment (in use once the device has
    # arrived), and the record usbip reads.
    tries=100
    while ! grep -q '^hs  0000 006' "$VHCI/status" && [ "$tries" -gt 0 ]; do
        tries=$((tries - 1))
        sleep 0.1
    done
    if [ "$tries" -gt 0 ] && [ -s /run/vhci_hcd/port0 ]; then
        echo "@@kept"
    fi
    echo "@@driver done"
    poweroff -f
}

"$1"
