#!/usr/bin/env bash
# Times dbshell against the sqlite3 shell on one file, then 32 concurrent saves.
# Usage: dbshell_bench.sh BUILD_DIR   (the file lives in $BENCH_DIR, default BUILD_DIR)
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR}
dbshell=$build/dbshell/dbshell
runs=${BENCH_RUNS:-41}
[ -x "$dbshell" ] || { echo "dbshell_bench: no $dbshell (build it first)" >&2; exit 1; }
command -v sqlite3 >/dev/null || { echo "dbshell_bench: sqlite3 shell missing" >&2; exit 1; }
work=$(mktemp -d "${BENCH_DIR:-$build}/dbshell-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
db=$work/esimhttp.db

# Prints the median of the microsecond figures on standard input, as ms.
median_ms() { sort -n | awk '{v[NR]=$1} END {printf "%.2f", v[int((NR+1)/2)]/1000}'; }

# time_us CMD...: runs CMD with output dropped, prints its wall time in microseconds.
time_us() {
  local t0=${EPOCHREALTIME/./} t1
  "$@" >/dev/null
  t1=${EPOCHREALTIME/./}
  echo $((t1 - t0))
}

insert='INSERT INTO esim_http (port, iccid, http_ip, http_path, save_time) VALUES (7, "89014103211118510720", "smdp.example", "/gsma/rsp2/es9plus", "2026-12-07 05:00:00")'
select='SELECT * FROM esim_http WHERE port = 7 AND iccid = "89014103211118510720" '
delete='DELETE FROM esim_http WHERE port = 7 AND iccid = "89014103211118510720" '
"$dbshell" "$db" "$select" >/dev/null  # creates the file and table for both

echo "dbshell vs sqlite3 shell, $runs runs each, same statement on $db (median ms)"
printf '%-8s %10s %10s\n' statement dbshell sqlite3
for name in insert select delete; do
  stmt=${!name}
  mine=() theirs=()
  for ((i = 0; i < runs; i++)); do
    # Each delete needs a row and each run alternates the two clients.
    [ "$name" = delete ] && "$dbshell" "$db" "$insert" >/dev/null
    mine+=("$(time_us "$dbshell" "$db" "$stmt")")
    [ "$name" = delete ] && "$dbshell" "$db" "$insert" >/dev/null
    theirs+=("$(time_us sqlite3 "$db" "$stmt")")
  done
  printf '%-8s %10s %10s\n' "$name" "$(printf '%s\n' "${mine[@]}" | median_ms)" \
    "$(printf '%s\n' "${theirs[@]}" | median_ms)"
done

echo "32 concurrent saves from 32 processes on a fresh file"
rm -f "$db" "$db-journal"
"$dbshell" "$db" "$select" >/dev/null
t0=${EPOCHREALTIME/./}
pids=()
for chan in $(seq 1 32); do
  "$dbshell" "$db" "INSERT INTO esim_http (port, iccid, http_ip, http_path, save_time) VALUES ($chan, \"8901000000000000$((1000 + chan))\", \"smdp.example\", \"/gsma/rsp2/es9plus\", \"2026-12-07 05:00:00\")" \
    >"$work/save.$chan" &
  pids+=($!)
done
failures=0
for pid in "${pids[@]}"; do wait "$pid" || failures=$((failures + 1)); done
t1=${EPOCHREALTIME/./}
grep -L $'"ResultCode":\t0,' "$work"/save.* | wc -l | xargs printf 'outputs without success text: %s\n'
rows=$("$dbshell" "$db" "SELECT COUNT(*) AS n FROM esim_http" | awk -F'\t' '/"n"/ {print $NF}')
printf 'rows: %s, failures: %s, all 32 done in %.1f ms\n' "$rows" "$failures" "$(((t1 - t0)))e-3"
