#!/usr/bin/python3
# The reference side of bench_dataset. Reads the bench's data file and
# prints one JSON object.
#   reference.py staging DATA DBFILE R pandas DataFrame.to_sql of the rows,
#                                      and sqlite3 executemany in one
#                                      transaction, best of R rounds each
#   reference.py fuzzy DATA N          fuzzywuzzy process.extractOne for the
#                                      first N values against the choices
#   reference.py covered DATA N        whether some choice scores 95 or more
#                                      for the first N values: the choices
#                                      processed once, an exact-match set,
#                                      and WRatio only on the choices whose
#                                      length can reach 95
import bisect
import json
import logging
import os
import sys
import time

logging.disable(logging.WARNING)


def best_of_fresh(db, rounds, write):
    """The best wall and CPU seconds of `write` over `rounds`, each into a new file."""
    best, best_cpu = float("inf"), float("inf")
    for _ in range(rounds):
        if os.path.exists(db):
            os.remove(db)
        t0 = time.perf_counter()
        c0 = time.process_time()
        write()
        best = min(best, time.perf_counter() - t0)
        best_cpu = min(best_cpu, time.process_time() - c0)
    return best, best_cpu


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

    def write():
        with conn_of() as conn:
            df.to_sql("vexa_data", conn, if_exists="append", index=False)
            if how == "sqlite3":
                conn.commit()

    best, best_cpu = best_of_fresh(db, rounds, write)
    out = {"seconds": best, "cpu_seconds": best_cpu, "rows": len(df), "driver": how}
    out.update(executemany(data, db, rounds))
    return out


def executemany(data, db, rounds):
    import sqlite3
    cols = data["columns"]
    rows = [tuple(r) for r in data["rows"]]
    names = ", ".join('"%s"' % c for c in cols)
    create = "CREATE TABLE IF NOT EXISTS vexa_data (%s)" % ", ".join('"%s" TEXT' % c for c in cols)
    insert = "INSERT INTO vexa_data (%s) VALUES (%s)" % (names, ", ".join("?" * len(cols)))

    def write():
        conn = sqlite3.connect(db)
        conn.execute("PRAGMA page_size=32768")
        with conn:
            conn.execute(create)
            conn.executemany(insert, rows)
        conn.close()

    best, best_cpu = best_of_fresh(db, rounds, write)
    conn = sqlite3.connect(db)
    n = conn.execute("SELECT COUNT(*) FROM vexa_data").fetchone()[0]
    conn.close()
    return {"executemany_seconds": best, "executemany_cpu_seconds": best_cpu, "executemany_rows": n}


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


def covered(data, n):
    from fuzzywuzzy import fuzz, utils
    values = data["values"][:n]
    t0 = time.perf_counter()
    c0 = time.process_time()
    prepared = sorted({p for p in (utils.full_process(c, force_ascii=True) for c in data["choices"]) if p},
                      key=len)
    exact = set(prepared)
    lengths = [len(p) for p in prepared]
    prep_cpu = time.process_time() - c0
    out = []
    for v in values:
        q = utils.full_process(v, force_ascii=True)
        if not q:
            out.append(False)
            continue
        if q in exact:
            out.append(True)
            continue
        # WRatio scores at most 90 once the longer is 1.5 times the shorter.
        lo = bisect.bisect_right(lengths, len(q) * 2 // 3)
        hi = bisect.bisect_left(lengths, (len(q) * 3 + 1) // 2)
        out.append(any(fuzz.WRatio(q, c, full_process=False) >= 95 for c in prepared[lo:hi]))
    return {"seconds": time.perf_counter() - t0, "cpu_seconds": time.process_time() - c0,
            "prepare_cpu_seconds": prep_cpu, "values": len(values), "covered": out}


with open(sys.argv[2], encoding="utf-8") as f:
    data = json.load(f)
if sys.argv[1] == "staging":
    out = staging(data, sys.argv[3], int(sys.argv[4]))
elif sys.argv[1] == "covered":
    out = covered(data, int(sys.argv[3]))
else:
    out = fuzzy(data, int(sys.argv[3]))
print(json.dumps(out))
