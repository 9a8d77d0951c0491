#!/usr/bin/env python3
# Stand-in for the gateway's database client, used by the sandbox only when
# no real client is given: `dbshell DBFILE "SQL"` runs one statement and
# prints one JSON object in cJSON's formatted layout (tab indents, a tab
# after each colon), so that "ResultCode":<TAB>0, appears as esimctl expects.
import json
import sqlite3
import sys


def emit(obj):
    print(json.dumps(obj, indent="\t", separators=(",", ":\t")))


def main():
    if len(sys.argv) != 3:
        emit({"Reason": "usage: dbshell DBFILE SQL"})
        return 1
    try:
        con = sqlite3.connect(sys.argv[1])
        con.row_factory = sqlite3.Row
        cur = con.execute(sys.argv[2])
        rows = [dict(r) for r in cur.fetchall()] if cur.description else None
        con.commit()
        con.close()
    except sqlite3.Error as e:
        emit({"Reason": str(e)})
        return 0
    if rows is not None:
        emit({"ResultCode": 0, "infos": rows})
    else:
        emit({"ResultCode": 0, "Changes": cur.rowcount})
    return 0


if __name__ == "__main__":
    sys.exit(main())
