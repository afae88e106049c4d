#!/usr/bin/python3
"""scikit-learn side of bench_training: the model stage of one host under the
same recipe (dataset load, seven zones, two pickled model files, the upload
archive); prints one JSON object."""
import json
import os
import pickle
import sys
import time
import zipfile

import numpy as np
from sklearn.ensemble import RandomForestClassifier
from sklearn.feature_extraction.text import TfidfVectorizer

ZONES = ["url", "args", "cookie", "ua", "referer", "other_headers", "body"]
KV_ZONE = ["args", "cookie", "other_headers", "body"]
DATASET_LIMIT = 800000


def vm_hwm_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def main():
    work = sys.argv[1]
    with open(os.path.join(work, "attacks.json"), encoding="utf-8") as f:
        bl = [str(x) for x in json.load(f)["attacks"]]
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    t0 = time.perf_counter()
    with open(os.path.join(work, "host.json"), encoding="utf-8") as f:
        training_data = json.load(f)
    t1 = time.perf_counter()
    rf_models, vect_models = {}, {}
    for z in ZONES:
        td = training_data[z]
        if len(td) > DATASET_LIMIT:
            td = list(set(td))
        if len(td) > DATASET_LIMIT:
            td = td[-DATASET_LIMIT:]
        rtd = []
        if z in KV_ZONE:
            for v in td:
                rtd += [p for p in v.split("\r\n") if p]
            if len(rtd) > DATASET_LIMIT:
                rtd = list(set(rtd))
        if rtd:
            td = rtd
        td = [v for v in td if v]
        if not td:
            continue
        all_data = [str(x) for x in bl + td]
        y = np.array([1] * len(bl) + [0] * len(td))
        vect = TfidfVectorizer(min_df=1, analyzer="char", ngram_range=(2, 3))
        x = vect.fit_transform(all_data)
        rf = RandomForestClassifier(random_state=1, n_jobs=-1)
        rf.fit(x, y)
        rf.predict(x)
        rf_models[z], vect_models[z] = rf, vect
    paths = [os.path.join(work, "ref_rf.ml"), os.path.join(work, "ref_vect.ml")]
    for obj, path in zip((rf_models, vect_models), paths):
        with open(path, "wb") as f:
            pickle.dump(obj, f)
    t2 = time.perf_counter()
    with zipfile.ZipFile(os.path.join(work, "ref.zip"), "w") as z:
        for p in paths:
            z.write(p, arcname=os.path.basename(p))
    t3 = time.perf_counter()
    print(json.dumps({"load_s": t1 - t0, "build_s": t2 - t1, "archive_s": t3 - t2, "wall_s": t3 - t0,
                      "peak_kb": vm_hwm_kb(), "model_bytes": sum(os.path.getsize(p) for p in paths)}))


if __name__ == "__main__":
    main()
