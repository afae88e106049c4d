"""pandas reference of the window benchmark (Debian's python3-pandas).

pandas_ref.py window KIND ROWS_CSV REPEAT
    per-window CPU seconds of the grouping and counting of KIND ("ddos")
pandas_ref.py intake ROWS_CSV BATCH_ROWS INTERVAL
    CPU seconds of the host's intake (new rows above the held ones, one row
    per id, history trim) and window cut over the batches of the file
Prints one number.
"""
import sys
import time
from collections import Counter

import pandas as pd

pd.options.mode.chained_assignment = None


def ddos_window(idfs, rccdfs):
    found = 0
    for vhost in idfs["vhost"].unique():
        vdf = idfs[idfs["vhost"] == vhost].copy()
        vrccdfs = rccdfs[rccdfs["vhost"] == vhost].copy()
        if vdf.empty:
            continue
        cc_cntr = Counter(vrccdfs["cc"])
        cc_min_occur = vrccdfs.shape[0] * 10 / 100
        usual = {k for k, v in cc_cntr.items() if v >= cc_min_occur}
        ip_cnt = vdf["ip"].value_counts()
        vdf = vdf[vdf["ip"].isin(ip_cnt[ip_cnt > 3].index)]
        for ip in vdf["ip"].unique():
            ivdf = vdf[vdf["ip"] == ip]
            icc = ivdf.iloc[-1]["cc"]
            rcd = ivdf["status_code"].value_counts()
            if rcd.get(404, 0) > 20:
                found += 1
            if ivdf["url"].nunique() == 1:
                szivdf = ivdf[["url", "args", "body"]]
                szivdf_cnt = szivdf.groupby(["url", "args", "body"]).size().max()
                if szivdf_cnt >= 3:
                    uua = ivdf["ua"].nunique()
                    found += 1 + (uua > 3) + len(usual) * 0 + (icc != "")
            vdf.drop(ivdf.index, inplace=True)
    return found


def read(path):
    return pd.read_csv(path, dtype={"args": str, "body": str, "cc": str, "ua": str}, keep_default_na=False)


def main():
    mode = sys.argv[1]
    if mode == "window":
        kind, path, repeat = sys.argv[2], sys.argv[3], int(sys.argv[4])
        idfs = read(path)
        rccdfs = idfs[["timestamp", "vhost", "cc"]].copy()
        t0 = time.process_time()
        for _ in range(repeat):
            if kind == "ddos":
                ddos_window(idfs, rccdfs)
        print((time.process_time() - t0) / repeat)
    elif mode == "intake":
        path, batch_rows, interval = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
        rows = read(path)
        window = int(interval / 2)
        dfs = pd.DataFrame(columns=rows.columns)
        rccdfs = pd.DataFrame(columns=["timestamp", "vhost", "cc"])
        stime = None
        t0 = time.process_time()
        for start in range(0, rows.shape[0], batch_rows):
            ndfs = rows.iloc[start:start + batch_rows]
            dfs = ndfs.copy() if dfs.empty else pd.concat([ndfs, dfs], ignore_index=True)
            dfs = dfs.drop_duplicates(subset=["id"])
            rccdfs = pd.concat([rccdfs, ndfs[["timestamp", "vhost", "cc"]]], ignore_index=True)
            rccdfs.drop(rccdfs[rccdfs["timestamp"] < rccdfs["timestamp"].max() - interval].index, inplace=True)
            now = int(ndfs["timestamp"].max())
            if stime is None:
                stime = now
            if now - stime > window:
                stime = now
                lpts = dfs.loc[:, "timestamp"].max() - window
                while True:
                    fts = dfs.loc[:, "timestamp"].min()
                    idfs = dfs[(dfs["timestamp"] >= fts) & (dfs["timestamp"] < fts + interval)]
                    if idfs.empty:
                        break
                    idfs.copy()
                    excl = idfs[idfs["timestamp"] < fts + window].index
                    dfs.drop(excl, inplace=True)
                    if fts >= lpts:
                        break
        print(time.process_time() - t0)


main()
