"""pandas reference of the brute-force and flood window analysis.

Reads the brute-force windows written by bench_windows (one JSON-lines file
per scenario), runs the same grouping, counting and decisions with pandas on
each, and prints one JSON line per scenario: CPU milliseconds per window of
the vectorised analysis (one grouping per zone, vectorised counts and
decisions) and of the per-address loop of boolean masks, the confirmed and
possible detections and report rows, and the findings (host, target, kind,
zone, address, confirmed) of the vectorised analysis.
"""
import json
import sys
import time

import numpy as np
import pandas as pd

pd.set_option("mode.chained_assignment", None)

BF_DETECTION_ZONE = ["url", "args", "cookie", "other_headers", "body"]


def bf_analysis(udf, flood_detect, vhost, url, max_val, latest_only, send_possible, set_attack_url, geo, out):
    if flood_detect:
        code, desc = 9, "Flood"
    else:
        code, desc = 7, "Brute-force"
    bls = set()
    aad = []
    rmq_df = pd.DataFrame()
    api_df = pd.DataFrame()
    for zone in BF_DETECTION_ZONE:
        zdf = udf[udf.zone_detect.str.contains(zone, regex=False)]
        zdf = zdf[zdf[zone] != ""]
        if len(zdf) == 0 or len(zdf) < max_val:
            continue
        vals = [v for v in zdf[zone].astype(str) if v != ""]
        if not vals:
            continue
        for ip in zdf.ip.unique():
            if ip in bls:
                continue
            idf = zdf[zdf.ip == ip]
            if not flood_detect and len(idf) == 1:
                continue
            values = [v for v in idf[zone].astype(str) if v != ""]
            if not flood_detect:
                values = list(dict.fromkeys(values))
            if not values:
                continue
            ip_cnt_all = len(idf)
            ip_cnt = ip_cnt_all if flood_detect else len(values)
            blocked = ip_cnt > 3
            if not flood_detect and ip_cnt_all < 4 and ip_cnt == 1:
                continue
            cc = ""
            cc_msg = ""
            rec = None
            icc = idf.cc.iloc[-1]
            res = geo([ip])
            if res[ip].get("cc"):
                rec = res[ip]
                cc = rec["cc"]
            if icc:
                cc = icc
            if not blocked and rec:
                if not rec.get("crawler"):
                    for w in ("tor", "proxy", "hosting"):
                        if rec.get(w):
                            cc_msg = " (%s, %s)" % (cc, w)
                            break
                if ip_cnt == 1 and not cc_msg:
                    continue
            if blocked and rec and rec.get("mobile") and ip_cnt_all <= 5 and ip_cnt_all < max_val:
                blocked = False
            if not cc_msg and cc:
                cc_msg = " (%s)" % cc
            method = idf.method.iloc[-1]
            if latest_only:
                idf = idf.iloc[[-1]]
            idf["group_id"] = idf.request_id.iloc[-1]
            idf = idf.drop(columns=["cc", "flood_detect", "zone_detect"])
            idf["mz"] = zone.upper()
            idf["possible"] = not blocked
            idf["description"] = desc
            if blocked:
                bls.add(ip)
                out["confirmed"] += 1
                rmq_df = pd.concat([rmq_df, idf.iloc[[-1]]], ignore_index=True)
                if set_attack_url:
                    api_df = pd.concat([api_df, idf], ignore_index=True)
                aad.append([ip, code, desc])
            else:
                out["possible"] += 1
                if send_possible and set_attack_url:
                    api_df = pd.concat([api_df, idf], ignore_index=True)
    if len(api_df) > 0:
        api_df["body"] = [j if str(j) != "" else b for b, j in zip(api_df.body, api_df.jbody)]
        api_df = api_df.drop(columns=["jbody"])
        out["report_rows"] += len(api_df)


def bf_detection(df, max_val, geo, out):
    for vhost in df.vhost.unique():
        vdf = df[df.vhost == vhost]
        for url in vdf.url.unique():
            udf = vdf[vdf.url == url]
            if len(udf) > max_val:
                brute_df = udf[udf.flood_detect == 0]
                flood_df = udf[udf.flood_detect == 1]
                if len(brute_df) > 0:
                    bf_analysis(brute_df, False, vhost, url, max_val, False, True, "x", geo, out)
                if len(flood_df) > 0:
                    bf_analysis(flood_df, True, vhost, url, max_val, False, True, "x", geo, out)
            vdf.drop(vdf[vdf.url == url].index, inplace=True)
        df.drop(df[df.vhost == vhost].index, inplace=True)


def bf_detection_vec(df, max_val, geo, send_possible=True, set_attack_url="x"):
    """The same analysis without a loop over addresses: per zone one grouping
    of the rows by (host, target, flood, address), the decisions on the
    grouped counts, confirmed addresses left out of the later zones."""
    keys = ["vhost", "url", "flood_detect"]
    d = df[df.groupby(["vhost", "url"], sort=False)["ip"].transform("size").to_numpy() > max_val]
    blocked = pd.MultiIndex.from_tuples([], names=keys + ["ip"])
    found, reports = [], []
    for zone in BF_DETECTION_ZONE:
        z = d[d["zone_detect"].str.contains(zone, regex=False).to_numpy() & d[zone].ne("").to_numpy()]
        if z.empty:
            continue
        z = z[z.groupby(keys, sort=False)[zone].transform("size").to_numpy() >= max_val]
        if z.empty:
            continue
        a = z.groupby(keys + ["ip"], sort=False).agg(n=(zone, "size"), d=(zone, "nunique"), icc=("cc", "last"),
                                                    group_id=("request_id", "last"))
        if len(blocked):
            a = a[~a.index.isin(blocked)]
        flood = a.index.get_level_values("flood_detect").to_numpy() == 1
        n = a["n"].to_numpy()
        cnt = np.where(flood, n, a["d"].to_numpy())
        keep = (flood | (n > 1)) & ~(~flood & (n < 4) & (cnt == 1))
        a, flood, n, cnt = a[keep], flood[keep], n[keep], cnt[keep]
        if a.empty:
            continue
        ips = a.index.get_level_values("ip")
        res = geo(list(dict.fromkeys(ips)))
        rec = pd.DataFrame.from_records([res[ip] for ip in ips], columns=["cc", "crawler", "tor", "proxy", "hosting",
                                                                           "mobile"])
        has = rec["cc"].fillna("").astype(bool).to_numpy()
        flag = {k: has & rec[k].fillna(False).astype(bool).to_numpy() for k in ["crawler", "tor", "proxy", "hosting",
                                                                                 "mobile"]}
        blk = cnt > 3
        marked = ~flag["crawler"] & (flag["tor"] | flag["proxy"] | flag["hosting"])
        keep = ~(~blk & has & (cnt == 1) & ~marked)
        blk = blk & ~(flag["mobile"] & (n <= 5) & (n < max_val))
        a = a[keep].assign(possible=~blk[keep], mz=zone.upper())
        found.append(a)
        conf = a[~a["possible"]]
        if len(conf):
            blocked = blocked.append(conf.index)
        rows = a if send_possible and set_attack_url else conf
        if len(rows) and set_attack_url:
            r = z.drop(columns=["cc", "zone_detect"]).merge(rows[["group_id", "possible", "mz"]].reset_index(),
                                                            on=keys + ["ip"])
            reports.append(r.drop(columns=["flood_detect"]))
    out = {"confirmed": 0, "possible": 0, "report_rows": 0, "findings": []}
    if found:
        f = pd.concat(found)
        out["confirmed"] = int((~f["possible"]).sum())
        out["possible"] = int(f["possible"].sum())
        out["findings"] = [[v, u, "Flood" if fl == 1 else "Brute-force", mz, ip, not p] for (v, u, fl, ip), mz, p in
                           zip(f.index, f["mz"], f["possible"])]
    if reports:
        api_df = pd.concat(reports, ignore_index=True)
        api_df["body"] = np.where(api_df["jbody"].ne(""), api_df["jbody"], api_df["body"])
        api_df = api_df.drop(columns=["jbody"])
        out["report_rows"] = len(api_df)
    return out


def geo(addrs):
    return {a: {"cc": ""} for a in addrs}


def main():
    max_val = int(sys.argv[1])
    for path in sys.argv[2:]:
        df = pd.read_json(path, lines=True, dtype=False)
        for col in ["url", "args", "cookie", "other_headers", "body", "jbody", "cc", "zone_detect"]:
            df[col] = df[col].astype(str)
        res = {"name": path}
        for kind in ("vec", "loop"):
            reps = 0
            spent = 0.0
            out = None
            while reps < 3 or (spent < 2.0 and reps < 20):
                w = df.copy()
                t0 = time.process_time()
                if kind == "vec":
                    out = bf_detection_vec(w, max_val, geo)
                else:
                    out = {"confirmed": 0, "possible": 0, "report_rows": 0}
                    bf_detection(w, max_val, geo, out)
                spent += time.process_time() - t0
                reps += 1
            if kind == "vec":
                res.update(out)
                res["ms_per_window"] = spent / reps * 1000.0
            else:
                res["loop"] = out
                res["loop_ms_per_window"] = spent / reps * 1000.0
        print(json.dumps(res), flush=True)

if __name__ == "__main__":
    main()
