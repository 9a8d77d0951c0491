#!/usr/bin/env bash
# Times the first demo as a new user meets it: a fresh git clone of this
# repository's commit in a temporary folder, then `./run demo` in it, and
# again in a second fresh clone `./run demo --fast`; each figure is the whole
# command, configuring and building what the demo runs included. The Debian
# packages must already be installed (./run installs any that are missing,
# which the figures would then include). Bounds: 5 min and 3 min.
# Usage: demo_bench.sh [BUILD_DIR]   (BUILD_DIR is not used: nothing is taken from a build)
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
commit=$(git -C "$repo" rev-parse HEAD)
[ -z "$(git -C "$repo" status --porcelain --untracked-files=no)" ] ||
  echo "demo_bench: uncommitted changes are not measured: the clone is of $commit" >&2
work=$(mktemp -d "${BENCH_DIR:-/tmp}/demo-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# timed NAME BOUND_S ARGS...: ./run demo ARGS in a fresh clone; prints its wall time.
timed() {
  local name=$1 bound=$2 t0 t1 s
  shift 2
  git clone -q --no-checkout "$repo" "$work/$name"
  git -C "$work/$name" checkout -q --detach "$commit"
  t0=${EPOCHREALTIME/./}
  (cd "$work/$name" && ./run demo "$@") >"$work/$name.log" 2>&1 ||
    { tail -30 "$work/$name.log"; echo "demo_bench: ./run demo $* failed" >&2; exit 1; }
  t1=${EPOCHREALTIME/./}
  s=$(((t1 - t0) / 1000000))
  printf 'demo_bench: ./run demo %-6s from a fresh clone: %d:%02d (%d s; bound %d s%s), %d lines of output\n' \
    "$*" $((s / 60)) $((s % 60)) "$s" "$bound" "$([ "$s" -le "$bound" ] || echo ', OVER')" \
    "$(wc -l <"$work/$name.log")"
}
echo "demo_bench: commit $commit on $(nproc) cores"
timed real 300
timed fast 180 --fast
