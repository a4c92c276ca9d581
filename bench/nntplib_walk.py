#!/usr/bin/env python3
"""The work of nntp_walk_bench done with Python's nntplib, for comparison.

  nntplib_walk.py PORT walk|harvest RUNS

Prints the mean wall time of one run in milliseconds and the count of
headers walked or pictures kept.
"""

import binascii
import os
import shutil
import sys
import tempfile
import time
import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib

SMALL_GROUP = "lumigrab.bench.small"
PICTURE_GROUP = "lumigrab.bench.pictures"
MARKERS = ("0/", "/2", "/3", "/4", "/5", "/6", "/7", "/8", "/9")
PICTURES = ("JPG", "GIF", "BMP", "DIB", "RLE", "PCX", "TGA")


def field(lines, name):
    prefix = name.lower().encode() + b":"
    for line in lines:
        if line.lower().startswith(prefix):
            return line[len(prefix):].strip()
    return b""


def walk(server, group, visit):
    """One HEAD and one NEXT per article, from the first to the last."""
    _, _, first, _, _ = server.group(group)
    server.stat(first)
    count = 0
    while True:
        _, info = server.head()
        visit(info)
        count += 1
        try:
            server.next()
        except nntplib.NNTPTemporaryError as error:
            if str(error).startswith("421"):
                return count
            raise


def uudecode_pictures(lines, folder):
    kept = 0
    name, data = None, []
    for line in lines:
        if name is None:
            if line.startswith(b"begin "):
                name = os.path.basename(line.split(b" ", 2)[2].decode("latin-1"))
                data = []
        elif line == b"end":
            if name[-3:].upper() in PICTURES:
                with open(os.path.join(folder, name), "wb") as file:
                    file.write(b"".join(data))
                kept += 1
            name = None
        elif line and line != b"`":
            data.append(binascii.a2b_uu(line))
    return kept


def run_walk(port):
    with nntplib.NNTP("127.0.0.1", port, readermode=False) as server:
        return walk(server, SMALL_GROUP, lambda info: None)


def run_harvest(port):
    folder = tempfile.mkdtemp(prefix="nntplib-bench-")
    kept = 0
    try:
        with nntplib.NNTP("127.0.0.1", port, readermode=False) as server:
            def visit(info):
                nonlocal kept
                subject = field(info.lines, "Subject")
                lines = field(info.lines, "Lines")
                if int(lines or 0) <= 150 or any(m.encode() in subject for m in MARKERS):
                    return
                server.stat(info.number)
                server.head(info.number)
                _, article = server.article(info.number)
                kept += uudecode_pictures(article.lines, folder)
            walk(server, PICTURE_GROUP, visit)
    finally:
        shutil.rmtree(folder)
    return kept


def main():
    port, task, runs = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    work = run_walk if task == "walk" else run_harvest
    total, count = 0.0, 0
    for _ in range(runs):
        start = time.perf_counter()
        count = work(port)
        total += time.perf_counter() - start
    print("%.3f %d" % (total * 1000 / runs, count))


if __name__ == "__main__":
    main()
