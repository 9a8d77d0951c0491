#!/usr/bin/env bash
# Runs every benchmark program and script against a build folder (default: build/).
set -euo pipefail
build=${1:-$(cd "$(dirname "$0")/.." && pwd)/build}
here=$(cd "$(dirname "$0")" && pwd)
for b in "$build"/bench/*/*_bench; do
  [ -x "$b" ] && { echo "== $(basename "$b")"; "$b"; }
done
for s in "$here"/*/*_bench.sh; do
  [ -x "$s" ] && { echo "== $(basename "$s")"; "$s" "$build"; }
done
exit 0
