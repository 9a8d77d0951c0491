#!/usr/bin/env bash
# Times esimctl-info at real time in the simulated gateway: one channel, then
# -c all on 32 channels (each modem holding a profile and its notification).
# Usage: look_bench.sh BUILD_DIR   (BENCH_RUNS looks of each kind, default 5)
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR}
runs=${BENCH_RUNS:-5}
repo=$(cd "$(dirname "$0")/../.." && pwd)
[ -x "$build/esimctl-info" ] || { echo "look_bench: no $build/esimctl-info (build it first)" >&2; exit 1; }
work=$(mktemp -d "${BENCH_DIR:-/tmp}/look-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

cat >"$work/looks.sh" <<SCRIPT
# Each look's wall time in microseconds, one line per look: "one" or "all".
for i in \$(seq $runs); do
  t0=\${EPOCHREALTIME/./}; esimctl-info-exec -c 7 --json >/dev/null; t1=\${EPOCHREALTIME/./}
  echo "one \$((t1 - t0))" >>\$SIM_OUT/looks
  t0=\${EPOCHREALTIME/./}; esimctl-info-exec -c all --json >/dev/null; t1=\${EPOCHREALTIME/./}
  echo "all \$((t1 - t0))" >>\$SIM_OUT/looks
done
SCRIPT
"$repo/sim/sandbox" --build "$build" --out "$work/out" --channels all --time-factor 1 \
  --modem '*:--profile 89882470000000000017,enabled,P --notification 89882470000000000017,install,smdp.example' \
  --script "$work/looks.sh" >/dev/null 2>&1 || { echo "look_bench: the gateway failed (see $work/out)" >&2; exit 1; }

# The median of one kind of look, in seconds.
median_s() { awk -v k="$1" '$1 == k {print $2}' "$work/out/looks" | sort -n |
  awk '{v[NR]=$1} END {printf "%.2f", v[int((NR+1)/2)]/1e6}'; }
echo "esimctl-info at real time, $runs looks of each (median): one channel $(median_s one) s," \
  "-c all on 32 channels $(median_s all) s"
