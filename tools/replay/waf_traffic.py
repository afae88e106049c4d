#!/usr/bin/python3
"""Writes WAF request messages of three kinds of traffic, one JSON object per
line, in the form csic_to_waf.py writes, stamped with the current time and
with the headers of the CSIC requests (so that a host trained on those does
not flag them for their headers):

  flood  one request repeated from one address (DDoS detection);
  guess  log-in attempts of one address, a new password each time, sent to
         one target (brute-force detection with a rule for that target);
  api    JSON bodies sent to a few API endpoints (schema generation).

    waf_traffic.py flood --count 300 -o flood.jsonl
    waf_traffic.py guess --url /login --count 20 -o guesses.jsonl
    waf_traffic.py api --vhost api.localhost --count 200 -o api.jsonl
"""
import argparse
import json
import random
import sys
import time

from csic_to_waf import b64

UA = "Mozilla/5.0 (compatible; Konqueror/3.5; Linux) KHTML/3.5.8 (like Gecko)"
HEADERS = ("Pragma: no-cache\r\nCache-control: no-cache\r\n"
           "Accept: text/xml,application/xml,application/xhtml+xml,text/html;q=0.9,text/plain;q=0.8,image/png,*/*;q=0.5"
           "\r\nAccept-Encoding: x-gzip, x-deflate, gzip, deflate\r\nAccept-Charset: utf-8, utf-8;q=0.5, *;q=0.5"
           "\r\nAccept-Language: en\r\nHost: %s\r\nConnection: close")


def message(n, args, method, url, query="", body="", headers=""):
    return {
        "request_id": "%s-%d-%d" % (args.kind, args.start_time, n),
        "vhost": args.vhost,
        "ip": args.ip,
        "port": 80,
        "lm": 0,
        "blocked": 0,
        "mz": "",
        "timestamp": args.start_time,
        "method": method,
        "status_code": 200,
        "url": b64(url),
        "args": b64(query),
        "cookie": b64(""),
        "ua": b64(UA),
        "referer": b64(""),
        "other_headers": b64(HEADERS % args.vhost + headers),
        "body": b64(body),
    }


def flood(args, rnd):
    for n in range(args.count):
        yield message(n, args, "GET", args.url or "/")


def guess(args, rnd):
    form = "\r\nContent-Type: application/x-www-form-urlencoded"
    for n in range(args.count):
        body = "user=admin&password=%s%d" % (rnd.choice(["secret", "qwerty", "letmein", "dragon"]), n)
        yield message(n, args, "POST", args.url or "/login", body=body, headers=form)


def api(args, rnd):
    as_json = "\r\nContent-Type: application/json"
    names = ["ann", "bob", "eve", "kim", "lee"]
    for n in range(args.count):
        if n % 2 == 0:
            url = "/api/users/%d" % rnd.randint(1, 9999)
            doc = {"name": rnd.choice(names), "age": rnd.randint(18, 90), "tags": [rnd.choice(names)]}
            method = "PUT"
        else:
            url = "/api/orders"
            doc = {"item": rnd.randint(1, 500), "qty": rnd.randint(1, 9), "note": rnd.choice(names),
                   "paid": rnd.random() < 0.5}
            method = "POST"
        yield message(n, args, method, url, body=json.dumps(doc), headers=as_json)


KINDS = {"flood": flood, "guess": guess, "api": api}


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("kind", choices=sorted(KINDS))
    p.add_argument("-o", "--out", help="output file (standard output when absent)")
    p.add_argument("--count", type=int, default=100, help="messages to write")
    p.add_argument("--vhost", default="localhost", help="virtual host of every message")
    p.add_argument("--ip", help="client address (default: one per kind)")
    p.add_argument("--url", help="target (default: / for flood, /login for guess)")
    p.add_argument("--seed", type=int, default=1, help="random seed")
    p.add_argument("--start-time", type=int, default=int(time.time()), help="timestamp of every message")
    args = p.parse_args()
    if args.ip is None:
        args.ip = {"flood": "10.66.0.1", "guess": "10.77.0.1", "api": "10.88.0.1"}[args.kind]
    rnd = random.Random(args.seed)
    out = open(args.out, "w", encoding="utf-8") if args.out else sys.stdout
    for m in KINDS[args.kind](args, rnd):
        out.write(json.dumps(m) + "\n")
    if out is not sys.stdout:
        out.close()


if __name__ == "__main__":
    main()
