#!/usr/bin/python3
"""scikit-learn side of bench_classify: the classification recipe of one
request (zones, normalisation, white list, vectorise, predict, verdict) with
TfidfVectorizer and RandomForestClassifier; prints one JSON object with the
verdicts and the requests per second, batch on N processes and one request
at a time."""
import json
import multiprocessing
import re
import sys
import time

from sklearn.ensemble import RandomForestClassifier
from sklearn.feature_extraction.text import TfidfVectorizer

WL = {
    "url": [
        r"^/\.well-known/acme-challenge/[\w\-]+/*$",
        r"^/[\w\-/]+\.(gif|png|jpg|jpeg|svg|webp|(min\.)?css|js(on)?|pdf|xml|mp\d|m4s|avi|flv|php|html|ttf|eot|woff)$",
        r"^/[\w\-/]+$",
    ],
    "args": [
        r"^([\w\-\[\]]{1,50}=)?[\w\-.=]{,500}$",
        r"^https?://([\w\-]+\.)+[\w\-]+(/[\w\-]*)*(\?[&\w\-=]*)*$",
        r"^[\w\[\]\-]{1,50}=[\w\-.]{1,30}@[\w\-.]{1,30}$",
        r"^fb\w+=(\w+|(\w+-)+\w+)$",
    ],
    "body": [
        r"^([\w\-\[\]]{1,50}=)?[\w\-.=]{,500}$",
        r"^[\w\[\]\-]{1,50}=[+]?\d+[\s+\-]*(\([\d+]+\))?([\s+\-]*\d+[\s+\-]*){1,3}$",
        r"^[\w\[\]\-]{1,50}=[\w\-.]{1,30}@[\w\-.]{1,30}$",
        r"^content-disposition:\s+[\w\-]+;\s+name=\"[\w\-]+\" [\w\-@.]+$",
    ],
    "referer": [
        r"^https?://[\w\-.]+/\.well-known/acme-challenge/[\w\-]+/*$",
        r"^https?://([\w\-]+\.)+\w+(/[\w\-]+)*/?$",
    ],
    "cookie": [
        r"^[\w\-\[\]]{1,50}=[\w\-.=]{,500}$",
        r"^bitrix_sm_\w+=(\w+\.)*\w+(@[\w\-]+\.\w+)?$",
        r"^__utm\w*=[\w\-.=|()/\s]{,200}$",
        r"^ymex=\d+\.\w+\.\d+#\d+\.\w+\.\d+$",
        r"^tmr_\w+=\d+\|\d+$",
    ],
    "other_headers": [
        r"^[\w\-\[\]]{1,50}:\s*[\w\-.=]{,500}$",
        r"^if-modified-since:\s*\w+,\s*\d+\s*\w+\s*\d+\s*\d+:\s*\d+:\s*\d+\s*\w+$",
        r"^from:\s*\w+\(at\)\w+\.\w+$",
        r"^content-type:\s*multipart/form-data;\s*boundary=[\w\-]+$",
        r"^content-disposition:\s*form-data;\s*name=\"[\w\-\[\]]+\"(;\s*filename=\"[\w\-\[\]().]+\")?$",
        r"^from:\s*\w+@(\w+\.)+\w+$",
        r"^origin:\s*https?:\s*//([\w\-]+\.)+\w+$",
        r"^if-range:\s*\"\w+-\w+\"$",
        r"^x-real-ip:\s*\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}$",
        r"^x-forwarded-for:\s*\d{1,3}\.\d{1,3}\.\d{1,3}\.\d{1,3}$",
        r"^y-browser-experiments:\s*(\d+[,;])+\d*$",
        r"^if-none-match:\s*\"\w{,50}\"$",
    ],
}
WLC = {z: [re.compile(p, re.I) for p in ps] for z, ps in WL.items()}
SPACES = re.compile(r"\s+")

G = {}


def ml_wl_zone(data, z):
    if len(data) > 750:
        return False
    data = data.strip()
    if not data or data.isdigit():
        return True
    return any(p.match(data) for p in WLC.get(z, []))


def normalize(rec):
    for z in G["zones"]:
        value = rec[z]
        if not value:
            continue
        values = []
        if z in G["kv_zone"]:
            n = G["max_body_chunk_ai"]
            for line in value.split("\r\n"):
                line = line.strip()
                if z == "body" and len(line) > n:
                    values.extend(line[i:i + n] for i in range(0, len(line), n))
                else:
                    values.append(line)
        else:
            values.append(value.strip())
        if z in ("args", "body"):
            values = [v if v.isdigit() else SPACES.sub(" ", v.replace("+", " ")) for v in values]
        kept = [v.strip() for v in dict.fromkeys(values) if len(v.strip()) > 3]
        rec[z] = "\r\n".join(kept)


def verdict_of(rec, flagged_by_zone):
    ml_z = []
    for z in G["zones"]:
        flagged = [v for v in flagged_by_zone.get(z, []) if not ml_wl_zone(v, z)]
        if flagged:
            ml_z.append(z)
    return ml_z


def classify_one(rec):
    rec = dict(rec)
    normalize(rec)
    flagged = {}
    for z in G["zones"]:
        lines = str(rec[z]).split("\r\n")
        pred = G["rf"][z].predict(G["vect"][z].transform(lines))
        if pred.sum() > 0:
            flagged[z] = [lines[i] for i in (pred == 1).nonzero()[0]]
    return verdict_of(rec, flagged)


def classify_batch(recs):
    recs = [dict(r) for r in recs]
    for r in recs:
        normalize(r)
    flagged = [dict() for _ in recs]
    for z in G["zones"]:
        lines, owner = [], []
        for i, r in enumerate(recs):
            for v in str(r[z]).split("\r\n"):
                lines.append(v)
                owner.append(i)
        pred = G["rf"][z].predict(G["vect"][z].transform(lines))
        for k in (pred == 1).nonzero()[0]:
            flagged[owner[k]].setdefault(z, []).append(lines[k])
    return [verdict_of(r, f) for r, f in zip(recs, flagged)]


def main():
    path, jobs, n_single = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    G["zones"], G["kv_zone"], G["max_body_chunk_ai"] = data["zones"], set(data["kv_zone"]), data["max_body_chunk_ai"]
    G["rf"], G["vect"] = {}, {}
    for z in G["zones"]:
        vect = TfidfVectorizer(min_df=1, analyzer="char", ngram_range=(2, 3))
        X = vect.fit_transform(data["train"][z]["docs"])
        rf = RandomForestClassifier(random_state=1, n_jobs=-1)
        rf.fit(X, data["train"][z]["y"])
        rf.n_jobs = 1
        G["rf"][z], G["vect"][z] = rf, vect
    requests = data["requests"]
    chunks = [requests[i:i + 256] for i in range(0, len(requests), 256)]
    with multiprocessing.get_context("fork").Pool(jobs) as pool:
        pool.map(classify_batch, chunks[:jobs])  # warm-up
        t = time.perf_counter()
        results = pool.map(classify_batch, chunks)
        batch_s = time.perf_counter() - t
    verdicts = [v for part in results for v in part]
    t = time.perf_counter()
    for r in requests[:n_single]:
        classify_one(r)
    single_s = time.perf_counter() - t
    print(json.dumps({"batch_rps": len(requests) / batch_s, "single_rps": n_single / single_s, "verdicts": verdicts}))


if __name__ == "__main__":
    main()
