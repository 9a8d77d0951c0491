#!/usr/bin/env bash
# Runs a command inside a private gateway built with bubblewrap: loopback-only
# network, its own /dev (with devpts) and /tmp, and empty /www, /my_tools,
# /data/log and channel device directory. Nothing reaches the host's real ones.
# Usage: in_gateway.sh [extra bwrap options...] -- command [args...]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
extra=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do extra+=("$1"); shift; done
[ "${1:-}" = "--" ] && shift
[ $# -gt 0 ] || { echo "usage: $0 [bwrap options] -- command [args]" >&2; exit 2; }
dev_dir=${ESIMCTL_DEV_DIR:-/dev/zarn/chn_usb}
binds=()
for d in "$top" ${ESIMCTL_EXTRA_BINDS:-}; do binds+=(--bind "$d" "$d"); done
exec bwrap --unshare-net --unshare-ipc --unshare-pid --unshare-uts --die-with-parent \
  --ro-bind /usr /usr --symlink usr/bin /bin --symlink usr/sbin /sbin \
  --symlink usr/lib /lib --symlink usr/lib64 /lib64 \
  --ro-bind /etc /etc --proc /proc --dev /dev --tmpfs /tmp \
  --tmpfs /www --tmpfs /my_tools --tmpfs /data/log --dir "$dev_dir" \
  "${binds[@]}" "${extra[@]}" --chdir "$PWD" -- "$@"
