# The demo's story, run inside the simulated gateway by sim/sandbox --script:
# download a profile on channel 1, then remove it, showing each command, its
# output and exit status, the run log as it grows and the database record;
# then esimctl-info's look at the channel.
set -u
width=${DEMO_WIDTH:-150}

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# run_and_watch LOG ARGS...: runs esimctl, following its run log while it works.
run_and_watch() {
  local log=$1; shift
  local shown="esimctl" word
  for word in "$@"; do
    if [[ $word =~ ^[A-Za-z0-9_./:=-]+$ ]]; then shown+=" $word"; else shown+=" '$word'"; fi
  done
  printf '\n\033[1m$ %s\033[0m\n' "$shown"
  esimctl-run "$@" >/tmp/demo.out 2>/tmp/demo.err &
  local pid=$!
  echo "-- run log $log (lines cut at $width characters):"
  tail -n +1 -F --pid="$pid" "$log" 2>/dev/null | cut -c1-"$width"
  wait "$pid"
  local status=$?
  echo "-- standard output:"
  cat /tmp/demo.out
  echo "-- exit status: $status"
  return "$status"
}

show_records() {
  echo "-- records in /data/log/esimhttp.db:"
  sqlite3 -header -column /data/log/esimhttp.db "SELECT * FROM esim_http" 2>/dev/null || true
  [ -n "$(sqlite3 /data/log/esimhttp.db 'SELECT 1 FROM esim_http LIMIT 1' 2>/dev/null)" ] || echo "(none)"
}

code='LPA:1$smdp.example$DEMO-MATCHING-ID-1'
say "Download: esimctl installs a profile from an activation code on channel 1"
run_and_watch /www/esim_add_1.txt -c 1 -a "$code" || exit
iccid=$(sed -n 's/^eSim Download Completed, iccid: \[\(.*\)\]$/\1/p' /tmp/demo.out)
show_records

say "Removal: esimctl deletes profile $iccid and tells the server that installed it"
run_and_watch "/www/esim_delete_1_$iccid.txt" -c 1 -i "$iccid" -r || exit
show_records

say "Look: esimctl-info reads channel 1 without changing anything"
printf '\n\033[1m$ esimctl-info -c 1 --json\033[0m\n'
esimctl-info-run -c 1 --json >/tmp/info.out 2>&1
echo "-- exit status: $?"
python3 -c 'import json,sys; print(json.dumps(json.loads(open("/tmp/info.out").readline()), indent=2))'

say "Done: profile $iccid downloaded and removed"
