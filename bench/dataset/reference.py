#!/usr/bin/python3
# The reference side of bench_dataset. Reads the bench's data file and
# prints one JSON object.
#   reference.py staging DATA DBFILE R pandas DataFrame.to_sql of the rows,
#                                      best of R rounds
#   reference.py fuzzy DATA N          fuzzywuzzy process.extractOne for the
#                                      first N values against the choices
import json
import logging
import os
import sys
import time

logging.disable(logging.WARNING)


def staging(data, db, rounds):
    import pandas as pd
    try:
        from sqlalchemy import create_engine
        conn_of = lambda: create_engine("sqlite:///" + db).begin()
        how = "sqlalchemy"
    except ImportError:
        import sqlite3
        import contextlib
        conn_of = lambda: contextlib.closing(sqlite3.connect(db))
        how = "sqlite3"
    df = pd.DataFrame(data["rows"], columns=data["columns"])
    best, best_cpu = float("inf"), float("inf")
    for _ in range(rounds):
        if os.path.exists(db):
            os.remove(db)
        t0 = time.perf_counter()
        c0 = time.process_time()
        with conn_of() as conn:
            df.to_sql("vexa_data", conn, if_exists="append", index=False)
            if how == "sqlite3":
                conn.commit()
        best = min(best, time.perf_counter() - t0)
        best_cpu = min(best_cpu, time.process_time() - c0)
    return {"seconds": best, "cpu_seconds": best_cpu, "rows": len(df), "driver": how}


def fuzzy(data, n):
    from fuzzywuzzy import process
    choices = data["choices"]
    values = data["values"][:n]
    picks = []
    t0 = time.perf_counter()
    c0 = time.process_time()
    for v in values:
        choice, score = process.extractOne(v, choices)
        picks.append([choices.index(choice), score])
    return {"seconds": time.perf_counter() - t0, "cpu_seconds": time.process_time() - c0, "values": len(values),
            "picks": picks}


with open(sys.argv[2], encoding="utf-8") as f:
    data = json.load(f)
if sys.argv[1] == "staging":
    out = staging(data, sys.argv[3], int(sys.argv[4]))
else:
    out = fuzzy(data, int(sys.argv[3]))
print(json.dumps(out))
