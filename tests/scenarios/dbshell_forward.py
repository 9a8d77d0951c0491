#!/usr/bin/python3
# Database client placed at /my_tools/dbshell by the scenarios that need to
# see or break the record store: it notes every statement (with the time, so
# the scenario can place it among the modem and server traffic) and hands it
# to the real client, which the sandbox gives at /sim/bin/client, except a
# statement starting with $SCEN_DB_FAIL, which gets the answer of a failing
# database, {"Reason": ...}, and changes nothing.
#   argv: DBFILE SQL        env: SCEN_DB_FAIL, SIM_OUT
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
os.execv(real, [real] + sys.argv[1:])
