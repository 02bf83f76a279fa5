#!/usr/bin/env bash
# The desktop entry that install-desktop-entry writes must start the program it names,
# with the link as its one argument, whatever characters the build's path holds. GIO
# launches the entry as a desktop would; the stand-in program records how it was called.
set -euo pipefail
script=${1:?the install-desktop-entry script}
if ! command -v gio >/dev/null 2>&1; then
    echo "gio is not installed: nothing launches the entry" >&2
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
folder="$work/"'build & co | a\b 100% "q" $HOME `x` ;#'
mkdir -p "$folder"
program="$folder/velmora"
cat > "$program" <<'PROGRAM'
#!/usr/bin/env bash
printf '%s\n' "$0" "$#" "$@" > "$VELMORA_TEST_RECORD"
PROGRAM
chmod +x "$program"

export HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
export VELMORA_TEST_RECORD="$work/record"
"$script" "$program" >/dev/null
entry="$XDG_DATA_HOME/applications/velmora.desktop"
grep '^Exec=' "$entry"

if command -v desktop-file-validate >/dev/null 2>&1; then
    desktop-file-validate "$entry"
fi

link='velmora://jira?code=a%20b&state=1'
gio launch "$entry" "$link"
for _ in $(seq 50); do
    [[ -s $VELMORA_TEST_RECORD ]] && break
    sleep 0.1
done
expected=$(printf '%s\n' "$program" 1 "$link")
actual=$(cat "$VELMORA_TEST_RECORD" 2>/dev/null || echo "(the program was not started)")
if [[ $actual != "$expected" ]]; then
    printf 'expected:\n%s\nbut the program was started as:\n%s\n' "$expected" "$actual" >&2
    exit 1
fi

# A path that an Exec line cannot spell is refused, not written half-broken.
if "$script" "$folder/new"$'\n'"line" >/dev/null 2>&1; then
    echo "a path holding a line break was accepted" >&2
    exit 1
fi
echo "ok"
