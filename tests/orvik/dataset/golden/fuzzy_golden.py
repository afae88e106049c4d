#!/usr/bin/python3
# Writes fuzzy_golden.json: process.extractOne(query, choices) with the
# default processor and scorer, as Debian's python3-fuzzywuzzy 0.18.0 with
# python3-levenshtein 0.12.2 computes it. Run: /usr/bin/python3 fuzzy_golden.py
import json
import logging
import os
import random

from fuzzywuzzy import fuzz, process, utils

logging.disable(logging.WARNING)

pairs = [
    ("GET /index.html", "GET /index.html"),
    ("/api/v1/users?id=1", "/api/v1/users?id=2"),
    ("select * from users", "select * from user"),
    ("abcdefghijklmnopqrst", "abcdefghijklmnopqrsx"),
    ("abcdefghijklmnopqrstuvwxyz", "abcdefghijklmnopqrstuvwxy"),
    ("new york mets", "new york mets vs atlanta braves"),
    ("atlanta braves vs new york mets", "new york mets vs atlanta braves"),
    ("mets new york", "new york mets"),
    ("a b c", "a b c d"),
    ("a b c d e f", "a b c"),
    ("abc", "abcd"),
    ("abc", "abcdef"),
    ("abcdefgh", "abcdefghijkl"),
    ("abcdefgh", "abcdefghijk"),
    ("xyz", "abcxyzabcxyzabcxyzxyzq"),
    ("under_score", "under score"),
    ("'--", "'--"),
    ("", "abc"),
    ("abc", ""),
    ("", ""),
    ("   ", "abc"),
    ("café", "cafe"),
    ("café", "caf"),
    ("a©b", "ab"),
    ("a©b", "a b"),
    ("İstanbul", "istanbul"),
    ("ΟΔΟΣ", "οδος"),
    ("ΟΔΟΣ ΟΔΟΣ", "οδοσ οδος"),
    ("日本語のテキスト", "日本語のテキス"),
    ("Straße", "strasse"),
    ("½ cup", "1 cup"),
    ("id=1' or '1'='1", "id=1 or 1=1"),
    ("Mozilla/5.0 (X11; Linux x86_64)", "Mozilla/5.0 (X11; Linux x86_64) Gecko"),
    ("token=AbCdEf123", "token=abcdef124"),
    ("HELLO WORLD", "hello world"),
    ("hello   world", "hello world"),
    ("world hello", "hello  world"),
    ("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab"),
    ("x" * 70 + "y" * 70, "y" * 70 + "x" * 70),
    ("q" * 200, "q" * 199 + "r"),
    ("session=1; theme=dark", "theme=dark; session=1"),
    ("a\u00a0b", "a b"),
    ("tab\there", "tab here"),
    ("\u2460\u2461", "12"),
    ("x\u0307y", "xy"),
]

rng = random.Random(12)
alphabet = "abcde fgh_/=?&.-1234é©Σİ"
for _ in range(300):
    a = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 30)))
    if rng.random() < 0.5:
        b = list(a)
        for _ in range(rng.randint(0, 4)):
            op = rng.randint(0, 2)
            pos = rng.randint(0, len(b))
            if op == 0:
                b.insert(pos, rng.choice(alphabet))
            elif b:
                del b[min(pos, len(b) - 1)]
        b = "".join(b)
    else:
        b = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 30)))
    pairs.append((a, b))

lists = [
    ("GET /a", ["GET /b", "GET /a", "GET /a "]),
    ("abc", ["abd", "abe", "xyz"]),
    ("new york", ["new york mets", "york new", "newyork"]),
    ("'--", ["'--", "--", "x"]),
    ("café", ["cafe", "café", "caff"]),
]
for _ in range(60):
    q = "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 20)))
    choices = ["".join(rng.choice(alphabet) for _ in range(rng.randint(1, 20))) for _ in range(rng.randint(1, 6))]
    if rng.random() < 0.5:
        choices.insert(rng.randint(0, len(choices)), q[::-1])
    lists.append((q, choices))

out = {"pairs": [], "lists": []}
for a, b in pairs:
    choice, score = process.extractOne(a, [b])
    out["pairs"].append({"query": a, "choice": b, "score": score,
                         "wratio": fuzz.WRatio(utils.full_process(a, force_ascii=True),
                                               utils.full_process(b, force_ascii=True), full_process=False)})
for q, choices in lists:
    best = process.extractOne(q, choices)
    out["lists"].append({"query": q, "choices": choices, "index": choices.index(best[0]), "score": best[1]})

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "fuzzy_golden.json"), "w", encoding="utf-8") as f:
    json.dump(out, f, ensure_ascii=False, indent=0)
    f.write("\n")
