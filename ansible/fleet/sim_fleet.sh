#!/usr/bin/env bash
# A simulated fleet for the esimctl.gateway collection: N gateways (sim/gateway)
# of M simulated modems each, with the esimctl packages installed into each
# gateway's root by dpkg, reachable over SSH only inside a network namespace
# of their own together with the controller (Ansible) and one simulated profile
# server. Runs a playbook against them and stops everything it started.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: sim_fleet.sh [--gateways N] [--channels M] [--time-factor F] [--build DIR]
                    [--packages DIR] [--smdp 'OPTIONS'] [--out DIR] [--args-only] [PLAYBOOK]
  --gateways N      gateways gw1..gwN (default 3)
  --channels M      modems on channels 1..M of each gateway (default 4, at most 32)
  --time-factor F   esimctl's sleeps and the modems' delays times F (default 0.05)
  --build DIR       build folder with the simulators and the sleep shim (default: <repo>/build)
  --packages DIR    folder with esimctl_*_ARCH.deb and esimctl-dbshell_*_ARCH.deb (default: BUILD)
  --smdp 'OPTIONS'  more options for the profile server, e.g. faults (see sim/README.md)
  --out DIR         work folder, new or empty (default: a new /tmp/esimctl-fleet.XXXXXX)
  --args-only       check the arguments and stop
Without PLAYBOOK the example playbook runs three times: twice as it is, then
with esim_retired naming the last gateway. A PLAYBOOK given runs once.
EOF
}

die() { echo "fleet: $*" >&2; exit 2; }

# ICCID and EID of the modem of gateway G, channel C: one of its own each, so
# that every order names the ICCID its download installs.
iccid_of() { printf '8988247000%03d%02d00001' "$1" "$2"; }
eid_of() { printf '89049032000001000000%06d%06d' "$1" "$2"; }

# ------------------------------------------------------- inside a gateway ----
gateway_inside() {
  local g=$1 channels=$2 factor=$3 c waited=0
  unset ESIMCTL_TIME_FACTOR
  for ((c = 1; c <= channels; c++)); do
    /fleet/bin/sim_modem --link "/dev/zarn/chn_usb/$c" --channel "$c" --seed "$c" --time-factor "$factor" \
      --next-iccid "$(iccid_of "$g" "$c")" --eid "$(eid_of "$g" "$c")" \
      --transcript "/fleet/out/modem_$c.jsonl" >"/fleet/out/modem_$c.log" 2>&1 &
  done
  for ((c = 1; c <= channels; c++)); do
    until [ -L "/dev/zarn/chn_usb/$c" ]; do
      waited=$((waited + 1))
      [ $waited -lt 1000 ] || { echo "fleet: gw$g: the modems did not come up" >&2; exit 1; }
      sleep 0.01
    done
  done
  exec /usr/sbin/sshd -D -e -f /fleet/conf/sshd_config 2>/fleet/out/sshd.log
}

# ------------------------------------------------- inside the namespace ----
pids=() playbook_pid=
stop_all() {
  local status=$?
  trap - EXIT INT TERM
  [ -z "$playbook_pid" ] || kill -- "-$playbook_pid" 2>/dev/null || true
  [ ${#pids[@]} -eq 0 ] || { kill "${pids[@]}" 2>/dev/null || true; wait "${pids[@]}" 2>/dev/null || true; }
  exit "$status"
}

# install_into ROOT DEB...: installs the packages into a gateway's root as a
# gateway builder's image build would. The root's package database starts as
# this machine's, since the gateway runs on this machine's /usr.
install_into() {
  local root=$1
  shift
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
  cp /var/lib/dpkg/status "$root/var/lib/dpkg/status"
  touch "$root/var/lib/dpkg/available"
  # The root holds no shell of its own: the packages' scripts run on this
  # machine's, and act on the root through DPKG_ROOT.
  dpkg --root="$root" --force-script-chrootless -i "$@" >"$root/../dpkg.log" 2>&1 ||
    { cat "$root/../dpkg.log" >&2; echo "fleet: dpkg could not install into $root" >&2; return 1; }
}

# start_gateway G: its root, its configuration, and the gateway itself (the
# settings, server among them, come from config.sh).
# shellcheck disable=SC2154
start_gateway() {
  local g=$1 dir=$work/gw$1 port=$((2200 + $1))
  mkdir -p "$dir/root" "$dir/www" "$dir/data" "$dir/out" "$dir/conf" "$dir/layer" "$dir/usr" "$dir/etc"
  install_into "$dir/root" "$debs_esimctl" "$debs_dbshell"
  printf '127.0.0.1 localhost\n::1 localhost\n127.0.0.1 %s\n' "$server" >"$dir/layer/hosts"
  # Every program of the gateway loads the sleep shortener; it shortens only
  # where ESIMCTL_TIME_FACTOR is set, which sshd sets for the SSH sessions.
  echo /fleet/lib/libsleep_shim.so >"$dir/layer/ld.so.preload"
  mount -t overlay overlay -o "lowerdir=$dir/root/usr:/usr" "$dir/usr"
  mount -t overlay overlay -o "lowerdir=$dir/layer:$dir/root/etc:/etc" "$dir/etc"
  ssh-keygen -q -t ed25519 -N '' -C "gw$g" -f "$dir/conf/host_key"
  cp "$work/ssh/id_ed25519.pub" "$dir/conf/authorized_keys"
  printf '[127.0.0.1]:%d %s\n' "$port" "$(cut -d' ' -f1-2 "$dir/conf/host_key.pub")" >>"$work/ssh/known_hosts"
  cat >"$dir/conf/sshd_config" <<EOF
ListenAddress 127.0.0.1:$port
HostKey /fleet/conf/host_key
AuthorizedKeysFile /fleet/conf/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PidFile none
PrintMotd no
PrintLastLog no
Subsystem sftp internal-sftp
SetEnv ESIMCTL_TIME_FACTOR=$factor
EOF
  "$top/sim/gateway" --share-net --www "$dir/www" --data-log "$dir/data" \
    --ro-bind "$dir/usr" /usr --ro-bind "$dir/etc" /etc \
    --ro-bind "$dir/root/my_tools/dbshell" /my_tools/dbshell \
    --bind "$dir/out" /fleet/out --ro-bind "$dir/conf" /fleet/conf \
    --ro-bind "$build/tests/libsleep_shim.so" /fleet/lib/libsleep_shim.so \
    --ro-bind "$build/sim/sim_modem" /fleet/bin/sim_modem --ro-bind "$here/sim_fleet.sh" /fleet/bin/sim_fleet.sh \
    --dir /root --dir /run/sshd \
    -- /bin/bash /fleet/bin/sim_fleet.sh --gateway "$g" "$channels" "$factor" >"$dir/gateway.log" 2>&1 &
  pids+=($!)
}

# wait_port PORT: until something listens there (or 10 s).
wait_port() {
  local n
  for ((n = 0; n < 1000; n++)); do
    (: </dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0
    all_alive || return 1
    sleep 0.01
  done
  return 1
}
all_alive() {
  local pid
  for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null || return 1; done
}

# playbook_run NAME ARGS...: one ansible-playbook run, its output shown and
# kept in NAME.log. It runs in a process group of its own, waited for, so
# that an interruption reaches the trap at once and the trap ends the group.
playbook_run() {
  local name=$1 status=0
  shift
  echo "fleet: $name: ansible-playbook $*"
  setsid ansible-playbook "$@" > >(tee "$work/$name.log") 2>&1 &
  playbook_pid=$!
  wait "$playbook_pid" || status=$?
  playbook_pid=
  return "$status"
}

namespace_inside() {
  # shellcheck source=/dev/null
  . "$work/config.sh"
  trap stop_all EXIT INT TERM
  ip link set lo up
  mkdir -p "$work/ssh" "$work/ansible/tmp" "$work/collections"
  ssh-keygen -q -t ed25519 -N '' -C fleet -f "$work/ssh/id_ed25519"
  : >"$work/ssh/known_hosts"

  local g c ids=() orders=() hosts=() list status=0
  for ((g = 1; g <= gateways; g++)); do
    for ((c = 1; c <= channels; c++)); do
      ids+=(--matching-id "FLEET-gw$g-$c")
      orders+=("$(printf '{"host": "gw%d", "channel": %d, "iccid": "%s", "activation_code": "LPA:1$%s$FLEET-gw%d-%d"}' \
        "$g" "$c" "$(iccid_of "$g" "$c")" "$server" "$g" "$c")")
    done
  done
  # shellcheck disable=SC2086
  "$build/sim/sim_smdp" --listen 127.0.0.1 --port 443 --port-file "$work/smdp.port" --host "$server" \
    --time-factor "$factor" --transcript "$work/smdp.jsonl" --cert-out "$work/smdp-cert.pem" \
    "${ids[@]}" $smdp_opts >"$work/smdp.log" 2>&1 &
  pids+=($!)
  for ((g = 1; g <= gateways; g++)); do start_gateway "$g"; done
  wait_port 443 || { cat "$work/smdp.log" >&2; echo "fleet: the profile server did not come up" >&2; return 1; }
  for ((g = 1; g <= gateways; g++)); do
    wait_port $((2200 + g)) ||
      { cat "$work/gw$g/gateway.log" "$work/gw$g/out/"*.log >&2; echo "fleet: gw$g did not come up" >&2; return 1; }
  done

  list=$(printf '%s\n' "${orders[@]}" | paste -sd, -)
  printf '{"esim_orders": [%s]}\n' "$list" >"$work/orders.json"
  for ((g = 1; g <= gateways; g++)); do
    list=$(seq -s, 1 "$channels")
    hosts+=("$(printf '"gw%d": {"ansible_host": "127.0.0.1", "ansible_port": %d, "esim_channels": [%s], "esim_server": "%s"}' \
      "$g" $((2200 + g)) "$list" "$server")")
  done
  list=$(printf '%s\n' "${hosts[@]}" | paste -sd, -)
  printf '{"gateways": {"hosts": {%s}, "vars": {"ansible_user": "root", "ansible_python_interpreter": "/usr/bin/python3"}}}\n' \
    "$list" >"$work/inventory.json"
  cat >"$work/ansible.cfg" <<EOF
[defaults]
inventory = $work/inventory.json
collections_path = $work/collections
local_tmp = $work/ansible/tmp
log_path = $work/ansible.log
forks = $((gateways < 50 ? gateways : 50))
host_key_checking = True
private_key_file = $work/ssh/id_ed25519
[ssh_connection]
pipelining = True
ssh_args = -o ControlMaster=no -o UserKnownHostsFile=$work/ssh/known_hosts -o StrictHostKeyChecking=yes -o IdentitiesOnly=yes
EOF
  export ANSIBLE_CONFIG=$work/ansible.cfg ANSIBLE_HOME=$work/ansible ANSIBLE_NOCOLOR=1
  ansible-galaxy collection build "$top/ansible" --output-path "$work" >/dev/null
  ansible-galaxy collection install "$work"/esimctl-gateway-*.tar.gz -p "$work/collections" >/dev/null

  echo "fleet: $gateways gateways x $channels channels, time factor $factor; the server $server knows these orders:"
  for ((g = 1; g <= gateways; g++)); do
    for ((c = 1; c <= channels; c++)); do
      printf '  gw%d channel %2d  iccid %s  LPA:1$%s$FLEET-gw%d-%d\n' "$g" "$c" "$(iccid_of "$g" "$c")" "$server" "$g" "$c"
    done
  done
  if [ -n "$playbook" ]; then
    playbook_run run "$playbook" -e "@$work/orders.json" || status=$?
  else
    playbook_run run1 "$top/ansible/playbooks/fleet.yml" -e "@$work/orders.json" || status=$?
    [ $status -ne 0 ] || playbook_run run2 "$top/ansible/playbooks/fleet.yml" -e "@$work/orders.json" || status=$?
    [ $status -ne 0 ] || playbook_run run3 "$top/ansible/playbooks/fleet.yml" -e "@$work/orders.json" \
      -e "{\"esim_retired\": [\"gw$gateways\"]}" || status=$?
  fi
  return "$status"
}

# ---------------------------------------------------------------- outside ----
case "${1:-}" in
  --gateway) shift; gateway_inside "$@"; exit ;;
  --namespace) work=$2; here=$(cd "$(dirname "$0")" && pwd); namespace_inside; exit ;;
esac

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
gateways=3 channels=4 factor=0.05 build=$top/build packages='' work='' playbook='' args_only=0 smdp_opts=''
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --args-only) args_only=1; shift; continue ;;
    --gateways|--channels|--time-factor|--build|--packages|--smdp|--out)
      [ $# -ge 2 ] || die "$1 needs a value" ;;
    -*) usage >&2; die "unknown option $1" ;;
    *) [ -z "$playbook" ] || die "one playbook only (also got $1)"
      playbook=$(realpath "$1"); shift; continue ;;
  esac
  case "$1" in
    --gateways) gateways=$2 ;;
    --channels) channels=$2 ;;
    --time-factor) factor=$2 ;;
    --build) build=$(realpath "$2") ;;
    --packages) packages=$(realpath "$2") ;;
    --smdp) smdp_opts+=" $2" ;;
    --out) work=$2 ;;
  esac
  shift 2
done
[[ $gateways =~ ^[0-9]+$ ]] && [ "$gateways" -ge 1 ] && [ "$gateways" -le 99 ] || die "--gateways is 1 to 99"
[[ $channels =~ ^[0-9]+$ ]] && [ "$channels" -ge 1 ] && [ "$channels" -le 32 ] || die "--channels is 1 to 32"
[[ $factor =~ ^[0-9]*\.?[0-9]+$ ]] || die "--time-factor is a number"
[ -z "$playbook" ] || [ -f "$playbook" ] || die "no playbook $playbook"
[ $args_only = 0 ] || exit 0
[ "$(id -u)" -eq 0 ] || die "the fleet needs root (network namespace, overlay mounts, dpkg --root)"
packages=${packages:-$build}
arch=$(dpkg --print-architecture)
debs_esimctl=$(ls "$packages"/esimctl_*_"$arch".deb 2>/dev/null | tail -1) || true
debs_dbshell=$(ls "$packages"/esimctl-dbshell_*_"$arch".deb 2>/dev/null | tail -1) || true
[ -n "$debs_esimctl" ] && [ -n "$debs_dbshell" ] || die "no esimctl packages for $arch in $packages (cpack -G DEB)"
for p in sim/sim_modem sim/sim_smdp tests/libsleep_shim.so; do [ -e "$build/$p" ] || die "no $build/$p"; done
if [ -z "$work" ]; then work=$(mktemp -d /tmp/esimctl-fleet.XXXXXX); fi
mkdir -p "$work"
work=$(cd "$work" && pwd)
[ -z "$(ls -A "$work")" ] || die "work folder $work is not empty"
echo "fleet: work folder $work"
{
  printf 'gateways=%q channels=%q factor=%q build=%q top=%q playbook=%q server=%q\n' \
    "$gateways" "$channels" "$factor" "$build" "$top" "$playbook" smdp.example
  printf 'debs_esimctl=%q debs_dbshell=%q smdp_opts=%q\n' "$debs_esimctl" "$debs_dbshell" "$smdp_opts"
} >"$work/config.sh"
exec unshare --net --mount -- /bin/bash "$here/sim_fleet.sh" --namespace "$work"
