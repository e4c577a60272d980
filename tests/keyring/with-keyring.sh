#!/usr/bin/env bash
# Runs a command against a real secret store of its own: a private D-Bus
# session in which a GNOME keyring daemon serves the Secret Service, its
# login keyring created and unlocked from a test password, in a home folder
# that goes when the command ends. Headless; a user's own keyring is never
# touched.
# Usage: with-keyring.sh COMMAND [ARGUMENTS...]
set -euo pipefail
if [ "${1:-}" != --inside ]; then
  exec dbus-run-session -- bash "$0" --inside "$@"
fi
shift

HOME="$(mktemp -d /tmp/norvale-keyring-home.XXXXXX)"
export HOME XDG_DATA_HOME="$HOME/data" XDG_RUNTIME_DIR="$HOME/run"
mkdir -p -m 700 "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
DAEMON=""
cleanup() {
  if [ -n "$DAEMON" ]; then kill "$DAEMON" 2>/dev/null || true; wait "$DAEMON" 2>/dev/null || true; fi
  rm -rf "$HOME"
}
trap cleanup EXIT

printf %s 'norvale keyring test' | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null &
DAEMON=$!
ready=0
for _ in $(seq 1 200); do
  if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
       org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'; then
    ready=1
    break
  fi
  sleep 0.05
done
[ "$ready" = 1 ] || { echo "with-keyring: the keyring daemon did not take the Secret Service name" >&2; exit 1; }

export NORVALE_TEST_KEYRING=1
"$@"
