# What the init (PID 1) of each kernel test's guest starts with, sourced
# from /lib/guest_init.sh (tests/support/qemu_guest.py): busybox's applets,
# the pseudo file systems, a quiet kernel, and the loop that runs the lines
# the host writes to the console, one at a time, answering each with
# "@@done N STATUS". Lines for the host start with "@@"; everything else on
# the console is the kernel's or the commands' own talk.

export PATH=/bin:/sbin:/usr/bin:/usr/sbin
/bin/busybox mkdir -p /proc /sys /dev /tmp /run /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
# Only emergencies (a panic) from here on, so that kernel lines do not cut
# into ours.
dmesg -n 1
stty -echo

# wait_usb COUNT: until the kernel has enumerated that many USB devices:
# those with a vendor id; root hubs are left out by name, as the kernel
# names them usbN.
wait_usb() {
    tries=600
    while [ "$tries" -gt 0 ]; do
        found=0
        for vendor in /sys/bus/usb/devices/[0-9]*/idVendor; do
            [ -e "$vendor" ] && found=$((found + 1))
        done
        [ "$found" -eq "$1" ] && return
        tries=$((tries - 1))
        sleep 0.1
    done
    echo "@@error $found USB devices enumerated, not $1"
    dmesg | grep -i usb | tail -n 20
    return 1
}

# serve_console: the host's lines until the console closes, then power off.
serve_console() {
    echo "@@ready $(uname -m) $(uname -r)"
    line_number=0
    while IFS= read -r line; do
        line_number=$((line_number + 1))
        eval "$line"
        echo "@@done $line_number $?"
    done
    echo "@@console closed"
    poweroff -f
}
