#!/usr/bin/env bash
# ./run demo [--fast]: a profile download on channel 1 of a simulated gateway,
# then the removal of that profile and a look at the channel, at real time
# (its waits take about 2 min 40 s) or, with --fast, with every wait
# shortened twenty times.
set -euo pipefail
build=$1; shift
factor=1
for arg in "$@"; do
  case "$arg" in
    --fast) factor=0.05 ;;
    *) echo "run_demo: unknown argument $arg" >&2; echo "usage: ./run demo [--fast]" >&2; exit 2 ;;
  esac
done
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d /tmp/esimctl-demo.XXXXXX)
rmdir "$out"
ids=$(sed -n 's/^matching-id //p' "$here/server.scenario" | tr '\n' ' ')
echo "demo: a simulated gateway with a modem on channel 1 and the profile server smdp.example,"
echo "demo: which holds the matching IDs ${ids% } and refuses any other;"
echo "demo: time factor $factor; everything it leaves is in $out"
export DEMO_OUT=$out
exec "$here/../sandbox" --build "$build" --channels 1 --time-factor "$factor" --out "$out" \
  --smdp-scenario "$here/server.scenario" --script "$here/demo_inside.sh"
