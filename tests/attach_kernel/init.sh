#!/bin/sh
# The guest's init (PID 1 of a laptop and a device in one kernel).  It
# readies the system, then runs the lines the host writes to the console
# (guest_init.sh), through the functions below.
#
# The initial network namespace is the laptop's: vhci-hcd, Debian's usbip,
# the listener keeping what its rules name attached.  The device's is a namespace of its own (and a mount
# namespace, for a sysfs that shows its own interfaces), joined to the
# laptop's by a veth: its end is br-lan, as on a device, 192.168.8.1 with
# the MAC 52:54:00:5a:00:01; the laptop's is lan0, 192.168.8.2.

# shellcheck source=SCRIPTDIR/../support/guest_init.sh
. /lib/guest_init.sh

DEVICE_ADDRESS=192.168.8.1
NEW_ADDRESS=192.168.8.3
SERIAL=1-1
STORAGE=2-2
KEYBOARD=1-3
VHCI=/sys/devices/platform/vhci_hcd.0
RULES=/tmp/attach.rules
EVENTS=/tmp/events

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
    printf '# the disk, by MAC and ids\n52:54:00:5a:00:01/46f4:0001\n' >$RULES
    : >$EVENTS
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

# at LABEL: "@@at LABEL SECONDS": when a row did something, on the clock
# that stamps the listener's events.
at() {
    echo "@@at $1 $(now)"
}

# stamp: each line read, after the seconds since boot when it came.
stamp() {
    while IFS= read -r line; do
        read -r up _ </proc/uptime
        echo "$up $line"
    done
}

# listen [ARGS...]: the listener in the laptop's namespace, in the
# background, with the rules (one given, the others in a file) and ARGS,
# under $as (a privilege wrapper, or nothing); its JSON events stamped
# into $EVENTS after those of the runs before.
listen() {
    rm -f /tmp/listener.fifo
    mkfifo /tmp/listener.fifo
    stamp </tmp/listener.fifo >>$EVENTS &
    # $as is words: a command and its options.
    # shellcheck disable=SC2086
    $as quorvellan-discover --json --usb --attach "Lab Router/$SERIAL" --attach-file $RULES \
        --metrics 127.0.0.1:9181 "$@" </dev/null >/tmp/listener.fifo 2>/tmp/listener.err &
    listener=$!
}

# stop_listener: SIGTERM, as systemd stops a service; what it said on
# standard error as lines of ours.
stop_listener() {
    kill "$listener"
    wait "$listener"
    sed 's/^/@@stderr /' /tmp/listener.err
}

# metrics: the listener's attach metrics, one "@@metrics LINE" each.
metrics() {
    wget -qO- http://127.0.0.1:9181/metrics | sed -n 's/^quorvellan_attach/@@metrics &/p'
}

# mark: the events from here on are the row's.
mark() {
    mark=$(wc -l <$EVENTS)
}

# await KIND [BUSID] [COUNT] [LIMIT]: until the row has COUNT (1) events of
# the kind, of that bus id, within LIMIT (30) seconds.
await() {
    # The event's own busid follows its "changed"; the shared devices' later.
    pattern="\"event\":\"$1\""
    [ -n "$2" ] && pattern="$pattern.*\"changed\":\[[^]]*\],\"busid\":\"$2\""
    tries=$((${4:-30} * 20))
    while [ "$(tail -n +$((mark + 1)) $EVENTS | grep -c -e "$pattern")" -lt "${3:-1}" ]; do
        tries=$((tries - 1))
        if [ "$tries" -le 0 ]; then
            echo "@@error no ${3:-1} $1 event $2 within ${4:-30} s"
            events
            server_state
            return 1
        fi
        sleep 0.05
    done
}

# server_state: after a wait in vain, what the device's server holds and
# both ends' USB/IP connections, and what the kernel said of USB/IP.
server_state() {
    for busid in $SERIAL $STORAGE; do
        echo "@@server_status $busid $(in_device cat /sys/bus/usb/drivers/usbip-host/"$busid"/usbip_status)"
    done
    grep ':0CA8 ' /proc/net/tcp | sed 's/^/@@laptop_tcp /'
    in_device grep ':0CA8 ' /proc/net/tcp | sed 's/^/@@device_tcp /'
    dmesg | grep -i -e usbip -e vhci -e 'device reset' | tail -n 20 | sed 's/^/@@dmesg /'
    challenges
}

# challenges: how often the device's TCP answered a SYN on a connection it
# still held (a challenge ACK), and skipped doing so.
challenges() {
    # The dollars are awk's.
    # shellcheck disable=SC2016
    in_device awk '/^TcpExt:/ { if (!seen) { seen = split($0, names); next }
        for (i = 2; i <= NF; i++) if (names[i] ~ /Challenge/) printf " %s=%s", names[i], $i }
        END { print "" }' /proc/net/netstat | sed 's/^/@@challenges/'
}

# events: the row's events as lines of ours, "@@event SECONDS JSON".
events() {
    tail -n +$((mark + 1)) $EVENTS | sed 's/^/@@event /'
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

# attach_by_rule: the listener started with its rules; until both devices
# they name are attached.
attach_by_rule() {
    mark
    at start
    listen
    await attached $SERIAL && await attached $STORAGE && await usb || return 1
    events
    show_vhci
}

# server_lets_go: the device's server lets the serial adapter go (unbind)
# and takes it back (bind); until it is attached again.
server_lets_go() {
    mark
    at unbind
    in_device usbip unbind -b $SERIAL >/dev/null || return 1
    await detached $SERIAL || return 1
    at bind
    in_device usbip bind -b $SERIAL >/dev/null || return 1
    await attached $SERIAL || return 1
    events
    show_vhci
}

# address_changes: the device is given 192.168.8.3, which it announces
# from then on; until both devices are attached there. Then the old
# address goes, as a renumbering ends.
address_changes() {
    mark
    in_device sysctl -qw net.ipv4.conf.br-lan.promote_secondaries=1
    at renumber
    in_device ip addr add $NEW_ADDRESS/24 brd + dev br-lan || return 1
    await attached $SERIAL && await attached $STORAGE || return 1
    in_device ip addr del $DEVICE_ADDRESS/24 dev br-lan
    events
    show_vhci
}

# link_goes_silent: the device's side of the link goes down without a
# word; until vhci-hcd has freed both ports (keepalive) and the listener
# said so; whether the server still holds the serial adapter for the dead
# connection; then the link comes back, until both are attached again.
link_goes_silent() {
    mark
    at down
    in_device ip link set br-lan down
    await detached "" 2 || return 1
    echo "@@server_holds $(in_device cat /sys/bus/usb/drivers/usbip-host/$SERIAL/usbip_status)"
    at up
    in_device ip link set br-lan up
    await attached $SERIAL && await attached $STORAGE || return 1
    events
    challenges
    show_vhci
}

# listener_restarts: stopped as a service is, the attachments stay; started
# again, as root without any capability, it takes them over.
listener_restarts() {
    stop_listener
    mark
    at restart
    as="setpriv-full --bounding-set=-all --inh-caps=-all"
    listen
    await attached $SERIAL && await attached $STORAGE || return 1
    sleep 1
    events
    echo "@@capabilities $(grep CapEff /proc/$listener/status)"
    metrics
    show_vhci
}

# own_attach_beside: a person's usbip attach of the keyboard, which no
# rule names, beside the running listener; then they let it go.
own_attach_beside() {
    mark
    say usbip attach -r $NEW_ADDRESS -b $KEYBOARD || return 1
    sleep 1.5
    show_vhci
    events
    say usbip detach -p "$(port_of $KEYBOARD)"
}

# spoof: the device's server now lies: behind usbip_liar it lists the
# keyboard as 0403:6001, which a rule asks for. The listener, started again
# as nobody with only CAP_DAC_OVERRIDE, must refuse it every time, and say
# so once; stopped, it lets go of everything (--detach-on-exit).
spoof() {
    stop_listener
    # One process, or more while it serves a connection.
    # shellcheck disable=SC2046
    kill $(pidof usbipd)
    in_device usbipd -D -4 --tcp-port 3241 || return 1
    in_device usbip_liar 3240 3241 $KEYBOARD 0403:6001 &
    wait_listening 0CA8 || return 1
    mark
    as="setpriv-full --reuid=nobody --regid=nogroup --clear-groups --inh-caps=+dac_override
        --ambient-caps=+dac_override --bounding-set=-all,+dac_override"
    listen --attach "Lab Router/0403:6001" --detach-on-exit
    await attach_failed $KEYBOARD || return 1
    # Tried again meanwhile, and said once; a try under way when it stops
    # is undone, and what it kept let go.
    sleep 4
    metrics
    stop_listener
    # vhci-hcd frees a port a moment after it is told to.
    tries=50
    while cat $VHCI/status* | grep -q " 006 " && [ "$tries" -gt 0 ]; do
        tries=$((tries - 1))
        sleep 0.1
    done
    events
    show_vhci
    echo "@@records $(ls /var/run/vhci_hcd)"
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

serve_console
