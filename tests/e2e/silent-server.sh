#!/usr/bin/env bash
# The real program against stored details that point at a listener which
# accepts connections and never answers: start-up shows the connection window
# once the connection timeout has passed, "Test Connection" answers, and the
# window can be closed while a connection attempt waits.
# Usage (inside an X server): silent-server.sh NORVALE_BINARY SHOT_FOLDER
set -euo pipefail
BIN="$1"
SHOTS="$2"
HERE="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$SHOTS"
# The window driver's helpers, and its stand-in browser for the start that
# visits the web site.
source "$HERE/xdriver.sh"
export XDG_CONFIG_HOME="$(mktemp -d /tmp/norvale-silent-config.XXXXXX)"
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d /tmp/norvale-silent-run.XXXXXX)}"
chmod 700 "$XDG_RUNTIME_DIR"
PORTFILE="$(mktemp /tmp/norvale-silent-port.XXXXXX)"

# A listener that accepts and keeps every connection, saying nothing.
python3 -c '
import socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(64)
open(sys.argv[1], "w").write(str(s.getsockname()[1])); held = []
while True: held.append(s.accept()[0])
' "$PORTFILE" &
LISTENER=$!
PID=""
cleanup() {
  [ -n "$PID" ] && kill "$PID" 2>/dev/null || true
  kill "$LISTENER" 2>/dev/null || true
  rm -rf "$XDG_CONFIG_HOME" "$PORTFILE" "$NORVALE_BROWSER_STUB"
}
trap cleanup EXIT
for _ in $(seq 1 50); do [ -s "$PORTFILE" ] && break; sleep 0.1; done
PORT="$(cat "$PORTFILE")"
fail() { echo "SILENT SERVER JOURNEY FAILED: $*" >&2; import -window root "$SHOTS/silent-failure.png" || true; exit 1; }
now() { date +%s.%N; }
since() { python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.1f}')" "$1" "$(now)"; }

printf '[Norvale]\nMyServer=127.0.0.1\nMyUser=someone\nMyPassword=secret\nMyDatabase=shop\nMyPort=%s\n' "$PORT" \
  >"$XDG_CONFIG_HOME/Halvorik.conf"

# Waits up to $2 seconds for a visible window named $1 of size $3 (any size
# when empty); prints its id.
wait_window() {
  local deadline=$(( $(date +%s) + $2 )) wid
  while [ "$(date +%s)" -lt "$deadline" ]; do
    for wid in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
      eval "$(xdotool getwindowgeometry --shell "$wid")"
      if [ -z "${3:-}" ] || [ "${WIDTH}x${HEIGHT}" = "$3" ]; then echo "$wid"; return 0; fi
    done
    sleep 0.2
  done
  return 1
}

# Start-up: the probe gives up after the default connection timeout and the
# window shows the stored values. The bound only keeps a hang from lasting.
START="$(now)"
"$BIN" & PID=$!
WID="$(wait_window '^Norvale$' 60 536x245)" || fail "no connection window within 60 s"
echo "connection window shown after $(since "$START") s"
import -window root "$SHOTS/silent-startup.png"

# "Test Connection": its failure message comes within the same bound.
START="$(now)"
xdotool mousemove --window "$WID" 144 173 click 1
BOX=""
for _ in $(seq 1 300); do
  for w in $(xdotool search --onlyvisible --name '^Norvale$' 2>/dev/null); do
    [ "$w" = "$WID" ] || BOX="$w"
  done
  [ -n "$BOX" ] && break
  sleep 0.2
done
[ -n "$BOX" ] || fail "Test Connection gave no answer within 60 s"
echo "Test Connection answered after $(since "$START") s"
import -window root "$SHOTS/silent-test-connection.png"
xdotool windowactivate --sync "$BOX" 2>/dev/null || true
xdotool key Return
sleep 0.5

# Closing while a connection attempt waits ends the program at once.
xdotool mousemove --window "$WID" 144 173 click 1
sleep 2
START="$(now)"
/usr/bin/python3 "$HERE/close-window.py" "$WID"
for _ in $(seq 1 100); do kill -0 "$PID" 2>/dev/null || break; sleep 0.1; done
kill -0 "$PID" 2>/dev/null && fail "the window did not close while a connection attempt waited"
echo "closed during a connection attempt after $(since "$START") s"
PID=""
