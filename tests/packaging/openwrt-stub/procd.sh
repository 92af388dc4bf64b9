# shellcheck shell=sh
# Stands in for procd's shell helpers as an init script with USE_PROCD meets
# them through /etc/rc.common: rc_procd runs start_service, then hands the
# service to procd with `ubus call service set NAME MESSAGE`, where the
# caller defines ubus. The message holds a line "instance N" per instance
# and a line "PARAMETER VALUE..." per procd_set_param.
# Stricter than procd: a parameter procd does not know (which it drops
# without a word) and those it applies only inside a ujail jail are refused.

rc_procd() {
    _procd_message=''
    _procd_instances=0
    "$@"
    # shellcheck disable=SC2154 # rc.common names the service after its script
    ubus call service set "$name" "$_procd_message"
}

procd_open_instance() {
    _procd_instances=$((_procd_instances + 1))
    _procd_message="${_procd_message}instance $_procd_instances
"
}

procd_close_instance() { :; }

procd_set_param() {
    case $1 in
        command | respawn | user | group | stdout | stderr | env | data | limits | file | \
            netdev | pidfile | nice | term_timeout | reload_signal) ;;
        no_new_privs | capabilities | seccomp)
            echo "procd_set_param $1: procd applies it only inside a ujail jail" >&2
            return 1
            ;;
        *)
            echo "procd_set_param: procd knows no parameter '$1'" >&2
            return 1
            ;;
    esac
    _procd_message="$_procd_message$*
"
}
