#!/usr/bin/env bash
# Runs a test program inside a private gateway (sim/gateway) that also sees
# the source tree, where it is on the host, and starts in the current folder.
# Usage: in_gateway.sh [extra bwrap options...] -- command [args...]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
binds=()
for d in "$top" ${ESIMCTL_EXTRA_BINDS:-}; do binds+=(--bind "$d" "$d"); done
exec "$top/sim/gateway" --dev-dir "${ESIMCTL_DEV_DIR:-/dev/zarn/chn_usb}" "${binds[@]}" --chdir "$PWD" "$@"
