#!/usr/bin/python3
"""The soak: every channel of one simulated gateway (sim/sandbox) runs cycles
of a download and the removal of the profile it installed, all channels at
once. Before each run one fault may be drawn (seeded) from the simulators'
catalogue, or the run is killed at a random instant (SIGKILL: a power cut of
the tool; or SIGTERM). After a failed or killed run the soak applies the
remedy that esimctl(1) AFTER A FAILURE gives, read from the page's own text
(docs/man/esimctl.1.scd): its entries are found by their status, the remedy
by the page's words and its code blocks; a needed entry that is missing or
whose words changed fails the soak before any run. A killed run has no
status: esimctl-info's findings and their advice choose the remedy. Then
esimctl-info on the channel must show no finding and the profiles and records
the soak expects, before the next cycle.

  soak.py --build DIR [--channels N] [--cycles N] [--seed N] [--time-factor F]

It talks only to the simulated gateway (loopback in its own namespace), its
loops are bounded in count and time, and it prints one table whose last line
reads "soak: R runs, F failures, K kills, L findings left, W records lost or
wrong"; it exits 1 when L or W is not 0 (2 when it could not run).

Inside the gateway the same file is the driver (--inside) and, placed at
/my_tools/dbshell, the database client's front, which fails one channel's
statements as a locked or read-only database does while the soak draws that
fault for the channel (the database is shared: a real lock would stop every
channel at once).
"""
import argparse
import json
import os
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
MANUAL = os.path.join(REPO, "docs", "man", "esimctl.1.scd")
SANDBOX = os.path.join(REPO, "sim", "sandbox")

SOAK = "/sim/out/soak"
NOTIFY_PATH = "/gsma/rsp2/es9plus/handleNotification"
FAULTS = SOAK + "/faults"
DEV = "/dev/zarn/chn_usb/%d"


def host_of(ch):
    """Each channel's activation codes name a host of their own, so that the
    shared server's faults can be drawn per channel (its fault file per host)."""
    return "ch%d.smdp.example" % ch


# ------------------------------------------------------------ the database front ----
def db_front():
    """/my_tools/dbshell while the soak runs: the real client (/sim/bin/client),
    except for the statements of a channel whose database fault is drawn. The
    answers are the real client's for a locked or a read-only database."""
    sql = sys.argv[2] if len(sys.argv) > 2 else ""
    ch = os.environ.get("SOAK_CHANNEL", "")
    fault = ""
    if ch.isdigit():
        try:
            with open("%s/db_%s" % (FAULTS, ch)) as f:
                fault = f.read().strip()
        except FileNotFoundError:
            pass
    write = not sql.lstrip().upper().startswith("SELECT")
    if fault == "locked" or (fault == "readonly" and write):
        reason = (5, "database is locked") if fault == "locked" else (8, "attempt to write a readonly database")
        print('{\n\t"ResultCode":\t%d,\n\t"Reason":\t"%s"\n}' % reason)
        sys.exit(1)
    os.execv("/sim/bin/client", ["/sim/bin/client"] + sys.argv[1:])


# ------------------------------------------------------------ the manual ----
class ManualChanged(Exception):
    pass


def read_manual(text):
    """The entries of AFTER A FAILURE: {key: {"text": prose, "code": [blocks]}},
    keyed by exit status ("245"), "ret-24", "ret-8" ..., and "download" and
    "removal" for the two paragraphs that open each half."""
    m = re.search(r"^# AFTER A FAILURE\n(.*?)^# ", text, re.M | re.S)
    if not m:
        raise ManualChanged("esimctl(1) has no section AFTER A FAILURE")
    entries, current, in_code, prev_blank = {}, None, False, True
    for line in m.group(1).split("\n"):
        was_blank, prev_blank = prev_blank, not line.strip()
        blank = prev_blank
        if line.startswith("```"):
            in_code = not in_code
            if in_code and current is not None:
                current["code"].append("")
            continue
        if in_code:
            if current is not None:
                # scdoc writes a backslash as two.
                current["code"][-1] += line.replace("\\\\", "\\") + "\n"
            continue
        if blank or line.startswith("\t"):
            if current is not None:
                current["text"] += " " + line.strip()
            continue
        keys = []
        head = re.match(r"^\*0 with (ret=.*?) in the log\*", line)
        if head:
            keys = ["ret" + n for n in re.findall(r"-\d+", head.group(1))]
        elif re.match(r"^\*\d{3}\*", line):
            keys = re.findall(r"\*(\d{3})\*", line.split("(")[0])
        elif line.startswith("*Download failures*"):
            keys = ["download"]
        elif line.startswith("*Removal failures*"):
            keys = ["removal"]
        elif current is not None and not was_blank:
            current["text"] += " " + line.strip()  # the paragraph goes on
            continue
        current = {"text": line, "code": []} if keys else None
        for k in keys:
            entries[k] = current
    for e in entries.values():
        e["words"] = re.sub(r"\s+", " ", re.sub(r"[*_]", "", e["text"])).strip().lower()
    return entries


# Every entry the soak may need, with the words it acts on. A remedy is
# recognised by these words only; when the page stops saying them, the soak
# stops before any run instead of guessing.
NEEDED = {
    "download": ["nothing is written to the record store"],
    "245": ["run the download again"], "244": ["run the download again"],
    "243": ["run the download again"], "240": ["run the download again"], "237": ["run the download again"],
    "242": ["run the download again"], "239": ["run the download again"],
    "241": ["run the download again"], "238": ["run the download again"],
    "236": ["run esimctl-info -c n first", "if it reports a profile-without-record",
            "with its last part, initiateauthentication, made handlenotification",
            "record its server as for 234", "otherwise run the download again"],
    "234": ["record its server by hand", "the host of the activation code",
            "the path of the log's \"url:\" line after \"=== step 4: notify ===\"",
            "then remove or keep it as planned"],
    "233": ["do as for 234"],
    "ret-24": ["do as for 234, with the iccid from standard output"],
    "removal": ["mend the cause and run the removal again", "restore full function by hand"],
    "255": ["when it came from a download that ended at 234, 233 or with ret=-24",
            "record the server as shown for 234 and run the removal again"],
    "253": ["run the removal again without -d"],
    "252": ["run the removal again (without -d when this run disabled the profile"],
    "251": ["run the removal again with -n (and without -d)", "when the euicc holds none (esimctl-info)",
            "forget the record by hand"],
    "250": ["run the removal again with -n (and without -d)"],
    "249": ["run the removal again with -n (and without -d)"],
    "ret-8": ["esimctl-info lists them", "delete each of them on the euicc by hand"],
    "ret-9": ["esimctl-info lists them", "delete each of them on the euicc by hand"],
    "ret-10": ["forget it with the delete statement shown for 251"],
}
# The statements the soak runs, each from the code block of its entry.
STATEMENTS = {"insert": ("234", "INSERT INTO esim_http"), "delete": ("251", "DELETE FROM esim_http"),
              "full_function": ("removal", "AT+CFUN=1"), "ntf_delete": ("ret-8", 'AT+QESIM="ntf_delete"')}


def check_manual(entries):
    for key, words in NEEDED.items():
        if key not in entries:
            raise ManualChanged("esimctl(1) AFTER A FAILURE has no entry for %s" % key)
        for w in words:
            if w not in entries[key]["words"]:
                raise ManualChanged("esimctl(1) AFTER A FAILURE, entry %s, no longer says %r" % (key, w))
    for name, (key, marker) in STATEMENTS.items():
        if not [c for c in entries[key]["code"] if marker in c]:
            raise ManualChanged("esimctl(1) AFTER A FAILURE, entry %s, has no statement with %r" % (key, marker))


def statement(entries, name):
    key, marker = STATEMENTS[name]
    return [c for c in entries[key]["code"] if marker in c][0]


def fill(block, **values):
    """The page's statement with its placeholders (N, ICCID, HOST, PATH, the
    time) filled in, ready for bash."""
    out = block.replace("YYYY-MM-DD HH:MM:SS", time.strftime("%Y-%m-%d %H:%M:%S"))
    for word in ("N", "ICCID", "HOST", "PATH", "SEQ"):
        if word.lower() in values:
            out = re.sub(r"(?<![A-Za-z_])%s(?![A-Za-z_])" % word, str(values[word.lower()]), out)
    return out


# ------------------------------------------------------------ the catalogue ----
# Faults per operation, each as the simulator takes it. "modem" faults go to
# the channel's modem, "server" ones to the server for the channel's host,
# "db" ones to the database front.
DOWNLOAD_FAULTS = [
    ("modem", "eid:status=1"), ("modem", "eid:status=1,times=2"), ("modem", "download:status=8"),
    ("modem", "download:silent"), ("modem", "download:error"), ("modem", "trans:status=3,times=1"),
    ("modem", "trans_last:status=5,times=1"), ("modem", "trans_last:silent,skip=2"),
    ("modem", "trans_last:silent,skip=1"), ("modem", "install:status=3"), ("modem", "list:error"),
    ("modem", "list:silent"), ("modem", "trans_last:split=300"), ("modem", "cfun_query:delay=2000"),
    ("modem", "eid:urc_before=+QIND: 1"), ("modem", "list:urc_after=+QIND: 1"),
    ("modem", "trans_last:hangup=2000,skip=1"), ("modem", "cfun_set:hangup=2000"),
    ("server", "initiateAuthentication:status=500"), ("server", "authenticateClient:close"),
    ("server", "getBoundProfilePackage:huge=70000"), ("server", "getBoundProfilePackage:stall"),
    ("server", "authenticateClient:failed"), ("server", "initiateAuthentication:redirect"),
    ("server", "handleNotification:status=500"), ("server", "handleNotification:close"),
    ("server", "any:nonjson"), ("server", "getBoundProfilePackage:empty"),
    ("db", "locked"), ("db", "readonly"),
]
REMOVAL_FAULTS = [
    ("modem", "cfun_set:silent,times=1"), ("modem", "disable:status=2"), ("modem", "delete:status=1"),
    ("modem", "delete:silent"), ("modem", "delete:delay=3000"), ("modem", "ntf_list:urc_before=+QIND: 1"),
    ("modem", "ntf_list:error"), ("modem", "ntf_get:status=1"), ("modem", "ntf_get:split=300"),
    ("modem", "ntf_delete:status=1"), ("modem", "delete:hangup=2000"), ("modem", "ntf_get:hangup=2000"),
    ("server", "handleNotification:status=500"), ("server", "handleNotification:close"),
    ("server", "handleNotification:stall"), ("server", "handleNotification:huge=70000"),
    ("db", "locked"), ("db", "readonly"),
]


def put(path, text):
    """Replaces a fault file at once (the simulators read it whole or not)."""
    with open(path + ".new", "w") as f:
        f.write(text)
    os.rename(path + ".new", path)


# ------------------------------------------------------------ inside ----
class Soak:
    def __init__(self, a, entries):
        self.a, self.entries = a, entries
        self.factor = a.time_factor
        self.lock = threading.Lock()
        self.runs = self.failures = self.kills = 0
        self.by_status = {}
        self.remedies = {}
        self.findings = []  # (channel, what) of cases the manual did not bring back
        self.wrong = []  # (channel, what) of records lost or wrong
        self.peak_rss = 0
        self.peak_run = ""
        self.drawn = {}
        self.log_bytes = {"download": [], "removal": []}
        self.deadline = time.time() + a.max_seconds
        self.journal = open(SOAK + "/journal.txt", "a", buffering=1)

    def note(self, ch, text):
        with self.lock:
            self.journal.write("%.3f ch%d %s\n" % (time.time(), ch, text))

    def count(self, table, key):
        with self.lock:
            table[key] = table.get(key, 0) + 1

    # --------------------------------------------------------- one run ----
    def esimctl(self, ch, args, kill=None):
        """One esimctl run; kill is (signal, seconds). Returns (status or None
        when killed, stdout, killed signal)."""
        env = dict(os.environ, ESIMCTL_TIME_FACTOR=str(self.factor), SOAK_CHANNEL=str(ch))
        out_path = "%s/runs/ch%d.%d.stdout" % (SOAK, ch, time.time_ns())
        with open(out_path, "w") as out:
            proc = subprocess.Popen(["/sim/bin/esimctl-exec"] + args, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, env=env)
        bound = 1000 * self.factor + 120
        sent, started = None, time.time()
        while True:
            pid, wstatus, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            now = time.time()
            if kill and sent is None and now - started >= kill[1]:
                os.kill(proc.pid, kill[0])
                sent = kill[0]
            if now - started > bound and sent != signal.SIGKILL:
                self.finding(ch, "esimctl %s did not end within %.0f s" % (" ".join(args), bound))
                os.kill(proc.pid, signal.SIGKILL)
                sent = signal.SIGKILL
            time.sleep(0.02)
        proc.returncode = 0  # reaped above; keeps Popen from waiting again
        status = os.waitstatus_to_exitcode(wstatus)
        with self.lock:
            self.runs += 1
            if usage.ru_maxrss > self.peak_rss:
                self.peak_rss = usage.ru_maxrss
                self.peak_run = "esimctl %s (%s)" % (" ".join(args), self.drawn.get(ch, "no fault"))
        with open(out_path) as f:
            stdout = f.read()
        os.unlink(out_path)
        if status < 0:
            with self.lock:
                self.kills += 1
            self.note(ch, "esimctl %s: killed by signal %d" % (" ".join(args), -status))
            return None, stdout
        if status != 0:
            with self.lock:
                self.failures += 1
            self.count(self.by_status, status)
        self.note(ch, "esimctl %s: %d %r" % (" ".join(args), status, stdout))
        return status, stdout

    def info(self, ch):
        env = dict(os.environ, ESIMCTL_TIME_FACTOR=str(self.factor))
        for _ in range(3):
            p = subprocess.run(["/sim/bin/esimctl-info-exec", "-c", str(ch), "--json"], env=env,
                               stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
            lines = [l for l in p.stdout.splitlines() if l.startswith("{")]
            if p.returncode == 0 and len(lines) == 1:
                return json.loads(lines[0])
            self.note(ch, "esimctl-info status %d: %s %s" % (p.returncode, p.stdout.strip(), p.stderr.strip()))
            time.sleep(1)
        return json.loads(lines[0]) if lines else {"errors": ["no answer"], "findings": [], "profiles": [],
                                                   "records": [], "notifications": []}

    def finding(self, ch, text):
        with self.lock:
            self.findings.append((ch, text))
        self.note(ch, "FINDING " + text)

    def shell(self, ch, name, block, **values):
        cmd = fill(block, **values)
        self.count(self.remedies, name)
        p = subprocess.run(["bash", "-c", cmd], capture_output=True, text=True, timeout=60)
        self.note(ch, "remedy %s: %s -> %d %s" % (name, " ".join(cmd.split()), p.returncode, " ".join(p.stdout.split())))

    # --------------------------------------------------------- the channel ----
    def channel(self, ch):
        rng = random.Random(self.a.seed * 1000 + ch)
        st = Channel(ch)
        for cycle in range(self.a.cycles):
            if time.time() > self.deadline:
                self.note(ch, "the soak's time is up before cycle %d" % (cycle + 1))
                break
            code = "LPA:1$%s$SOAK-%d-%d" % (host_of(ch), ch, cycle + 1)
            ok = self.phase(ch, st, rng, "download", code)
            ok = ok and self.phase(ch, st, rng, "removal", code)
            if not ok:
                self.note(ch, "channel stopped: a state the manual did not bring back")
                break

    def draw(self, rng, op):
        r = rng.random()
        if r < self.a.kill_rate:
            sig = signal.SIGKILL if rng.random() < 0.7 else signal.SIGTERM
            span = (150 if op == "download" else 60) * self.factor
            return None, (sig, rng.uniform(0.05, span))
        if r < self.a.kill_rate + self.a.fault_rate:
            return rng.choice(DOWNLOAD_FAULTS if op == "download" else REMOVAL_FAULTS), None
        return None, None

    def set_fault(self, ch, fault):
        target, spec = fault if fault else (None, "")
        self.drawn[ch] = "%s:%s" % fault if fault else "no fault"
        put("%s/modem_%d" % (FAULTS, ch), spec + "\n" if target == "modem" else "")
        put("%s/smdp_%s" % (FAULTS, host_of(ch)), spec + "\n" if target == "server" else "")
        put("%s/db_%d" % (FAULTS, ch), spec + "\n" if target == "db" else "")

    def await_modem(self, ch):
        """A modem unplugged by a hang-up comes back by itself: the operator's
        "check the device" before running again."""
        for _ in range(600):
            if os.path.exists(DEV % ch):
                return True
            time.sleep(0.05)
        return False

    def phase(self, ch, st, rng, op, code):
        fault, kill = self.draw(rng, op)
        self.set_fault(ch, fault)
        what = ("fault %s:%s" % fault) if fault else ("signal %d at %.2f s" % kill if kill else "no fault")
        self.note(ch, "%s (%s)" % (op, what))
        if op == "download":
            args = ["-c", str(ch), "-a", code]
            log = "/www/esim_add_%d.txt" % ch
        else:
            st.disable = rng.random() < 0.5
            args = ["-c", str(ch), "-i", st.iccid, "-r"] + (["-d"] if st.disable else [])
            log = "/www/esim_delete_%d_%s.txt" % (ch, st.iccid)
        before = os.path.getsize(log) if os.path.exists(log) else 0
        status, stdout = self.esimctl(ch, args, kill)
        self.set_fault(ch, None)
        self.await_modem(ch)
        text = read_from(log, before)
        if status == 0 and fault is None and kill is None:
            with self.lock:
                self.log_bytes[op].append(len(text.encode()))
        self.settle(ch, st, op, code, status, stdout, text)
        return self.verify(ch, st, "%s with %s, status %s" % (op, what, "killed" if status is None else status))

    # --------------------------------------------------------- remedies ----
    def settle(self, ch, st, op, code, status, stdout, log):
        """Brings the channel to the phase's goal (download: the profile
        installed and recorded; removal: neither) by the manual's remedies,
        at most a few steps."""
        e = self.entries
        for step in range(6):
            if status == 0:
                if op == "download":
                    st.iccid = re.search(r"iccid: \[(\w+)\]", stdout).group(1)
                    st.profiles.append(st.iccid)
                    if "ret=-24" in log:
                        # "Do as for 234, with the ICCID from standard output."
                        self.words("ret-24", "do as for 234")
                        self.record_by_hand(ch, st, code, log, st.iccid)
                    else:
                        st.records[st.iccid] = (host_of(ch), NOTIFY_PATH)
                else:
                    st.profiles = [p for p in st.profiles if p != st.iccid]
                    if re.search(r"ret=-10\b", log):
                        self.words("ret-10", "forget it with the delete statement shown for 251")
                        self.shell(ch, "forget the record by hand (251)", statement(e, "delete"), n=ch, iccid=st.iccid)
                    st.records.pop(st.iccid, None)
                    for k in ("ret-8", "ret-9"):
                        if re.search(r"ret=%s\b" % k[3:], log):
                            self.words(k, "delete each of them on the euicc by hand")
                            for n in self.info(ch).get("notifications", []):
                                if n["iccid"] == st.iccid:
                                    self.shell(ch, "delete the notification by hand", statement(e, "ntf_delete"),
                                               n=ch, seq=n["seq"])
                                    # Let the modem read it before the next run opens (and flushes) the line.
                                    time.sleep(0.3)
                            break
                self.restore_radio(ch)
                return
            if status is None:
                action = self.after_kill(ch, st, op)
            else:
                action = self.after_status(ch, st, op, status)
            if action is None:
                self.restore_radio(ch)
                return
            name, args = action
            if name == "insert":
                self.record_by_hand(ch, st, code, log, args)
                self.restore_radio(ch)
                return
            if name == "delete":
                self.shell(ch, "forget the record by hand", statement(e, "delete"), n=ch, iccid=st.iccid)
                st.profiles = [p for p in st.profiles if p != st.iccid]
                st.records.pop(st.iccid, None)
                self.restore_radio(ch)
                return
            self.count(self.remedies, name)
            if name == "download again":
                before = os.path.getsize("/www/esim_add_%d.txt" % ch)
                status, stdout = self.esimctl(ch, ["-c", str(ch), "-a", code])
                log = read_from("/www/esim_add_%d.txt" % ch, before)
            else:
                path = "/www/esim_delete_%d_%s.txt" % (ch, st.iccid)
                before = os.path.getsize(path) if os.path.exists(path) else 0
                st.disable = "-d" in args
                status, stdout = self.esimctl(ch, ["-c", str(ch), "-i", st.iccid, "-r"] + args)
                log = read_from(path, before)
        self.finding(ch, "%s not settled after 6 remedies (last status %s)" % (op, status))

    def words(self, key, phrase):
        if phrase not in self.entries[key]["words"]:
            raise ManualChanged("entry %s no longer says %r" % (key, phrase))

    def after_status(self, ch, st, op, status):
        """The remedy of the entry for `status`, recognised by its words."""
        key = str(status)
        if key not in self.entries:
            self.finding(ch, "status %d has no entry in esimctl(1) AFTER A FAILURE" % status)
            return None
        w = self.entries[key]["words"]
        if op == "download":
            if "do as for 234" in w:
                w = self.entries["234"]["words"]
            if "if it reports a profile-without-record" in w:
                info = self.info(ch)
                mine = [f for f in info.get("findings", []) if f["kind"] == "profile-without-record"]
                if mine:
                    return "insert", mine[0]["iccid"]
                return ("download again", None) if "otherwise run the download again" in w else None
            if "record its server by hand" in w:
                info = self.info(ch)
                mine = [f for f in info.get("findings", []) if f["kind"] == "profile-without-record"]
                return ("insert", mine[0]["iccid"]) if mine else None
            if "run the download again" in w:
                return "download again", None
            return None
        # Removal.
        if "when it came from a download that ended at 234, 233 or with ret=-24" in w:
            info = self.info(ch)
            if any(f["kind"] == "profile-without-record" for f in info.get("findings", [])):
                return "insert", st.iccid
            w = self.entries["removal"]["words"]
        if "when the euicc holds none (esimctl-info)" in w:
            info = self.info(ch)
            if any(n["iccid"] == st.iccid for n in info.get("notifications", [])):
                return "removal again -n", ["-n"]
            return "delete", None
        if "run the removal again with -n (and without -d)" in w:
            return "removal again -n", ["-n"]
        if "run the removal again without -d" in w:
            return "removal again without -d", []
        if "without -d when this run disabled the profile" in w:
            return "removal again without -d", []
        if "run the removal again" in w or "mend the cause and run the removal again" in \
                self.entries["removal"]["words"]:
            return "removal again", ["-d"] if st.disable else []
        return None

    def after_kill(self, ch, st, op):
        """No status: what esimctl-info finds chooses the remedy, in the
        manual's words for the state it shows."""
        info = self.info(ch)
        kinds = {(f["kind"], f["iccid"]) for f in info.get("findings", [])}
        listed = {p["iccid"] for p in info.get("profiles", [])}
        pending = {n["iccid"] for n in info.get("notifications", [])}
        recorded = {r["iccid"] for r in info.get("records", [])}
        if op == "download":
            new = [i for k, i in kinds if k == "profile-without-record" and i not in st.profiles]
            if new:
                return "insert", new[0]
            done = [i for i in listed if i not in st.profiles and i in recorded]
            if done:
                # Recorded before the signal: the download was as good as done.
                st.iccid = done[0]
                st.profiles.append(st.iccid)
                st.records[st.iccid] = (host_of(ch), NOTIFY_PATH)
                return None
            # Download failures write nothing to the record store and every
            # one of them ends in "run the download again".
            return "download again", None
        if st.iccid in listed:
            return "removal again", ["-d"] if st.disable else []
        if st.iccid in recorded and st.iccid in pending:
            self.words("250", "run the removal again with -n (and without -d)")
            return "removal again -n", ["-n"]
        if st.iccid in recorded:
            self.words("251", "forget the record by hand")
            return "delete", None
        # Deleted, told and forgotten: the run was as good as done.
        st.profiles = [p for p in st.profiles if p != st.iccid]
        st.records.pop(st.iccid, None)
        return None

    def record_by_hand(self, ch, st, code, log, iccid):
        """234: record the server with the host of the activation code and the
        path of the "URL:" line after "=== Step 4: notify ===" (a download
        killed before its notification: the path the same server gave the
        channel's other downloads, as 236 says)."""
        host = code.split("$")[1]
        path = self.notify_path(log) or self.notify_path(read_from("/www/esim_add_%d.txt" % ch, 0))
        if path is None:
            # No download of this server got as far: as 236 says, the path
            # of the run's first request, its last part made handleNotification.
            self.words("236", "with its last part, initiateauthentication, made handlenotification")
            first = re.search(r"\]URL: https://[^/]+(/\S*)initiateAuthentication\n", log) or \
                re.search(r"\]URL: https://[^/]+(/\S*)initiateAuthentication\n",
                          read_from("/www/esim_add_%d.txt" % ch, 0))
            path = first.group(1) + "handleNotification" if first else None
        if path is None:
            self.finding(ch, "no path for the record of %s: the log names no request" % iccid)
            return
        self.shell(ch, "record the server by hand (234)", statement(self.entries, "insert"), n=ch, iccid=iccid,
                   host=host, path=path)
        if iccid not in st.profiles:
            st.profiles.append(iccid)
        st.iccid = iccid
        st.records[iccid] = (host, path)

    @staticmethod
    def notify_path(log):
        found = re.findall(r"=== Step 4: notify ===\n(?:.*\n)*?\[[^\]]*\]URL: https://[^/]+(/\S*)", log)
        return found[-1] if found else None

    def restore_radio(self, ch):
        info = self.info(ch)
        if any(f["kind"] == "radio-off" for f in info.get("findings", [])):
            self.shell(ch, "restore full function by hand", statement(self.entries, "full_function"), n=ch)
            time.sleep(0.3)

    # --------------------------------------------------------- the check ----
    def verify(self, ch, st, what):
        info = self.info(ch)
        profiles = sorted(p["iccid"] for p in info.get("profiles", []))
        records = {r["iccid"]: (r["host"], r["path"]) for r in info.get("records", [])}
        ok = True
        if info.get("findings") or info.get("errors") or profiles != sorted(st.profiles):
            self.finding(ch, "after %s: esimctl-info shows %s" % (what, json.dumps(info)))
            ok = False
        if records != st.records:
            with self.lock:
                self.wrong.append((ch, "after %s: records %s, expected %s" % (what, records, st.records)))
            self.note(ch, "RECORDS WRONG: %s, expected %s" % (records, st.records))
            ok = False
        return ok


class Channel:
    def __init__(self, ch):
        self.ch = ch
        self.profiles = []
        self.records = {}
        self.iccid = None
        self.disable = False


def read_from(path, offset):
    try:
        with open(path, "rb") as f:
            f.seek(offset)
            return f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


def processes():
    """pid -> (name, open descriptors) of every process in the gateway."""
    out = {}
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % pid) as f:
                name = f.read().strip()
            out[int(pid)] = (name, len(os.listdir("/proc/%s/fd" % pid)))
        except OSError:
            pass
    return out


def leftovers(baseline):
    """Processes that were not there at the start, and descriptors the
    simulators and the driver hold beyond their count at the start."""
    now = processes()
    me = os.getpid()
    extra = [(p, n) for p, (n, _) in now.items() if p not in baseline and p != me]
    fds = sum(max(0, now[p][1] - baseline[p][1]) for p in baseline if p in now)
    return extra, fds


def inside(a):
    with open(a.manual) as f:
        entries = read_manual(f.read())
    check_manual(entries)
    os.makedirs(FAULTS, exist_ok=True)
    os.makedirs(SOAK + "/runs", exist_ok=True)
    soak = Soak(a, entries)
    for ch in range(1, a.channels + 1):
        soak.set_fault(ch, None)
    baseline = processes()
    started = time.time()
    threads = [threading.Thread(target=soak.channel, args=(ch,)) for ch in range(1, a.channels + 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall = time.time() - started
    # A server thread that stalls an answer holds its socket for 35 s.
    for _ in range(90):
        extra, fds = leftovers(baseline)
        if not extra and not fds:
            break
        time.sleep(0.5)
    return report(soak, a, wall, extra, fds)


def report(soak, a, wall, extra, fds):
    L, W = len(soak.findings), len(soak.wrong)
    rows = [("channels x cycles", "%d x %d (seed %d, time factor %g)" % (a.channels, a.cycles, a.seed, a.time_factor)),
            ("runs", soak.runs), ("failures", soak.failures)]
    for status in sorted(soak.by_status):
        rows.append(("  exit status %d" % status, soak.by_status[status]))
    rows.append(("kills (SIGKILL, SIGTERM)", soak.kills))
    rows.append(("remedies applied", sum(soak.remedies.values())))
    for name in sorted(soak.remedies):
        rows.append(("  " + name, soak.remedies[name]))
    rows += [("findings left", L), ("records lost or wrong", W),
             ("file descriptors left over", fds), ("child processes left over", len(extra)),
             ("largest peak RSS of a run", "%d KiB: %s" % (soak.peak_rss, soak.peak_run))]
    for op in ("download", "removal"):
        b = soak.log_bytes[op]
        rows.append(("run-log bytes per %s" % op, "%d (mean of %d clean runs, max %d)"
                     % (sum(b) // len(b), len(b), max(b)) if b else "no clean run"))
    rows.append(("wall time", "%.1f s" % wall))
    width = max(len(r[0]) for r in rows)
    lines = ["%-*s  %s" % (width, k, v) for k, v in rows]
    for ch, text in soak.findings:
        lines.append("FINDING channel %d: %s" % (ch, text))
    for ch, text in soak.wrong:
        lines.append("RECORDS channel %d: %s" % (ch, text))
    for pid, name in extra:
        lines.append("LEFT OVER process %d (%s)" % (pid, name))
    lines.append("soak: %d runs, %d failures, %d kills, %d findings left, %d records lost or wrong"
                 % (soak.runs, soak.failures, soak.kills, L, W))
    text = "\n".join(lines) + "\n"
    with open(SOAK + "/table.txt", "w") as f:
        f.write(text)
    return 1 if L or W else 0


# ------------------------------------------------------------ outside ----
def outside(a):
    with open(MANUAL) as f:
        manual = f.read()
    try:
        check_manual(read_manual(manual))
    except ManualChanged as e:
        print("soak: %s" % e)
        return 2
    build = os.path.abspath(a.build)
    work = a.out or os.path.join("/tmp", "esimctl-soak.%d" % os.getpid())
    os.makedirs(work, exist_ok=True)
    out = os.path.join(work, "out")
    me = os.path.abspath(__file__)
    inner = ["--inside", "--channels", str(a.channels), "--cycles", str(a.cycles), "--seed", str(a.seed),
             "--time-factor", str(a.time_factor), "--max-seconds", str(a.max_seconds),
             "--fault-rate", str(a.fault_rate), "--kill-rate", str(a.kill_rate), "--manual", "/tmp/esimctl.1.scd"]
    with open(me) as f:
        code = f.read()
    script = os.path.join(work, "soak.sh")
    with open(script, "w") as f:
        f.write("cat >/tmp/soak.py <<'SOAK_PY'\n%sSOAK_PY\n" % code)
        f.write("cat >/tmp/esimctl.1.scd <<'SOAK_MAN'\n%sSOAK_MAN\n" % manual)
        f.write("python3 /tmp/soak.py %s\n" % " ".join(shlex.quote(w) for w in inner))
    argv = [SANDBOX, "--build", build, "--out", out, "--channels", "1-%d" % a.channels,
            "--time-factor", str(a.time_factor), "--client-front", me,
            "--smdp", "--fault-file %s/smdp_{host}" % FAULTS, "--host", "smdp.example"]
    for ch in range(1, a.channels + 1):
        argv += ["--host", host_of(ch), "--modem", "%d:--fault-file %s/modem_%d" % (ch, FAULTS, ch)]
    argv += ["--script", script]
    print("soak: %d channels x %d cycles, seed %d, time factor %g; transcript in %s"
          % (a.channels, a.cycles, a.seed, a.time_factor, out), flush=True)
    try:
        with open(os.path.join(work, "sandbox.log"), "w") as log:
            proc = subprocess.run(argv, stdout=log, stderr=subprocess.STDOUT, timeout=a.max_seconds + 900)
    except subprocess.TimeoutExpired:
        print("soak: the gateway did not finish within %d s" % (a.max_seconds + 900))
        return 2
    table = os.path.join(out, "soak", "table.txt")
    if not os.path.exists(table):
        with open(os.path.join(work, "sandbox.log")) as f:
            print(f.read()[-4000:])
        print("soak: no table (sandbox status %d)" % proc.returncode)
        return 2
    with open(table) as f:
        sys.stdout.write(f.read())
    if proc.returncode == 0 and not a.keep and not a.out:
        shutil.rmtree(work, ignore_errors=True)
    return proc.returncode if proc.returncode in (0, 1) else 2


def main():
    if os.path.basename(sys.argv[0]) == "dbshell":
        db_front()
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(REPO, "build"))
    ap.add_argument("--channels", type=int, default=32)
    ap.add_argument("--cycles", type=int, default=50)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--time-factor", type=float, default=0.05)
    ap.add_argument("--fault-rate", type=float, default=0.5, help="share of runs with a fault drawn")
    ap.add_argument("--kill-rate", type=float, default=0.15, help="share of runs killed")
    ap.add_argument("--max-seconds", type=int, default=0, help="no cycle starts after this (default: from the size)")
    ap.add_argument("--out", help="work folder, kept (default: /tmp/esimctl-soak.PID, removed after a pass)")
    ap.add_argument("--keep", action="store_true", help="keep the default work folder after a pass")
    ap.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--manual", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if not 1 <= a.channels <= 32 or a.cycles < 1:
        ap.error("--channels 1 to 32, --cycles at least 1")
    if not a.max_seconds:
        a.max_seconds = int(a.cycles * 600 * a.time_factor + a.cycles * 120 + 300)
    if a.inside:
        try:
            return inside(a)
        except ManualChanged as e:
            print("soak: %s" % e)
            return 2
    return outside(a)


if __name__ == "__main__":
    sys.exit(main())
