#!/usr/bin/python3
"""scikit-learn side of bench_classify and bench_detection: the
classification recipe of one request (zones, normalisation, white list,
vectorise, predict, verdict) with TfidfVectorizer and RandomForestClassifier.

Training samples come either ready made ("train": zone -> docs, y) or are
built here from the request records by the training recipe
("train_records", "attacks", "wl"): normalisation, body of binary content
types dropped, key-value zones split into lines, attack values (1) before
the collected values and the white-list values (0).

Prediction, per zone of a batch or of one request:
  old    forest.predict (joblib dispatch on every call)
  trees  the forest's trees called directly (estimators_[i].tree_.predict)
  cache  trees, values seen before taken from a dict keyed by zone and value

Prints one JSON object: the verdicts, the model zones, the training sample
counts and the requests per second of each way, batch on N processes (each
timed pass a cold cache; with the workers' CPU time a request) and one
request at a time."""
import hashlib
import json
import multiprocessing
import re
import sys
import time
import urllib.parse

import numpy as np
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

G = {"cache": {}, "gen": None}
CACHE_MAX_VALUE = 512  # longer values are not kept, as on our side


def ml_wl_zone(data, z):
    if len(data) > 750:
        return False
    data = data.strip()
    if not data or data.isdigit():
        return True
    return any(p.match(data) for p in WLC.get(z, []))


def url_decode(value):
    out = urllib.parse.unquote(value)
    for _ in range(2):
        if "%" not in out:
            break
        nxt = urllib.parse.unquote(out)
        if nxt == out:
            break
        out = nxt
    return out


def normalize(rec):
    ws = rec.get("request_type") == "ws"
    for z in G["zones"]:
        value = rec.get(z, "")
        if not value or (ws and z != "body"):
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
        if z == "url":
            values = [v if v.isdigit() else url_decode(v) for v in values]
        elif z in ("args", "body"):
            values = [v if v.isdigit() else SPACES.sub(" ", v.replace("+", " ")) for v in values]
        kept = [v.strip() for v in dict.fromkeys(values) if len(v.strip()) > 3]
        rec[z] = "\r\n".join(kept)


def training_samples(data):
    """zone -> {"docs", "y"} from request records, as a host in training
    collects them and its model build fits them."""
    collected = {z: [] for z in data["zones"]}
    binary = data.get("bin_content_type", [])
    for rec in data["train_records"]:
        rec = dict(rec)
        normalize(rec)
        if any(b in rec.get("content_type", "") for b in binary):
            rec["body"] = ""
        for z in data["zones"]:
            if rec.get(z):
                collected[z].append(rec[z])
    train = {}
    for z, values in collected.items():
        if z in G["kv_zone"]:
            split = [line for v in values for line in v.split("\r\n") if line]
            if split:
                values = split
        normal = [v for v in values if v] + [str(v) for v in data.get("wl", {}).get(z, []) if v]
        if not normal:
            continue  # no model for a zone without normal values
        train[z] = {"docs": list(data["attacks"]) + normal, "y": [1] * len(data["attacks"]) + [0] * len(normal),
                    "digest": digest(normal)}
    return train


def digest(samples):
    """Order-free digest of samples: the sum of the first 8 bytes of each
    one's MD5, little-endian, modulo 2**64."""
    total = 0
    for s in samples:
        total += int.from_bytes(hashlib.md5(s.encode("utf-8", "surrogatepass")).digest()[:8], "little")
    return total % (1 << 64)


def verdict_of(rec, flagged_by_zone):
    ml_z = []
    for z in G["model_zones"]:
        flagged = [v for v in flagged_by_zone.get(z, []) if not ml_wl_zone(v, z)]
        if flagged:
            ml_z.append(z)
    return ml_z


def predict_old(z, lines):
    return G["rf"][z].predict(G["vect"][z].transform(lines))


def predict_trees(z, lines):
    rf = G["rf"][z]
    X = G["vect"][z].transform(lines).astype(np.float32)
    acc = None
    for est in rf.estimators_:
        p = est.tree_.predict(X)[:, :rf.n_classes_]
        norm = p.sum(axis=1)[:, np.newaxis]
        norm[norm == 0.0] = 1.0
        p = p / norm
        acc = p if acc is None else acc + p
    return rf.classes_.take(np.argmax(acc, axis=1))


def predict_cache(z, lines):
    cache = G["cache"]
    labels = np.zeros(len(lines), dtype=np.int64)
    unknown, pos = [], []
    for i, v in enumerate(lines):
        known = cache.get((z, v))
        if known is None:
            unknown.append(v)
            pos.append(i)
        else:
            labels[i] = known
    if unknown:
        fresh = predict_trees(z, unknown)
        for k, v in enumerate(unknown):
            labels[pos[k]] = fresh[k]
            if len(v) <= CACHE_MAX_VALUE:
                cache[(z, v)] = int(fresh[k])
    return labels


PREDICT = {"old": predict_old, "trees": predict_trees, "cache": predict_cache}


def classify_one(rec, mode):
    predict = PREDICT[mode]
    rec = dict(rec)
    normalize(rec)
    flagged = {}
    for z in G["model_zones"]:
        value = str(rec.get(z, ""))
        if not value:
            continue
        lines = value.split("\r\n")
        pred = predict(z, lines)
        if pred.sum() > 0:
            flagged[z] = [lines[i] for i in (pred == 1).nonzero()[0]]
    return verdict_of(rec, flagged)


def classify_batch(task):
    gen, mode, recs = task
    cpu = time.process_time()
    if G["gen"] != gen:  # every timed pass starts with an empty cache
        G["gen"], G["cache"] = gen, {}
    predict = PREDICT[mode]
    recs = [dict(r) for r in recs]
    for r in recs:
        normalize(r)
    flagged = [dict() for _ in recs]
    for z in G["model_zones"]:
        lines, owner = [], []
        for i, r in enumerate(recs):
            value = str(r.get(z, ""))
            if not value:
                continue
            for v in value.split("\r\n"):
                lines.append(v)
                owner.append(i)
        if not lines:
            continue
        pred = predict(z, lines)
        for k in (pred == 1).nonzero()[0]:
            flagged[owner[k]].setdefault(z, []).append(lines[k])
    verdicts = [verdict_of(r, f) for r, f in zip(recs, flagged)]
    return verdicts, time.process_time() - cpu


def main():
    path, jobs, n_single = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    G["zones"], G["kv_zone"], G["max_body_chunk_ai"] = data["zones"], set(data["kv_zone"]), data["max_body_chunk_ai"]
    train = data["train"] if "train" in data else training_samples(data)
    G["rf"], G["vect"], G["model_zones"] = {}, {}, []
    for z in G["zones"]:
        if z not in train:
            continue
        vect = TfidfVectorizer(min_df=1, analyzer="char", ngram_range=(2, 3))
        X = vect.fit_transform(train[z]["docs"])
        rf = RandomForestClassifier(random_state=1, n_jobs=-1)
        rf.fit(X, train[z]["y"])
        rf.n_jobs = 1
        G["rf"][z], G["vect"][z] = rf, vect
        G["model_zones"].append(z)
    requests = data["requests"]
    chunks = [requests[i:i + 256] for i in range(0, len(requests), 256)]
    out = {"model_zones": G["model_zones"],
           "train_normal": {z: train[z]["y"].count(0) for z in G["model_zones"]},
           "train_attack": {z: train[z]["y"].count(1) for z in G["model_zones"]},
           "train_digest": {z: train[z]["digest"] for z in G["model_zones"] if "digest" in train[z]}}
    results = {}
    with multiprocessing.get_context("fork").Pool(jobs) as pool:
        pool.map(classify_batch, [(0, "trees", c) for c in chunks[:jobs]])  # warm-up
        for gen, mode in enumerate(("old", "trees", "cache"), 1):
            t = time.perf_counter()
            part = pool.map(classify_batch, [(gen, mode, c) for c in chunks])
            key = "batch" if mode == "old" else "batch_" + mode
            out[key + "_rps"] = len(requests) / (time.perf_counter() - t)
            out[key + "_cpu_us"] = 1e6 * sum(c for _, c in part) / max(1, len(requests))
            results[mode] = [v for p, _ in part for v in p]
    verdicts = results["trees"]
    same = all(results[m] == verdicts for m in results)
    n_old = min(n_single, 200)  # a few hundred ms a request
    for mode, n in (("old", n_old), ("trees", n_single), ("cache", n_single)):
        G["cache"] = {}
        t = time.perf_counter()
        single = [classify_one(r, mode) for r in requests[:n]]
        out["single_rps" if mode == "old" else "single_%s_rps" % mode] = n / (time.perf_counter() - t)
        same = same and single == verdicts[:n]
    out["ways_agree"] = same
    out["verdicts"] = verdicts
    print(json.dumps(out))


if __name__ == "__main__":
    main()
