#!/usr/bin/env bash
# The line's records end to end, with the shipped files: a private PostgreSQL loaded with
# dist/line/schema.sql and queries.sql, a central rsyslog and a station rsyslog on loopback
# with dist/line/*-rsyslog.conf (paths and ports substituted), and a station run of korvath-cli
# on two simulated ports: three units, one of them failing. The station rsyslog is restarted
# between lines and again while the central one is stopped; every audit line must still be
# stored exactly once, a line sent again must not count twice, a line that is no record must
# be set aside, and the views must count the run. Only what it started is stopped; the
# system's own rsyslog and PostgreSQL are never touched.
# Usage: tests/line/run.sh [BUILD]   (default build/release: korvath-cli and korvath-sim)
# KEEP=1 keeps the work folder (its path is in the logs shown after a failure).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$(realpath "${1:-build/release}")
cli=$build/cli/korvath-cli
sim=$build/tools/sim/korvath-sim
image=$root/examples/demo.shx
for program in "$cli" "$sim"; do
  if [[ ! -x $program ]]; then
    echo "line test: $program is not built" >&2
    exit 2
  fi
done

sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
# rsyslog-pgsql would otherwise offer to set up a database in the system's own cluster.
echo "rsyslog-pgsql rsyslog-pgsql/dbconfig-install boolean false" |
  "${sudo_cmd[@]}" debconf-set-selections
scripts/install-missing.sh rsyslog rsyslog-relp rsyslog-pgsql postgresql jq

began=$SECONDS
work=$(mktemp -d "${TMPDIR:-/tmp}/korvath-line.XXXXXX")
chmod 755 "$work"
declare -A pids=()
failed=1

fail() {
  echo "line test: $*" >&2
  exit 1
}

# Ends what this test started, each by its own process id, and shows the logs after a failure.
cleanup() {
  local name
  for name in "${!pids[@]}"; do
    kill -KILL "${pids[$name]}" 2>/dev/null || true
  done
  if ((failed)) && [[ -f $work/pg/data/postmaster.pid ]]; then
    echo "== stored"
    sql -c "SELECT received, station, line FROM korvath_unit" \
      -c "SELECT received, station, line, reason FROM korvath_rejected" 2>&1 || true
  fi
  if [[ -f $work/pg/data/postmaster.pid ]]; then
    as_pg "$pgbin/pg_ctl" -D "$work/pg/data" -m immediate -w -t 20 stop >/dev/null 2>&1 || true
  fi
  if ((failed)); then
    for log in "$work"/*.out "$work"/pg/log; do
      [[ -f $log ]] && { echo "== $log"; tail -n 30 "$log"; }
    done
  fi
  [[ -n ${KEEP:-} ]] || rm -rf "$work"
}
trap cleanup EXIT

# Runs COMMAND until it succeeds, at most SECONDS long.
wait_for() {
  local what=$1 seconds=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || fail "no $what within $seconds s"
    sleep 0.2
  done
}

# Stops a process this test started and reaps it, killing it when it takes longer than 20 s.
stop() {
  local name=$1 pid=${pids[$1]}
  kill -TERM "$pid" 2>/dev/null || true
  (sleep 20 && kill -KILL "$pid" 2>/dev/null) &
  local watchdog=$!
  local status=0
  wait "$pid" || status=$?
  kill "$watchdog" 2>/dev/null || true
  wait "$watchdog" 2>/dev/null || true
  unset "pids[$name]"
  ((status != 137)) || fail "$name did not stop within 20 s"
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# --- PostgreSQL in the test's folder, reached through its own socket folder only.
pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
as_pg() {
  # initdb and the server refuse to run as root.
  if [[ $(id -u) -eq 0 ]]; then runuser -u postgres -- "$@"; else "$@"; fi
}
mkdir "$work/pg"
if [[ $(id -u) -eq 0 ]]; then chown postgres "$work/pg"; fi
pg_port=$(free_port)
as_pg "$pgbin/initdb" -D "$work/pg/data" -U postgres -A trust -E UTF8 --no-sync >/dev/null
as_pg "$pgbin/pg_ctl" -D "$work/pg/data" -l "$work/pg/log" -w -t 30 \
  -o "-c listen_addresses='' -k $work/pg -p $pg_port -c fsync=off" start >/dev/null
sql() {
  psql -h "$work/pg" -p "$pg_port" -U postgres -d korvath -v ON_ERROR_STOP=1 -qAt "$@"
}
psql -h "$work/pg" -p "$pg_port" -U postgres -d postgres -qc "CREATE DATABASE korvath"
sql -f dist/line/schema.sql 2>/dev/null
sql -f dist/line/queries.sql
# The role in the central's conninfo, with no right but the one the schema names.
sql -c "CREATE ROLE rsyslog LOGIN" \
  -c "GRANT EXECUTE ON PROCEDURE korvath_store(timestamptz, text, text) TO rsyslog"

# --- The two rsyslogs, from the shipped files with this test's paths and ports.
relp_port=$(free_port)
# Replaces OLD by NEW in the text of variable `conf`; OLD must be there.
substitute() {
  [[ $conf == *"$1"* ]] || fail "the configuration has no $1"
  conf=${conf//"$1"/"$2"}
}
mkdir "$work/central" "$work/station"
conf=$(<dist/line/central-rsyslog.conf)
substitute 'port="2514"' "port=\"$relp_port\" address=\"127.0.0.1\""
substitute 'conninfo="postgresql://rsyslog@localhost/korvath"' \
  "conninfo=\"postgresql://rsyslog@/korvath?host=$work/pg&port=$pg_port\""
printf 'global(workDirectory="%s")\n%s\n' "$work/central" "$conf" >"$work/central.conf"
conf=$(<dist/line/station-rsyslog.conf)
substitute 'file="/var/log/korvath/units.jsonl"' "file=\"$work/units.jsonl\""
substitute 'target="korvath-central" port="2514"' "target=\"127.0.0.1\" port=\"$relp_port\""
printf 'global(workDirectory="%s" localHostname="line-station-7")\n%s\n' "$work/station" \
  "$conf" >"$work/station.conf"
for name in central station; do
  rsyslogd -N1 -f "$work/$name.conf" >"$work/$name-check.out" 2>&1 ||
    fail "rsyslogd -N1 refuses the $name configuration: $(<"$work/$name-check.out")"
done
# Installed as the README says: a file in /etc/rsyslog.d beside the distribution's own
# configuration (read here, with its includes and work folder moved into the test's folder).
for name in central station; do
  mkdir -p "$work/dropin-$name/rsyslog.d"
  cp "dist/line/$name-rsyslog.conf" "$work/dropin-$name/rsyslog.d/korvath-$name.conf"
  conf=$(</etc/rsyslog.conf)
  substitute /etc/rsyslog.d/ "$work/dropin-$name/rsyslog.d/"
  substitute /var/spool/rsyslog "$work/dropin-$name"
  printf '%s\n' "$conf" >"$work/dropin-$name/rsyslog.conf"
  rsyslogd -N1 -f "$work/dropin-$name/rsyslog.conf" >"$work/$name-check.out" 2>&1 ||
    fail "rsyslogd -N1 refuses the $name file in rsyslog.d: $(<"$work/$name-check.out")"
done

started() { [[ -s $work/$1.pid ]]; }
relp_open() { (exec 3<>"/dev/tcp/127.0.0.1/$relp_port") 2>/dev/null; }
start_rsyslog() {
  rm -f "$work/$1.pid"
  rsyslogd -n -f "$work/$1.conf" -i "$work/$1.pid" >>"$work/$1.out" 2>&1 &
  pids[$1]=$!
  wait_for "$1 rsyslog" 20 started "$1"
  if [[ $1 == central ]]; then wait_for "RELP port" 20 relp_open; fi
}
start_rsyslog central
start_rsyslog station

# --- A station run: port A brings two good units one after the other, port B one unit that
# refuses a record. Serial numbers come from standard input, SN-1 twice.
start_sim() {
  "$sim" --no-pacing --erase-ms 5 --blank-ms 1 "${@:2}" </dev/null >"$work/$1.out" 2>&1 &
  pids[$1]=$!
}
start_sim sim-a --units 2 --unit-gap-ms 4000
start_sim sim-b --nak-program 3
has_path() { [[ -s $work/$1.out ]]; }
wait_for "simulator port" 10 has_path sim-a
wait_for "simulator port" 10 has_path sim-b
read -r port_a <"$work/sim-a.out"
read -r port_b <"$work/sim-b.out"
# The units' serial numbers come through a FIFO, so that each unit starts only when the test
# gives its number: every line is written at a known moment.
mkfifo "$work/serials"
exec 7<>"$work/serials"
log=$work/units.jsonl
"$cli" --station --ask-serial --port "$port_a" --port "$port_b" --log "$log" \
  --tag operator=Jürgen "$image" <"$work/serials" >"$work/cli.out" 2>&1 &
pids[cli]=$!

lines() { if [[ -f $log ]]; then wc -l <"$log"; else echo 0; fi; }
rows() { sql -c "SELECT count(*) FROM korvath_unit"; }
lines_are() { (($(lines) == $1)); }
rows_are() { (($(rows) == $1)); }

echo SN-1 >&7
wait_for "first line" 30 lines_are 1
wait_for "first row" 30 rows_are 1
# Stopped while a line is written, then started again: its state file says where it stopped.
stop station
echo SN-1 >&7
wait_for "second line" 30 lines_are 2
start_rsyslog station
wait_for "second row" 30 rows_are 2
# The central away while the last line is written, and the station restarted meanwhile: the
# line waits in the station's queue on disk.
stop central
echo SN-2 >&7
wait_for "third line" 30 lines_are 3
sleep 2
stop station
start_rsyslog station
sleep 2
rows_away=$(rows)
start_rsyslog central
wait_for "third row" 60 rows_are 3
stop cli
stop sim-a
stop sim-b
((rows_away == 2)) || fail "$rows_away rows while the central rsyslog was stopped"

# Every line once, as written (UTF-8 tag included), from this station.
written=$(jq -cS . "$log" | sort)
stored=$(sql -c "SELECT line FROM korvath_unit" | jq -cS . | sort)
[[ $written == "$stored" ]] || fail "stored lines differ from the log:
$written
--
$stored"
stations=$(sql -c "SELECT DISTINCT station FROM korvath_unit")
[[ $stations == line-station-7 ]] || fail "stations: $stations"

# A line sent again counts once; a line that is no record is set aside. They arrive in order,
# so once the second is there the first was handled.
head_line=$(sed -n 1p "$log")
printf '%s\nnot a record\n' "$head_line" >>"$log"
rejected_one() { (($(sql -c "SELECT count(*) FROM korvath_rejected") == 1)); }
wait_for "the rejected line" 30 rejected_one
(($(rows) == 3)) || fail "a line sent again was stored twice: $(rows) rows"

# The views count the run.
sha=$(sha256sum "$image")
sha=${sha%% *}
yield=$(sql -F ' ' -c "SELECT image_sha256, units, passed, failed, yield_percent FROM korvath_yield")
[[ $yield == "$sha 3 2 1 66.7" ]] || fail "korvath_yield: $yield"
cause=$(sed -n 1,3p "$log" | jq -r 'select(.exit != 0) | .cause // ""')
failures=$(sql -F '|' -c "SELECT coalesce(cause, ''), result, units, stations FROM korvath_failures")
[[ $failures == "$cause|Flash Error|1|line-station-7" ]] || fail "korvath_failures: $failures"
hours=$(sql -c "SELECT sum(units) FROM korvath_station_hours WHERE station = 'line-station-7'")
[[ $hours == 3 ]] || fail "korvath_station_hours: $hours units"
latest=$(sed -n 1,3p "$log" | jq -sr 'group_by(.serial) | map(max_by(.finished)) | .[]
                 | [.serial, .result, .run_id, .port, .unit] | join("|")')
last=$(sql -F '|' -c "SELECT serial, result, run_id, port, unit FROM korvath_last_result")
[[ $last == "$latest" ]] || fail "korvath_last_result:
$last
expected:
$latest"

stop station
stop central
failed=0
echo "line test: 3 units' lines written, $(rows) rows stored, each once; a line sent again not" \
  "stored again; 1 line set aside; station rsyslog restarted twice, central stopped once;" \
  "$((SECONDS - began)) s"
