"""pandas reference of the brute-force and flood window analysis.

Reads the brute-force windows written by bench_windows (one JSON-lines file
per scenario), runs the same grouping, counting and decisions with pandas on
each, and prints one JSON line per scenario: CPU milliseconds per window and
the confirmed and possible detections found.
"""
import json
import sys
import time

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


def geo(addrs):
    return {a: {"cc": ""} for a in addrs}


def main():
    max_val = int(sys.argv[1])
    for path in sys.argv[2:]:
        df = pd.read_json(path, lines=True, dtype=False)
        for col in ["url", "args", "cookie", "other_headers", "body", "jbody", "cc", "zone_detect"]:
            df[col] = df[col].astype(str)
        reps = 0
        spent = 0.0
        out = None
        while reps < 3 or (spent < 2.0 and reps < 20):
            out = {"confirmed": 0, "possible": 0, "report_rows": 0}
            w = df.copy()
            t0 = time.process_time()
            bf_detection(w, max_val, geo, out)
            spent += time.process_time() - t0
            reps += 1
        out["name"] = path
        out["ms_per_window"] = spent / reps * 1000.0
        print(json.dumps(out), flush=True)


if __name__ == "__main__":
    main()
