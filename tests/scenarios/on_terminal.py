#!/usr/bin/python3
# Runs esimctl once inside the gateway the way esimctl-run does (through the
# sandbox's esimctl-exec; output, status and sleeps under $SIM_OUT/cmd/NN), but with its
# standard error on a terminal (a pty), as a person running it by hand has
# it; what reached the terminal lands in cmd/NN/terminal.
#   usage: on_terminal.py ESIMCTL-ARGS...
import os
import pty
import select
import sys
import time

out = os.environ.get("SIM_OUT", "/sim/out")
cmd_dir = os.path.join(out, "cmd")
os.makedirs(cmd_dir, exist_ok=True)
run_dir = os.path.join(cmd_dir, "%02d" % (len(os.listdir(cmd_dir)) + 1))
os.makedirs(run_dir)
args = sys.argv[1:]
with open(os.path.join(run_dir, "command"), "w") as f:
    f.write("esimctl " + " ".join(args) + "\n")
env = dict(os.environ)
env["ESIMCTL_TIME_FACTOR"] = os.environ.get("SIM_TIME_FACTOR", "1")
env["ESIMCTL_SLEEP_LOG"] = os.path.join(run_dir, "sleeps")

master, slave = pty.openpty()
stdout = os.open(os.path.join(run_dir, "stdout"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
stdin = os.open("/dev/null", os.O_RDONLY)
pid = os.fork()
if pid == 0:
    os.close(master)
    os.dup2(stdin, 0)
    os.dup2(stdout, 1)
    os.dup2(slave, 2)
    os.execve("/sim/bin/esimctl-exec", ["esimctl-exec"] + args, env)
os.close(slave)
seen = bytearray()
status = None
while True:
    ready, _, _ = select.select([master], [], [], 0.2)
    if ready:
        try:
            data = os.read(master, 65536)
        except OSError:  # the last holder of the pty's other side has gone
            data = b""
        seen += data
        if not data and status is not None:
            break
    if status is None:
        done, wstatus = os.waitpid(pid, os.WNOHANG)
        if done:
            status = os.waitstatus_to_exitcode(wstatus)
    elif not ready:
        break
with open(os.path.join(run_dir, "terminal"), "wb") as f:
    f.write(bytes(seen))
with open(os.path.join(run_dir, "status"), "w") as f:
    f.write("%d\n" % status)
open(os.path.join(run_dir, "stderr"), "w").close()
sys.exit(status & 0xFF)
