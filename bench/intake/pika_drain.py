#!/usr/bin/python3
"""The reference consumer: takes N messages from a queue with pika, runs
json.loads on each and acknowledges it; prints the seconds it took."""
import json
import sys
import time

import pika


def main():
    url, queue, n, prefetch = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    t0 = time.monotonic()
    conn = pika.BlockingConnection(pika.URLParameters(url))
    ch = conn.channel()
    ch.queue_declare(queue=queue, passive=False, durable=False, exclusive=False, auto_delete=False)
    ch.basic_qos(prefetch_count=prefetch)
    count = 0
    for method, _props, body in ch.consume(queue, auto_ack=False):
        json.loads(body)
        ch.basic_ack(method.delivery_tag)
        count += 1
        if count >= n:
            break
    ch.cancel()
    conn.close()
    print("%.6f" % (time.monotonic() - t0))


if __name__ == "__main__":
    main()
