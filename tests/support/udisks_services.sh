# The real services a format through udisks2 goes through: a system bus, udev, polkitd and
# udisksd, each started unless one runs already, and stopped again by its process id; sourced
# by the suites that need them (on the host, and inside the QEMU guest). The caller sets
# `scratch` (its own folder: the services' log and the bus's configuration go there) and
# installs its polkit rule between services_start_bus and services_start_polkit.
#
#   services_find || skip "$services_why"   # the programs, or why they cannot be had
#   services_start_bus                      # the system bus and udev; false when one does not start
#   services_start_polkit USER              # polkitd (a running one must let USER in) and udisksd
#   services_stop                           # what was started, last first
services_started=() # process ids, in the order they were started
services_own_bus=
services_bus_socket=/run/dbus/system_bus_socket
services_why=

# until_true SECONDS COMMAND...: COMMAND succeeds within SECONDS, or false.
until_true() {
    local tries=$(($1 * 10))
    shift
    while ! "$@" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}
bus_answers() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.GetId
}
name_owned() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q "boolean true"
}
# start COMMAND...: in the background, its process id remembered for services_stop.
start() {
    "$@" >>"$scratch/services.log" 2>&1 &
    services_started+=($!)
}

services_first() {
    local f
    for f in "$@"; do [ -x "$f" ] && { echo "$f"; return; }; done
}
# services_find: sets polkitd, udisksd, udevd and system_conf; false with services_why set when
# one is missing.
services_find() {
    local tool
    for tool in dbus-daemon dbus-send udevadm setpriv; do
        command -v "$tool" >/dev/null || { services_why="$tool is not installed"; return 1; }
    done
    polkitd=$(services_first /usr/lib/polkit-1/polkitd /usr/libexec/polkitd /usr/lib/polkit/polkitd)
    udisksd=$(services_first /usr/libexec/udisks2/udisksd /usr/lib/udisks2/udisksd)
    udevd=$(services_first /lib/systemd/systemd-udevd /usr/lib/systemd/systemd-udevd)
    system_conf=/usr/share/dbus-1/system.conf
    [ -n "$polkitd" ] || { services_why="polkitd is not installed"; return 1; }
    [ -n "$udisksd" ] || { services_why="udisksd is not installed"; return 1; }
    [ -n "$udevd" ] || { services_why="systemd-udevd is not installed"; return 1; }
    [ -f "$system_conf" ] || { services_why="$system_conf is missing"; return 1; }
}

# bus_config SOCKET: the system bus's own configuration listening on SOCKET, without service
# activation, so that nothing is started behind the suite's back: every service it needs, it
# starts itself.
bus_config() {
    local dir
    dir=$(dirname "$system_conf")
    sed -e '/<fork\/>/d' -e '/<pidfile>/d' -e '/<servicehelper>/d' -e '/<standard_system_servicedirs\/>/d' \
        -e '/<syslog\/>/d' -e "s|<includedir>system.d</includedir>|<includedir>$dir/system.d</includedir>|" \
        -e "s|<listen>.*</listen>|<listen>unix:path=$1</listen>|" "$system_conf"
}

services_start_bus() {
    if bus_answers >/dev/null 2>&1; then
        echo "using the running system bus"
    else
        mkdir -p "$(dirname "$services_bus_socket")"
        rm -f "$services_bus_socket" # no bus answers on it
        bus_config "$services_bus_socket" >"$scratch/system-bus.conf"
        start dbus-daemon --config-file="$scratch/system-bus.conf" --nofork --nopidfile
        services_own_bus=1
        until_true 10 bus_answers || { cat "$scratch/services.log"; echo "the system bus did not start"; return 1; }
    fi
    if udevadm control --ping >/dev/null 2>&1; then
        echo "using the running udev"
    else
        start "$udevd"
        until_true 10 udevadm control --ping || { cat "$scratch/services.log"; echo "udev did not start"; return 1; }
    fi
    udevadm trigger --subsystem-match=block --action=add >/dev/null 2>&1
    udevadm settle -t 30
}

# services_start_polkit USER: polkitd and udisksd; a polkitd that runs already must have taken
# the caller's new rule, which it reads on its own (until then USER is asked for a password).
services_start_polkit() {
    local user=$1
    if name_owned org.freedesktop.PolicyKit1; then
        echo "using the running polkitd"
        until_true 10 setpriv --reuid="$user" --regid="$user" --clear-groups \
            sh -c 'pkcheck --action-id org.freedesktop.udisks2.open-device-system --process $$' ||
            { echo "the running polkitd did not take the test rule"; return 1; }
    else
        start "$polkitd" --no-debug
        until_true 15 name_owned org.freedesktop.PolicyKit1 ||
            { cat "$scratch/services.log"; echo "polkitd did not start"; return 1; }
    fi
    if name_owned org.freedesktop.UDisks2; then
        echo "using the running udisksd"
    else
        start "$udisksd"
        until_true 30 name_owned org.freedesktop.UDisks2 ||
            { cat "$scratch/services.log"; echo "udisksd did not start"; return 1; }
    fi
}

services_stop() {
    local i pid
    for ((i = ${#services_started[@]} - 1; i >= 0; i--)); do
        pid=${services_started[i]}
        kill "$pid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    services_started=()
    [ -n "$services_own_bus" ] && rm -f "$services_bus_socket"
    services_own_bus=
}
