#!/usr/bin/env bash
# The real program with a real secret store, on a real X server, driven from
# outside with xdotool: details typed and used go on, the password lands in
# the store and not in the settings file, and the next start fills the
# password box from the store. A password an older version left in the file
# moves to the store at the start that uses it.
# Usage (inside with-keyring.sh and an X server): journey.sh NORVALE_BINARY SHOT_FOLDER
set -euo pipefail
BIN="$1"
SHOTS="$2"
HERE="$(cd "$(dirname "$0")" && pwd)"
. "$HERE/../e2e/xdriver.sh"
mkdir -p "$SHOTS"
rm -f "$SHOTS"/keyring-*.png
: "${NORVALE_TEST_SERVER:?start the test server: eval \"\$(scripts/test-db start)\"}"
[ "${NORVALE_TEST_KEYRING:-}" = 1 ] || { echo "run through tests/keyring/with-keyring.sh" >&2; exit 1; }

export XDG_CONFIG_HOME="$(mktemp -d /tmp/norvale-keyring-config.XXXXXX)"
CONF="$XDG_CONFIG_HOME/Halvorik.conf"
DB="norvale_keyring_$$"
ACCOUNT="$NORVALE_TEST_USER@$NORVALE_TEST_SERVER:$NORVALE_TEST_PORT"
SQL=(mariadb --no-defaults -N -B -h "$NORVALE_TEST_SERVER" -P "$NORVALE_TEST_PORT"
     -u "$NORVALE_TEST_USER" "-p$NORVALE_TEST_PASSWORD")
PID=""
cleanup() {
  [ -n "$PID" ] && kill "$PID" 2>/dev/null || true
  "${SQL[@]}" -e "DROP DATABASE IF EXISTS $DB" || true
  rm -rf "$XDG_CONFIG_HOME"
}
trap cleanup EXIT
fail() {
  echo "KEYRING JOURNEY FAILED: $*" >&2
  import -window root "$SHOTS/keyring-failure.png" || true
  exit 1
}
"${SQL[@]}" -e "CREATE DATABASE $DB; CREATE TABLE $DB.people (name VARCHAR(40)); INSERT INTO $DB.people VALUES ('ann')"

shoot() {  # the program window
  eval "$(xdotool getwindowgeometry --shell "$WID")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$SHOTS/keyring-$1.png"
}
start_program() { display_ready || true; "$BIN" & PID=$!; }
close_and_wait() {
  /usr/bin/python3 "$HERE/../e2e/close-window.py" "$WID"
  for _ in $(seq 1 200); do kill -0 "$PID" 2>/dev/null || { PID=""; return 0; }; sleep 0.05; done
  fail "the program did not end when its window closed"
}
stored() { secret-tool lookup server Norvale user "$ACCOUNT" || true; }
file_has_no_password() {
  ! grep -q '^MyPassword' "$CONF" || fail "the settings file holds MyPassword"
  ! grep -qF "$NORVALE_TEST_PASSWORD" "$CONF" || fail "the settings file holds the password"
}

# Type the details and go on; close from the selection window.
start_program
WID="$(window_of_size 536x245)" || fail "connection window not shown"
type_into 246 43 "$NORVALE_TEST_SERVER"
type_into 476 43 "$NORVALE_TEST_PORT"
type_into 296 75 "$NORVALE_TEST_USER"
type_into 296 107 "$NORVALE_TEST_PASSWORD"
type_into 296 139 "$DB"
shoot details-typed
click 268 223   # Next >
WID="$(window_of_size 512x529)" || fail "selection window not shown after Next"
close_and_wait
file_has_no_password
[ "$(stored)" = "$NORVALE_TEST_PASSWORD" ] || fail "the store does not hold the password"

# Start again: the stored details connect, so the program steps on by itself;
# "< Back" shows the password box filled.
start_program
WID="$(window_of_size 512x529)" || fail "the next start did not step on with the stored password"
click 250 475   # < Back
WID="$(window_of_size 536x245)" || fail "connection window not shown after Back"
shoot password-back
close_and_wait
file_has_no_password

# A start whose database is gone stays in the connection window: the box is
# filled from the store right at the start.
sed -i "s/^MyDatabase=.*/MyDatabase=${DB}_gone/" "$CONF"
start_program
WID="$(window_of_size 536x245)" || fail "connection window not shown"
sleep 0.5
shoot password-from-store
close_and_wait
sed -i "s/^MyDatabase=.*/MyDatabase=$DB/" "$CONF"

# A password in the file from before: used, then moved to the store.
secret-tool clear server Norvale user "$ACCOUNT"
awk '{ print } /^\[Norvale\]$/ { print "MyPassword=" ENVIRON["NORVALE_TEST_PASSWORD"] }' "$CONF" >"$CONF.new"
cat "$CONF.new" >"$CONF"   # the file keeps its owner-only mode
rm "$CONF.new"
grep -q '^MyPassword=' "$CONF" || fail "could not put a password into the settings file"
start_program
WID="$(window_of_size 512x529)" || fail "the password from the file was not used"
close_and_wait
file_has_no_password
[ "$(stored)" = "$NORVALE_TEST_PASSWORD" ] || fail "the password did not move from the file to the store"
echo "keyring journey: passed; screenshots in $SHOTS"
