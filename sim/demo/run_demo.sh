#!/usr/bin/env bash
# ./run demo [--fast]: a profile download on channel 1 of a simulated gateway,
# then the removal of that profile and a look at the channel, at real time
# (about 3.5 minutes) or, with --fast, with every wait shortened twenty times.
set -euo pipefail
build=$1; shift
factor=1
for arg in "$@"; do
  case "$arg" in
    --fast) factor=0.05 ;;
    *) echo "usage: ./run demo [--fast]" >&2; exit 2 ;;
  esac
done
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d /tmp/esimctl-demo.XXXXXX)
rmdir "$out"
echo "demo: simulated gateway with a modem on channel 1 and the profile server smdp.example;"
echo "demo: time factor $factor; everything it leaves is in $out"
exec "$here/../sandbox" --build "$build" --channels 1 --time-factor "$factor" --out "$out" \
  --script "$here/demo_inside.sh"
