# The demo's story, run inside the simulated gateway by sim/sandbox --script:
# download a profile on channel 1, remove it, then look at the channel. It
# shows what a person follows: each command, esimctl's progress line, the
# outcome and the run log's step headers, HTTP statuses and errors. The hex
# of the dialogue stays in the run logs, named by their paths on the host
# ($DEMO_OUT). Escape sequences only when standard output is a terminal.
set -u
host_out=${DEMO_OUT:-/sim/out}
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi

say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

# show_command WORDS...: the command as a person would type it.
show_command() {
  local shown="" word
  for word in "$@"; do
    if [[ $word =~ ^[A-Za-z0-9_./:=-]+$ ]]; then shown+=" $word"; else shown+=" '$word'"; fi
  done
  printf '%s$%s%s\n' "$bold" "$shown" "$plain"
}

# with_progress ARGS...: esimctl with its standard error on a pty of its own,
# where it draws its progress line. On a terminal the line is passed through
# as drawn; elsewhere each stage it reached becomes one plain line. Standard
# output goes to /tmp/demo.out; the status is esimctl's.
with_progress() {
  ESIMCTL_TIME_FACTOR=$SIM_TIME_FACTOR python3 - "$@" <<'EOF'
import fcntl, os, pty, re, sys, termios
master, slave = pty.openpty()
live = sys.stdout.isatty()
if live:
    try:  # the line is cut to the terminal's width
        fcntl.ioctl(slave, termios.TIOCSWINSZ, fcntl.ioctl(1, termios.TIOCGWINSZ, b"\0" * 8))
    except OSError:
        pass
pid = os.fork()
if pid == 0:
    os.dup2(os.open("/dev/null", os.O_RDONLY), 0)
    os.dup2(os.open("/tmp/demo.out", os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), 1)
    os.dup2(slave, 2)
    os.execv("/sim/bin/esimctl-exec", ["esimctl-exec"] + sys.argv[1:])
os.close(slave)
pending, last = b"", None


def plain(state):
    # "esimctl chan 1  0:03  Step 1: initiateAuthentication  waiting for ..."
    global last
    text = re.sub(r"  waiting for .*", "", state.decode(errors="replace").strip())
    stage = text.split("  ", 2)[-1]
    if text and stage != last:
        print(text, flush=True)
        last = stage


while True:
    try:
        data = os.read(master, 4096)
    except OSError:  # every holder of the pty's other side has gone
        data = b""
    if not data:
        break
    if live:
        os.write(1, data)
        continue
    # Each redraw starts with a carriage return and an erase to the line's end.
    *done, pending = (pending + data).split(b"\r\x1b[K")
    for state in done:
        plain(state)
plain(pending)
sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) & 0xFF)
EOF
}

# excerpt LOG: the entries of a run log a person reads first: its headers
# (a step's header, when the log has them, is a line of its own), the URL of
# each HTTPS step, the HTTP statuses without their bodies, the errors, the
# server's status and the outcome.
excerpt() {
  echo "-- run log $host_out/www/${1#/www/}: its headers, HTTPS steps, HTTP statuses and errors"
  grep -aE '^(\[[0-9: -]+\])?(=== |URL: |HTTP Response: |Error|Server status|eSim Download Completed|eSIM Remove Completed)' "$1" |
    sed -E 's/^(\[[^]]*\]HTTP Response: [0-9]+).*/\1/' | cut -c1-120
}

# run ARGS...: one esimctl run told from its command to its outcome.
run() {
  show_command esimctl "$@"
  with_progress "$@"
  local status=$?
  echo "-- standard output: $(cat /tmp/demo.out)"
  echo "-- exit status: $status"
  return "$status"
}

show_records() {
  echo "-- records in /data/log/esimhttp.db:"
  sqlite3 -header -column /data/log/esimhttp.db "SELECT * FROM esim_http" 2>/dev/null || true
  [ -n "$(sqlite3 /data/log/esimhttp.db 'SELECT 1 FROM esim_http LIMIT 1' 2>/dev/null)" ] || echo "(none)"
}

code='LPA:1$smdp.example$DEMO-1'
say "Download: esimctl installs a profile from an activation code on channel 1"
run -c 1 -a "$code" || { excerpt /www/esim_add_1.txt; exit 1; }
excerpt /www/esim_add_1.txt
iccid=$(sed -n 's/^eSim Download Completed, iccid: \[\(.*\)\]$/\1/p' /tmp/demo.out)
show_records

say "Removal: esimctl deletes profile $iccid and tells the server that installed it"
run -c 1 -i "$iccid" -r || { excerpt "/www/esim_delete_1_$iccid.txt"; exit 1; }
excerpt "/www/esim_delete_1_$iccid.txt"
show_records

say "Look: esimctl-info reads channel 1 without changing anything"
# On a terminal its table; elsewhere its JSON, indented.
if [ -t 1 ]; then
  show_command esimctl-info -c 1
  ESIMCTL_TIME_FACTOR=$SIM_TIME_FACTOR esimctl-info-exec -c 1
  status=$?
else
  show_command esimctl-info -c 1 --json
  ESIMCTL_TIME_FACTOR=$SIM_TIME_FACTOR esimctl-info-exec -c 1 --json >/tmp/info.out
  status=$?
  python3 -m json.tool /tmp/info.out || cat /tmp/info.out
fi
echo "-- exit status: $status"

say "Done: profile $iccid downloaded and removed; the modem, server and database transcripts are in $host_out"
