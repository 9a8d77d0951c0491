#!/usr/bin/python3
# Runs esimctl once inside the gateway the way esimctl-run does (through the
# sandbox's esimctl-exec; output, status and sleeps under $SIM_OUT/cmd/NN) and
# also notes its wall time and, from wait4, its CPU time and peak resident
# size (with the database client it waits for) in cmd/NN/rusage.json.
# With --terminal, its standard error is a pty, as a person running it by hand
# has it, and what reached that terminal lands in cmd/NN/terminal. With
# --session, it leads a session of its own without a terminal, as a service
# manager starts it.
#   usage: measure_run.py [--terminal] [--session] ESIMCTL-ARGS...
import json
import os
import pty
import select
import sys
import time

args = sys.argv[1:]
terminal = bool(args) and args[0] == "--terminal"
if terminal:
    args = args[1:]
session = bool(args) and args[0] == "--session"
if session:
    args = args[1:]
out = os.environ.get("SIM_OUT", "/sim/out")
cmd_dir = os.path.join(out, "cmd")
os.makedirs(cmd_dir, exist_ok=True)
run_dir = os.path.join(cmd_dir, "%02d" % (len(os.listdir(cmd_dir)) + 1))
os.makedirs(run_dir)
with open(os.path.join(run_dir, "command"), "w") as f:
    f.write("esimctl " + " ".join(args) + "\n")
env = dict(os.environ)
env["ESIMCTL_TIME_FACTOR"] = os.environ.get("SIM_TIME_FACTOR", "1")
env["ESIMCTL_SLEEP_LOG"] = os.path.join(run_dir, "sleeps")

stdout = os.open(os.path.join(run_dir, "stdout"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
stderr = os.open(os.path.join(run_dir, "stderr"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
stdin = os.open("/dev/null", os.O_RDONLY)
master, slave = pty.openpty() if terminal else (-1, -1)
start = time.time()
pid = os.fork()
if pid == 0:
    if session:
        os.setsid()
    os.dup2(stdin, 0)
    os.dup2(stdout, 1)
    os.dup2(slave if terminal else stderr, 2)
    # The sandbox's launcher preloads the sleep shim (and runs the emulator
    # for a tool built for another machine); it execs, so wait4 below sees
    # esimctl itself.
    os.execve("/sim/bin/esimctl-exec", ["esimctl-exec"] + args, env)

seen = bytearray()
done = None
if terminal:
    os.close(slave)
    while True:
        ready, _, _ = select.select([master], [], [], 0.2)
        data = b""
        if ready:
            try:
                data = os.read(master, 65536)
            except OSError:  # the last holder of the pty's other side has gone
                pass
            seen += data
        if done is None:
            waited, wstatus, usage = os.wait4(pid, os.WNOHANG)
            if waited:
                done = (wstatus, usage)
        elif not data:
            break
    with open(os.path.join(run_dir, "terminal"), "wb") as f:
        f.write(bytes(seen))
else:
    _, wstatus, usage = os.wait4(pid, 0)
    done = (wstatus, usage)
end = time.time()
wstatus, usage = done
status = os.waitstatus_to_exitcode(wstatus)
for name, value in (("start", start), ("end", end)):
    with open(os.path.join(run_dir, name), "w") as f:
        f.write("%.6f\n" % value)
with open(os.path.join(run_dir, "status"), "w") as f:
    f.write("%d\n" % status)
with open(os.path.join(run_dir, "rusage.json"), "w") as f:
    json.dump({"wall_s": end - start, "user_s": usage.ru_utime, "sys_s": usage.ru_stime,
               "maxrss_kib": usage.ru_maxrss}, f)
sys.exit(status & 0xFF)
