#!/usr/bin/env bash
# Times esim_profiles in the simulated fleet: one download on a gateway, then
# 32 on another gateway at once (one per channel), and prints their ratio.
# Usage: profiles_bench.sh BUILD_DIR   (BENCH_TIME_FACTOR, default 0.2: a download of about 30 s)
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
factor=${BENCH_TIME_FACTOR:-0.2}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${BENCH_DIR:-/tmp}/profiles-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
"$here/../../ansible/fleet/sim_fleet.sh" --gateways 2 --channels 32 --time-factor "$factor" --build "$build" \
  --packages "$work/packages" --out "$work/fleet" "$here/profiles_bench.yml" >"$work/out.log" 2>&1 ||
  { tail -40 "$work/out.log"; echo "profiles_bench: the fleet run failed" >&2; exit 1; }
line=$(grep -o 'BENCH one=[0-9.]* all=[0-9.]* downloads=[0-9]*' "$work/out.log") ||
  { tail -40 "$work/out.log"; exit 1; }
read -r one all n < <(sed 's/[a-zA-Z]*=//g; s/BENCH //' <<<"$line")
awk -v one="$one" -v all="$all" -v n="$n" -v f="$factor" 'BEGIN {
  printf "esim_profiles at time factor %s: one download %.1f s, %d downloads at once %.1f s, ratio %.3f (at most 1.1)\n",
    f, one, n, all, all / one }'
