#!/usr/bin/env bash
# Runs a command against a real secret store of its own: a private D-Bus
# session in which a GNOME keyring daemon serves the Secret Service, its
# login keyring created and unlocked from a test password, in a home folder
# that goes when the command ends. Headless; a user's own keyring is never
# touched.
# With --silent the session has a Secret Service that never answers: the
# bus starts it on the first call and it never comes up, so every call
# hangs until the caller gives up.
# Usage: with-keyring.sh [--silent] COMMAND [ARGUMENTS...]
set -euo pipefail
if [ "${1:-}" != --inside ]; then
  MODE=keyring
  if [ "${1:-}" = --silent ]; then MODE=silent; shift; fi
  SESSION="$(mktemp -d /tmp/norvale-keyring-session.XXXXXX)"
  trap 'if [ -s "$SESSION/pid" ]; then kill "$(cat "$SESSION/pid")" 2>/dev/null || true; fi; rm -rf "$SESSION"' EXIT
  if [ "$MODE" = silent ]; then
    mkdir "$SESSION/services"
    printf '[D-BUS Service]\nName=org.freedesktop.secrets\nExec=/bin/sh -c '\''echo $$ >%s/pid; exec sleep 600'\''\n' \
      "$SESSION" >"$SESSION/services/org.freedesktop.secrets.service"
    cat >"$SESSION/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=$SESSION</listen>
  <servicedir>$SESSION/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
  </policy>
</busconfig>
CONF
    dbus-run-session --config-file="$SESSION/bus.conf" -- env NORVALE_TEST_KEYRING=silent "$@"
  else
    dbus-run-session -- bash "$0" --inside "$@"
  fi
  exit
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
