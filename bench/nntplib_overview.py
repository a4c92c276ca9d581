#!/usr/bin/env python3
"""The work of nntp_latency_bench done with Python's nntplib, and the least
time the harvest's articles can take to arrive.

  nntplib_overview.py PORT over|harvest|burst|depth4 RUNS

over     one over() of the small group's whole range
harvest  over() of the picture group, then article() for every header that
         passes the harvest's size and multi-part tests, uudecoded and
         written
burst    ARTICLE for every article of the picture group sent at once on a
         plain socket, and all the replies read: the articles' bytes plus
         one round trip
depth4   the same with at most four ARTICLE commands awaiting their
         replies, as the news client sends them ahead

Each run is timed from after GROUP. Prints the mean wall time of one run in
milliseconds and a count: headers, pictures kept, or articles and their
bytes.
"""

import os
import shutil
import socket
import sys
import tempfile
import time
import warnings

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from nntplib_walk import MARKERS, PICTURE_GROUP, SMALL_GROUP, uudecode_pictures  # noqa: E402

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib


def timed(work):
    start = time.perf_counter()
    result = work()
    return time.perf_counter() - start, result


def run_over(port):
    with nntplib.NNTP("127.0.0.1", port, readermode=False) as server:
        _, _, first, last, _ = server.group(SMALL_GROUP)
        return timed(lambda: len(server.over((first, last))[1]))


def wanted(fields):
    lines = fields.get(":lines") or fields.get("lines") or "0"
    subject = fields.get("subject", "")
    return int(lines) > 150 and not any(marker in subject for marker in MARKERS)


def run_harvest(port):
    folder = tempfile.mkdtemp(prefix="nntplib-latency-")
    try:
        with nntplib.NNTP("127.0.0.1", port, readermode=False) as server:
            _, _, first, last, _ = server.group(PICTURE_GROUP)

            def harvest():
                kept = 0
                for number, fields in server.over((first, last))[1]:
                    if wanted(fields):
                        kept += uudecode_pictures(server.article(number)[1].lines, folder)
                return kept

            return timed(harvest)
    finally:
        shutil.rmtree(folder)


def run_burst(port, window=None):
    with socket.create_connection(("127.0.0.1", port)) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        reader = sock.makefile("rb")
        reader.readline()
        sock.sendall(b"GROUP %s\r\n" % PICTURE_GROUP.encode())
        _, _, first, last = reader.readline().split()[:4]
        numbers = range(int(first), int(last) + 1)
        window = window or len(numbers)

        def send(start):
            sock.sendall(b"".join(b"ARTICLE %d\r\n" % n for n in numbers[start : start + window]))

        def burst():
            send(0)
            size = 0
            for index in range(len(numbers)):
                line = reader.readline()
                size += len(line)
                if not line.startswith(b"220"):
                    raise SystemExit("burst: unexpected reply %r" % line)
                while line != b".\r\n":
                    line = reader.readline()
                    size += len(line)
                if index + window < len(numbers):
                    sock.sendall(b"ARTICLE %d\r\n" % numbers[index + window])
            return len(numbers), size

        spent, result = timed(burst)
        sock.sendall(b"QUIT\r\n")
        return spent, result


def main():
    port, task, runs = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    work = {"over": run_over, "harvest": run_harvest, "burst": run_burst, "depth4": lambda p: run_burst(p, 4)}[task]
    total = 0.0
    for _ in range(runs):
        spent, result = work(port)
        total += spent
    counts = result if isinstance(result, tuple) else (result,)
    print("%.3f %s" % (total * 1000 / runs, " ".join(str(count) for count in counts)))


if __name__ == "__main__":
    main()
