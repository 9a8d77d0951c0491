#!/usr/bin/python3
# Database client placed at /my_tools/dbshell by the scenarios that need to
# see or break the record store: it notes every statement (with the time, so
# the scenario can place it among the modem and server traffic) and hands it
# to the real client, which the sandbox gives at /sim/bin/client, except a
# statement starting with $SCEN_DB_FAIL, which gets the answer of a failing
# database, {"Reason": ...}, and changes nothing. With $SCEN_DB_NUMBERS set it
# prints the rows' digit-only texts (not the host and path) as JSON numbers,
# as a client that keeps no column types would.
#   argv: DBFILE SQL        env: SCEN_DB_FAIL, SCEN_DB_NUMBERS, SIM_OUT
import json
import os
import sys
import time

sql = sys.argv[2] if len(sys.argv) > 2 else ""
out = os.environ.get("SIM_OUT", "/sim/out")
with open(os.path.join(out, "dbshell_calls.jsonl"), "a") as calls:
    calls.write(json.dumps({"time": time.time(), "sql": sql}) + "\n")

fail = os.environ.get("SCEN_DB_FAIL", "")
if fail and sql.lstrip().upper().startswith(fail.upper()):
    print('{\n\t"Reason":\t"database is locked"\n}')
    sys.exit(0)
real = "/sim/bin/client"
if not os.environ.get("SCEN_DB_NUMBERS"):
    os.execv(real, [real] + sys.argv[1:])
import subprocess
answer = subprocess.run([real] + sys.argv[1:], stdout=subprocess.PIPE, universal_newlines=True).stdout
try:
    root = json.loads(answer)
except ValueError:
    sys.stdout.write(answer)
    sys.exit(0)
for row in root.get("infos", []) if isinstance(root, dict) else []:
    for name, value in row.items():
        if name not in ("http_ip", "http_path") and isinstance(value, str) and value.isdigit():
            row[name] = int(value)
print(json.dumps(root, indent="\t"))
