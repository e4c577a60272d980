#!/usr/bin/env bash
# Whole-program journeys: the real norvale binary under Xvfb, driven from
# outside with real input events (xdotool), checked against the real server.
# Usage (inside an X server): journeys.sh NORVALE_BINARY SHOT_FOLDER
set -euo pipefail
BIN="$1"
SHOTS="$2"
HERE="$(cd "$(dirname "$0")" && pwd)"
. "$HERE/xdriver.sh"
mkdir -p "$SHOTS"
rm -f "$SHOTS"/*.png
: "${NORVALE_TEST_SERVER:?start the test server: eval \"\$(scripts/test-db start)\"}"

export XDG_CONFIG_HOME="$(mktemp -d /tmp/norvale-e2e-config.XXXXXX)"
export XDG_DATA_HOME="$(mktemp -d /tmp/norvale-e2e-data.XXXXXX)"
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d /tmp/norvale-e2e-run.XXXXXX)}"
chmod 700 "$XDG_RUNTIME_DIR"
DB1="norvale_e2e_$$_a"
DB2="norvale_e2e_$$_b"
DB3="norvale_e2e_$$_c"
SQL=(mariadb --no-defaults --default-character-set=utf8mb4 -N -B -h "$NORVALE_TEST_SERVER" -P "$NORVALE_TEST_PORT"
     -u "$NORVALE_TEST_USER" "-p$NORVALE_TEST_PASSWORD")
PID=""
cleanup() {
  [ -n "$PID" ] && kill "$PID" 2>/dev/null || true
  "${SQL[@]}" -e "DROP DATABASE IF EXISTS $DB1; DROP DATABASE IF EXISTS $DB2; DROP DATABASE IF EXISTS $DB3;" || true
  rm -rf "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
}
trap cleanup EXIT
fail() {
  echo "JOURNEY FAILED: $*" >&2
  if [ -n "$PID" ] && kill -0 "$PID" 2>/dev/null; then echo "  the program is running" >&2
  else echo "  the program is not running" >&2; fi
  for wid in $(xdotool search --onlyvisible --name '.' 2>/dev/null); do
    echo "  window $wid: $(xdotool getwindowname "$wid" 2>/dev/null) $(xdotool getwindowgeometry "$wid" 2>/dev/null | tr -s '\n ' ' ')" >&2
  done
  shoot "$SHOTS/failure.png" root || true
  exit 1
}

"${SQL[@]}" -e "
  CREATE DATABASE $DB1 CHARACTER SET utf8mb4; CREATE DATABASE $DB2 CHARACTER SET utf8mb4; CREATE DATABASE $DB3;
  CREATE TABLE $DB1.people (name VARCHAR(40), note VARCHAR(40));
  INSERT INTO $DB1.people VALUES ('ann o''neil', 'x'), ('BOB SMITH', 'y'), ('jean-luc PICARD', NULL), (NULL, 'z');
  CREATE TABLE $DB1.places (city VARCHAR(40)); INSERT INTO $DB1.places VALUES ('oslo');
  CREATE TABLE $DB2.zeta (word VARCHAR(40)); INSERT INTO $DB2.zeta VALUES ('mixed CASE words');
  CREATE TABLE $DB3.t (v VARCHAR(60), id INT PRIMARY KEY, KEY (v));
  USE $DB3; INSERT INTO t SELECT CONCAT('name o''neil number ', seq), seq FROM seq_1_to_400000;"

# Helpers ------------------------------------------------------------------
N=0
shoot() {  # file [root]: the visible program window, or the whole screen
  if [ "${2:-}" = root ] || [ -z "${WID:-}" ]; then import -window root "$1"; return; fi
  eval "$(xdotool getwindowgeometry --shell "$WID")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$1"
}
step() { N=$((N + 1)); sleep 0.4; shoot "$(printf '%s/%02d-%s.png' "$SHOTS" "$N" "$1")"; }
setting() { sed -n "s/^$1=//p" "$XDG_CONFIG_HOME/Halvorik.conf"; }
start_program() { display_ready || fail "the X display takes no connections"; "$BIN" & PID=$!; }
close_window() { /usr/bin/python3 "$HERE/close-window.py" "$WID"; }
wait_exit() {  # seconds
  local deadline=$(( $(date +%s%N) + $1 * 1000000000 ))
  while kill -0 "$PID" 2>/dev/null; do
    [ "$(date +%s%N)" -lt "$deadline" ] || return 1
    sleep 0.05
  done
  PID=""
}

# Journey 1: first start, fill in, test, next, choose, convert, restart ------
start_program
WID="$(window_of_size 536x245)" || fail "connection window not shown"
step first-start
[ "$(setting MyServer)" = localhost ] || fail "MyServer not stored at first start"
type_into 246 43 "$NORVALE_TEST_SERVER"
type_into 476 43 "$NORVALE_TEST_PORT"
type_into 296 75 "$NORVALE_TEST_USER"
type_into 296 107 "$NORVALE_TEST_PASSWORD"
type_into 296 139 "$DB1"
step details-typed
[ "$(setting MyDatabase)" = "$DB1" ] || fail "database box not stored: $(setting MyDatabase)"
click 144 173   # Test Connection

sleep 0.5
step test-connection-message
xdotool key Return
sleep 0.3
click 268 223   # Next >
WID="$(window_of_size 512x529)" || fail "selection window not shown after Next"
step selection-window
click 60 34     # table "people"
click 60 210    # field "name"
click 250 398   # mode list
xdotool key Down Down Return
sleep 0.3
[ "$(setting Combo1)" = 2 ] || fail "mode not stored: $(setting Combo1)"
click 250 440   # Start Changing
people() { "${SQL[@]}" -e "SELECT IFNULL(name, 'NULL') FROM $DB1.people" | tr '\n' '|'; }
for _ in $(seq 1 300); do [ "$(people)" = "Ann O'neil|Bob Smith|Jean-luc Picard|NULL|" ] && break; sleep 0.1; done
step after-run
got="$(people)"
[ "$got" = "Ann O'neil|Bob Smith|Jean-luc Picard|NULL|" ] || fail "people after the run: $got"
close_window
wait_exit 5 || fail "program did not end when its window closed"
start_program
WID="$(window_of_size 512x529)" || fail "restart did not step to the selection window"
step restart-remembers
[ "$(setting Combo1)" = 2 ] || fail "mode forgotten"

# Journey 2: back, another database, next -------------------------------------
click 250 475   # < Back
WID="$(window_of_size 536x245)" || fail "connection window not shown after Back"
type_into 296 139 "$DB2"
step other-database
click 268 223   # Next >
WID="$(window_of_size 512x529)" || fail "selection window not shown"
step other-database-tables
click 250 440   # Start Changing on the first table of the list
for _ in $(seq 1 300); do [ "$("${SQL[@]}" -e "SELECT word FROM $DB2.zeta")" = "Mixed Case Words" ] && break; sleep 0.1; done
got="$("${SQL[@]}" -e "SELECT word FROM $DB2.zeta")"
[ "$got" = "Mixed Case Words" ] || fail "the first table listed is not the new database's: $got"

# Journey 3: close the selection window during a long run ----------------------
click 250 475
WID="$(window_of_size 536x245)" || fail "connection window not shown"
type_into 296 139 "$DB3"
click 268 223
WID="$(window_of_size 512x529)" || fail "selection window not shown"
click 250 440   # Start Changing on 400,000 rows
# Closed once rows have begun to change.
for _ in $(seq 1 600); do
  [ "$("${SQL[@]}" -e "SELECT COUNT(*) FROM $DB3.t WHERE BINARY v = CONCAT('Name O''neil Number ', id)")" != 0 ] && break
  sleep 0.1
done
step long-run
close_window
# (A deadline against a hang, not a measure of speed: under the sanitizers a
# group on its way takes its time to be answered. That the run stopped early
# is told by the rows below.)
wait_exit 10 || fail "program still running ten seconds after its window closed"
count() { "${SQL[@]}" -e "SELECT COUNT(*), SUM(BINARY v = CONCAT('Name O''neil Number ', id)),
  SUM(BINARY v <> CONCAT('name o''neil number ', id) AND BINARY v <> CONCAT('Name O''neil Number ', id)) FROM $DB3.t"; }
sleep 1
first="$(count)"
sleep 2
second="$(count)"
[ "$first" = "$second" ] || fail "rows changed after the program ended: $first then $second"
read -r total converted broken <<<"$first"
[ "$broken" = 0 ] || fail "$broken rows neither original nor converted"
[ "$converted" -gt 0 ] && [ "$converted" -lt "$total" ] || fail "expected a partial run, converted $converted of $total"

# Journey 4: kill the program mid-run, start it again, undo both runs -------
# A box of the program: a visible window titled Norvale that is neither of
# the two fixed windows.
wait_box() {  # seconds
  local wid
  for _ in $(seq 1 $(( $1 * 10 ))); do
    for wid in $(xdotool search --onlyvisible --name '^Norvale$' 2>/dev/null); do
      eval "$(xdotool getwindowgeometry --shell "$wid")"
      case "${WIDTH}x${HEIGHT}" in 512x529|536x245) ;; *) echo "$wid"; return 0 ;; esac
    done
    sleep 0.1
  done
  return 1
}
press_in_box() {  # name seconds: screenshot the box, then press Return in it
  local box
  box="$(wait_box "$2")" || fail "no box for $1"
  WID="$box" step "$1"
  xdotool key Return
  sleep 0.3
}
start_program
WID="$(window_of_size 512x529)" || fail "selection window not shown"
click 250 440   # Start Changing again, on the rest of the rows
sleep 2
kill -9 "$PID"; wait "$PID" 2>/dev/null || true; PID=""
killed="$(count)"
start_program
WID="$(window_of_size 512x529)" || fail "selection window not shown after the kill"
for run in second first; do
  click 380 200   # into the preview list, then Ctrl+Z
  xdotool key --clearmodifiers ctrl+z
  press_in_box "undo-$run-question" 10
  press_in_box "undo-$run-result" 600
  WID="$(window_of_size 512x529)"
done
read -r total converted broken <<<"$(count)"
original="$("${SQL[@]}" -e "SELECT SUM(BINARY v = CONCAT('name o''neil number ', id)) FROM $DB3.t")"
[ "$original" = "$total" ] || fail "after two undos $original of $total rows are original (killed at: $killed)"

# Journey 5: close while a batch waits for a row another client holds ---------
# The window keeps painting during the wait, closing it ends the program at
# once, the server takes the open batch back, and undo finds what committed.
"${SQL[@]}" -e "START TRANSACTION; SELECT id FROM $DB3.t WHERE id = 3000 FOR UPDATE; DO SLEEP(30); COMMIT;" &
LOCKER=$!
sleep 0.5
click 250 440   # Start Changing: its batches stop at the held row
sleep 3
step locked-run-waiting
close_window
# (The row stays held for 30 s: ending within 10 is ending before the lock.)
wait_exit 10 || fail "program still running ten seconds after its window closed during a lock wait"
kill "$LOCKER" 2>/dev/null || true; wait "$LOCKER" 2>/dev/null || true
read -r total converted broken <<<"$(count)"
[ "$broken" = 0 ] || fail "$broken rows neither original nor converted after the close during a lock wait"
[ "$converted" -lt "$total" ] || fail "every row converted although one was held: $converted"
locked="$converted"
start_program
WID="$(window_of_size 512x529)" || fail "selection window not shown after the lock wait"
click 380 200
xdotool key --clearmodifiers ctrl+z
press_in_box "undo-locked-question" 10
press_in_box "undo-locked-result" 600
WID="$(window_of_size 512x529)"
original="$("${SQL[@]}" -e "SELECT SUM(BINARY v = CONCAT('name o''neil number ', id)) FROM $DB3.t")"
[ "$original" = "$total" ] || fail "after undoing the run closed during a lock wait, $original of $total rows are original"
close_window
wait_exit 5 || fail "program did not end"
echo "journeys: all passed ($locked rows converted before a close during a lock wait, undone); ($converted of $total rows converted before the close; killed run undone); screenshots in $SHOTS"
