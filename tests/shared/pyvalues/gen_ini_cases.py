#!/usr/bin/python3
"""Writes ini_cases.json: how configparser.RawConfigParser() reads each input
below and answers the queries on it. Run with Debian's /usr/bin/python3 from
this directory; the C++ tests replay the table."""
import configparser
import json
import os
import tempfile

SRC = "cfg.ini"

# (name, input as str or bytes, queries)
# queries: (method, section, option) with method get/getboolean/getint/has_option,
# or ("has_section", section).
CASES = [
    ("basic", "[main]\ndebug = yes\napi_uri=http://h\n[run]\nrmq_host: u:p@h\n",
     [("getboolean", "main", "debug"), ("get", "run", "rmq_host"), ("get", "main", "api_uri")]),
    ("option names fold, section names do not", "[main]\nDeBuG = On\n[Main]\nx = 1\n",
     [("has_option", "main", "debug"), ("has_option", "main", "DEBUG"), ("getboolean", "main", "Debug"),
      ("get", "Main", "x"), ("has_option", "MAIN", "x"), ("get", "MAIN", "x"), ("has_section", "Main")]),
    ("first delimiter splits", "[s]\na = b = c\nk:v=w\nurl = http://h:80/p\nt=\n",
     [("get", "s", "a"), ("get", "s", "k"), ("get", "s", "url"), ("get", "s", "t")]),
    ("blanks around name and value", "[s]\n  key   =   value with  spaces   \n\tk2\t:\tv2\t\n", [("get", "s", "key"), ("get", "s", "k2")]),
    ("no inline comments", "[s]\na = 1 ; not a comment\nb = x # y\n", [("get", "s", "a"), ("get", "s", "b")]),
    ("whole-line comments", "# top\n; top\n[s]\n  # indented comment\na = 1\n;b = 2\n", [("get", "s", "a"), ("has_option", "s", "b")]),
    ("continuation lines", "[run]\nrmq_host = a@h1\n    b@h2\n\tc@h3\nnext = 1\n",
     [("get", "run", "rmq_host"), ("get", "run", "next")]),
    ("empty lines inside a value are kept", "[s]\na = x\n\n  y\n\n\nb = 2\n", [("get", "s", "a"), ("get", "s", "b")]),
    ("trailing empty lines are dropped", "[s]\na = x\n  y\n\n\n", [("get", "s", "a")]),
    ("comment inside a value is skipped", "[s]\na = x\n# c\n  y\n", [("get", "s", "a")]),
    ("continuation must be deeper", "[s]\n  a = 1\n  b = 2\n    c\n", [("get", "s", "a"), ("get", "s", "b")]),
    ("empty first value continued", "[s]\na =\n  one\n  two\n", [("get", "s", "a")]),
    ("percent is plain", "[s]\na = 100%\nb = %(a)s\n", [("get", "s", "a"), ("get", "s", "b")]),
    ("header with trailing text", "[main] # comment\ndebug = 1\n[a]b]\nx=1\n", [("getboolean", "main", "debug"), ("has_section", "a]b")]),
    ("header with blanks", "[ main ]\nx = 1\n", [("has_section", "main"), ("has_section", " main ")]),
    ("DEFAULT inherited", "[DEFAULT]\nlevel = 3\n[a]\nx = 1\n[b]\nlevel = 4\n",
     [("get", "a", "level"), ("get", "b", "level"), ("has_option", "a", "level"), ("has_option", "DEFAULT", "x"),
      ("get", "DEFAULT", "level"), ("has_option", "missing", "level"), ("has_section", "DEFAULT")]),
    ("DEFAULT twice", "[DEFAULT]\na = 1\n[DEFAULT]\nb = 2\n[s]\n", [("get", "s", "a"), ("get", "s", "b")]),
    ("duplicate option", "[main]\ndebug = 1\ndebug = 0\n", []),
    ("duplicate option in other case", "[main]\nDebug = 1\n\n\ndEBUG = 0\n", []),
    ("duplicate option in DEFAULT", "[DEFAULT]\na=1\n[s]\n[DEFAULT]\na=2\n", []),
    ("duplicate section", "[main]\na = 1\n[run]\n[main]\nb = 2\n", []),
    ("text before the first section", "debug = 1\n[main]\n", []),
    ("comment then text before the first section", "# c\n\n  x\n", []),
    ("line without delimiter", "[s]\na = 1\njunk line\nb = 2\nmore junk\n", []),
    ("empty option name", "[s]\n= 1\n", []),
    ("empty header is no header", "[]\n", []),
    ("byte order mark", "\ufeff[main]\na = 1\n", []),
    ("repr of odd lines", "[s]\nbad \t'line\x01\u00e9\u200b\n", []),
    ("CRLF and CR line ends", "[s]\r\na = 1\r\n  b\rc = 2\r", [("get", "s", "a"), ("get", "s", "c")]),
    ("unicode white space and names", "[s]\n\u00c4pfel = r\u00f6t\u3000\n\u3000\u3000x = 1\n", [("get", "s", "\u00e4pfel"), ("has_option", "s", "\u00c4PFEL")]),
    ("booleans", "[b]\na = 1\nb = YES\nc = True\nd = oN\ne = 0\nf = no\ng = FALSE\nh = Off\ni = maybe\nj = \nk = 2\nl = y\n",
     [("getboolean", "b", o) for o in "abcdefghijkl"]),
    ("integers", "[i]\na = 15\nb = -3\nc = +7\nd =  0 \ne = 1_000\nf = x\ng = 1.5\nh = \ni = 0x10\nj = 1__0\nk = _1\nl = 1_\nm = - 5\nn = 007\no = \u0661\u0662\np = 9223372036854775807\nq = -9223372036854775808\n",
     [("getint", "i", o) for o in "abcdefghijklmnopq"]),
    ("missing section and option", "[s]\na = 1\n", [("get", "t", "a"), ("get", "s", "B"), ("getint", "x", "y"), ("getboolean", "s", "zz"), ("has_option", "t", "a")]),
    ("empty file", "", [("has_option", "run", "rmq_host"), ("get", "run", "rmq_host")]),
    ("invalid start byte", b"[s]\na = \xff\n", []),
    ("invalid continuation byte", b"[s]\na = \xe2\x28\xa1\n", []),
    ("invalid continuation in the third byte", b"[s]\na = \xe2\x82x\n", []),
    ("surrogate", b"[s]\na = \xed\xa0\x80\n", []),
    ("truncated at end of file", b"[s]\na = \xe2\x82", []),
    ("truncated one byte at end of file", b"[s]\na = \xf0", []),
]


def run(path, queries):
    cp = configparser.RawConfigParser()
    out = {}
    try:
        cp.read(path, encoding="utf-8")
    except Exception as e:  # noqa: BLE001
        out["error"] = {"type": type(e).__name__, "text": str(e)}
        return out
    out["sections"] = {s: [[o, cp.get(s, o)] for o in cp.options(s)] for s in cp.sections()}
    out["defaults"] = [[o, v] for o, v in cp.defaults().items()]
    results = []
    for q in queries:
        try:
            r = getattr(cp, q[0])(*q[1:])
            results.append({"query": list(q), "value": r})
        except Exception as e:  # noqa: BLE001
            results.append({"query": list(q), "error": {"type": type(e).__name__, "text": str(e)}})
    out["queries"] = results
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    table = []
    with tempfile.TemporaryDirectory() as d:
        os.chdir(d)
        for name, text, queries in CASES:
            data = text if isinstance(text, bytes) else text.encode("utf-8")
            with open(SRC, "wb") as f:
                f.write(data)
            entry = {"name": name, "input_hex": data.hex()}
            entry.update(run(SRC, queries))
            table.append(entry)
    with open(os.path.join(here, "data", "ini_cases.json"), "w", encoding="utf-8") as f:
        json.dump(table, f, ensure_ascii=False, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
