#!/usr/bin/python3
"""One line on what the service sent to the management-API simulator, from
its request record (--record): training progress, models uploaded, attack
reports by kind, schemas uploaded, events, and how many requests in all.

    record_summary.py .run/mgmt-sim.jsonl
"""
import collections
import json
import sys
import urllib.parse

KINDS = {7: "brute force", 8: "classification", 9: "flood", 10: "DDoS"}


def summary(path):
    paths = collections.Counter()
    kinds = collections.Counter()
    progress = {}
    schemas = set()
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if not line.endswith("\n"):
                break  # still being written
            try:
                r = json.loads(line)
            except ValueError:
                continue
            p = r.get("path", "")
            paths[p] += 1
            body = r.get("body", "")
            if p == "/vx-api/attack":
                try:
                    kinds[json.loads(body).get("kind")] += 1
                except (ValueError, AttributeError):
                    kinds[None] += 1
            elif p == "/vx-api/set_training_progress_uri":
                form = urllib.parse.parse_qs(body)
                if "vhost" in form and "progress" in form:
                    progress[form["vhost"][0]] = form["progress"][0]
            elif p == "/vx-api/set_schemix_schema_paths":
                try:
                    s = json.loads(body)["set"]
                    schemas.add((s["schema_name"], s["url"]))
                except (ValueError, KeyError, TypeError):
                    pass
    parts = []
    if progress:
        parts.append("training " + ", ".join("%s %s%%" % hp for hp in sorted(progress.items())))
    parts.append("models uploaded %d" % paths["/vx-api/set_models_uri"])
    by_kind = ", ".join("%s %d" % (KINDS.get(k, "kind %s" % k), n) for k, n in sorted(kinds.items(), key=str))
    parts.append("\"/attack\" reports %d%s" % (paths["/vx-api/attack"], " (%s)" % by_kind if by_kind else ""))
    parts.append("schemas %d%s" % (len(schemas), " (%s)" % ", ".join(h + u for h, u in sorted(schemas)) if schemas else ""))
    parts.append("events %d" % paths["/vx-api/set_event"])
    parts.append("requests %d" % sum(paths.values()))
    return "; ".join(parts)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: record_summary.py RECORD")
    try:
        print(summary(sys.argv[1]))
    except FileNotFoundError:
        print("no requests yet")


if __name__ == "__main__":
    main()
