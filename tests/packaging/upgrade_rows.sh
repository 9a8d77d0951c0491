#!/usr/bin/env bash
# The roads from esimctl 1.1.0 (which carried the database client) to the two
# packages of today, each row in a fresh copy of a Debian root, with the real
# dpkg and apt (a local repository holding the new packages; no network).
# Every row ends with a check of /my_tools/dbshell: a working client (it
# answers a SELECT) or none, which package owns it, and nothing left behind.
# Usage: upgrade_rows.sh BASE_ROOT OLD_ESIMCTL_DEB NEW_ESIMCTL_DEB NEW_DBSHELL_DEB
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 BASE_ROOT OLD_ESIMCTL_DEB NEW_ESIMCTL_DEB NEW_DBSHELL_DEB" >&2; exit 2; }
base=$1
work=$(mktemp -d /tmp/esimctl-upgrade.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/debs/repo"
cp "$2" "$work/debs/old.deb"
cp "$3" "$work/debs/repo/esimctl_new.deb"
cp "$4" "$work/debs/repo/esimctl-dbshell_new.deb"
(cd "$work/debs/repo" && dpkg-scanpackages . /dev/null >Packages 2>/dev/null)
echo "deb [trusted=yes] file:/debs/repo ./" >"$work/debs/sources.list"
# A package whose preinst kills the dpkg that unpacks it: dpkg dies with
# SIGKILL between unpacking the packages before it and configuring them.
mkdir -p "$work/killer/DEBIAN"
printf 'Package: dpkg-killer\nVersion: 1\nArchitecture: all\nMaintainer: t <t@t>\nDescription: t\n' \
  >"$work/killer/DEBIAN/control"
printf '#!/bin/sh\nkill -KILL "$PPID"\n' >"$work/killer/DEBIAN/preinst"
chmod 755 "$work/killer/DEBIAN/preinst"
dpkg-deb -Zgzip --build "$work/killer" "$work/debs/killer.deb" >/dev/null

root=$work/root
# inside COMMAND...: COMMAND as root inside the row's root, without a network.
inside() {
  bwrap --bind "$root" / --proc /proc --dev /dev --tmpfs /tmp --tmpfs /run --ro-bind "$work/debs" /debs \
    --unshare-net --die-with-parent --setenv PATH /usr/sbin:/usr/bin:/sbin:/bin "$@"
}
apt=(apt-get -qq -y -o Dir::Etc::SourceList=/debs/sources.list -o Dir::Etc::SourceParts=/nonexistent
  -o APT::Sandbox::User=root -o Debug::NoLocking=0)

failures=0 rows=0 log=$work/row.log
# step EXPECTED COMMAND...: runs one step in the row's root; its exit status must be EXPECTED.
step() {
  local want=$1 got=0
  shift
  inside "$@" >>"$log" 2>&1 || got=$?
  [ "$got" = "$want" ] || fail "'$*' exited $got, not $want"
}
fail() { echo "    FAILED: $*"; ok=0; }
# expect_client OWNER: a client at /my_tools/dbshell that answers a SELECT, owned by the
# package OWNER ("none": by no package).
expect_client() {
  local out owner
  out=$(inside /my_tools/dbshell /tmp/check.db "SELECT 1 AS answer" 2>&1) || fail "the client did not answer: $out"
  grep -q '"answer":' <<<"$out" || fail "the client's answer has no row: $out"
  owner=$(inside dpkg-query -S /my_tools/dbshell 2>/dev/null | cut -d: -f1 || true)
  [ "${owner:-none}" = "$1" ] || fail "the client belongs to '$owner', not '$1'"
}
expect_no_client() { [ ! -e "$root/my_tools/dbshell" ] || fail "a client is still at /my_tools/dbshell"; }
expect_bytes() { cmp -s "$1" "$root/my_tools/dbshell" || fail "/my_tools/dbshell is not the file it was"; }
expect_status() {
  local got abbrev
  got=$(inside dpkg-query -W -f '${db:Status-Abbrev}|${Version}' "$1" 2>/dev/null || true)
  abbrev=${got%%|*}
  case "$abbrev" in ?n*|"") got="not installed" ;; *) got="${got#*|} ${abbrev% }" ;; esac
  [ "$got" = "$2" ] || fail "$1 is '$got', not '$2'"
}
expect_log() { grep -qF -- "$1" "$log" || fail "no '$1' in what dpkg and apt said"; }
expect_nothing_left() {
  [ ! -e "$root/var/lib/esimctl" ] || fail "/var/lib/esimctl is left: $(ls -A "$root/var/lib/esimctl")"
  [ -z "$(inside dpkg-divert --list '*dbshell*')" ] || fail "a diversion is left"
}
# A platform's own client: a copy of the real one that no package owns.
platform_client() {
  mkdir -p "$root/my_tools"
  dpkg-deb --fsys-tarfile "$work/debs/old.deb" | tar -xO ./my_tools/dbshell >"$root/my_tools/dbshell"
  printf 'platform build\n' >>"$root/my_tools/dbshell"
  chmod 755 "$root/my_tools/dbshell"
  cp "$root/my_tools/dbshell" "$work/platform"
}
old_installed() { step 0 dpkg -i /debs/old.deb; }

row() {
  rows=$((rows + 1)) ok=1
  rm -rf "$root"
  cp -a "$base" "$root"
  : >"$log"
  "row_$1"
  if [ "$ok" = 1 ]; then echo "  ok      $1"; else failures=$((failures + 1)) && echo "  FAILED  $1" && sed 's/^/    | /' "$log"; fi
}

row_upgrade_esimctl_alone_dpkg() {
  old_installed
  step 0 dpkg -i /debs/repo/esimctl_new.deb
  expect_status esimctl "1.2.0 ii"
  expect_client none
  expect_log "esimctl: kept the database client /my_tools/dbshell of esimctl 1.1.0"
}
row_upgrade_esimctl_alone_apt() {
  old_installed
  step 0 "${apt[@]}" update
  step 0 "${apt[@]}" install esimctl
  expect_status esimctl "1.2.0 ii"
  expect_status esimctl-dbshell "not installed"
  expect_client none
}
row_then_install_dbshell_next_to_it() {
  row_upgrade_esimctl_alone_dpkg
  step 0 dpkg -i /debs/repo/esimctl-dbshell_new.deb
  expect_client esimctl-dbshell
  expect_nothing_left
}
row_dbshell_alone_on_the_old_esimctl_dpkg_refuses() {
  old_installed
  step 1 dpkg -i /debs/repo/esimctl-dbshell_new.deb
  expect_log "esimctl-dbshell breaks esimctl (<< 1.2.0)"
  expect_status esimctl "1.1.0 ii"
  expect_client esimctl
}
row_dbshell_alone_on_the_old_esimctl_apt_upgrades_both() {
  old_installed
  step 0 "${apt[@]}" update
  step 0 "${apt[@]}" install esimctl-dbshell
  expect_status esimctl "1.2.0 ii"
  expect_client esimctl-dbshell
  expect_nothing_left
}
row_both_at_once_apt() {
  old_installed
  step 0 "${apt[@]}" update
  step 0 "${apt[@]}" install esimctl esimctl-dbshell
  expect_client esimctl-dbshell
  expect_nothing_left
}
row_remove_esimctl_keeps_the_client() {
  row_then_install_dbshell_next_to_it
  step 0 dpkg -r esimctl
  expect_client esimctl-dbshell
}
row_remove_esimctl_after_upgrading_it_alone_keeps_the_client() {
  row_upgrade_esimctl_alone_dpkg
  step 0 dpkg -P esimctl
  expect_client none
}
row_purge_both() {
  row_then_install_dbshell_next_to_it
  step 0 dpkg -P esimctl esimctl-dbshell
  expect_no_client
  expect_nothing_left
  [ ! -e "$root/usr/bin/esimctl" ] || fail "esimctl is left"
}
row_platform_client_untouched_by_esimctl() {
  platform_client
  step 0 dpkg -i /debs/repo/esimctl_new.deb
  expect_bytes "$work/platform"
  step 0 dpkg -P esimctl
  expect_bytes "$work/platform"
  expect_client none
}
row_platform_client_not_replaced_by_dbshell() {
  platform_client
  step 0 dpkg -i /debs/repo/esimctl_new.deb
  step 1 dpkg -i /debs/repo/esimctl-dbshell_new.deb
  expect_log "esimctl-dbshell: /my_tools/dbshell is a database client that no package owns (the platform's own?): not replacing it."
  expect_status esimctl-dbshell "not installed"
  expect_bytes "$work/platform"
}
row_damaged_client_kept_by_the_upgrade_and_not_replaced() {
  old_installed
  printf 'damaged\n' >>"$root/my_tools/dbshell"
  cp "$root/my_tools/dbshell" "$work/damaged"
  step 0 dpkg -i /debs/repo/esimctl_new.deb
  expect_bytes "$work/damaged"
  step 1 dpkg -i /debs/repo/esimctl-dbshell_new.deb
  expect_bytes "$work/damaged"
}
row_upgrade_killed_after_unpack_then_configure_a() {
  old_installed
  step 137 dpkg -i /debs/repo/esimctl_new.deb /debs/killer.deb
  expect_status esimctl "1.2.0 iU"
  step 0 dpkg --configure -a
  expect_status esimctl "1.2.0 ii"
  expect_client none
}

echo "upgrade rows in copies of $base:"
for r in upgrade_esimctl_alone_dpkg upgrade_esimctl_alone_apt then_install_dbshell_next_to_it \
  dbshell_alone_on_the_old_esimctl_dpkg_refuses dbshell_alone_on_the_old_esimctl_apt_upgrades_both \
  both_at_once_apt remove_esimctl_keeps_the_client remove_esimctl_after_upgrading_it_alone_keeps_the_client \
  purge_both platform_client_untouched_by_esimctl platform_client_not_replaced_by_dbshell \
  damaged_client_kept_by_the_upgrade_and_not_replaced upgrade_killed_after_unpack_then_configure_a; do
  row "$r"
done
echo "upgrade rows: $((rows - failures)) passed, $failures failed"
[ "$failures" = 0 ]
