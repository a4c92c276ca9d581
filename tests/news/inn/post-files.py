#!/usr/bin/env python3
"""Posts files to a news server, each as a single-part yEnc article, the way
most pictures are posted: the subject names the file.

  post-files.py --port PORT --group GROUP FILE...
"""

import argparse
import os
import sys

sys.dont_write_bytecode = True
from nntp_articles import Poster, plain_headers, yencode  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--group", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    poster = Poster(args.port)
    for path in args.files:
        name = os.path.basename(path)
        with open(path, "rb") as file:
            data = file.read()
        poster.post(plain_headers(args.group, '"%s" yEnc (1/1)' % name), yencode(name, data))
    poster.close()


if __name__ == "__main__":
    sys.exit(main())
