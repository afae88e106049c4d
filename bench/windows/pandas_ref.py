"""pandas reference of the window benchmark (Debian's python3-pandas).

pandas_ref.py window KIND ROWS_CSV REPEAT
    the window analysis of KIND ("ddos") on the rows of the file, written as
    a pandas user would (one grouping of the window, vectorised counts and
    decisions); prints one JSON line: CPU milliseconds per window, the same
    for the per-address loop of boolean masks, the findings (host, address,
    kind, confirmed) and the number of report rows
pandas_ref.py intake ROWS_CSV BATCH_ROWS INTERVAL
    CPU seconds of the host's intake (new rows above the held ones, one row
    per id, history trim) and window cut over the batches of the file;
    prints one number
The look-ups are the same deterministic stand-ins bench_windows gives the
detector: geo_entry and block_lists.
"""
import json
import re
import sys
import time
from collections import Counter

import numpy as np
import pandas as pd

pd.options.mode.chained_assignment = None

MIN_IP_CNT = 3
CC_MIN_OCCUR_PCNT = 10
SCRAPING_MIN_404 = 20
DDOS_BL_CC = ["CN", "RU", "KP", "IR", "VN", "BR", "IN", "ID", "PK", "NG", "UA", "TR"]
GEO_CC = ["DE", "CN", "US", "RU", ""]
FLAGS = ["crawler", "tor", "proxy", "hosting", "mobile"]
V4 = re.compile(r"^(\d+)\.(\d+)\.\d+\.(\d+)$")


def last_octet(ip):
    m = V4.match(ip)
    return int(m.group(3)) if m else 0


def geo_entry(ip):
    k = last_octet(ip)
    e = {"cc": GEO_CC[k % 5]}
    for flag, every in (("hosting", 9), ("tor", 17), ("mobile", 6), ("crawler", 23)):
        if k % every == 0:
            e[flag] = True
    return e


def geo(addrs):
    return {a: geo_entry(a) for a in addrs}


def block_lists(ip):
    return ["SBL"] if last_octet(ip) % 19 == 0 else []


def private_mask(ips):
    o = ips.str.extract(r"^(\d+)\.(\d+)\.\d+\.\d+$").astype(float).to_numpy()
    a, b = o[:, 0], o[:, 1]
    bi = np.nan_to_num(b).astype(np.int64)
    return ((a == 10) | (a == 127) | ((a == 172) & ((bi & 0xF0) == 16)) | ((a == 192) & (b == 168))
            | ((a == 169) & (b == 254)) | ((a == 100) & ((bi & 0xC0) == 64)))


def ddos_window(w, hist, interval=120):
    """Scraping and DDoS findings of one window; `hist` holds the hosts'
    country history as counts (vhost, cc, count)."""
    keys = ["vhost", "ip"]
    a = (w.assign(n404=w["status_code"].eq(404))
         .groupby(keys, sort=False)
         .agg(n=("url", "size"), n404=("n404", "sum"), nurl=("url", "nunique"), nua=("ua", "nunique"),
              icc=("cc", "last"), rid=("request_id", "last")))
    a = a[a["n"] > MIN_IP_CNT]
    same = w.groupby(keys + ["url", "args", "body"], sort=False).size().groupby(level=[0, 1], sort=False).max()
    a["same"] = same.reindex(a.index).to_numpy()
    a = a.reset_index()

    priv = private_mask(a["ip"])
    pub = a.loc[~priv, "ip"].tolist()
    res = geo(pub)
    g = pd.DataFrame.from_records([res[ip] for ip in pub], columns=["cc"] + FLAGS, index=a.index[~priv])
    g = g.reindex(a.index)
    geo_cc = g["cc"].fillna("").astype(str)
    has_geo = (~priv) & geo_cc.ne("").to_numpy()
    f = {k: has_geo & g[k].fillna(False).astype(bool).to_numpy() for k in FLAGS}
    cc = np.where(a["icc"].ne(""), a["icc"], np.where(has_geo, geo_cc, ""))
    pointer = f["tor"] | f["proxy"] | f["hosting"]
    geo_ok = has_geo & ~f["crawler"]

    def listed(mask):
        out = np.zeros(len(a), dtype=bool)
        idx = np.flatnonzero(mask)
        out[idx] = [any(n in ("XBL", "SBL", "S5H") for n in block_lists(ip)) for ip in a["ip"].to_numpy()[idx]]
        return out

    scr = (a["n404"] > SCRAPING_MIN_404).to_numpy()
    scr_blocked = priv | (geo_ok & (pointer | listed(scr & geo_ok & ~pointer)))

    tot = hist.groupby("vhost")["count"].transform("sum")
    usual = pd.MultiIndex.from_frame(hist.loc[hist["count"] * 100 >= tot * CC_MIN_OCCUR_PCNT, ["vhost", "cc"]])
    suspicious = np.isin(cc, DDOS_BL_CC) & ~pd.MultiIndex.from_arrays([a["vhost"], cc]).isin(usual)
    dd = ~(scr & scr_blocked) & (a["nurl"] == 1).to_numpy() & (a["same"] >= MIN_IP_CNT).to_numpy()
    vua = (a["nua"] > 3).to_numpy()
    marked = vua | pointer | suspicious
    marked |= listed(dd & geo_ok & ~marked)
    mobile_few = f["mobile"] & (a["same"] <= 5).to_numpy() & (a["same"] < interval).to_numpy()
    dd_confirmed = priv | np.where(geo_ok, marked & ~mobile_few, vua)

    found = pd.concat([
        a.loc[scr, ["vhost", "ip", "rid"]].assign(kind="scraping", confirmed=scr_blocked[scr]),
        a.loc[dd, ["vhost", "ip", "rid"]].assign(kind="ddos", confirmed=dd_confirmed[dd]),
    ], ignore_index=True)
    # The report rows: every row of each finding's address, with its group.
    api = w.merge(found, on=keys)
    api["possible"] = ~api["confirmed"]
    api = api.rename(columns={"rid": "group_id"})
    return found, len(api)


def ddos_window_loop(idfs, rccdfs):
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
    return pd.read_csv(path, dtype={"vhost": str, "ip": str, "url": str, "args": str, "body": str, "cc": str,
                                    "ua": str, "request_id": str}, keep_default_na=False)


def timed(fn, repeat):
    reps, spent, out = 0, 0.0, None
    while reps < repeat or (spent < 1.0 and reps < 20):
        t0 = time.process_time()
        out = fn()
        spent += time.process_time() - t0
        reps += 1
    return spent / reps, out


def main():
    mode = sys.argv[1]
    if mode == "window":
        kind, path, repeat = sys.argv[2], sys.argv[3], int(sys.argv[4])
        if kind != "ddos":
            raise SystemExit("unknown window kind " + kind)
        idfs = read(path)
        # The host keeps its country history as counts; the loop counts it itself.
        hist = idfs.groupby(["vhost", "cc"], sort=False).size().rename("count").reset_index()
        rccdfs = idfs[["timestamp", "vhost", "cc"]].copy()
        vec, (found, report_rows) = timed(lambda: ddos_window(idfs, hist), repeat)
        loop, _ = timed(lambda: ddos_window_loop(idfs, rccdfs), repeat)
        print(json.dumps({"ms": vec * 1e3, "loop_ms": loop * 1e3, "report_rows": report_rows,
                          "findings": [[v, ip, k, bool(c)] for v, ip, k, c in
                                       found[["vhost", "ip", "kind", "confirmed"]].itertuples(index=False)]}))
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
