#!/usr/bin/python3
"""Writes data/wl_golden.json: values of every zone with the white-list
verdict that Python's re gives for the built-in patterns.

Run with Debian's /usr/bin/python3 from this folder; the test reads the
committed file and needs no Python.
"""
import json
import re

PATTERNS = {
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
COMPILED = {z: [re.compile(p, re.I) for p in ps] for z, ps in PATTERNS.items()}


def ml_wl_zone(data, z):
    if len(data) > 750:
        return False
    data = data.strip()
    if not data:
        return True
    if data.isdigit():
        return True
    for zone in ("url", "args", "body", "referer", "cookie", "other_headers"):
        if z == zone:
            return any(p.match(data) for p in COMPILED[zone])
    return False


ZONES = ["url", "args", "body", "referer", "cookie", "other_headers", "ua", "URL", "uri"]

COMMON = [
    "", " ", "\t\r\n", "\x1f\x1c", "\u00a0\u3000", " " * 751, "0" * 750, "0" * 751, " 0042 ",
    "\u00b2\u00b3", "\u0661\u0662", "\uff11\uff12", "\u00bd", "12.5", "12 34", "-5", "abc",
    "<script>alert(1)</script>", "' or 1=1 --", "../../etc/passwd", "a" * 750, "a" * 751,
]

PER_ZONE = {
    "url": [
        "/images/Logo.PNG", "/index.php", "/api/v1/users", "/a b", "/a", "/.well-known/acme-challenge/abc-123/",
        "/.well-known/acme-challenge/abc-123///", "/.well-known/acme-challenge/", "/style.min.css", "/app.min.CSS",
        "/x.json", "/x.js", "/x.jsonx", "/v.mp4", "/v.mp\u0664", "/v.mpx", "/f.woff", "/f.woff2", "/d\u00e9j\u00e0/vu",
        "/\u043f\u0443\u0442\u044c", "/a_b-c/d", "/a.b/c", "//", "/", "/a?b=1", "/a;b", "index.php", "/A/B/C.HTML",
        "/x.PhP", "/\u0130stanbul", "/x\u0301", "/\u2163", "/kelvin\u212a",
    ],
    "args": [
        "id=15", "tags[]=a-b", "q=hello world", "a=" + "b" * 500, "a=" + "b" * 501, "id=1", "x=1.2.3=4",
        "=abc", "a" * 50 + "=1", "a" * 51 + "=1", "http://example.com/a/b?x=1&y=2", "https://a.b", "http://a/b",
        "https://a.b/c/?", "https://a.b/c?x=1?y=2", "https://a.b/c d", "email=john.doe@example.com",
        "email=john@", "fbclid=IwAR0abc-def-ghi", "fbclid=abc--def", "FBCLID=abc", "fb=abc", "a=\u0441\u043b\u043e\u0432\u043e",
        "a=b c", "a=b%20c", "a[b]=c", "a[b]c=d", "a=b;c", "id=1 OR 1=1",
        "t[" + "a" * 47 + "]=1", "t[" + "a" * 48 + "]=1", "a" * 50 + "=" + "b" * 500, "a" * 50 + "=" + "b" * 501,
        "a" * 51 + "=" + "b" * 400, "a" * 51 + "=" + "b" * 500, "a=" + "b" * 30 + "@" + "c" * 30,
        "a=" + "b" * 31 + "@c", "a=b@" + "c" * 31, "a" * 51 + "=b@c", "=b@c", "a=@c", "\u00e9" * 50 + "=1",
        "\u00e9" * 51 + "=x[", "a=b=c", "a==", "[]=x",
    ],
    "body": [
        "phone=+7 (999) 123-45-67", "q=a b", "phone=123", "phone=+1-800-555-0100", "phone=(999)",
        "phone=1 2 3 4 5", "phone=1-2-3-4-5-6-7-8-9", "p" * 50 + "=1-2", "p" * 51 + "=1-2", "a=" + "1" * 40 + "x", "a=" + "1" * 20 + " " + "2" * 20 + "x",
        "content-disposition: form-data; name=\"file\" a.txt", "Content-Disposition: form-data; name=\"f\" x@y.z",
        "content-disposition:form-data; name=\"f\" x", "content-disposition: form-data; name=\"f\"  x",
        "user=a@b.c", "a=b", "x=\u0661\u0662 \u0663", "a=1+2", "json={\"a\":1}", "a=b\u00a0c",
    ],
    "referer": [
        "https://example.com/", "https://example.com", "http://a.b/c/d/", "https://a.b/c?d=1", "http://localhost/",
        "https://a.b.c/.well-known/acme-challenge/xyz/", "https://a.b//c", "ftp://a.b/", "https://\u043f\u0440\u0438\u043c\u0435\u0440.\u0440\u0444/",
        "https://a-b.c/d-e_f", "https://a.b/c.html",
    ],
    "cookie": [
        "_ga=GA1.2.3.4", "tmr_lvid=123|456", "theme=dark blue", "a" * 50 + "=1", "a" * 51 + "=1", "a=b\x1f",
        "bitrix_sm_guest=1.2.3@a-b.ru", "BITRIX_SM_X=abc", "bitrix_sm_x=a.b.c@d", "__utmz=1.2.(direct)|utmcsr=(none) x",
        "__utma=" + "1" * 200, "__utma=" + "1" * 201 + " x", "ymex=123.abc.456#789.def.012", "ymex=1.a.1#1.a",
        "tmr_x=1|a", "session=abc;def", "a=", "=b", "a[b]=c", "__utm=" + "x" * 200, "__utm=" + "x" * 201,
        "__utmz=a=b", "a" * 50 + "=" + "b" * 500, "a" * 50 + "=" + "b" * 501, "\u00e9" * 51 + "=1",
    ],
    "other_headers": [
        "X-Real-IP: 10.0.0.1", "If-Modified-Since: Sat, 29 Oct 1994 19:43:31 GMT",
        "Content-Type: multipart/form-data; boundary=----abc", "Accept: text/html", "X-Forwarded-For: 10.0.0.1",
        "X-Forwarded-For: 10.0.0.1, 10.0.0.2", "If-None-Match: \"" + "a" * 50 + "\"", "If-None-Match: \"" + "a" * 51 + "\"",
        "From: user(at)example.com", "From: user@mail.example.com", "Origin: https://a.b.c", "Origin: https: //a.b",
        "If-Range: \"abc-123\"", "Y-Browser-Experiments: 1,2;3", "Y-Browser-Experiments: 1,", "Y-Browser-Experiments: 12",
        "content-disposition: form-data; name=\"a[]\"; filename=\"x(1).png\"", "content-disposition: form-data; name=\"a\"",
        "Accept-Language: en-US", "Cache-Control:no-cache", "X-Real-IP: 1000.0.0.1", "Host: a.b:80", "X-Custom: \u0661.\u0662",
        "DNT: 1", "Connection: keep-alive, Upgrade", "a" * 50 + ": " + "b" * 500, "a" * 51 + ":b",
        "a" * 50 + ":" + "b" * 501, "If-None-Match: \"\"", "x:", ":x",
    ],
    "ua": ["Mozilla/5.0", "curl/7.0"],
}


def main():
    rows = []
    for z in ZONES:
        values = COMMON + PER_ZONE.get(z, []) + PER_ZONE["url"][:3]
        for v in values:
            rows.append([z, v, ml_wl_zone(v, z)])
    with open("data/wl_golden.json", "w", encoding="utf-8") as f:
        json.dump(rows, f, ensure_ascii=True, indent=0)
        f.write("\n")
    print(len(rows), "cases,", sum(r[2] for r in rows), "white-listed")


if __name__ == "__main__":
    main()
