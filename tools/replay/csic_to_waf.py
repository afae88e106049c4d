#!/usr/bin/python3
"""Turns raw HTTP requests (the CSIC 2010 normal-traffic file) into WAF
request messages, one JSON object per line, in the form request intake
reads: the zones url, args, cookie, ua, referer, other_headers and body in
base64, plus request_id, vhost, ip, port, method, timestamp, blocked, lm, mz
and status_code. Optionally mixes attack values into a share of them.

    csic_to_waf.py normalTrafficTraining.txt.gz > requests.jsonl
    csic_to_waf.py --attacks attack-payloads.jsonl --attack-share 0.1 \
        --vhost shop.example --count 100000 normalTrafficTraining.txt.gz -o out.jsonl
"""
import argparse
import base64
import gzip
import json
import random
import sys
import urllib.parse
import uuid


def read_requests(path):
    """Yields (request line, [(name, value)], body) of each raw request."""
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as f:
        data = f.read().decode("latin-1")
    lines = data.split("\r\n") if "\r\n" in data else data.split("\n")
    i = 0
    n = len(lines)
    while i < n:
        while i < n and not lines[i].strip():
            i += 1
        if i >= n:
            break
        request_line = lines[i]
        i += 1
        headers = []
        while i < n and lines[i]:
            name, _, value = lines[i].partition(":")
            headers.append((name.strip(), value.strip()))
            i += 1
        i += 1  # the blank line after the headers
        body = ""
        length = next((int(v) for k, v in headers if k.lower() == "content-length" and v.isdigit()), 0)
        if length and i < n:
            body = lines[i]
            i += 1
        yield request_line, headers, body


def b64(text):
    return base64.b64encode(text.encode("utf-8")).decode("ascii")


def to_message(request_line, headers, body, args, index):
    parts = request_line.split(" ")
    method = parts[0]
    target = parts[1] if len(parts) > 1 else "/"
    split = urllib.parse.urlsplit(target)
    host = next((v for k, v in headers if k.lower() == "host"), split.netloc or "localhost")
    vhost = args.vhost or host.split(":")[0]
    port = split.port or (int(host.split(":")[1]) if ":" in host and host.split(":")[1].isdigit() else 80)
    special = {"cookie": "", "user-agent": "", "referer": ""}
    other = []
    for k, v in headers:
        if k.lower() in special:
            special[k.lower()] = v
        else:
            other.append(k + ": " + v)
    zones = {
        "url": split.path or "/",
        "args": split.query,
        "cookie": special["cookie"],
        "ua": special["user-agent"],
        "referer": special["referer"],
        "other_headers": "\r\n".join(other),
        "body": body,
    }
    return method, vhost, port, zones


def add_attack(zones, payload):
    zone, value = payload["zone"], payload["value"]
    if zone in ("args", "body"):
        item = "q=" + urllib.parse.quote(value, safe="")
        zones[zone] = (zones[zone] + "&" + item) if zones[zone] else item
    elif zone == "cookie":
        zones["cookie"] = (zones["cookie"] + "; " if zones["cookie"] else "") + "c=" + value
    elif zone == "other_headers":
        zones["other_headers"] += "\r\nX-Data: " + value
    elif zone == "url":
        zones["url"] = zones["url"].rstrip("/") + "/" + urllib.parse.quote(value, safe="/")
    elif zone in zones:
        zones[zone] = value


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("requests", help="raw HTTP requests (.txt or .txt.gz)")
    p.add_argument("-o", "--out", help="output file (standard output when absent)")
    p.add_argument("--count", type=int, default=0, help="messages to write; the requests repeat as needed (0: each once)")
    p.add_argument("--vhost", default="", help="virtual host of every message (default: the Host header)")
    p.add_argument("--attacks", help="attack values, JSON lines with zone and value")
    p.add_argument("--attack-share", type=float, default=0.0, help="share of messages given one attack value")
    p.add_argument("--seed", type=int, default=1, help="random seed")
    p.add_argument("--start-time", type=int, default=1700000000, help="timestamp of the first message")
    args = p.parse_args()

    rnd = random.Random(args.seed)
    requests = list(read_requests(args.requests))
    if not requests:
        sys.exit("no requests in " + args.requests)
    attacks = []
    if args.attacks:
        with open(args.attacks, encoding="utf-8") as f:
            attacks = [json.loads(line) for line in f if line.strip()]
    total = args.count or len(requests)
    out = open(args.out, "w", encoding="utf-8") if args.out else sys.stdout
    for i in range(total):
        request_line, headers, body = requests[i % len(requests)]
        method, vhost, port, zones = to_message(request_line, headers, body, args, i)
        if attacks and rnd.random() < args.attack_share:
            add_attack(zones, rnd.choice(attacks))
        msg = {
            "request_id": uuid.UUID(int=rnd.getrandbits(128), version=4).hex,
            "vhost": vhost,
            "ip": "10.%d.%d.%d" % (rnd.randrange(4), rnd.randrange(256), rnd.randrange(1, 255)),
            "port": port,
            "lm": 0,
            "blocked": 0,
            "mz": "",
            "timestamp": args.start_time + i // 100,
            "method": method,
            "status_code": 200,
        }
        for z, v in zones.items():
            msg[z] = b64(v)
        out.write(json.dumps(msg) + "\n")
    if out is not sys.stdout:
        out.close()


if __name__ == "__main__":
    main()
