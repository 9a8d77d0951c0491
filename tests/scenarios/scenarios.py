#!/usr/bin/python3
"""End-to-end scenarios: esimctl as built, unchanged, inside the simulated
gateway (sim/sandbox) with the real dbshell, judged from the transcript
folder: stdout, exit status, run log entries, the AT commands each modem
received (in order, with their texts), the HTTPS requests the profile server
saw, the rows of esim_http and the sleeps esimctl asked for.

  scenarios.py --list                      one line per scenario: NAME LABELS TIMEOUT
  scenarios.py --build DIR [--keep] NAME   runs one scenario; exit 0 when every check held

Each scenario is its own ctest test (tests/scenarios/CMakeLists.txt), so
ctest -j runs them side by side; every one has its own sandbox.
"""
import argparse
import gzip
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SANDBOX = os.path.join(REPO, "sim", "sandbox")

ICCID = "89882470000000000017"
PREFIX = "/gsma/rsp2/es9plus/"
FUNCTIONS = ["initiateAuthentication", "authenticateClient", "getBoundProfilePackage", "handleNotification"]
NOTIFY_PATH = PREFIX + "handleNotification"
# The profile server's name in activation codes; the sandbox's /etc/hosts
# puts it on 127.0.0.1.
HOST = "smdp.example"
CODE = "LPA:1$%s$DEMO-1" % HOST
FAST = 0.05  # 0.5 s polls become 25 ms; the 28 s wait 1.4 s

# Modem tokens of a successful download: radio preparation, download
# command, three trans series (T), list, full function.
DOWNLOAD_OK = ["cfun_query", "qgmr", "eid", "download", "T", "T", "T", "list", "AT+CFUN=1"]
PREP = ["cfun_query", "qgmr", "eid"]


# ------------------------------------------------------------ transcript ----
STAMP = re.compile(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]", re.M)


def log_messages(text):
    """The run log's entries without their time stamps, each without the
    line end that log_print adds (so a message keeps its own "\\n")."""
    starts = list(STAMP.finditer(text))
    out = []
    for i, m in enumerate(starts):
        end = starts[i + 1].start() if i + 1 < len(starts) else len(text)
        body = text[m.end():end]
        out.append(body[:-1] if body.endswith("\n") else body)
    return out


def read(path, default=""):
    try:
        with open(path, encoding="utf-8", errors="replace", newline="") as f:
            return f.read()
    except FileNotFoundError:
        return default


def jsonl(path):
    return [json.loads(line) for line in read(path).splitlines() if line.strip()]


def cmd_text(record):
    return record["cmd"].rstrip("\r\n")


def normalise(cmd):
    """A command with its notification sequence number replaced by #."""
    return re.sub(r'^(AT\+QESIM="ntf_(?:get|delete)"),\d+$', r"\1,#", cmd)


def modem_token(record):
    kind = record["kind"]
    if kind in ("cfun_set", "ntf_list", "ntf_get", "ntf_delete", "disable", "delete", "enable"):
        return normalise(cmd_text(record))
    return kind


def compress(tokens):
    """Runs of chunk commands ending in a last chunk become one "T"; a run
    that never got its last chunk becomes "T-partial"."""
    out, i = [], 0
    while i < len(tokens):
        if tokens[i] in ("trans", "trans_last"):
            j = i
            while j < len(tokens) and tokens[j] == "trans":
                j += 1
            if j < len(tokens) and tokens[j] == "trans_last":
                out.append("T")
                i = j + 1
            else:
                out.append("T-partial")
                i = j
            continue
        out.append(tokens[i])
        i += 1
    return out


TRANS_RE = re.compile(r'^AT\+QESIM="trans",(\d+),([01]),(\d+),(\d+),"([0-9a-f]*)"\r\n$')


def trans_series(records):
    """The chunk commands grouped per answer: lists of parsed chunk fields."""
    series, current = [], []
    for r in records:
        if r["kind"] not in ("trans", "trans_last"):
            continue
        m = TRANS_RE.match(r["cmd"])
        current.append((int(m.group(1)), int(m.group(2)), int(m.group(3)), int(m.group(4)), m.group(5))
                       if m else None)
        if r["kind"] == "trans_last":
            series.append(current)
            current = []
    return series


def trans_reply_fields(reply):
    """Path and payload of a trans reply, read by the rules esimctl follows."""
    k = reply.find("trans")
    if k < 0:
        return None, None
    c1 = reply.find(",", k + 1)
    c2 = reply.find(",", c1 + 1) if c1 >= 0 else -1
    path = None
    if c2 >= 0:
        q1 = reply.find('"', c2 + 1)
        q2 = reply.find('"', q1 + 1) if q1 >= 0 else -1
        if q2 >= 0:
            path = reply[q1 + 1:q2]
    b1, b2 = reply.find("{", k), reply.rfind("}")
    return path, (reply[b1:b2 + 1] if 0 <= b1 < b2 else None)


class Transcript:
    def __init__(self, out):
        self.out = out

    def path(self, *parts):
        return os.path.join(self.out, *parts)

    def runs(self):
        return sorted(os.listdir(self.path("cmd"))) if os.path.isdir(self.path("cmd")) else []

    def stdout(self, n=1):
        return read(self.path("cmd", "%02d" % n, "stdout"))

    def status(self, n=1):
        text = read(self.path("cmd", "%02d" % n, "status")).strip()
        return int(text) if text else None

    def sleeps(self, n=1, folder=None):
        text = read(folder or self.path("cmd", "%02d" % n, "sleeps"))
        return [(line.split()[0], int(line.split()[1])) for line in text.splitlines() if line.strip()]

    def rusage(self, n=1):
        return json.loads(read(self.path("cmd", "%02d" % n, "rusage.json"), "{}"))

    def log(self, name):
        return log_messages(read(self.path("www", name)))

    def modem(self, ch=1):
        return jsonl(self.path("modem", "chn_%d.jsonl" % ch))

    def commands(self, ch=1):
        return [normalise(cmd_text(r)) for r in self.modem(ch)]

    def tokens(self, ch=1):
        return compress([modem_token(r) for r in self.modem(ch)])

    def smdp(self):
        return jsonl(self.path("smdp.jsonl"))

    def functions(self):
        return [r["path"][len(PREFIX):] if r["path"].startswith(PREFIX) else r["path"] for r in self.smdp()]

    def db(self):
        text = read(self.path("db.json")).strip()
        rows = json.loads(text) if text else []
        return [(r["port"], r["iccid"], r["http_ip"], r["http_path"]) for r in rows]

    def info(self, n=1):
        """stdout lines of esimctl-info run n, parsed as JSON, and its status."""
        d = self.path("info", "%02d" % n)
        lines = read(os.path.join(d, "stdout")).splitlines()
        status = read(os.path.join(d, "status")).strip()
        return [json.loads(l) for l in lines if l.startswith("{")], int(status) if status else None

    def info_seconds(self, n=1):
        d = self.path("info", "%02d" % n)
        return float(read(os.path.join(d, "end"))) - float(read(os.path.join(d, "start")))

    def db_calls(self):
        return jsonl(self.path("dbshell_calls.jsonl"))

    def timeline(self, ch=1):
        """Modem commands, HTTPS requests and database statements in the
        order they happened (the database only when the logging client ran)."""
        events = [(r["time"], modem_token(r)) for r in self.modem(ch)]
        events += [(r["time"], "HTTPS " + f) for r, f in zip(self.smdp(), self.functions())]
        events += [(r["time"], "DB " + r["sql"].split()[0].upper()) for r in self.db_calls()]
        events.sort(key=lambda e: e[0])
        return compress([e[1] for e in events])


# ------------------------------------------------------------ gateway ----
class Gateway:
    """One sandbox run: its options and the script run inside it."""

    def __init__(self, ctx, factor=FAST, channels="1"):
        self.ctx = ctx
        self.factor = factor
        self.channels = channels
        self.options = []
        self.lines = []
        self.forward = None
        self.numbers = False
        self.own_stderr = set()

    def modem(self, spec):
        self.options += ["--modem", spec]
        return self

    def smdp(self, spec):
        self.options += ["--smdp", spec]
        return self

    def host(self, name):
        self.options += ["--host", name]
        return self

    def seed(self, sql):
        self.options += ["--seed-db", sql]
        return self

    def seed_record(self, port=1, iccid=ICCID, host=HOST, path=NOTIFY_PATH):
        return self.seed("INSERT INTO esim_http VALUES (%d, '%s', '%s', '%s', '2026-12-07 03:00:00')"
                         % (port, iccid, host, path))

    def esimctl(self, *args):
        self.lines.append("esimctl-run %s >/dev/null 2>&1" % " ".join(shlex.quote(a) for a in args))
        return self

    def line(self, text):
        self.lines.append(text)
        return self

    def stderr_checked_by_scenario(self, *runs):
        """Runs (cmd/NN numbers) whose standard error the scenario checks itself."""
        self.own_stderr.update(runs)
        return self

    def logging_db(self, fail="", numbers=False):
        """The database client becomes dbshell_forward.py: every statement is
        noted and handed to the real dbshell, except one starting with `fail`;
        with `numbers` it prints the digit-only texts of its rows as numbers."""
        self.forward = fail
        self.numbers = numbers
        return self

    def run(self):
        ctx = self.ctx
        out = os.path.join(ctx.work, "out")
        script = ["set -u"]
        front = []
        if self.forward is not None:
            script.append("export SCEN_DB_FAIL=%s" % shlex.quote(self.forward))
            if self.numbers:
                script.append("export SCEN_DB_NUMBERS=1")
            front = ["--client-front", os.path.join(HERE, "dbshell_forward.py")]
        script += self.lines + ["exit 0"]
        script_path = os.path.join(ctx.work, "scenario.sh")
        with open(script_path, "w") as f:
            f.write("\n".join(script) + "\n")
        argv = [SANDBOX, "--build", ctx.sim_build, "--esimctl", ctx.esimctl, "--dbshell", ctx.dbshell,
                "--esimctl-info", ctx.esimctl_info, "--shim", ctx.shim, "--out", out,
                "--channels", self.channels, "--time-factor", str(self.factor)] + front + self.options + \
               ["--script", script_path]
        if ctx.emulator:
            argv[1:1] = ["--emulator", ctx.emulator]
        ctx.note("sandbox: " + " ".join(shlex.quote(a) for a in argv[:-2]) + " --script scenario.sh")
        ctx.note("script:\n  " + "\n  ".join(l for l in self.lines))
        with open(os.path.join(ctx.work, "sandbox.log"), "w") as log:
            proc = subprocess.run(argv, stdout=log, stderr=subprocess.STDOUT, timeout=ctx.timeout)
        if proc.returncode == 125:
            ctx.fail("the sandbox could not be set up:\n" + read(os.path.join(ctx.work, "sandbox.log")))
            raise Abort()
        # esimctl writes nothing to stderr; a sanitizer report would land there.
        for folder in ("cmd", "par"):
            for run in sorted(os.listdir(os.path.join(out, folder))) if os.path.isdir(os.path.join(out, folder)) else []:
                if folder == "cmd" and int(run) in self.own_stderr:
                    continue
                ctx.eq(read(os.path.join(out, folder, run, "stderr")), "", "stderr of %s/%s" % (folder, run))
        return Transcript(out)


class Abort(Exception):
    pass


class Context:
    """Checks of one scenario; every failing check is reported, not only the first."""

    def __init__(self, name, build, esimctl, work, timeout, sim_build=None, emulator=""):
        self.name, self.build, self.esimctl, self.work, self.timeout = name, build, esimctl, work, timeout
        # The tool's programs come from `build`; the simulators, test
        # equipment that runs natively, from `sim_build`.
        self.sim_build = sim_build or build
        self.emulator = emulator
        self.dbshell = os.path.join(build, "dbshell", "dbshell")
        self.esimctl_info = os.path.join(build, "esimctl-info")
        self.shim = os.path.join(build, "tests", "libsleep_shim.so")
        self.failures = []
        self.notes = []

    def note(self, text):
        self.notes.append(text)

    def fail(self, text):
        self.failures.append(text)

    def gateway(self, **kw):
        return Gateway(self, **kw)

    def eq(self, actual, expected, what):
        if actual != expected:
            self.fail("%s:\n    expected %r\n    seen     %r" % (what, expected, actual))

    def check(self, cond, what):
        if not cond:
            self.fail(what)

    def has(self, messages, msg, what="run log"):
        if msg not in messages:
            self.fail("%s lacks %r" % (what, msg))

    def lacks(self, messages, msg, what="run log"):
        if msg in messages:
            self.fail("%s holds %r" % (what, msg))

    def within(self, value, low, high, what):
        if not (low <= value <= high):
            self.fail("%s: %.3f not within [%.3f, %.3f]" % (what, value, low, high))


SCENARIOS = {}

# Every scenario carries the ctest label "scenario"; "slow" marks one of more
# than about 20 s, "realtime" one that waits the tool's real times.
def scenario(name, labels=(), timeout=120):
    def deco(fn):
        SCENARIOS[name] = (fn, ("scenario",) + tuple(labels), timeout)
        return fn
    return deco


# ------------------------------------------------------------ shared checks ----
def download_log(ch=1):
    return "esim_add_%d.txt" % ch


def delete_log(ch=1, iccid=ICCID):
    return "esim_delete_%d_%s.txt" % (ch, iccid)


# The wait before the first read of each command (wait rule of the AT
# exchange with each command's timeout and long-time flag).
def wait_of(record, last_chunks_before, previous):
    c = cmd_text(record)
    if record["kind"] == "trans":
        return ("usleep", 500000)
    if record["kind"] == "trans_last":
        # Steps 1 and 2: timeout 5 (15 s); Step 3: the long wait (28 s).
        return ("sleep", 28000000) if last_chunks_before == 2 else ("sleep", 15000000)
    if c == "AT+CFUN?" and previous is not None and previous["kind"] == "ntf_list":
        return ("sleep", 3000000)  # the diagnostic probe after a refused notification list
    for prefix, wait in (('AT+QESIM="eid"', 3), ('AT+QESIM="list"', 6), ('AT+QESIM="ntf_list",0', 9),
                         ('AT+QESIM="delete"', 28), ('AT+QESIM="ntf_get"', 6), ('AT+QESIM="ntf_delete"', 3)):
        if c.startswith(prefix):
            return ("sleep", wait * 1000000)
    return ("usleep", 500000)


def expected_sleep_groups(records):
    """Every sleep esimctl should ask for, per command its modem got: the
    wait, then one poll pause after the read that brought the reply and one
    after the empty read that ends it; then the radio routines' own pauses
    (1 s after level 4, 1 s after level 0 and 4 s after a full-function
    request during the preparation)."""
    groups, last_chunks = [], 0
    for i, r in enumerate(records):
        c = cmd_text(r)
        group = [wait_of(r, last_chunks, records[i - 1] if i else None), ("usleep", 500000), ("usleep", 500000)]
        if r["kind"] == "trans_last":
            last_chunks += 1
        if c in ("AT+CFUN=4", "AT+CFUN=0"):
            group.append(("sleep", 1000000))
        if c == "AT+CFUN=1" and i + 1 < len(records) and records[i + 1]["kind"] == "eid":
            group.append(("sleep", 4000000))
        groups.append(group)
    return groups


def expected_sleeps(records):
    return [s for g in expected_sleep_groups(records) for s in g]


def whole_seconds(sleeps):
    return [us for call, us in sleeps if call == "sleep"]


def check_download_ok(ctx, t, ch=1, iccid=ICCID, n=1):
    ctx.eq(t.status(n), 0, "exit status")
    ctx.eq(t.stdout(n), "eSim Download Completed, iccid: [%s]\n" % iccid, "stdout")
    log = t.log(download_log(ch))
    ctx.eq(log[:4], ["=== eSIM Download Tool===\n", "Channel ID: %d\n" % ch, "Dev ID: /dev/zarn/chn_usb/%d\n" % ch,
                     "Active Code: %s\n" % CODE], "log header")
    ctx.has(log, "eSim Download Completed, iccid: [%s]\r\n" % iccid)
    ctx.check(not any(m.startswith("Error") for m in log), "no error line in the log: %r"
              % [m for m in log if m.startswith("Error")])
    check_relay(ctx, t, ch)


def check_relay(ctx, t, ch=1):
    """Each HTTPS request carries the request of the modem reply before it,
    to that reply's path on the download reply's host; each trans series
    carries the server's answer before it as lowercase hex, chunked by 1400."""
    records = t.modem(ch)
    replies = [r["reply"] for r in records if r["kind"] in ("download", "trans_last")]
    requests = t.smdp()
    ctx.eq(len(requests), 4, "HTTPS requests")
    for k, req in enumerate(requests[:4]):
        if k >= len(replies):
            break
        path, payload = trans_reply_fields(replies[k])
        ctx.eq(req["path"], path, "path of request %d" % (k + 1))
        ctx.eq(req["body"], payload, "body of request %d" % (k + 1))
        ctx.eq(req["headers"].get("Host"), HOST, "Host of request %d" % (k + 1))
        ctx.eq((req["method"], req["headers"].get("Content-Type"), req["headers"].get("User-Agent")),
               ("POST", "application/json", "curl/7.60.0"), "request %d method and headers" % (k + 1))
    for k, chunks in enumerate(trans_series(records)):
        if None in chunks:
            ctx.fail("series %d has a chunk command of another form" % (k + 1))
            continue
        text = "".join(c[4] for c in chunks)
        expect = []
        for i in range(len(chunks)):
            last = i == len(chunks) - 1
            expect.append((len(text), 0 if last else 1, i, len(text) - 1400 * i if last else 1400))
        ctx.eq([c[:4] for c in chunks], expect, "chunk fields of series %d" % (k + 1))
        if k < len(requests):
            ctx.eq(len(text), 2 * requests[k]["response_size"], "hex length of series %d" % (k + 1))
            ctx.eq(bytes.fromhex(text).decode(errors="replace"), requests[k]["response"],
                   "series %d is the server's answer %d in hex" % (k + 1, k + 1))


def check_notification_sent(ctx, t, ch=1, host=HOST, path=NOTIFY_PATH):
    """The removal sent the notification the modem gave for the req_id it
    found, to the recorded server, and deleted that one first."""
    records = t.modem(ch)
    listed = next((r for r in records if cmd_text(r) == 'AT+QESIM="ntf_list",3'), None)
    got = next((r for r in records if r["kind"] == "ntf_get"), None)
    if listed is None or got is None:
        ctx.fail("no ntf_list 3 / ntf_get")
        return
    lines = [l for l in listed["reply"].split("\r\n") if ICCID in l]
    seq = lines[-1].split(",")[1] if lines else None
    ctx.eq(cmd_text(got), 'AT+QESIM="ntf_get",%s' % seq, "ntf_get names the last listed notification")
    first_delete = next((r for r in records if r["kind"] == "ntf_delete"), None)
    ctx.eq(first_delete and cmd_text(first_delete), 'AT+QESIM="ntf_delete",%s' % seq, "first ntf_delete")
    data = re.search(r'"ntf_get",0,"([^"]*)"', got["reply"])
    requests = t.smdp()
    ctx.eq([(r["path"], r["headers"].get("Host")) for r in requests], [(path, host)], "HTTPS requests")
    if data and requests:
        ctx.eq(requests[0]["body"], '{"pendingNotification":"%s"}' % data.group(1), "notification body")


# ------------------------------------------------------------ successes ----
@scenario("download.ok")
def download_ok(ctx):
    t = ctx.gateway().logging_db().esimctl("-c", "1", "-a", CODE).run()
    check_download_ok(ctx, t)
    ctx.eq(t.timeline(), PREP + ["download", "HTTPS initiateAuthentication", "T", "HTTPS authenticateClient", "T",
                                 "HTTPS getBoundProfilePackage", "T", "HTTPS handleNotification", "list",
                                 "DB INSERT", "AT+CFUN=1"], "traffic order")
    ctx.eq(t.db(), [(1, ICCID, HOST, NOTIFY_PATH)], "database rows")
    ctx.eq([c["sql"] for c in t.db_calls()][0][:62],
           'INSERT INTO esim_http (port, iccid, http_ip, http_path, save_t', "the one statement")
    ctx.eq(whole_seconds(t.sleeps()), whole_seconds(expected_sleeps(t.modem())), "whole-second waits")
    ctx.eq(whole_seconds(t.sleeps()), [3000000, 15000000, 15000000, 28000000, 6000000], "whole-second waits")


def removal_gateway(ctx, *extra_modem, seed=True, **kw):
    g = ctx.gateway(**kw).modem("1:--profile %s,enabled,DEMO-1 --profile 89883000000000000018,disabled,Boot%s"
                                % (ICCID, "".join(" " + m for m in extra_modem)))
    if seed:
        g.seed_record()
    return g


def check_removal_ok(ctx, t, flag, ch=1):
    ctx.eq(t.status(), 0, "exit status")
    ctx.eq(t.stdout(), "eSIM Remove Completed\n", "stdout")
    log = t.log(delete_log(ch))
    ctx.eq(log[:5], ["=== eSIM Delete Tool===\n", "Channel ID: %d\n" % ch, "Dev ID: /dev/zarn/chn_usb/%d\n" % ch,
                     "ICCID: %s\n" % ICCID, "Disable flag: %s\n" % flag], "log header")
    ctx.has(log, "eSIM Remove Completed\n")
    ctx.eq(t.db(), [], "database rows")


REMOVAL_TAIL = ['AT+QESIM="ntf_list",3', 'AT+QESIM="ntf_get",#', "HTTPS handleNotification",
                'AT+QESIM="ntf_delete",#', 'AT+QESIM="ntf_list",0', "DB DELETE", "AT+CFUN=1"]


@scenario("removal.ok")
def removal_ok(ctx):
    t = removal_gateway(ctx).logging_db().esimctl("-c", "1", "-i", ICCID, "-r").run()
    check_removal_ok(ctx, t, "No")
    ctx.eq(t.timeline(), ["AT+CFUN=4", "DB SELECT", 'AT+QESIM="delete","%s"' % ICCID] + REMOVAL_TAIL,
           "traffic order")
    check_notification_sent(ctx, t)
    ctx.eq(whole_seconds(t.sleeps()), whole_seconds(expected_sleeps(t.modem())), "whole-second waits")
    ctx.eq(whole_seconds(t.sleeps()), [1000000, 28000000, 6000000, 3000000, 9000000], "whole-second waits")


@scenario("removal.ok_disable")
def removal_ok_disable(ctx):
    t = removal_gateway(ctx).logging_db().esimctl("-c", "1", "-i", ICCID, "-r", "-d").run()
    check_removal_ok(ctx, t, "Yes")
    ctx.eq(t.timeline(), ["AT+CFUN=4", "DB SELECT", 'AT+QESIM="disable","%s"' % ICCID,
                          'AT+QESIM="delete","%s"' % ICCID] + REMOVAL_TAIL, "traffic order")
    check_notification_sent(ctx, t)


@scenario("removal.ok_no_delete")
def removal_ok_no_delete(ctx):
    # Without the delete, the notification to send is one the eUICC already holds.
    t = removal_gateway(ctx, "--notification %s,delete,%s" % (ICCID, HOST)).logging_db() \
        .esimctl("-c", "1", "-i", ICCID, "-r", "-n").run()
    check_removal_ok(ctx, t, "No")
    ctx.eq(t.timeline(), ["AT+CFUN=4", "DB SELECT"] + REMOVAL_TAIL, "traffic order")
    check_notification_sent(ctx, t)


@scenario("download_then_removal.meet_in_database")
def meet_in_database(ctx):
    # A record of the same ICCID on another channel must survive the removal.
    t = ctx.gateway().seed_record(port=2, host="other.example", path="/elsewhere") \
        .esimctl("-c", "1", "-a", CODE) \
        .line("sqlite3 /data/log/esimhttp.db 'SELECT port, iccid, http_ip, http_path FROM esim_http "
              "ORDER BY rowid' >$SIM_OUT/after_download") \
        .line("iccid=$(sed -n 's/.*iccid: \\[\\(.*\\)\\]/\\1/p' $SIM_OUT/cmd/01/stdout)") \
        .line('esimctl-run -c 1 -i "$iccid" -r >/dev/null 2>&1').run()
    ctx.eq(read(t.path("cmd", "02", "command")), "esimctl -c 1 -i %s -r\n" % ICCID, "removal command")
    ctx.eq(read(t.path("after_download")), "2|%s|other.example|/elsewhere\n1|%s|%s|%s\n"
           % (ICCID, ICCID, HOST, NOTIFY_PATH), "rows after the download")
    ctx.eq(t.status(1), 0, "download status")
    ctx.eq((t.status(2), t.stdout(2)), (0, "eSIM Remove Completed\n"), "removal status and stdout")
    log = t.log(delete_log())
    ctx.has(log, "http_ip: [%s]\n" % HOST)
    ctx.has(log, "http_path: [%s]\n" % NOTIFY_PATH)
    ctx.eq(t.functions(), FUNCTIONS + ["handleNotification"], "HTTPS requests of both runs")
    ctx.eq(t.db(), [(2, ICCID, "other.example", "/elsewhere")], "rows at the end")


@scenario("download_then_removal.same_iccid_again_one_record")
def same_iccid_again(ctx):
    # A profile downloaded again on a channel must leave one record, naming the
    # server it came from last, or its removal notifies the wrong server. The
    # simulated modem gives every download the next ICCID and cannot install
    # one twice, so the earlier download is a seeded record: ICCID on channel 1
    # from other.example. (A removal in between would prove nothing: it
    # deletes the record.) dbshell's UNIQUE (port, iccid) ON CONFLICT REPLACE
    # turns the download's INSERT into a replacement; on a table without it
    # the removal's lookup would find other.example first, which does not
    # even resolve in this gateway.
    t = ctx.gateway().seed_record(host="other.example", path="/elsewhere") \
        .esimctl("-c", "1", "-a", CODE) \
        .line("sqlite3 /data/log/esimhttp.db 'SELECT port, iccid, http_ip, http_path FROM esim_http "
              "ORDER BY rowid' >$SIM_OUT/after_download") \
        .esimctl("-c", "1", "-i", ICCID, "-r").run()
    ctx.eq((t.status(1), t.stdout(1)), (0, "eSim Download Completed, iccid: [%s]\n" % ICCID),
           "download status and stdout")
    ctx.eq(read(t.path("after_download")), "1|%s|%s|%s\n" % (ICCID, HOST, NOTIFY_PATH),
           "rows after the download")
    ctx.eq((t.status(2), t.stdout(2)), (0, "eSIM Remove Completed\n"), "removal status and stdout")
    ctx.has(t.log(delete_log()), "http_ip: [%s]\n" % HOST)
    ctx.eq(t.functions(), FUNCTIONS + ["handleNotification"], "HTTPS requests of both runs")
    ctx.eq([r["headers"].get("Host") for r in t.smdp()], [HOST] * 5, "Host of every request")
    ctx.eq(t.db(), [], "rows at the end")


# ------------------------------------------------------------ download failures ----
# name, sandbox options (modem faults, server faults), code, log lines that
# must be there (the workflow's own last), modem tokens, server functions.
DOWNLOAD_FAILURES = [
    ("download_command_unanswered", ["1:--fault download:silent"], [], -11,
     ["[1]Error, download failed []\n", "Error goto send_at_download failed. ret=-11\n"], PREP + ["download"], []),
    ("download_command_refused", ["1:--fault download:status=8"], [], -12,
     ["Error: at_status 8, ret=-12\n"], PREP + ["download"], []),
    ("download_reply_without_status", ["1:--fault download:error"], [], -12,
     ["Error: at_status , ret=-12\n"], PREP + ["download"], []),
    ("step1_server_answer_empty", [], ["--fault initiateAuthentication:empty"], -13,
     ["Error: goto send_http failed, ret=-13\n"], PREP + ["download"], FUNCTIONS[:1]),
    ("step1_chunk_unanswered", ["1:--fault trans:silent"], [], -14,
     ["Error: chan 1 send at trans[0] failed\n", "Error: goto send_at_trans failed, ret=-14\n"],
     PREP + ["download", "T-partial"], FUNCTIONS[:1]),
    ("step1_server_failed", [], ["--fault initiateAuthentication:failed"], -15,
     ["Error: at_status 6, ret=-15\n"], PREP + ["download", "T"], FUNCTIONS[:1]),
    ("step2_server_answer_too_large", [], ["--fault authenticateClient:huge"], -16,
     ["Error: response data is large, 65536\n", "Error: goto send_http failed, ret=-16\n"],
     PREP + ["download", "T"], FUNCTIONS[:2]),
    ("step2_last_chunk_unanswered", ["1:--fault trans_last:skip=1,silent"], [], -17,
     ["Error: chan 1 send at trans[1] failed\n", "Error: goto send_at_trans failed, ret=-17\n"],
     PREP + ["download", "T", "T"], FUNCTIONS[:2]),
    ("step2_status_1", ["1:--fault trans_last:skip=1,status=1"], [], -18,
     ["Error: at_status 1,ret=-18\n"], PREP + ["download", "T", "T"], FUNCTIONS[:2]),
    ("step3_connection_closed", [], ["--fault getBoundProfilePackage:close"], -19,
     ["Error: goto send_http failed, ret=-19\n"], PREP + ["download", "T", "T"], FUNCTIONS[:3]),
    ("step3_status_1", ["1:--fault trans_last:skip=2,status=1"], [], -20,
     ["Error: at_status [1], when downloading.\n", "Error: goto send_at_trans failed, ret=-20\n"],
     PREP + ["download", "T", "T", "T"], FUNCTIONS[:3]),
    ("step3_install_failed", ["1:--fault install:status=3"], [], -20,
     ["Error: Failed to download, status: 3\n", "Error: goto parse_at_status download response\n",
      "Error: goto send_at_trans failed, ret=-20\n"], PREP + ["download", "T", "T", "T"], FUNCTIONS[:3]),
    ("step4_notification_refused", [], ["--fault handleNotification:status=500"], -22,
     ["Error: goto send_http failed, ret=-22\n"], PREP + ["download", "T", "T", "T"], FUNCTIONS),
    ("list_refused", ["1:--fault list:error"], [], -23,
     ["Error: goto parse_at_status list response\n", "Error: goto send_at_list failed, ret=-23\n"],
     PREP + ["download", "T", "T", "T", "list"], FUNCTIONS),
    ("step3_answer_one_byte_over_the_limit", [], ["--package-answer-size 65536"], -19,
     ["Error: response data is large, 65536\n", "Error: goto send_http failed, ret=-19\n"],
     PREP + ["download", "T", "T"], FUNCTIONS[:3]),
    # The same with the test build whose answer limit is raised to 262143.
    ("raised_limit_step3_answer_one_byte_over", [], ["--package-answer-size 262144"], -19,
     ["Error: response data is large, 262144\n", "Error: goto send_http failed, ret=-19\n"],
     PREP + ["download", "T", "T"], FUNCTIONS[:3], None, "esimctl_large"),
]


# Refusals as real servers send them (HTTP 200, status Failed with its codes),
# which the modem reports with a status of its own: as above, and the run log
# tells the server's reason in one entry right after the answer's.
SERVER_REFUSALS = [
    # as above, and the server's status entry
    ("step1_address_refused_by_server",
     [], ["--fault initiateAuthentication:subject=8.8.1,reason=3.8,message=Invalid%20SM-DP%2B%20Address"], -15,
     ["Error: at_status 6, ret=-15\n"], PREP + ["download", "T"], FUNCTIONS[:1],
     "Server status: Failed, subject 8.8.1, reason 3.8: Invalid SM-DP+ Address\n"),
    ("step2_matching_id_refused_by_server",
     [], ["--fault authenticateClient:subject=8.2.6,reason=3.8,message=Refused%20matchingId"], -18,
     ["Error: at_status 6,ret=-18\n"], PREP + ["download", "T", "T"], FUNCTIONS[:2],
     "Server status: Failed, subject 8.2.6, reason 3.8: Refused matchingId\n"),
    # A message is peer text: its control bytes must not forge log lines.
    ("step2_refusal_message_with_control_bytes",
     [], ["--fault authenticateClient:subject=8.2.6,reason=3.8,message=Refused%0d%0a[2026-01-01%2000:00:00]Forged%07"],
     -18, ["Error: at_status 6,ret=-18\n"], PREP + ["download", "T", "T"], FUNCTIONS[:2],
     "Server status: Failed, subject 8.2.6, reason 3.8: Refused\\x0d\\x0a[2026-01-01 00:00:00]Forged\\x07\n"),
    # A server told which matching IDs it holds refuses any other (CODE's is DEMO-1).
    ("step2_matching_id_not_held_by_server", [], ["--matching-id DEMO-2 --matching-id DEMO-3"], -18,
     ["Error: at_status 6,ret=-18\n"], PREP + ["download", "T", "T"], FUNCTIONS[:2],
     "Server status: Failed, subject 8.2.6, reason 3.8: Refused\n"),
    ("step3_transaction_unknown_to_server",
     [], ["--fault getBoundProfilePackage:subject=8.10.1,reason=3.9,message=Unknown%20transactionId"], -20,
     ["Error: at_status [6], when downloading.\n", "Error: goto send_at_trans failed, ret=-20\n"],
     PREP + ["download", "T", "T", "T"], FUNCTIONS[:3],
     "Server status: Failed, subject 8.10.1, reason 3.9: Unknown transactionId\n"),
]


def test_build(ctx, g, build):
    """Runs the tests' build of esimctl named `build` (from the tests folder) instead."""
    if build:
        g.options += ["--esimctl", os.path.join(ctx.build, "tests", build)]
    return g


def make_download_failure(row):
    name, modem, smdp, code, lines, tokens, functions = row[:7]
    server_status = row[7] if len(row) > 7 else None
    build = row[8] if len(row) > 8 else None

    def body(ctx):
        g = test_build(ctx, ctx.gateway(), build)
        for m in modem:
            g.modem(m)
        for s in smdp:
            g.smdp(s)
        t = g.esimctl("-c", "1", "-a", CODE).run()
        ctx.eq(t.status(), code & 0xFF, "exit status")
        ctx.eq(t.stdout(), "Error: failed cause %d\n" % code, "stdout")
        log = t.log(download_log())
        for line in lines:
            ctx.has(log, line)
        ctx.eq(log[-1:], lines[-1:], "last log entry")
        ctx.eq(t.tokens(), tokens, "modem commands")
        ctx.eq(t.functions(), functions, "HTTPS requests")
        ctx.eq(t.db(), [], "database rows")
        if code != -23:
            ctx.lacks(t.tokens(), "list", "modem commands")
        if server_status:
            answers = [i for i, m in enumerate(log) if m.startswith("HTTP Response: ")]
            ctx.eq(log[answers[-1] + 1:answers[-1] + 2] if answers else [], [server_status],
                   "the entry after the last answer")
            ctx.eq([m for m in log if m.startswith("Server status:")], [server_status],
                   "the one Server status entry")

    scenario("download.fail%d.%s" % (-code, name))(body)


for _row in DOWNLOAD_FAILURES + SERVER_REFUSALS:
    make_download_failure(_row)


# Profile package answers at and past the answer limit: name, the tests'
# build of esimctl (None: esimctl as built, limit 65535), the size of the
# getBoundProfilePackage answer. Each is hex-encoded, sent in 1400-digit
# chunks and installed (check_relay).
PACKAGE_ANSWERS = [
    ("default_limit_takes_65535_bytes", None, 65535),
    ("raised_limit_installs_205_kb", "esimctl_large", 205000),
    ("raised_limit_takes_262143_bytes", "esimctl_large", 262143),
]


def make_package_answer(row):
    name, build, size = row

    def body(ctx):
        g = test_build(ctx, ctx.gateway().smdp("--package-answer-size %d" % size), build)
        t = g.esimctl("-c", "1", "-a", CODE).run()
        check_download_ok(ctx, t)
        requests = t.smdp()
        ctx.eq(len(requests) > 2 and requests[2]["response_size"], size, "size of the step 3 answer")
        ctx.eq([len(series) for series in trans_series(t.modem())][2:3], [-(-2 * size // 1400)],
               "chunks of step 3")
    scenario("download.package.%s" % name, timeout=300)(body)


for _row in PACKAGE_ANSWERS:
    make_package_answer(_row)


@scenario("download.save_fails_still_completes")
def download_save_fails(ctx):
    t = ctx.gateway().logging_db(fail="INSERT").esimctl("-c", "1", "-a", CODE).run()
    ctx.eq(t.status(), 0, "exit status")
    ctx.eq(t.stdout(), "eSim Download Completed, iccid: [%s]\n" % ICCID, "stdout")
    log = t.log(download_log())
    ctx.has(log, "Error: goto save_http_info failed, ret=-24\n")
    ctx.eq(t.timeline()[-3:], ["list", "DB INSERT", "AT+CFUN=1"], "end of the traffic")
    ctx.eq(t.db(), [], "database rows")


# ------------------------------------------------------------ removal failures ----
DELETE_CMD = 'AT+QESIM="delete","%s"' % ICCID
REMOVAL_FAILURES = [
    # name, modem options, server options, seed, flags, code, log lines, commands, HTTPS
    ("no_record", [], [], False, [], -1, ["Error: Get http info failed. ret=-1\n",
                                          "Error: record store: no record for channel 1 and ICCID %s\n" % ICCID],
     ["AT+CFUN=4"], []),
    ("record_without_path", [], [], "empty_path", [], -2,
     ["Error: at_http_ip [%s] or at_http_path [] is NULL. ret=-2\n" % HOST], ["AT+CFUN=4"], []),
    ("disable_refused", ["--fault disable:status=1"], [], True, ["-d"], -3,
     ["Error: Failed to disable eSIM, ret=-3\n"], ["AT+CFUN=4", 'AT+QESIM="disable","%s"' % ICCID], []),
    ("delete_refused_still_listed", ["--fault delete:status=2"], [], True, [], -4,
     ["Error: goto parse_at_status delete response\n", "Error: Failed to delete eSIM, ret=-4\n"],
     ["AT+CFUN=4", DELETE_CMD, 'AT+QESIM="list"'], []),
    ("notification_list_refused", ["--fault ntf_list:status=1"], [], True, [], -5,
     ["Error: goto parse_at_status ntf_list response\n", "Error: Failed to get notification list, ret=-5\n"],
     ["AT+CFUN=4", DELETE_CMD, 'AT+QESIM="ntf_list",3', "AT+CFUN?"], []),
    ("notification_get_refused", ["--fault ntf_get:status=1"], [], True, [], -6,
     ["Error: Failed to get notification data, ret=-6\n"],
     ["AT+CFUN=4", DELETE_CMD, 'AT+QESIM="ntf_list",3', 'AT+QESIM="ntf_get",#'], []),
    ("notification_refused_by_server", [], ["--fault handleNotification:status=500"], True, [], -7,
     ["Error: HTTP notification request failed, ret=-7\n"],
     ["AT+CFUN=4", DELETE_CMD, 'AT+QESIM="ntf_list",3', 'AT+QESIM="ntf_get",#'], ["handleNotification"]),
]


def make_removal_failure(row):
    name, modem, smdp, seed, flags, code, lines, commands, functions = row

    def body(ctx):
        g = removal_gateway(ctx, *modem, seed=seed is True)
        if seed == "empty_path":
            g.seed_record(path="")
        for s in smdp:
            g.smdp(s)
        t = g.esimctl("-c", "1", "-i", ICCID, "-r", *flags).run()
        ctx.eq(t.status(), code & 0xFF, "exit status")
        ctx.eq(t.stdout(), "Error: failed cause %d\n" % code, "stdout")
        log = t.log(delete_log())
        for line in lines:
            ctx.has(log, line)
        ctx.eq(log[-1:], lines[-1:], "last log entry")
        ctx.eq(t.commands(), commands, "modem commands (none after the failure, no AT+CFUN=1)")
        ctx.eq(t.functions(), functions, "HTTPS requests")
        seeded = [] if not seed else [(1, ICCID, HOST, "" if seed == "empty_path" else NOTIFY_PATH)]
        ctx.eq(t.db(), seeded, "database rows (untouched)")

    scenario("removal.fail%d.%s" % (-code, name))(body)


for _row in REMOVAL_FAILURES:
    make_removal_failure(_row)


# ------------------------------------------------------------ removal: logged only ----
def cleanup_commands(passes_found, last_found=False):
    """ntf_list 0 / ntf_delete pairs of a clean-up that found `passes_found`
    notifications and then none (or ended on the last one found)."""
    out = []
    for _ in range(passes_found):
        out += ['AT+QESIM="ntf_list",0', 'AT+QESIM="ntf_delete",#']
    if not last_found:
        out.append('AT+QESIM="ntf_list",0')
    return out


HEAD = ["AT+CFUN=4", DELETE_CMD, 'AT+QESIM="ntf_list",3', 'AT+QESIM="ntf_get",#', 'AT+QESIM="ntf_delete",#']

REMOVAL_LOGGED = [
    # name, modem options, db failure, log line (None: no error line), commands, rows at the end;
    # after -8 the notification is still there, and the first clean-up pass deletes it.
    ("notification_delete_fails_8", ["--fault ntf_delete:status=1,times=1"], "",
     "Error: Failed to ntf_delete req_id, ret=-8\n", HEAD + cleanup_commands(1) + ["AT+CFUN=1"], []),
    ("cleanup_pass3_delete_fails_9", ["--endless-notifications", "--fault ntf_delete:skip=3,status=1"], "",
     "Error: Continue to ntf_delete req_id, ret=-9, count=3\n",
     HEAD + cleanup_commands(3, last_found=True) + ["AT+CFUN=1"], []),
    ("record_delete_fails_10", [], "DELETE", "Error: Get http info failed. ret=-10\n",
     HEAD + cleanup_commands(0) + ["AT+CFUN=1"], [(1, ICCID, HOST, NOTIFY_PATH)]),
    ("cleanup_three_notifications", ["--delete-notifications 3"], "", None,
     HEAD + cleanup_commands(2) + ["AT+CFUN=1"], []),
    ("cleanup_endless_stops_after_10", ["--endless-notifications"], "", None,
     HEAD + cleanup_commands(10, last_found=True) + ["AT+CFUN=1"], []),
]


def make_removal_logged(row):
    name, modem, fail, line, commands, rows = row

    def body(ctx):
        g = removal_gateway(ctx, *modem)
        if fail:
            g.logging_db(fail=fail)
        t = g.esimctl("-c", "1", "-i", ICCID, "-r").run()
        ctx.eq(t.status(), 0, "exit status")
        ctx.eq(t.stdout(), "eSIM Remove Completed\n", "stdout")
        log = t.log(delete_log())
        errors = [m for m in log if m.startswith("Error")]
        ctx.eq(errors[-1:], [line] if line else [], "the workflow's error line")
        ctx.has(log, "eSIM Remove Completed\n")
        ctx.eq(t.commands(), commands, "modem commands")
        ctx.eq(t.functions(), ["handleNotification"], "HTTPS requests (the clean-up sends nothing)")
        ctx.eq(t.db(), rows, "database rows")
        deleted = [cmd_text(r) for r in t.modem() if r["kind"] == "ntf_delete"]
        if line and "-8" in line:
            ctx.eq(len(set(deleted)), 1, "the refused ntf_delete is repeated in the clean-up")
        else:
            ctx.eq(len(set(deleted)), len(deleted), "each ntf_delete names another notification")

    scenario("removal.logged.%s" % name)(body)


for _row in REMOVAL_LOGGED:
    make_removal_logged(_row)


# ------------------------------------------------------------ radio preparation ----
RADIO = [
    # name, modem options, download code (0 ok), tokens (or None), whole-second sleeps before the download command
    ("level0_requests_full_function", ["--cfun 0"], 0,
     ["cfun_query", "qgmr", "AT+CFUN=1", "eid", "download", "T", "T", "T", "list", "AT+CFUN=1"], [4000000, 3000000]),
    ("level1_requests_nothing", [], 0, DOWNLOAD_OK, [3000000]),
    ("level4_requests_nothing", ["--cfun 4"], 0, DOWNLOAD_OK, [3000000]),
    ("eid_not_ready_once", ["--fault eid:status=1,times=1"], 0,
     ["cfun_query", "qgmr", "eid", "AT+CFUN=0", "AT+CFUN=1", "eid", "download", "T", "T", "T", "list", "AT+CFUN=1"],
     [3000000, 1000000, 4000000, 3000000]),
    ("eid_never_ready_one_recovery_only", ["--fault eid:status=1"], 0,
     ["cfun_query", "qgmr", "eid", "AT+CFUN=0", "AT+CFUN=1", "eid", "download", "T", "T", "T", "list", "AT+CFUN=1"],
     [3000000, 1000000, 4000000, 3000000]),
]


def make_radio(row):
    name, modem, code, tokens, sleeps = row

    def body(ctx):
        g = ctx.gateway()
        if modem:
            g.modem("1:" + " ".join(modem))
        t = g.esimctl("-c", "1", "-a", CODE).run()
        check_download_ok(ctx, t)
        ctx.eq(t.tokens(), tokens, "modem commands")
        ctx.eq(whole_seconds(t.sleeps())[:len(sleeps)], sleeps, "whole-second pauses up to the download command")
        ctx.eq(whole_seconds(t.sleeps()), whole_seconds(expected_sleeps(t.modem())), "whole-second waits")
        ctx.check(not any(m.startswith("Not find") for m in t.log(download_log())), "no Not find line")

    scenario("radio.%s" % name)(body)


for _row in RADIO:
    make_radio(_row)


@scenario("radio.echo_on")
def radio_echo_on(ctx):
    # The first "CFUN" of the reply is the echoed command, which reads as
    # level 0: full function is requested. The trans reply readers then take
    # the echoed chunk command for the reply: its total length becomes the
    # status and Step 1 fails (README: run modems with echo off).
    t = ctx.gateway().modem("1:--echo").esimctl("-c", "1", "-a", CODE).run()
    ctx.eq(t.tokens()[:4], ["cfun_query", "qgmr", "AT+CFUN=1", "eid"], "preparation with echo")
    series = trans_series(t.modem())
    total = series[0][0][0] if series and series[0] and series[0][0] else None
    ctx.eq(t.status(), 241, "exit status")
    ctx.eq(t.stdout(), "Error: failed cause -15\n", "stdout")
    ctx.eq(t.log(download_log())[-1:], ["Error: at_status %s, ret=-15\n" % total], "last log entry")
    ctx.eq(t.tokens(), ["cfun_query", "qgmr", "AT+CFUN=1", "eid", "download", "T"], "modem commands")
    ctx.eq(t.functions(), FUNCTIONS[:1], "HTTPS requests")
    ctx.eq(t.db(), [], "database rows")
    ctx.check("echo off" in read(os.path.join(REPO, "README.md")), "README asks for modems with echo off")


@scenario("radio.no_device")
def radio_no_device(ctx):
    # Channel 2 has no modem: every exchange fails to open the device.
    t = ctx.gateway().esimctl("-c", "2", "-a", CODE).run()
    log = t.log(download_log(2))
    ctx.has(log, "Error: open serial failed module [2]\n")
    why = "Error: chan 2 device /dev/zarn/chn_usb/2: open failed, error-2[No such file or directory]\n"
    ctx.check([log[i + 1:i + 2] for i, m in enumerate(log) if m == "Error: open serial failed module [2]\n"] ==
              [[why]] * log.count("Error: open serial failed module [2]\n"), "each failed open, then its reason")
    ctx.has(log, "Not find eid\n")
    ctx.check(log.index("Not find eid\n") < log.index("Error goto send_at_download failed. ret=-11\n")
              if "Not find eid\n" in log and "Error goto send_at_download failed. ret=-11\n" in log else False,
              "Not find eid comes before the download failure")
    # The exchanges fail at the open, before any wait: only the extra reads pause.
    ctx.eq(whole_seconds(t.sleeps()), [1000000] * 20, "the 20 extra reads")
    ctx.eq((t.status(), t.stdout()), (245, "Error: failed cause -11\n"), "exit status and stdout")
    ctx.eq(t.modem(1), [], "the modem of channel 1 heard nothing")


# ------------------------------------------------------------ hosts ----
@scenario("hosts.later_reply_names_another_host")
def later_host(ctx):
    t = ctx.gateway().modem("1:--later-host other.example").host("smdp.example").host("other.example") \
        .esimctl("-c", "1", "-a", CODE).run()
    later = [r["reply"] for r in t.modem() if r["kind"] == "trans_last"]
    ctx.check(len(later) == 3 and all('"smdpAddress":"other.example"}' in r for r in later),
              "the later replies name other.example last")
    ctx.eq([r["headers"].get("Host") for r in t.smdp()], [HOST] * 4, "Host of the four requests")
    ctx.eq(t.functions(), FUNCTIONS, "HTTPS requests")
    ctx.eq(t.status(), 0, "exit status")
    ctx.eq(t.db(), [(1, ICCID, HOST, NOTIFY_PATH)], "database rows")


@scenario("hosts.notification_without_path")
def notification_without_path(ctx):
    t = ctx.gateway().modem("1:--empty-notification-path").esimctl("-c", "1", "-a", CODE).run()
    log = t.log(download_log())
    ctx.has(log, "URL: https://%s\n" % HOST)
    # The server answers POST / with 404.
    # The header lines after these differ between cpp-httplib versions.
    ctx.check(any(m.startswith("HTTP Response: 404 [HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n")
                  and m.endswith("\r\n\r\n]\n") for m in log), "the 404 answer logged with its header lines")
    ctx.eq(t.functions(), FUNCTIONS[:3] + ["/"], "server requests")
    last = t.smdp()[-1]
    ctx.eq((last["method"], last["status"], last["headers"].get("Host")), ("POST", 404, HOST),
           "the notification request")
    ctx.eq((t.status(), t.stdout()), (234, "Error: failed cause -22\n"), "exit status and stdout")
    ctx.eq(log[-1:], ["Error: goto send_http failed, ret=-22\n"], "last log entry")
    ctx.eq(t.db(), [], "database rows")


# ------------------------------------------------------------ 32 channels ----
def channel_iccid(ch):
    return "89882470000000%02d0017" % ch


@scenario("parallel.32_channels", timeout=400)
def thirty_two(ctx):
    g = ctx.gateway(factor=0.1, channels="all")
    for ch in range(1, 33):
        g.modem("%d:--next-iccid %s" % (ch, channel_iccid(ch)))
    g.line("""for ch in $(seq 1 32); do
  d=$SIM_OUT/par/$ch; mkdir -p $d
  ( ESIMCTL_TIME_FACTOR=$SIM_TIME_FACTOR ESIMCTL_SLEEP_LOG=$d/sleeps \\
      /sim/bin/esimctl-exec -c $ch -a "LPA:1\\$%s\\$CH-$ch" >$d/stdout 2>$d/stderr </dev/null
    echo $? >$d/status ) &
done
wait""" % HOST)
    t = g.run()
    lines = []
    for ch in range(1, 33):
        d = t.path("par", str(ch))
        ctx.eq((read(os.path.join(d, "status")), read(os.path.join(d, "stdout"))),
               ("0\n", "eSim Download Completed, iccid: [%s]\n" % channel_iccid(ch)), "channel %d" % ch)
        lines.append(read(os.path.join(d, "stdout")))
        records = t.modem(ch)
        ctx.eq(t.tokens(ch), DOWNLOAD_OK, "modem commands of channel %d" % ch)
        ctx.check(any('$CH-%d"' % ch in r["cmd"] for r in records if r["kind"] == "download"),
                  "channel %d got its own activation code" % ch)
        log = t.log(download_log(ch))
        foreign = [m for m in log if re.match(r"(Send|Recv) AT (\d+):", m) and
                   not m.startswith(("Send AT %d:" % ch, "Recv AT %d:" % ch))]
        ctx.eq(foreign, [], "log of channel %d names only its channel" % ch)
        ctx.has(log, "eSim Download Completed, iccid: [%s]\r\n" % channel_iccid(ch))
    ctx.eq(sum(1 for l in lines if l.startswith("eSim Download Completed")), 32, "completion lines")
    ctx.eq(sorted(t.db()), sorted((ch, channel_iccid(ch), HOST, NOTIFY_PATH) for ch in range(1, 33)),
           "32 records, each on its channel")
    ctx.eq(sorted(t.functions()), sorted(FUNCTIONS * 32), "HTTPS requests")
    # Every server transaction ran its three steps in order: the modems'
    # requests never crossed.
    steps = {}
    for r in t.smdp():
        tid = re.search(r'"transactionId":"([0-9A-F]+)"', r["body"] if "transactionId" in r["body"] else r["response"])
        if tid and r["path"] != NOTIFY_PATH:
            steps.setdefault(tid.group(1), []).append(r["path"][len(PREFIX):])
    ctx.eq(sorted(steps.values()), [FUNCTIONS[:3]] * 32, "the three steps of each of 32 transactions")


# ------------------------------------------------------------ real time ----
def check_gaps(ctx, t):
    """From the modem transcript: the time from a command's arrival to the
    next one's is the wait of the wait rule, plus about 1.0 s (the read with
    the reply, 0.5 s, the empty read, 0.5 s), plus the radio routines' own
    pauses; an HTTPS request or database statement in between adds its own
    (short) time."""
    records = t.modem()
    per_cmd = [sum(us for _, us in g) / 1e6 for g in expected_sleep_groups(records)]
    others = [r["time"] for r in t.smdp()] + [r["time"] for r in t.db_calls()]
    checked = []
    for k in range(len(records) - 1):
        a, b = records[k]["time"], records[k + 1]["time"]
        busy = any(a < x < b for x in others)
        gap = b - a
        what = "%s -> %s" % (cmd_text(records[k])[:32], cmd_text(records[k + 1])[:32])
        ctx.within(gap, per_cmd[k] - 0.05, per_cmd[k] + (1.5 if busy else 0.6), what)
        checked.append("%-70s %6.2f s (expected %5.2f%s)" % (what, gap, per_cmd[k], " + HTTPS/DB" if busy else ""))
    ctx.note("gaps between modem commands:\n  " + "\n  ".join(checked))


def figures(ctx, t, what):
    u = t.rusage()
    line = ("FIGURES %s at real time: wall %.1f s, esimctl CPU %.3f s user + %.3f s system, peak RSS %d KiB"
            % (what, u.get("wall_s", -1), u.get("user_s", -1), u.get("sys_s", -1), u.get("maxrss_kib", -1)))
    print(line)
    with open(os.path.join(ctx.build, "scenario-figures.txt"), "a") as f:
        f.write(time.strftime("%Y-%m-%d %H:%M:%S ") + line + "\n")
    ctx.check(u.get("wall_s", 0) > 0, "figures measured")


def measured(g, *args):
    return measured_runs(g, args)


@scenario("realtime.download", labels=("realtime", "slow"), timeout=420)
def realtime_download(ctx):
    t = measured(ctx.gateway(factor=1).logging_db(), "-c", "1", "-a", CODE).run()
    check_download_ok(ctx, t)
    ctx.eq(t.tokens(), DOWNLOAD_OK, "modem commands")
    ctx.eq(t.sleeps(), expected_sleeps(t.modem()), "every sleep asked for")
    check_gaps(ctx, t)
    figures(ctx, t, "download")


@scenario("realtime.removal", labels=("realtime", "slow"), timeout=300)
def realtime_removal(ctx):
    t = measured(removal_gateway(ctx, factor=1).logging_db(), "-c", "1", "-i", ICCID, "-r").run()
    check_removal_ok(ctx, t, "No")
    ctx.eq(t.commands(), ["AT+CFUN=4", DELETE_CMD] + [c for c in REMOVAL_TAIL if not c.startswith(("HTTPS", "DB"))],
           "modem commands")
    ctx.eq(t.sleeps(), expected_sleeps(t.modem()), "every sleep asked for")
    check_gaps(ctx, t)
    figures(ctx, t, "removal")


# ------------------------------------------------------------ hostile peers and faults ----
def measured_runs(g, *runs):
    """Each run (a tuple of esimctl arguments) through measure_run.py, so that
    its peak memory and CPU time are known."""
    with open(os.path.join(HERE, "measure_run.py")) as f:
        code = f.read()
    g.line("cat >/tmp/measure_run.py <<'PY'\n%sPY" % code)
    # A sanitizer build holds freed memory back (its quarantine, 256 MB) and
    # so would measure the allocator, not the tool; without a sanitizer the
    # setting is ignored.
    for args in runs:
        g.line("ASAN_OPTIONS=quarantine_size_mb=0 python3 /tmp/measure_run.py %s >/dev/null 2>&1"
               % " ".join(shlex.quote(a) for a in args))
    return g


def check_small_cpu(ctx, t, n, what):
    u = t.rusage(n)
    cpu = u.get("user_s", 99) + u.get("sys_s", 99)
    ctx.check(cpu < 1.5, "%s: CPU %.2f s (a busy loop would burn the whole run)" % (what, cpu))


MIB = 1024


@scenario("bound.endless_exchange_answer_keeps_memory_flat")
def bound_exchange(ctx):
    # Channel 1 downloads normally; channel 2's authenticateClient answer
    # never ends.
    g = ctx.gateway(channels="1,2").modem("2:--next-iccid 89882470000000000217") \
        .smdp("--fault authenticateClient:stream,skip=1")
    t = measured_runs(g, ("-c", "1", "-a", CODE), ("-c", "2", "-a", CODE)).run()
    ctx.eq(t.status(1), 0, "the normal download")
    ctx.eq((t.status(2), t.stdout(2)), (240, "Error: failed cause -16\n"), "the endless answer fails step 2")
    errors = [m for m in t.log(download_log(2)) if m.startswith("Error")]
    m = re.match(r"Error: response data is large, (\d+)\n$", errors[0]) if errors else None
    ctx.check(m is not None and 65535 < int(m.group(1)) <= 65535 + 16384,
              "refused as large with the bytes received so far: %r" % errors[:1])
    ctx.eq(errors[1:], ["Error: goto send_http failed, ret=-16\n"], "then the step's line")
    normal, endless = t.rusage(1).get("maxrss_kib", 0), t.rusage(2).get("maxrss_kib", 10 ** 9)
    print("FIGURES peak RSS: normal download %d KiB, endless step 2 answer %d KiB" % (normal, endless))
    ctx.check(endless <= normal + 4 * MIB, "peak memory %d KiB within 4 MiB of a normal run's %d KiB"
              % (endless, normal))
    check_small_cpu(ctx, t, 2, "endless answer")


def huge_answer_seconds(t, ch=2):
    """From the huge notification answer's arrival at the server to channel
    `ch`'s next modem command: the time esimctl took to read it."""
    asked = [r["time"] for r in t.smdp() if r["path"] == NOTIFY_PATH and r["fault"]]
    after = [r["time"] for r in t.modem(ch) if asked and r["time"] > asked[0]]
    return after[0] - asked[0] if after else -1


@scenario("bound.huge_notification_answer_is_read_and_dropped")
def bound_notification(ctx):
    # Channel 1's removal gets a plain answer; channel 2's gets 16 MB: thousands of times any
    # real notification answer, and read within a quarter of libcurl's 30 s also under
    # emulation on a busy machine (200 MB took 32.8 s there).
    g = ctx.gateway(channels="1,2") \
        .modem("*:--profile %s,enabled,DEMO-1" % ICCID) \
        .seed_record(port=1).seed_record(port=2) \
        .smdp("--fault handleNotification:status=200,stream=16000000,skip=1")
    t = measured_runs(g, ("-c", "1", "-i", ICCID, "-r"), ("-c", "2", "-i", ICCID, "-r")).run()
    ctx.eq((t.status(1), t.status(2)), (0, 0), "both removals")
    ctx.eq(t.stdout(2), "eSIM Remove Completed\n", "the removal whose server answered 16 MB")
    normal, huge = t.rusage(1).get("maxrss_kib", 0), t.rusage(2).get("maxrss_kib", 10 ** 9)
    print("FIGURES peak RSS: normal removal %d KiB, 16 MB notification answer %d KiB, read in %.2f s of libcurl's 30"
          % (normal, huge, huge_answer_seconds(t)))
    ctx.check(huge <= normal + 4 * MIB, "peak memory %d KiB within 4 MiB of a normal run's %d KiB" % (huge, normal))
    ctx.eq(t.db(), [], "both records forgotten")


@scenario("bound.huge_download_notification_answer")
def bound_download_notification(ctx):
    # Channel 1's download gets a plain notification answer; channel 2's gets 16 MB (as above).
    g = ctx.gateway(channels="1,2").smdp("--fault handleNotification:status=200,stream=16000000,skip=1")
    t = measured_runs(g, ("-c", "1", "-a", CODE), ("-c", "2", "-a", CODE)).run()
    ctx.eq((t.status(2), t.stdout(2)), (0, "eSim Download Completed, iccid: [%s]\n" % ICCID), "download")
    normal, huge = t.rusage(1).get("maxrss_kib", 0), t.rusage(2).get("maxrss_kib", 10 ** 9)
    print("FIGURES download's 16 MB notification answer read in %.2f s of libcurl's 30" % huge_answer_seconds(t))
    ctx.check(huge <= normal + 4 * MIB, "peak memory %d KiB within 4 MiB of a normal run's %d KiB" % (huge, normal))
    ctx.eq(sorted(t.db()), [(1, ICCID, HOST, NOTIFY_PATH), (2, ICCID, HOST, NOTIFY_PATH)], "database rows")


@scenario("target.modem_text_never_moves_a_request")
def target_moved(ctx):
    # A path that makes the host user information, a host with one, and a
    # channel past int: nothing reaches another server or any modem.
    g = ctx.gateway(channels="1,2").modem("1:--path-prefix @127.0.0.1:18443/x/")
    g.line("python3 -c 'import socket,sys; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1);"
           " s.bind((\"127.0.0.1\", 18443)); s.listen(8); s.settimeout(30)\n"
           "open(\"/tmp/listening\",\"w\").close()\n"
           "try:\n c,_=s.accept(); open(\"/sim/out/other_server\",\"w\").write(\"connected\")\n"
           "except socket.timeout: pass' & other=$!")
    g.line("until [ -e /tmp/listening ]; do sleep 0.05; done")
    g.esimctl("-c", "1", "-a", CODE)
    g.esimctl("-c", "2", "-a", "LPA:1$smdp.example@127.0.0.1$X")
    g.esimctl("-c", "4294967297", "-a", CODE)
    g.stderr_checked_by_scenario(3)
    g.line("kill $other 2>/dev/null; wait")
    t = g.run()
    ctx.eq((t.status(1), t.stdout(1)), (243, "Error: failed cause -13\n"), "a path that would move the request")
    ctx.has(t.log(download_log(1)), "Error: server path [@127.0.0.1:18443/x/initiateAuthentication] refused: it "
                                   "must be empty or begin with '/'\n")
    ctx.eq((t.status(2), t.stdout(2)), (243, "Error: failed cause -13\n"), "a host with user information")
    ctx.has(t.log(download_log(2)), "Error: server host [smdp.example@127.0.0.1] refused: only letters, digits, "
                                   "'-' and '.' may name it\n")
    ctx.eq(t.smdp(), [], "the profile server saw no request")
    ctx.eq(read(t.path("other_server")), "", "nothing connected to the other server")
    ctx.eq((t.status(3), read(t.path("cmd", "03", "stderr"))),
           (1, "/sim/bin/esimctl: refused -c: channel is not a decimal number within int\n"), "a channel past int")
    ctx.check(t.stdout(3).startswith("usage:"), "usage text for the refused channel")
    ctx.eq(len(t.modem(1)), 3 + 1, "channel 1 heard only its own run: preparation and download")
    ctx.eq([r for r in t.modem(2) if r["kind"] not in ("cfun_query", "qgmr", "eid", "download")], [],
           "channel 2 heard only its own run")


def tls_gateway(ctx, cert, checking=True, limit=None, gateway=None):
    """A gateway whose server holds the test PKI's `cert` (TLS limited by
    sim_smdp's --tls-limit `limit`), with the checking build of esimctl, whose
    CA file holds the test CA and the CI roots, or the default one."""
    pki = os.path.join(ctx.work, "pki")
    os.makedirs(pki, exist_ok=True)
    if subprocess.run(ctx.emulator.split() + [os.path.join(ctx.build, "tests", "test_pki"), pki]).returncode != 0:
        ctx.fail("test_pki could not make the certificates")
        raise Abort()
    g = (gateway or ctx.gateway()).smdp("--cert /sim/tls/%s.pem --key /sim/tls/%s.key" % (cert, cert))
    if limit:
        g.smdp("--tls-limit " + limit)
    g.options += ["--tls", pki]
    if checking:
        g.options += ["--esimctl", os.path.join(ctx.build, "tests", "esimctl_checking")]
    return g


@scenario("tls.checking_build_accepts_a_certificate_of_its_ca")
def tls_good(ctx):
    t = tls_gateway(ctx, "good").esimctl("-c", "1", "-a", CODE).run()
    check_download_ok(ctx, t)


def make_tls_refused(cert, what):
    def body(ctx):
        t = tls_gateway(ctx, cert).esimctl("-c", "1", "-a", CODE).run()
        ctx.eq((t.status(), t.stdout()), (243, "Error: failed cause -13\n"), "exit status and stdout")
        ctx.eq([m for m in t.log(download_log()) if m.startswith("Error")],
               ["Error: Http request failed. SSL peer certificate or SSH remote key was not OK\n",
                "Error: goto send_http failed, ret=-13\n"], "the run log")
        ctx.eq(t.smdp(), [], "no request reached the server")
    scenario("tls.checking_build_refuses_%s" % what)(body)


for _cert, _what in (("self-signed", "a_self_signed_certificate"), ("other-name", "a_certificate_for_another_name"),
                     ("expired", "an_expired_certificate")):
    make_tls_refused(_cert, _what)


# The profile server's certificate as the field has it, {RSA self-signed,
# P-256 CI-signed, brainpoolP256r1 CI-signed} x {TLS 1.3 allowed, TLS 1.2
# with the ECDHE-ECDSA suites only} x {default build, build with a CA file
# holding the CI roots}: every download completes, except that the CA file
# refuses the self-signed server. An RSA certificate has no ECDSA suite: its
# TLS 1.2 cells run with OpenSSL's suites.
TLS_MATRIX_CERTS = [
    # name, test PKI certificate, --tls-limit of the TLS 1.2 column, trusted by the CA file
    ("rsa_self_signed", "rsa-self-signed", "tls1.2", False),
    ("p256_ci", "tls-p256", "tls1.2-ecdsa", True),
    ("brainpool_ci", "tls-brainpool", "tls1.2-ecdsa", True),
]


def check_no_server_status(ctx, log):
    ctx.eq([m for m in log if m.startswith("Server status:")], [], "Server status entries after a success")


def make_tls_matrix_cell(cert_name, cert, limit, trusted, tls12, checking):
    def body(ctx):
        t = tls_gateway(ctx, cert, checking=checking, limit=limit if tls12 else None) \
            .esimctl("-c", "1", "-a", CODE).run()
        if checking and not trusted:
            ctx.eq((t.status(), t.stdout()), (243, "Error: failed cause -13\n"), "exit status and stdout")
            ctx.eq([m for m in t.log(download_log()) if m.startswith("Error")],
                   ["Error: Http request failed. SSL peer certificate or SSH remote key was not OK\n",
                    "Error: goto send_http failed, ret=-13\n"], "the run log")
            ctx.eq(t.smdp(), [], "no request reached the server")
            return
        check_download_ok(ctx, t)
        check_no_server_status(ctx, t.log(download_log()))
        ctx.eq(t.db(), [(1, ICCID, HOST, NOTIFY_PATH)], "database rows")
    scenario("tls.matrix.%s.%s.%s" % (cert_name, "tls12" if tls12 else "tls13",
                                      "ca_file" if checking else "default"))(body)


for _name, _cert, _limit, _trusted in TLS_MATRIX_CERTS:
    for _tls12 in (False, True):
        for _checking in (False, True):
            make_tls_matrix_cell(_name, _cert, _limit, _trusted, _tls12, _checking)


@scenario("tls.matrix.brainpool_ci.removal_notification")
def tls_brainpool_removal(ctx):
    t = tls_gateway(ctx, "tls-brainpool", checking=False, gateway=removal_gateway(ctx)) \
        .esimctl("-c", "1", "-i", ICCID, "-r").run()
    check_removal_ok(ctx, t, "No")
    check_notification_sent(ctx, t)


@scenario("fault.www_full")
def fault_www_full(ctx):
    g = removal_gateway(ctx, channels="1,2")
    g.line("mount -t tmpfs -o size=16k tmpfs /www && head -c 1M /dev/zero >/www/fill 2>/dev/null; true")
    measured_runs(g, ("-c", "2", "-a", CODE), ("-c", "1", "-i", ICCID, "-r"))
    g.stderr_checked_by_scenario(1, 2)
    t = g.run()
    ctx.eq((t.status(1), t.stdout(1)), (0, "eSim Download Completed, iccid: [%s]\n" % ICCID), "the download")
    ctx.eq((t.status(2), t.stdout(2)), (0, "eSIM Remove Completed\n"), "the removal")
    for n, log in ((1, "esim_add_2.txt"), (2, delete_log())):
        ctx.eq(read(t.path("cmd", "%02d" % n, "stderr")),
               "esimctl: run log /www/%s: No space left on device; later entries are lost\n" % log,
               "run %d says once that its log is lost" % n)
        check_small_cpu(ctx, t, n, "run %d" % n)
    ctx.eq(t.db(), [(2, ICCID, HOST, NOTIFY_PATH)], "the download's record saved, the removal's forgotten")


@scenario("fault.database_read_only")
def fault_db_read_only(ctx):
    g = removal_gateway(ctx, channels="1,2")
    g.line("mount -o remount,bind,ro /data/log")
    measured_runs(g, ("-c", "2", "-a", CODE), ("-c", "1", "-i", ICCID, "-r"))
    t = g.run()
    ctx.eq((t.status(1), t.stdout(1)), (0, "eSim Download Completed, iccid: [%s]\n" % ICCID),
           "a download completes")
    save = t.log("esim_add_2.txt")
    at = save.index("Error: goto save_http_info failed, ret=-24\n") if "Error: goto save_http_info failed, ret=-24\n" \
        in save else -2
    ctx.eq(save[at:at + 2], ["Error: goto save_http_info failed, ret=-24\n", "Error: record store: the database "
                             "client reported [attempt to write a readonly database]\n"], "the failure, then its cause")
    # The lookup only reads, so the removal goes ahead; forgetting fails.
    ctx.eq((t.status(2), t.stdout(2)), (0, "eSIM Remove Completed\n"), "the removal")
    ctx.has(t.log(delete_log()), "database failed [attempt to write a readonly database].\n")
    ctx.has(t.log(delete_log()), "Error: Get http info failed. ret=-10\n")
    ctx.eq(t.db(), [(1, ICCID, HOST, NOTIFY_PATH)], "no new row; the seeded one stays")


@scenario("fault.database_locked_past_the_busy_timeout", labels=("slow",), timeout=200)
def fault_db_locked(ctx):
    g = removal_gateway(ctx, channels="1,2")
    g.line("python3 -c 'import sqlite3,time; c=sqlite3.connect(\"/data/log/esimhttp.db\", isolation_level=None);"
           " c.execute(\"BEGIN EXCLUSIVE\"); open(\"/tmp/locked\",\"w\").close(); time.sleep(120)' & holder=$!")
    g.line("until [ -e /tmp/locked ]; do sleep 0.05; done")
    measured_runs(g, ("-c", "2", "-a", CODE), ("-c", "1", "-i", ICCID, "-r"))
    g.line("kill $holder; wait")
    t = g.run()
    ctx.eq((t.status(1), t.stdout(1)), (0, "eSim Download Completed, iccid: [%s]\n" % ICCID),
           "a download completes")
    ctx.has(t.log("esim_add_2.txt"), "Error: goto save_http_info failed, ret=-24\n")
    ctx.eq((t.status(2), t.stdout(2)), (255, "Error: failed cause -1\n"), "a removal stops at the lookup")
    ctx.has(t.log(delete_log()), "database failed [database is locked].\n")
    ctx.eq(t.db(), [(1, ICCID, HOST, NOTIFY_PATH)], "no partial row")
    for n in (1, 2):
        check_small_cpu(ctx, t, n, "run %d" % n)


@scenario("fault.modem_vanishes_mid_run")
def fault_modem_vanishes(ctx):
    # Channel 3's download runs as a session leader without a terminal, as a
    # service manager starts it: the modem's line must not become its
    # controlling terminal, whose hang-up would kill it.
    g = removal_gateway(ctx, channels="1-3").modem("2:--fault trans_last:hangup,skip=1") \
        .modem("1:--fault delete:hangup").modem("3:--fault trans_last:hangup,skip=1")
    measured_runs(g, ("-c", "2", "-a", CODE), ("-c", "1", "-i", ICCID, "-r"), ("--session", "-c", "3", "-a", CODE))
    t = g.run()
    ctx.eq((t.status(1), t.stdout(1)), (239, "Error: failed cause -17\n"), "download: step 2's answer never taken")
    ctx.eq((t.status(2), t.stdout(2)), (252, "Error: failed cause -4\n"), "removal: the delete never answered")
    ctx.eq((t.status(3), t.stdout(3)), (239, "Error: failed cause -17\n"), "download leading its own session")
    for n in (1, 2, 3):
        check_small_cpu(ctx, t, n, "run %d" % n)
        u = t.rusage(n)
        ctx.check(u.get("wall_s", 99) < 60 * FAST + 5, "run %d ends within its bounded waits (%.1f s)"
                  % (n, u.get("wall_s", 99)))
    ctx.eq(t.db(), [(1, ICCID, HOST, NOTIFY_PATH)], "no record saved; the removal's kept")


@scenario("fault.garbage_and_nul_bytes_in_replies")
def fault_garbage(ctx):
    g = removal_gateway(ctx, channels="1,2,3") \
        .modem("2:--fault cfun_query:garbage --fault eid:garbage --fault list:garbage --fault download:garbage") \
        .modem("3:--fault trans_last:garbage,skip=2") \
        .modem("1:--fault ntf_list:nul --fault delete:garbage")
    g.esimctl("-c", "2", "-a", CODE).esimctl("-c", "3", "-a", CODE).esimctl("-c", "1", "-i", ICCID, "-r")
    t = g.run()
    # High bytes beside the fields leave the readers' rules as they are: the
    # download completes. High bytes inside a status (up to its CR) make it
    # another status; a NUL ends a reply where it stands.
    ctx.eq((t.status(1), t.stdout(1)), (0, "eSim Download Completed, iccid: [%s]\n" % ICCID), "download")
    ctx.eq((t.status(2), t.stdout(2)), (236, "Error: failed cause -20\n"), "a download status with high bytes")
    ctx.check(any(m.startswith("Error: Failed to download, status: 0\ufffd") for m in t.log("esim_add_3.txt")),
              "the status as it came")
    ctx.eq(t.status(3), 251, "a notification list cut by a NUL before its lines")
    ctx.check(any(m.startswith("Recv AT 2: [\r\n+CFUN: 1\xff") or "\ufffd" in m for m in t.log("esim_add_2.txt")),
              "the high bytes reached the run log as they came")


@scenario("fault.sigterm_during_download_and_removal")
def fault_sigterm(ctx):
    g = removal_gateway(ctx, channels="1,2")
    # Each run is stopped once its modem has taken a given command.
    g.line("esimctl-run -c 2 -a '%s' >/dev/null 2>&1 & run=$!" % CODE)
    g.line("until [ \"$(grep -c trans_last $SIM_OUT/modem/chn_2.jsonl 2>/dev/null)\" -ge 2 ]; do sleep 0.02; done")
    g.line("pkill -TERM -f '^[^ ]*(/sim/bin/esimctl|qemu-[a-z0-9]+ .* /sim/bin/esimctl) '; wait $run")
    g.line("esimctl-run -c 1 -i %s -r >/dev/null 2>&1 & run=$!" % ICCID)
    g.line("until grep -q '\"kind\":\"delete\"' $SIM_OUT/modem/chn_1.jsonl 2>/dev/null; do sleep 0.02; done")
    g.line("pkill -TERM -f '^[^ ]*(/sim/bin/esimctl|qemu-[a-z0-9]+ .* /sim/bin/esimctl) '; wait $run")
    t = g.run()
    ctx.eq((t.status(1), t.stdout(1), t.status(2), t.stdout(2)), (143, "", 143, ""), "both ended by the signal")
    for n, ch, log in ((1, 2, "esim_add_2.txt"), (2, 1, delete_log())):
        text = read(t.path("www", log))
        ctx.check(text.endswith("\n"), "run %d's log ends with a whole entry" % n)
        sent = [m for m in log_messages(text) if m.startswith("Send AT %d: [" % ch)]
        got = [r["cmd"] for r in t.modem(ch)]
        ctx.eq([m[len("Send AT %d: [" % ch):-2] for m in sent], got[:len(sent)],
               "run %d's log holds every command it sent, in order" % n)
        ctx.check(len(got) - len(sent) <= 1, "run %d: at most the command in flight is missing from the log" % n)
    ctx.eq(t.db(), [(1, ICCID, HOST, NOTIFY_PATH)], "no record saved for the download that did not finish")


def rotation_rule(ctx):
    """The package's logrotate rule from the build, its paths moved to the
    gateway's /www (the build may be for another log folder)."""
    text = read(os.path.join(ctx.build, "package", "logrotate"))
    ctx.check(text, "the build made the logrotate rule (package/logrotate)")
    return re.sub(r"\S*/(esim_\w+_\*\.txt)", r"/www/\1", text)


def check_whole_download(ctx, messages, commands, what):
    """A download's log, whole: one run from its first entry to its completion,
    every command its modem got logged as sent, in order."""
    ctx.check(messages[:1] == ["=== eSIM Download Tool===\n"], "%s starts with the run's first entry" % what)
    ctx.eq(messages.count("=== eSIM Download Tool===\n"), 1, "%s: runs in it" % what)
    ctx.check(messages and messages[-1].startswith("eSim Download Completed, iccid: ["),
              "%s ends with the completion, seen %r" % (what, [m[:80] for m in messages[-1:]]))
    sent = [m[len("Send AT 1: ["):-2] for m in messages if m.startswith("Send AT 1: [")]
    same = [a == b for a, b in zip(sent, commands)] + [False]
    ctx.check(sent == commands, "%s: %d commands logged as sent of the %d its modem got; the first %d alike"
              % (what, len(sent), len(commands), same.index(False)))


@scenario("fault.run_logs_rotated_while_downloads_append")
def fault_logs_rotated(ctx):
    ctx.check(os.access("/usr/sbin/logrotate", os.X_OK), "logrotate is installed (./run installs it)")
    g = ctx.gateway()
    g.line("cat >/tmp/esimctl.logrotate <<'RULE'\n%sRULE" % rotation_rule(ctx))
    g.line("rotate() { /usr/sbin/logrotate -f -s /tmp/logrotate.state /tmp/esimctl.logrotate "
           ">>$SIM_OUT/logrotate.out 2>&1; echo $? >>$SIM_OUT/logrotate.status; }")
    # Each download is rotated under it once its modem has taken step 1's
    # last chunk: most of its log, the profile package, is still to come.
    for n, chunks in ((1, 1), (2, 4)):
        g.line("esimctl-run -c 1 -a '%s' >/dev/null 2>&1 & run=$!" % CODE)
        g.line("until [ \"$(grep -c trans_last $SIM_OUT/modem/chn_1.jsonl 2>/dev/null)\" -ge %d ]; do sleep 0.02;"
               " done" % chunks)
        g.line("rotate; stat -c %%s /www/esim_add_1.txt.1 >$SIM_OUT/rotated_%d; wait $run" % n)
    g.line("ls /www >$SIM_OUT/www_files")
    t = g.run()
    ctx.eq(read(t.path("logrotate.status")), "0\n0\n", "logrotate's exit statuses")
    ctx.eq(read(t.path("logrotate.out")), "", "logrotate's output")
    ctx.eq((t.status(1), t.status(2)), (0, 0), "both downloads")
    # The first rotation renamed the first run's log; the second renamed the
    # second's and compressed the first's, which nothing writes any more.
    # Each run went on writing to the file it had opened, so no log is left
    # under its own name.
    ctx.eq(read(t.path("www_files")).split(), ["esim_add_1.txt.1", "esim_add_1.txt.2.gz"], "files in /www")
    try:
        with gzip.open(t.path("www", "esim_add_1.txt.2.gz")) as f:
            first = f.read()
    except OSError as e:
        ctx.fail("esim_add_1.txt.2.gz: %s" % e)
        first = b""
    try:
        with open(t.path("www", "esim_add_1.txt.1"), "rb") as f:
            second = f.read()
    except OSError as e:
        ctx.fail("esim_add_1.txt.1: %s" % e)
        second = b""
    first_messages = log_messages(first.decode("utf-8", "replace"))
    commands = [r["cmd"] for r in t.modem()]
    split = len([m for m in first_messages if m.startswith("Send AT 1: [")])
    for n, data, cmds in ((1, first, commands[:split]), (2, second, commands[split:])):
        check_whole_download(ctx, log_messages(data.decode("utf-8", "replace")), cmds, "run %d's rotated log" % n)
        at_rotation = int(read(t.path("rotated_%d" % n), "0").strip() or 0)
        ctx.check(0 < at_rotation < len(data), "run %d appended to its log after the rotation (%d bytes then, %d at"
                  " the end)" % (n, at_rotation, len(data)))
    ctx.check(split and len(commands) - split == split, "the two runs sent as many commands (%d of %d)"
              % (split, len(commands)))


# ------------------------------------------------------------ a person at a terminal ----
def on_terminal(g, *args):
    """esimctl with its standard error on a pty (measure_run.py --terminal)."""
    return measured_runs(g, ("--terminal",) + args)


def progress_lines(text):
    """The states the progress line went through: each redraw starts with a
    carriage return and an erase to the end of the line."""
    # The terminal's line discipline turns the final line end into CR LF.
    return [part for part in text.replace("\r\n", "\n").split("\r\x1b[K") if part]


def stages_shown(ctx, lines, channel):
    """The stages in the order they first appeared, checking the form of each line."""
    stages = []
    for line in lines:
        m = re.match(r"esimctl chan %d  \d+:\d\d  (.*?)(?:  waiting for .*)?\n?$" % channel, line, re.S)
        if not m:
            ctx.fail("a progress line of another form: %r" % line)
            continue
        if not stages or stages[-1] != m.group(1):
            stages.append(m.group(1))
    return stages


DOWNLOAD_STAGES = ["radio preparation", "download command", "Step 1: initiateAuthentication",
                   "Step 2: authenticateClient", "Step 3: getBoundProfilePackage", "Step 4: notify",
                   "profile list", "saving the record", "radio back to full function", "done"]


@scenario("terminal.download_shows_its_progress")
def terminal_download(ctx):
    t = on_terminal(ctx.gateway(), "-c", "1", "-a", CODE).run()
    check_download_ok(ctx, t)
    lines = progress_lines(read(t.path("cmd", "01", "terminal")))
    ctx.eq(stages_shown(ctx, lines, 1), DOWNLOAD_STAGES, "stages on the terminal")
    ctx.check(lines and lines[-1].endswith("done\n"), "the line is finished with the outcome: %r"
              % (lines[-1:],))
    ctx.check(all(not l.endswith("\n") for l in lines[:-1]), "one line, redrawn in place")
    waits = " ".join(lines)
    for what in ("waiting for the modem's reply to AT+QESIM=\"download\",1,\"LPA:1$smd...",
                 "waiting for the profile server's answer", "waiting for the modem's reply to AT+CFUN?"):
        ctx.check(what in waits, "the line shows %r" % what)
    ctx.check(re.search(r"waiting for the modem's reply to AT\+QESIM=\"trans\",[^ ]*\.\.\. \(\d+/43 s\)",
                        waits) is not None, "the last chunk of step 3 shows its bound: 28 s and 15 s of polls")
    # The run log and the modem traffic are those of a run without a terminal.
    ctx.eq(t.tokens(), DOWNLOAD_OK, "modem commands")
    ctx.eq(whole_seconds(t.sleeps()), [3000000, 15000000, 15000000, 28000000, 6000000], "whole-second waits")


@scenario("terminal.removal_and_failure_finish_the_line")
def terminal_removal(ctx):
    g = removal_gateway(ctx, "--delete-notifications 2")
    on_terminal(g, "-c", "1", "-i", ICCID, "-r", "-d")
    on_terminal(g, "-c", "2", "-a", CODE)  # no modem on channel 2
    t = g.run()
    check_removal_ok(ctx, t, "Yes")
    lines = progress_lines(read(t.path("cmd", "01", "terminal")))
    ctx.eq(stages_shown(ctx, lines, 1),
           ["radio off", "record lookup", "disabling the profile", "deleting the profile", "notification list",
            "notification fetch", "notification to the server", "notification delete", "clean-up pass 1",
            "clean-up pass 2", "forgetting the record", "radio back to full function", "done"],
           "stages on the terminal")
    failed = progress_lines(read(t.path("cmd", "02", "terminal")))
    ctx.check(failed and re.match(r"esimctl chan 2  0:\d\d  failed \(result -11, see /www/esim_add_2.txt\)\n$",
                                  failed[-1]), "the last state of a failed run: %r" % failed[-1:])
    ctx.eq((t.status(2), t.stdout(2)), (245, "Error: failed cause -11\n"), "the failure on stdout alone")


@scenario("terminal.nothing_on_a_pipe")
def terminal_pipe(ctx):
    # Standard error on a pipe, as a calling program has it: nothing appears.
    t = ctx.gateway().line(
        "{ ESIMCTL_TIME_FACTOR=$SIM_TIME_FACTOR /sim/bin/esimctl-exec -c 1 -a '%s' "
        "2>&1 >$SIM_OUT/piped_stdout; echo $? >$SIM_OUT/piped_status; } | cat >$SIM_OUT/piped_stderr" % CODE).run()
    ctx.eq(read(t.path("piped_stderr")), "", "standard error on a pipe")
    ctx.eq(read(t.path("piped_stdout")), "eSim Download Completed, iccid: [%s]\n" % ICCID, "stdout")
    ctx.eq(read(t.path("piped_status")), "0\n", "exit status")


# ------------------------------------------------------------ esimctl-info ----
INFO_READS = ["AT+CFUN?", "AT+QGMR", 'AT+QESIM="eid"', 'AT+QESIM="list"', 'AT+QESIM="ntf_list",0']
INFO_MEMBERS = ["channel", "device", "functionality", "firmware", "eid", "profiles", "notifications",
                "records", "last", "findings", "errors"]
LAST_MEMBERS = ["operation", "iccid", "started", "result", "failure", "server_status", "cause"]
STARTED = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
def sim_eid(ch):
    """Each simulated modem's own EID: its channel in digits 27-30."""
    return "89049032000001000000000000%04d07" % ch


USAGE = "usage: /sim/bin/esimctl-info -c <channel|all> [--table|--json] [--long]"
SIM_FIRMWARE = "SIMMODEM01R02A03_01.002.01.002"


def info(g, *args):
    return g.line("esimctl-info-run %s >/dev/null 2>&1" % " ".join(shlex.quote(a) for a in args))


def check_info_object(ctx, obj, ch):
    ctx.eq(list(obj), INFO_MEMBERS, "members of channel %d's object" % ch)
    ctx.eq((obj.get("channel"), obj.get("device")), (ch, "/dev/zarn/chn_usb/%d" % ch), "channel and device")


def info_commands(ctx, commands, what="modem commands of esimctl-info"):
    ctx.eq(commands, INFO_READS, what)


def kinds(obj):
    return [(f["kind"], f["iccid"]) for f in obj.get("findings", [])]


def check_last(ctx, obj, operation, iccid, result, failure, server_status, what, cause=None):
    """The object's last run; `failure` is a test on the text (or None)."""
    last = obj.get("last") or {}
    ctx.eq(list(last), LAST_MEMBERS, "%s: members of last" % what)
    ctx.check(STARTED.match(last.get("started") or ""), "%s: started as the log writes it: %r"
              % (what, last.get("started")))
    ctx.eq((last.get("operation"), last.get("iccid"), last.get("result"), last.get("server_status"),
            last.get("cause")), (operation, iccid, result, server_status, cause),
           "%s: operation, iccid, result, server status, cause" % what)
    seen = last.get("failure")
    ctx.check(seen is None if failure is None else seen is not None and failure(seen),
              "%s: failure %r" % (what, seen))


@scenario("info.after_download_names_the_profile_and_its_record")
def info_after_download(ctx):
    g = ctx.gateway().esimctl("-c", "1", "-a", CODE)
    info(g, "-c", "1", "--json")
    t = g.run()
    ctx.eq(t.status(), 0, "download status")
    objs, status = t.info()
    ctx.eq((status, len(objs)), (0, 1), "esimctl-info status and objects")
    if not objs:
        return
    obj = objs[0]
    check_info_object(ctx, obj, 1)
    ctx.eq((obj["functionality"], obj["firmware"], obj["eid"]), (1, SIM_FIRMWARE, sim_eid(1)), "level, firmware, EID")
    ctx.eq([p["iccid"] for p in obj["profiles"]], [ICCID], "profiles")
    ctx.check(all(p["line"].startswith('+QESIM: ') and p["iccid"] in p["line"] for p in obj["profiles"]),
              "each profile carries the line it came from: %r" % obj["profiles"])
    ctx.eq([(r["iccid"], r["host"], r["path"]) for r in obj["records"]], [(ICCID, HOST, NOTIFY_PATH)],
           "records")
    ctx.check(all(re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$", r["saved"]) for r in obj["records"]),
              "each record's save time")
    ctx.eq((obj["notifications"], obj["findings"], obj["errors"]), ([], [], []), "no notification, finding, error")
    check_last(ctx, obj, "download", None, 0, None, None, "after a download")
    ctx.eq(t.tokens(), DOWNLOAD_OK + ["cfun_query", "qgmr", "eid", "list", 'AT+QESIM="ntf_list",0'],
           "the modem heard the download, then the five reads")
    info_commands(ctx, t.commands()[len(t.commands()) - 5:])
    ctx.eq(t.db(), [(1, ICCID, HOST, NOTIFY_PATH)], "database rows")


@scenario("info.download_failed_at_notification_then_its_statement_lets_removal_go_ahead")
def info_fixes_22(ctx):
    g = ctx.gateway().smdp("--fault handleNotification:status=500,times=1").esimctl("-c", "1", "-a", CODE)
    info(g, "-c", "1", "--json")
    # What the operator does with the finding: fill in host and path, run it.
    g.line("""python3 - <<'PY' >$SIM_OUT/fix.out 2>&1
import json, subprocess
obj = json.loads(open("/sim/out/info/01/stdout").readline())
found = [f for f in obj["findings"] if f["kind"] == "profile-without-record"]
statement = found[0]["detail"].split("then remove it: ", 1)[1]
statement = statement.replace("<server host>", "%s").replace("<notification path>", "%s")
print(statement)
subprocess.run(["bash", "-c", statement], check=True)
PY""" % (HOST, NOTIFY_PATH))
    g.esimctl("-c", "1", "-i", ICCID, "-r")
    info(g, "-c", "1")
    t = g.run()
    ctx.eq((t.status(1), t.stdout(1)), (234, "Error: failed cause -22\n"), "the download stopped at -22")
    objs, status = t.info(1)
    ctx.eq(status, 0, "esimctl-info status")
    obj = objs[0] if objs else {}
    ctx.eq(kinds(obj), [("profile-without-record", ICCID)], "findings after -22")
    ctx.eq(obj.get("records"), [], "no record")
    detail = obj["findings"][0]["detail"] if obj.get("findings") else ""
    # The host and path the run notified, from its log.
    ctx.check('/my_tools/dbshell /data/log/esimhttp.db "INSERT INTO esim_http (port, iccid, http_ip, http_path, '
              'save_time) VALUES (1, \\"%s\\", \\"%s\\", \\"%s\\", \\"' % (ICCID, HOST, NOTIFY_PATH) in detail,
              "the detail gives the statement: %r" % detail)
    ctx.eq((t.status(2), t.stdout(2)), (0, "eSIM Remove Completed\n"), "the removal after the statement")
    ctx.eq(t.functions(), FUNCTIONS + ["handleNotification"], "the removal notified the server")
    after, status = t.info(2)
    ctx.eq((status, [kinds(o) for o in after], [o["profiles"] for o in after]), (0, [[]], [[]]), "nothing left")
    ctx.eq(t.db(), [], "database rows")


@scenario("info.last_run_refused_by_the_server_or_killed")
def info_last_run(ctx):
    # Channel 1: the server refuses the download at authenticateClient.
    # Channel 2: the download is killed (a power cut of the tool) mid-way.
    # Channel 3: no run at all. Channel 4: killed once the modem has taken
    # step 3's last trans command, which installs the profile: it never
    # reached "=== Step 4: notify ===".
    g = ctx.gateway(channels="1-4").smdp(
        "--fault authenticateClient:failed,subject=8.2.6,reason=3.8,message=Refused,times=1")
    g.esimctl("-c", "1", "-a", CODE)
    for ch, last_trans in ((2, 1), (4, 3)):
        g.line("esimctl-run -c %d -a '%s' >/dev/null 2>&1 & run=$!" % (ch, CODE))
        g.line("until [ \"$(grep -c trans_last $SIM_OUT/modem/chn_%d.jsonl 2>/dev/null)\" -ge %d ]; do sleep 0.02; done"
               % (ch, last_trans))
        g.line("pkill -KILL -f '^[^ ]*(/sim/bin/esimctl|qemu-[a-z0-9]+ .* /sim/bin/esimctl) '; wait $run")
    info(g, "-c", "all")
    t = g.run()
    stopped = t.status(1)
    ctx.check(stopped is not None and stopped > 1, "the refused download failed: %r" % stopped)
    ctx.eq(t.status(2), 128 + 9, "the download killed")
    objs, status = t.info()
    ctx.eq([o["channel"] for o in objs], [1, 2, 3, 4], "objects")
    if len(objs) != 4:
        return
    code = (stopped or 0) - 256
    ctx.eq(t.stdout(1), "Error: failed cause %d\n" % code, "the refused run's outcome")
    check_last(ctx, objs[0], "download", None, code,
               lambda f: f.startswith("Error") and f.endswith("ret=%d" % code),
               "Server status: Failed, subject 8.2.6, reason 3.8: Refused", "refused",
               cause="Server status: Failed, subject 8.2.6, reason 3.8: Refused")
    check_last(ctx, objs[1], "download", None, None, None, None, "killed")
    ctx.eq(objs[2].get("last"), None, "a channel without a run log")
    # The path that works (esimctl(1), 236) and the run's own time, from its log.
    killed = read(t.path("www", "esim_add_4.txt"))
    ended = re.findall(r"^\[([-0-9]+ [:0-9]+)\]", killed, re.M)[-1:]
    ctx.eq((kinds(objs[3]), "=== Step 4" in killed), ([("profile-without-record", ICCID)], False), "killed in step 3")
    detail = (objs[3].get("findings") or [{}])[0].get("detail", "")
    ctx.check(ended and detail.endswith('VALUES (4, \\"%s\\", \\"%s\\", \\"%s\\", \\"%s\\")"'
                                     % (ICCID, HOST, NOTIFY_PATH, ended[0])), "its statement: %r" % detail)


@scenario("info.early_removal_failure_leaves_the_radio_off")
def info_radio_off(ctx):
    g = removal_gateway(ctx, seed=False).esimctl("-c", "1", "-i", ICCID, "-r")
    info(g, "-c", "1", "--json")
    t = g.run()
    ctx.eq((t.status(), t.stdout()), (255, "Error: failed cause -1\n"), "the removal stopped at -1")
    objs, status = t.info()
    ctx.eq(status, 0, "esimctl-info status")
    obj = objs[0] if objs else {}
    ctx.eq(obj.get("functionality"), 4, "functionality level")
    ctx.eq(kinds(obj), [("radio-off", None), ("profile-without-record", ICCID),
                        ("profile-without-record", "89883000000000000018")], "findings")
    info_commands(ctx, t.commands()[1:])


@scenario("info.pending_notifications_and_a_stray_record")
def info_pending(ctx):
    g = ctx.gateway().modem("1:--profile %s,enabled,A --notification %s,delete,%s "
                            "--notification %s,delete,%s --notification 89883000000000000018,disable,"
                            % (ICCID, ICCID, HOST, ICCID, HOST)) \
        .seed_record().seed_record(iccid="89883000000000000099")
    info(g, "-c", "1")
    t = g.run()
    objs, status = t.info()
    obj = objs[0] if objs else {}
    ctx.eq(status, 0, "esimctl-info status")
    ctx.eq([(n["seq"], n["iccid"]) for n in obj.get("notifications", [])],
           [("1", ICCID), ("2", ICCID), ("3", "89883000000000000018")], "notifications")
    ctx.check(all(n["line"].startswith('+QESIM: "ntf",') for n in obj.get("notifications", [])), "their lines")
    ctx.eq(kinds(obj), [("record-without-profile", "89883000000000000099"), ("notifications-pending", ICCID),
                        ("notifications-pending", "89883000000000000018")], "findings")
    pending = [f["detail"] for f in obj.get("findings", []) if f["kind"] == "notifications-pending"]
    ctx.check(pending and "2 notifications" in pending[0] and "1, 2" in pending[0], "the detail counts: %r" % pending)
    info_commands(ctx, t.commands())
    ctx.eq(sorted(t.db()), [(1, ICCID, HOST, NOTIFY_PATH), (1, "89883000000000000099", HOST, NOTIFY_PATH)],
           "database rows untouched")


def once_device_open(pattern, ch, then=":"):
    """A line of the gateway's script that waits (up to 20 s) until a process
    whose command line matches `pattern` has channel `ch`'s device open, and
    so holds its lock, then runs `then` with that process in $p."""
    return ("dev=$(readlink -f /dev/zarn/chn_usb/%d); for i in $(seq 2000); do "
            "for p in $(pgrep -f %s); do "
            "if readlink /proc/$p/fd/* 2>/dev/null | grep -qx \"$dev\"; then %s; break 2; fi; done; "
            "sleep 0.01; done" % (ch, shlex.quote(pattern), then))


@scenario("info.busy_channel_either_way")
def info_busy(ctx):
    # esimctl holds the channel: esimctl-info reports it busy and sends
    # nothing. The download has at least 3 s of waits left once it holds it.
    g = ctx.gateway().modem("1:--fault cfun_query:delay=120000,skip=1,times=1")
    g.line("esimctl-run -c 1 -a '%s' >/dev/null 2>&1 &" % CODE)
    g.line(once_device_open("/sim/bin/esimctl", 1))
    info(g, "-c", "1")
    g.line("wait")
    g.line("cp $SIM_OUT/modem/chn_1.jsonl $SIM_OUT/after_download.jsonl")
    # esimctl-info holds the channel: esimctl is refused. The modem is slow to
    # answer the look's AT+CFUN? (6 s), which the look, at half the real
    # pace, waits 32 s for; esimctl's own wait for the channel (60 s) is
    # shortened to 0.3 s.
    g.line('ESIMCTL_TIME_FACTOR=2 /sim/bin/esimctl-info-exec -c 1 >$SIM_OUT/slow_info 2>&1 &')
    g.line(once_device_open("esimctl-info", 1))
    g.line("SIM_TIME_FACTOR=0.005 esimctl-run -c 1 -a '%s' >/dev/null 2>&1" % CODE)
    g.line("wait")
    t = g.run()
    objs, status = t.info()
    ctx.eq((status, [o["errors"] for o in objs]), (2, [["busy: another run holds the channel"]]), "busy")
    ctx.eq(t.status(1), 0, "the download that held the channel")
    # Nothing of the busy read or of the refused download reached the modem.
    ctx.eq(t.tokens(), DOWNLOAD_OK + ["cfun_query", "qgmr", "eid", "list", 'AT+QESIM="ntf_list",0'],
           "the modem heard the download, then the slow read")
    ctx.eq(t.commands()[-5:], INFO_READS, "the slow read's commands")
    ctx.eq((t.status(2), t.stdout(2)), (245, "Error: failed cause -11\n"), "esimctl refused while info holds it")
    ctx.check(any("is in use by another esimctl run" in m for m in t.log(download_log())), "the lock refusal logged")
    slow = [json.loads(l) for l in read(t.path("slow_info")).splitlines() if l.startswith("{")]
    ctx.eq([o["errors"] for o in slow], [[]], "the slow read answered")


# A run that finds its channel held waits for it (60 s) before it gives up
# as before. Each first run holds the channel for a quarter of that wait or
# less, or for four times it or more.
LOCK_WAITS = {
    # The look ends before the wait does (15 s at this gateway's pace), even
    # on a modem slow to answer it (3 s, within the look's 16 s at real
    # pace): the download goes ahead.
    "look_at_the_start_of_a_download_costs_it_nothing":
        (0.25, "ESIMCTL_TIME_FACTOR=1 /sim/bin/esimctl-info-exec -c 1 >$SIM_OUT/look 2>&1 &", "esimctl-info", 0,
         "1:--fault cfun_query:delay=12000,times=1"),
    # The first download holds the channel (about 17 s) past the second's
    # wait (3 s).
    "second_download_waits_then_fails_as_before":
        (FAST, "ESIMCTL_TIME_FACTOR=0.25 esimctl-exec -c 1 -a '%s' >$SIM_OUT/first 2>&1 &" % CODE,
         "/sim/bin/esimctl", 245, None),
}


def lock_wait_case(factor, first, holder, status, modem):
    def body(ctx):
        g = ctx.gateway(factor=factor)
        if modem:
            g.modem(modem)
        g.line(first)
        g.line(once_device_open(holder, 1))
        g.esimctl("-c", "1", "-a", CODE)
        g.line("wait")
        t = g.run()
        messages = t.log(download_log())
        ctx.check(any("is held by another run: waiting up to 60 s for it" in m for m in messages),
                  "the wait logged")
        ctx.eq(t.status(1), status, "the run that waited")
        if status == 0:
            check_download_ok(ctx, t)
            look = [json.loads(l) for l in read(t.path("look")).splitlines() if l.startswith("{")]
            ctx.eq([o["errors"] for o in look], [[]], "the look answered")
        else:
            ctx.eq(t.stdout(1), "Error: failed cause -11\n", "outcome after the wait")
            ctx.check(any("is in use by another esimctl run" in m for m in messages), "the refusal logged")
            # One wait a run: 60 s in 0.5 s pauses, then the later exchanges fail at once.
            ctx.check(t.sleeps(1).count(("usleep", 500000)) >= 120, "the wait's 120 pauses")
    return body


for _name, _case in LOCK_WAITS.items():
    scenario("lock_wait.%s" % _name)(lock_wait_case(*_case))


@scenario("info.missing_device_and_a_modem_that_does_not_answer_the_list")
def info_failures(ctx):
    g = ctx.gateway(channels="1,3").modem("3:--fault list:silent")
    info(g, "-c", "5")
    info(g, "-c", "3")
    info(g, "-c", "all")
    info(g, "-c", "33")
    info(g, "-h")
    t = g.run()
    objs, status = t.info(1)
    ctx.eq((status, [o["errors"] for o in objs]), (2, [["the channel's device is missing"]]), "missing device")
    objs, status = t.info(2)
    ctx.eq(status, 3, "a query failed")
    obj = objs[0] if objs else {}
    check_info_object(ctx, obj, 3)
    ctx.eq(obj.get("errors"), ['AT+QESIM="list": no reply'], "errors")
    ctx.eq((obj.get("functionality"), obj.get("eid"), obj.get("profiles")), (1, sim_eid(3), []), "the partial object")
    ctx.eq(kinds(obj), [], "no comparison without the list")
    objs, status = t.info(3)
    ctx.eq(([o["channel"] for o in objs], status), ([1, 3], 3), "-c all: the channels with a device, highest status")
    usage = read(t.path("info", "04", "stdout"))
    ctx.eq((t.info(4)[1], usage.splitlines()[0] if usage else ""),
           (1, USAGE), "a channel outside 1-32")
    usage = read(t.path("info", "05", "stdout"))
    ctx.eq((t.info(5)[1], usage.splitlines()[0] if usage else ""),
           (0, USAGE), "-h asks for the usage")
    info_commands(ctx, t.commands(1), "modem commands of channel 1")
    ctx.eq(t.commands(3), INFO_READS * 2, "modem commands of channel 3, read twice")


@scenario("info.table_on_a_pipe_one_line_per_channel_and_both_forms_refused")
def info_table(ctx):
    # Channel 1 downloads; channel 2 keeps a record whose profile is gone.
    g = ctx.gateway(channels="1,2").seed_record(port=2).esimctl("-c", "1", "-a", CODE)
    for args in (["-c", "all", "--table"], ["-c", "all", "--table", "--long"], ["-c", "1", "--table", "--json"],
                 ["--version"]):
        info(g, *args)
    t = g.run()
    out = [read(t.path("info", "%02d" % n, "stdout")) for n in range(1, 5)]
    lines = out[0].splitlines()
    ctx.eq(lines[:1], ["channel  state     profiles  findings  last run"], "the summary's head")
    ctx.check(len(lines) > 2 and re.match(r"^ +1  ok +1 +0  download, result 0, started [-0-9]+ [:0-9]+$", lines[1])
              and re.match(r"^ +2  ok +0 +1  none$", lines[2]), "one line per channel: %r" % lines[:3])
    ctx.check("\nchannel 2  /dev/zarn/chn_usb/2\n" in out[0] and "\nchannel 1  " not in out[0],
              "details only for the channel with findings:\n%s" % out[0])
    ctx.check("\nchannel 1  " in out[1] and "\nchannel 2  " in out[1], "--long: every channel's details")
    ctx.eq((t.info(1)[1], t.info(2)[1], t.info(3)[1]), (0, 0, 1), "statuses")
    ctx.eq((out[2].splitlines()[:1], read(t.path("info", "03", "stderr"))),
           ([USAGE], "/sim/bin/esimctl-info: refused --table with --json: choose one\n"), "both forms refused")
    version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", read(os.path.join(ctx.build, "CMakeCache.txt")), re.M)
    ctx.eq((t.info(4)[1], out[3]), (0, "esimctl-info %s\n" % (version.group(1) if version else "?")), "--version")
    # The download's preparation sends AT+QGMR once, each look once more.
    ctx.eq((t.commands(1).count("AT+QGMR"), t.commands(2)), (3, INFO_READS * 2), "the refused look sent nothing")


@scenario("info.failed_list_garbled_firmware_and_many_records")
def info_untrusted_text(ctx):
    # Channel 1: the list fails with ERROR, which names no profile: that is
    # an error, not an eUICC without profiles, and its record is not offered
    # for deletion. Channel 2: 8-bit garbage around the firmware line
    # and twenty records. Channel 3: an escape sequence in the firmware line.
    many = ["898824700000000010%02d" % i for i in range(20)]
    g = ctx.gateway(channels="1-3") \
        .modem("1:--profile %s,enabled,A --fault list:error" % ICCID).seed_record() \
        .modem("2:--fault qgmr:garbage") \
        .modem("3:--firmware FW\x1b]0;owned\x07X")
    for iccid in many:
        g.seed_record(port=2, iccid=iccid)
    g.seed_record(port=2, iccid="8988$(id)")  # a record edited by hand
    info(g, "-c", "all")
    t = g.run()
    raw = open(t.path("info", "01", "stdout"), "rb").read()
    try:
        objs = [json.loads(l) for l in raw.decode("utf-8").splitlines()]
    except (UnicodeDecodeError, ValueError) as e:
        ctx.fail("stdout is not one valid UTF-8 JSON object per line: %s" % e)
        return
    ctx.eq(([o["channel"] for o in objs], t.info()[1]), ([1, 2, 3], 3), "objects and the highest status")
    one, two, three = (objs + [{}, {}, {}])[:3]
    ctx.eq((one.get("errors"), one.get("profiles"), kinds(one)),
           (['AT+QESIM="list": the modem answered with an error'], [], []),
           "a failed list: an error, no profiles, no comparison")
    ctx.eq((two.get("errors"), len(two.get("records", [])), len(kinds(two))), ([], 21, 21),
           "twenty-one records read, each without its profile")
    odd = [f["detail"] for f in two.get("findings", []) if f["iccid"] == "8988$(id)"]
    ctx.check(len(odd) == 1 and "DELETE" not in odd[0] and "by hand" in odd[0],
              "no statement to copy for an ICCID that is not digits: %r" % odd)
    ctx.check(two.get("firmware") is not None and "\ufffd" in two["firmware"],
              "bytes that are not UTF-8 stand as U+FFFD: %r" % two.get("firmware"))
    ctx.eq(three.get("firmware"), "FW\x1b]0;owned\x07X", "control bytes escaped by JSON, kept")
    ctx.eq(sorted(t.db()), sorted([(1, ICCID, HOST, NOTIFY_PATH)] +
                                  [(2, i, HOST, NOTIFY_PATH) for i in many + ["8988$(id)"]]),
           "database rows untouched")


# Reply shapes of other modems, each within what esimctl relies on: esimctl-info
# reads them as esimctl does. A record whose notification is pending is never
# offered for forgetting; the removal with -n it advises then completes.
PROFILE = "--profile %s,enabled,A " % ICCID
ECHOED = ["%s: command echo is on" % c for c in INFO_READS]
PENDING = [("record-without-profile", ICCID), ("notifications-pending", ICCID)]
INFO_SHAPES = [
    # name, modem options, numbers client, status, {member: value}, findings, removal -n after
    ("list_with_a_count", PROFILE + "--list-head count", False, 0, {"profiles": [ICCID]}, [], False),
    ("list_with_nothing_after_its_keyword", PROFILE + "--list-head bare", False, 0,
     {"profiles": [ICCID]}, [], False),
    ("list_answered_error", PROFILE + "--fault list:error", False, 3,
     {"profiles": [], "errors": ['AT+QESIM="list": the modem answered with an error']}, [], False),
    ("notification_iccid_unquoted", "--notification %s,delete,%s --ntf-line unquoted" % (ICCID, HOST), False, 0,
     {"profiles": [], "notifications": [("1", ICCID)]}, PENDING, True),
    ("notification_seq_last", "--notification %s,delete,%s --ntf-line seq-last" % (ICCID, HOST), False, 0,
     {"profiles": [], "notifications": [("1", ICCID)]}, PENDING, True),
    ("eid_unquoted", PROFILE + "--eid-unquoted", False, 0, {"eid": sim_eid(1)}, [], False),
    ("eid_unquoted_then_unsolicited_line", PROFILE + "--eid-unquoted --fault eid:urc_after", False, 0,
     {"eid": sim_eid(1)}, [], False),
    ("firmware_answered_error", PROFILE + "--fault qgmr:error", False, 0,
     {"firmware": None, "errors": []}, [], False),
    ("echo_on", PROFILE + "--echo", False, 3,
     {"functionality": None, "eid": None, "profiles": [], "errors": ECHOED}, [], False),
    ("client_prints_numbers", PROFILE, True, 0,
     {"records": [(ICCID, HOST, NOTIFY_PATH, "1796616978")]}, [], False),
]


def make_info_shape(row):
    name, modem, numbers, status, members, findings, removal = row

    def body(ctx):
        g = ctx.gateway().modem("1:" + modem)
        g.seed("INSERT INTO esim_http VALUES (1, '%s', '%s', '%s', '%s')"
               % (ICCID, HOST, NOTIFY_PATH, "1796616978" if numbers else "2026-12-07 03:00:00"))
        if numbers:
            g.logging_db(numbers=True)
        info(g, "-c", "1", "--json")
        if removal:
            g.esimctl("-c", "1", "-i", ICCID, "-r", "-n")
            info(g, "-c", "1", "--json")
        t = g.run()
        objs, got = t.info()
        ctx.eq((got, len(objs)), (status, 1), "esimctl-info status and objects")
        obj = objs[0] if objs else {}
        shown = {"profiles": [p["iccid"] for p in obj.get("profiles", [])],
                 "notifications": [(n["seq"], n["iccid"]) for n in obj.get("notifications", [])],
                 "records": [(r["iccid"], r["host"], r["path"], r["saved"]) for r in obj.get("records", [])]}
        for member, value in sorted(members.items()):
            ctx.eq(shown.get(member, obj.get(member)), value, member)
        if "errors" not in members:
            ctx.eq(obj.get("errors"), [], "errors")
        if "firmware" not in members and "functionality" not in members:
            ctx.eq(obj.get("firmware"), SIM_FIRMWARE, "firmware")
        ctx.eq(kinds(obj), findings, "findings")
        details = [f["detail"] for f in obj.get("findings", []) if f["kind"] == "record-without-profile"]
        ctx.check(all("DELETE" not in d and "esimctl -c 1 -i %s -r -n" % ICCID in d for d in details),
                  "a record whose notification is pending: the removal with -n, never forgetting: %r" % details)
        info_commands(ctx, t.commands()[:5])
        if removal:
            ctx.eq((t.status(), t.stdout()), (0, "eSIM Remove Completed\n"), "the advised removal")
            ctx.eq(t.functions(), ["handleNotification"], "its notification reached the server")
            after, got = t.info(2)
            ctx.eq((got, [kinds(o) for o in after]), (0, [[]]), "nothing left after it")
            ctx.eq(t.db(), [], "database rows")
        else:
            ctx.eq(len(t.db()), 1, "database rows untouched")

    scenario("info.reply_shape.%s" % name)(body)


for _row in INFO_SHAPES:
    make_info_shape(_row)


@scenario("info.a_reader_that_dies_still_gives_its_channel_an_object")
def info_reader_killed(ctx):
    # Channel 2's modem answers its list late; its reader is killed while it
    # waits. The other channels are read as usual.
    g = ctx.gateway(channels="1-3").modem("2:--fault list:delay=200000")
    g.line("esimctl-info-run -c all >/dev/null 2>&1 &")
    g.line(once_device_open("esimctl-info", 2, "kill -9 $p"))
    g.line("wait")
    t = g.run()
    objs, status = t.info()
    ctx.eq(([o["channel"] for o in objs], status), ([1, 2, 3], 3), "every channel's object, status 3")
    errors = [o["errors"] for o in objs]
    ctx.eq(errors, [[], ["the channel's reader was ended by signal 9"], []], "errors")
    if len(objs) == 3:
        check_info_object(ctx, objs[1], 2)


@scenario("info.all_32_channels_in_about_one_channels_time", timeout=300)
def info_all(ctx):
    # Each modem takes 1 s to answer the look's first command, so that a
    # channel's look takes time of its own: read one after another, 32 of
    # them would take 32 times as long.
    g = ctx.gateway(factor=0.2, channels="all").modem("*:--fault cfun_query:delay=5000")
    for ch in range(1, 33):
        g.modem("%d:--profile %s,enabled,P%d" % (ch, channel_iccid(ch), ch))
    info(g, "-c", "7")
    info(g, "-c", "all")
    t = g.run()
    one, status_one = t.info(1)
    objs, status = t.info(2)
    ctx.eq((status_one, status), (0, 0), "statuses")
    ctx.eq([o["channel"] for o in objs], list(range(1, 33)), "objects in channel order")
    ctx.eq([[p["iccid"] for p in o["profiles"]] for o in objs], [[channel_iccid(ch)] for ch in range(1, 33)],
           "each channel's own profile")
    ctx.eq([o["eid"] for o in objs], [sim_eid(ch) for ch in range(1, 33)], "each modem's own EID")
    single, whole = t.info_seconds(1), t.info_seconds(2)
    print("FIGURES esimctl-info at time factor 0.2: one channel %.2f s, -c all on 32 channels %.2f s" % (single, whole))
    # The channels wait side by side. Read one after another they would take
    # 32 times one channel's time; the bound of 8 keeps a margin of 4 for
    # that, and for a busy machine: a sanitizer build beside a cross build
    # took 3.2 times, and 32 emulators starting on two cores (armhf's take
    # seconds) take longer still.
    bound = single * 8.0 + 0.5
    ctx.check(whole < bound, "-c all (%.2f s) takes about one channel's time (%.2f s)" % (whole, single))
    for ch in range(1, 33):
        expected = INFO_READS * (2 if ch == 7 else 1)
        ctx.eq(t.commands(ch), expected, "modem commands of channel %d" % ch)


# ------------------------------------------------------------ driver ----
def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--build")
    ap.add_argument("--esimctl")
    ap.add_argument("--dbshell", help="the database client (default: BUILD/dbshell/dbshell)")
    ap.add_argument("--esimctl-info", help="default: BUILD/esimctl-info")
    ap.add_argument("--sim-build", help="build folder of the simulators (default: BUILD)")
    ap.add_argument("--emulator", default="", help="runs the tool's programs, built for another machine")
    ap.add_argument("--keep", action="store_true", help="keep the transcript folder of a passing scenario")
    ap.add_argument("name", nargs="?")
    a = ap.parse_args()
    if a.list:
        for name, (_, labels, timeout) in SCENARIOS.items():
            print("%s %s %d" % (name, ",".join(labels), timeout))
        return 0
    if not a.build or a.name not in SCENARIOS:
        ap.error("give --build DIR and one of: " + " ".join(SCENARIOS))
    fn, _, timeout = SCENARIOS[a.name]
    build = os.path.abspath(a.build)
    work = tempfile.mkdtemp(prefix="esimctl-scen.")
    ctx = Context(a.name, build, a.esimctl or os.path.join(build, "esimctl"), work, timeout,
                  a.sim_build and os.path.abspath(a.sim_build), a.emulator)
    ctx.dbshell = a.dbshell or ctx.dbshell
    ctx.esimctl_info = a.esimctl_info or ctx.esimctl_info
    for need in (ctx.esimctl, ctx.dbshell):
        if not os.access(need, os.X_OK):
            print("scenario %s: %s is not built" % (a.name, need))
            return 1
    started = time.time()
    try:
        fn(ctx)
    except Abort:
        pass
    except subprocess.TimeoutExpired:
        ctx.fail("the sandbox did not finish within %d s" % timeout)
    except Exception as e:  # a transcript that is not what a check could read
        import traceback
        ctx.fail("check raised %s\n%s" % (e, traceback.format_exc()))
    took = time.time() - started
    for n in ctx.notes:
        if n.startswith("gaps"):
            print(n)
    if ctx.failures:
        print("FAIL %s (%.1f s), transcript kept in %s/out" % (a.name, took, work))
        for n in ctx.notes:
            if not n.startswith("gaps"):
                print(n)
        for f in ctx.failures:
            print("  - " + f)
        return 1
    print("PASS %s (%.1f s)" % (a.name, took))
    if a.keep:
        print("transcript in %s/out" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
