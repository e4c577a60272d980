#!/usr/bin/env bash
# The real program, driven from outside as a user would (xdotool under an X
# server), converting an unindexed field to UPPER CASE, with and without a
# key, against one server-side UPDATE of an identical table, timed in the
# same run. The run's time is from the click on "Start Changing" until the
# server holds every row converted.
#   xvfb-run -a -s "-screen 0 1024x768x24" bench/window-scale.sh NORVALE_BINARY [rows=100000]
set -euo pipefail
BIN="$1"
ROWS="${2:-100000}"
HERE="$(cd "$(dirname "$0")" && pwd)"
. "$HERE/../tests/e2e/xdriver.sh"
: "${NORVALE_TEST_SERVER:?start the test server: eval \"\$(scripts/test-db start)\"}"

export XDG_CONFIG_HOME="$(mktemp -d /tmp/norvale-bench-config.XXXXXX)"
export XDG_DATA_HOME="$(mktemp -d /tmp/norvale-bench-data.XXXXXX)"
SQL=(mariadb --no-defaults --default-character-set=utf8mb4 -N -B -h "$NORVALE_TEST_SERVER" -P "$NORVALE_TEST_PORT"
     -u "$NORVALE_TEST_USER" "-p$NORVALE_TEST_PASSWORD")
PID=""
DBS=()
cleanup() {
  [ -n "$PID" ] && kill "$PID" 2>/dev/null || true
  for db in "${DBS[@]}"; do "${SQL[@]}" -e "DROP DATABASE IF EXISTS $db" || true; done
  rm -rf "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
}
trap cleanup EXIT
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

"${SQL[@]}" -e "SET GLOBAL innodb_flush_log_at_trx_commit = 1"
for shape in key nokey; do
  db="norvale_bench_$$_$shape"
  DBS+=("$db")
  id="id INT NOT NULL"
  [ "$shape" = key ] && id="id INT NOT NULL PRIMARY KEY"
  name="CONCAT(ELT(1 + MOD(seq, 5), 'ana', 'björn', 'çağla', 'dmitrий', 'élodie'), ' ', seq)"
  # "a" is listed first and converted through the window; "b" by one UPDATE.
  "${SQL[@]}" -e "CREATE DATABASE $db CHARACTER SET utf8mb4; USE $db;
    CREATE TABLE a (name VARCHAR(100), $id) ENGINE=InnoDB; CREATE TABLE b LIKE a;
    INSERT INTO a SELECT $name, seq FROM seq_0_to_$((ROWS - 1)); INSERT INTO b SELECT * FROM a;"
  printf '[Norvale]\nMyServer=%s\nMyPort=%s\nMyUser=%s\nMyPassword=%s\nMyDatabase=%s\nCombo1=0\n' "$NORVALE_TEST_SERVER" \
    "$NORVALE_TEST_PORT" "$NORVALE_TEST_USER" "$NORVALE_TEST_PASSWORD" "$db" >"$XDG_CONFIG_HOME/Halvorik.conf"
  display_ready
  "$BIN" & PID=$!
  WID="$(window_of_size 512x529)" || { echo "selection window not shown"; exit 1; }
  click 60 34     # table "a"
  click 60 210    # field "name"
  sleep 1
  # The row the run changes last, read cheaply: by key the last record's
  # (the records come in key order), without one any row (the one join at
  # the end commits them all at once). Every row is checked afterwards.
  last="SELECT BINARY name = UPPER(name) FROM $db.a LIMIT 1"
  [ "$shape" = key ] && last="SELECT BINARY name = UPPER(name) FROM $db.a ORDER BY id DESC LIMIT 1"
  # One client session asks, so that the asking costs little beside the run.
  coproc POLL { "${SQL[@]}" -n; }
  start="$(now_ms)"
  xdotool mousemove --window "$WID" 250 440 click 1   # Start Changing
  while :; do
    echo "$last;" >&"${POLL[1]}"
    read -r done <&"${POLL[0]}"
    [ "$done" = 1 ] && break
    sleep 0.02
  done
  run=$(( $(now_ms) - start ))
  exec {POLL[1]}>&-
  wait "$POLL_PID" 2>/dev/null || true
  [ "$("${SQL[@]}" -e "SELECT COUNT(*) FROM $db.a WHERE BINARY name <> UPPER(name)")" = 0 ] ||
    { echo "rows left unconverted"; exit 1; }
  single="$("${SQL[@]}" -e "USE $db; SET @t = NOW(6); UPDATE b SET name = UPPER(name);
    SELECT TIMESTAMPDIFF(MICROSECOND, @t, NOW(6)) DIV 1000")"
  same="$("${SQL[@]}" -e "USE $db; SELECT (SELECT SUM(CRC32(CONCAT(id, ':', HEX(name)))) FROM a) =
    (SELECT SUM(CRC32(CONCAT(id, ':', HEX(name)))) FROM b)")"
  /usr/bin/python3 "$HERE/../tests/e2e/close-window.py" "$WID"
  for _ in $(seq 1 100); do kill -0 "$PID" 2>/dev/null || break; sleep 0.1; done
  PID=""
  awk -v r="$ROWS" -v s="$shape" -v a="$run" -v b="$single" -v same="$same" 'BEGIN {
    printf "%d rows, %-5s: the window %d ms, one UPDATE %d ms, ratio %.1f (target <= %d)%s\n",
           r, s, a, b, a / b, s == "key" ? 15 : 20, same == 1 ? "" : "  ROWS DIFFER" }'
done
