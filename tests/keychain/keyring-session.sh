#!/usr/bin/env bash
# Runs one command against a throwaway keyring: a private session bus with its own
# gnome-keyring-daemon, unlocked with a random password, in a private HOME. The user's
# own keyring is never reachable from inside.
#   keyring-session.sh COMMAND [ARGS...]
set -euo pipefail

if [ "${1:-}" != "--inside" ]; then
    [ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
    command -v dbus-run-session >/dev/null || { echo "keyring-session: dbus-run-session missing (package dbus)" >&2; exit 2; }
    command -v gnome-keyring-daemon >/dev/null || { echo "keyring-session: gnome-keyring-daemon missing (package gnome-keyring)" >&2; exit 2; }
    sandbox=$(mktemp -d "${TMPDIR:-/tmp}/nubelo-keyring.XXXXXX")
    trap 'rm -rf "$sandbox"' EXIT
    mkdir -m 700 "$sandbox/home" "$sandbox/run"
    rc=0
    # No display: nothing can put a prompt in front of anyone, so a prompt must fail, not wait.
    env -u DISPLAY -u WAYLAND_DISPLAY -u GNOME_KEYRING_CONTROL -u SSH_AUTH_SOCK \
        -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u XDG_CACHE_HOME -u XDG_STATE_HOME \
        HOME="$sandbox/home" XDG_RUNTIME_DIR="$sandbox/run" NUBELO_KEYRING_SANDBOX="$sandbox" \
        dbus-run-session -- "$0" --inside "$@" || rc=$?
    exit "$rc"
fi
shift

bus() {
    dbus-send --session --print-reply=literal --reply-timeout=2000 --dest=org.freedesktop.DBus \
        /org/freedesktop/DBus "org.freedesktop.DBus.$1" "string:$2"
}

# The daemon reads the unlock password on standard input; it forks and the parent returns
# once the keyring is open, a little before the daemon owns its name on the bus.
head -c 18 /dev/urandom | base64 | tr -d '\n' | gnome-keyring-daemon --unlock --components=secrets >/dev/null

owned=""
for _ in $(seq 500); do
    if [ "$(bus NameHasOwner org.freedesktop.secrets 2>/dev/null | tr -d ' ')" = "booleantrue" ]; then
        owned=yes
        break
    fi
    sleep 0.02
done
[ -n "$owned" ] || { echo "keyring-session: org.freedesktop.secrets never appeared on the private bus" >&2; exit 1; }
daemon_pid=$(bus GetConnectionUnixProcessID org.freedesktop.secrets | awk '{print $2}')

# The daemon is not a child of this shell and outlives the bus unless stopped; so does one the
# bus started on demand if ours went away. A daemon that has exited may linger as a zombie until
# init reaps it, which counts as gone.
running() {
    local state
    state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "${state:0:1}" != Z ]
}
stop_pid() {
    kill "$1" 2>/dev/null || return 0
    for _ in $(seq 100); do
        running "$1" || return 0
        sleep 0.02
    done
    kill -KILL "$1" 2>/dev/null || true
}
stop_daemon() {
    local now
    now=$(bus GetConnectionUnixProcessID org.freedesktop.secrets 2>/dev/null | awk '{print $2}') || true
    stop_pid "$daemon_pid"
    if [ -n "$now" ] && [ "$now" != "$daemon_pid" ]; then
        stop_pid "$now"
    fi
}
trap stop_daemon EXIT

export NUBELO_KEYRING_BUS="$DBUS_SESSION_BUS_ADDRESS"
# GLib is not built with ThreadSanitizer, so the locking inside it is invisible to a sanitized
# test and every hand-over between its D-Bus thread and ours would read as a race.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}ignore_noninstrumented_modules=1"
rc=0
"$@" || rc=$?
exit "$rc"
