#!/usr/bin/env bash
# A command run through with-session-bus on a desktop with a display but no session bus
# (as scripts/run runs the app there) leaves no D-Bus or keyring daemon running once it
# ends; on a desktop whose bus is there it uses that bus and ends nothing of it.
#
# The stand-in command asks the bus for the Secret Service, as the app's keyring does,
# which has the bus start the keyring daemon; it records the bus's and the keyring's
# process ids.
set -euo pipefail
wrapper=${1:?the with-session-bus script}
for tool in Xvfb dbus-run-session gdbus gnome-keyring-daemon; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$tool is not installed" >&2
        exit 77
    fi
done
work=$(mktemp -d)
xvfb=""
cleanup() {
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A display of its own, on the first free number.
exec 3>"$work/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 >/dev/null 2>&1 &
xvfb=$!
exec 3>&-
for _ in $(seq 1 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
display=":$(head -n1 "$work/display")"

cat >"$work/stand-in" <<'PROGRAM'
#!/usr/bin/env bash
pid_of() {
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.GetConnectionUnixProcessID "$1" | cut -d" " -f2 | tr -dc 0-9
}
# Starts the keyring daemon, as the app's first keyring call does.
gdbus call --session --dest org.freedesktop.secrets --object-path /org/freedesktop/secrets \
    --method org.freedesktop.DBus.Properties.Get org.freedesktop.Secret.Service Collections >/dev/null
echo "bus $(pid_of org.freedesktop.DBus)" >"$RECORD"
echo "keyring $(pid_of org.freedesktop.secrets)" >>"$RECORD"
PROGRAM
chmod +x "$work/stand-in"

# Whether the process runs (a zombie has ended).
running() {
    [ -e "/proc/$1" ] && ! grep -q "^State:.*Z" "/proc/$1/status" 2>/dev/null
}

home="$work/home"
mkdir -p "$home/run"
chmod 700 "$home/run"
fail=0

# No session bus: only a display.
env -u DBUS_SESSION_BUS_ADDRESS DISPLAY="$display" HOME="$home" XDG_RUNTIME_DIR="$home/run" \
    XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" \
    RECORD="$work/record" "$wrapper" "$work/stand-in" || { echo "the command failed" >&2; exit 1; }
if ! grep -q "^keyring [0-9]" "$work/record" 2>/dev/null; then
    echo "the command found no Secret Service on its bus" >&2
    exit 1
fi
leftover=""
for _ in $(seq 1 50); do
    leftover=""
    while read -r what pid; do
        if running "$pid"; then
            leftover="$leftover $what($pid)"
        fi
    done <"$work/record"
    [ -z "$leftover" ] && break
    sleep 0.1
done
if [ -n "$leftover" ]; then
    echo "still running after the command ended:$leftover" >&2
    while read -r _ pid; do kill "$pid" 2>/dev/null || true; done <"$work/record"
    fail=1
fi

# A session bus is there: the command uses it, and it stays.
if ! env DISPLAY="$display" HOME="$home" XDG_RUNTIME_DIR="$home/run" XDG_DATA_HOME="$home/data" \
    XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache" RECORD="$work/record" \
    dbus-run-session -- bash -c '
    outer=$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.GetConnectionUnixProcessID org.freedesktop.DBus | cut -d" " -f2 | tr -dc 0-9)
    "$0" "$1" || exit 1
    read -r _ used <"$RECORD"
    [ "$used" = "$outer" ] || exit 2
    grep -q "^keyring [0-9]" "$RECORD" || exit 4
    # The session'"'"'s bus still answers.
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.GetId >/dev/null || exit 3
' "$wrapper" "$work/stand-in" >/dev/null 2>&1; then
    echo "with a session bus there, the command did not run on it, or the bus was ended" >&2
    fail=1
fi
[ $fail = 0 ] && echo ok
exit $fail
