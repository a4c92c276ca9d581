#!/usr/bin/env python3
"""Fills the demo news server: pictures of all seven types, drawn now, in
the encodings found on Usenet (uuencode, MIME base64 and yEnc), a few
small text articles, and multi-part posts (yEnc and uuencoded) that the
browser joins, and one it cannot complete.

  demo-posts.py --groups      prints the groups to create, one a line
  demo-posts.py --port PORT   posts; prints the picture groups, one a line

Needs Pillow (Debian: python3-pil).
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "news", "inn"))

from nntp_articles import (Poster, base64_lines, base64_single_headers, mime_headers,  # noqa: E402
                           multipart_body, plain_headers, post_yenc, uuencode, yencode)
from multipart_posts import uu_parts, uu_subject  # noqa: E402

import demo_pictures as pictures  # noqa: E402
from demo_pictures import Look  # noqa: E402

MAIN_GROUP = "alt.binaries.pictures.lumigrab-demo"
FRACTAL_GROUP = "alt.binaries.pictures.lumigrab-demo.fractals"
TALK_GROUP = "lumigrab.demo.talk"
PICTURE_GROUPS = (MAIN_GROUP, FRACTAL_GROUP)
ALL_GROUPS = PICTURE_GROUPS + (TALK_GROUP,)
SENDER = "Lumigrab Demo <demo@lumigrab.invalid>"
# The browser fetches articles of more than this many lines.
LARGE = 150

WHOLE_SET = Look((-2.2, -1.2, 0.8, 1.2), 0.0, (10, 20, 60), (60, 10, 50))
SEAHORSES = Look((-0.80, 0.05, -0.70, 0.125), 0.3, (5, 5, 30), (30, 5, 40))
DENDRITES = Look((-0.17, 1.0, -0.13, 1.03), 0.6, (0, 20, 30), (10, 40, 20))
MINIBROT = Look((-1.79, -0.03, -1.73, 0.015), 0.15, (30, 10, 10), (10, 10, 40))
ELEPHANTS = Look((0.25, -0.02, 0.29, 0.01), 0.8, (20, 10, 40), (0, 30, 40))
SPIRALS = Look((-1.26, 0.36, -1.2, 0.405), 0.45, (10, 30, 10), (40, 20, 0))


class Demo:
    def __init__(self, poster):
        self.poster = poster
        self.made = time.strftime("%H:%M:%S")

    def picture(self, look, kind, caption, form):
        return pictures.encode(pictures.draw(look, kind, caption, self.made), form)

    def post(self, headers, body, large=True):
        # A picture article the browser is meant to fetch must be large;
        # catch a picture that came out too small here, not in the window.
        if large and len(body) <= LARGE:
            raise SystemExit("demo-posts: %s has only %d lines" % (headers[2], len(body)))
        self.poster.post(headers, body)

    def text(self, group, subject, lines):
        self.post(plain_headers(group, subject, SENDER), [line.encode() for line in lines], large=False)

    def uuencoded(self, group, subject, intro, files):
        body = [line.encode() for line in intro] + [b""]
        for name, data in files:
            body += uuencode(name, data) + [b""]
        self.post(plain_headers(group, subject, SENDER), body)

    def yencoded(self, group, subject, name, data):
        """A single-part yEnc post, as most pictures on Usenet are posted."""
        self.post(plain_headers(group, subject, SENDER), yencode(name, data))

    def base64_single(self, group, subject, content_type, name, data):
        self.post(base64_single_headers(group, subject, content_type, name, SENDER), base64_lines(data))

    def multipart(self, group, subject, note, files):
        boundary = b"=_lumigrab_demo"
        parts = [(name, content_type, data, "base64") for name, content_type, data in files]
        headers = mime_headers(group, subject, 'multipart/mixed; boundary="%s"' % boundary.decode(), SENDER)
        self.post(headers, multipart_body(boundary, [line.encode() for line in note], parts))

    def uu_split_post(self, group, name, data, total):
        """One uuencoded picture spread over total articles, "begin" in the
        first and "end" in the last; the browser joins them."""
        for number, lines in enumerate(uu_parts(name, data, total), 1):
            self.post(plain_headers(group, uu_subject(name, number, total), SENDER), lines, large=False)

    def yenc_split_post(self, group, name, data, total, parts=None):
        """One picture in total yEnc parts, as large pictures are posted
        today; parts picks the ones posted (all by default), in that order."""
        post_yenc(self.poster, group, name, data, total, parts, SENDER)


def fill_main_group(demo):
    g = MAIN_GROUP
    demo.text(g, "Welcome to the Lumigrab demo group", [
        "This group lives on a news server that runs only for the demo.",
        "Every picture in it was drawn a moment ago, one of each type the",
        "browser shows: JPG, GIF, BMP, DIB, RLE, PCX and TGA, some of them",
        "yEnc-encoded, as most pictures on Usenet are posted today.",
        "Press Go to fetch them, then Forward and Back to step through.",
    ])
    demo.uuencoded(g, "Mandelbrot at dusk - dusk.jpg (1/1)", ["A JPEG, uuencoded in the article text."],
                   [("dusk.jpg", demo.picture(WHOLE_SET, "JPG", "uuencoded in plain text", "jpg"))])
    demo.base64_single(g, "Dendrites [GIF]", "image/gif", "dendrites.gif",
                       demo.picture(DENDRITES, "GIF", "MIME base64, single part", "gif"))
    demo.multipart(g, "Minibrot in true colour (BMP)", ["A 24-bit Windows bitmap, attached."],
                   [("minibrot.bmp", "image/bmp",
                     demo.picture(MINIBROT, "BMP", "multipart/mixed, 24-bit", "bmp24"))])
    demo.uuencoded(g, "Run-length bitmap: spirals.bmp", ["A BMP compressed with RLE8."],
                   [("spirals.bmp", demo.picture(SPIRALS, "BMP", "RLE8-compressed, uuencoded", "rle8"))])
    demo.text(g, "Re: Welcome to the Lumigrab demo group", [
        "> Every picture in it was drawn a moment ago",
        "",
        "Small articles like this one are never fetched: the browser only",
        "asks for articles of more than 150 lines.",
    ])
    demo.base64_single(g, "Seahorse valley, 256 colours (DIB)", "image/bmp", "seahorses.dib",
                       demo.picture(SEAHORSES, "DIB", "MIME base64, 256 colours", "bmp8"))
    demo.multipart(g, "Two for one: RLE and PCX", ["An RLE4 bitmap and a 24-bit PCX in one post."],
                   [("elephants.rle", "image/bmp",
                     demo.picture(ELEPHANTS, "RLE", "RLE4 bitmap, multipart", "rle4")),
                    ("dendrites.pcx", "image/x-pcx",
                     demo.picture(DENDRITES, "PCX", "24-bit, multipart", "pcx24"))])
    demo.uu_split_post(g, "panorama.jpg", demo.picture(WHOLE_SET, "JPG", "uuencoded in 3 articles, joined", "jpg"),
                       3)
    # Its parts out of order, as a server may list them.
    demo.yenc_split_post(g, "spirals-parts-yenc.png", demo.picture(SPIRALS, "PNG", "yEnc in 4 parts, joined", "png"),
                         4, (2, 1, 4, 3))
    # Part 2 never posted: reported as incomplete, never shown.
    demo.yenc_split_post(g, "unfinished-yenc.jpg", demo.picture(MINIBROT, "JPG", "never complete", "jpg"), 3, (1, 3))
    demo.yencoded(g, 'Dendrites, lossless - "dendrites-yenc.webp" yEnc (1/1)', "dendrites-yenc.webp",
                  demo.picture(DENDRITES, "WEBP", "yEnc, single part", "webp"))
    demo.uuencoded(g, "Targa: minibrot.tga", ["An uncompressed TGA, uuencoded."],
                   [("minibrot.tga", demo.picture(MINIBROT, "TGA", "uncompressed, uuencoded", "tga"))])
    demo.yencoded(g, 'Seahorse valley at night - "seahorses night yenc.jpg" yEnc (1/1)',
                  "seahorses night yenc.jpg", demo.picture(SEAHORSES, "JPG", "yEnc, single part", "jpg"))
    demo.yencoded(g, '[Spirals] - "spirals-yenc.gif" yEnc', "spirals-yenc.gif",
                  demo.picture(SPIRALS, "GIF", "yEnc, single part", "gif"))


def fill_fractal_group(demo):
    g = FRACTAL_GROUP
    demo.text(g, "About this group", ["More fractals, drawn for the Lumigrab demo."])
    demo.uuencoded(g, "Two pictures in one post", ["Two uuencoded blocks follow."],
                   [("elephants.jpg", demo.picture(ELEPHANTS, "JPG", "two blocks in one post", "jpg")),
                    ("spirals.gif", demo.picture(SPIRALS, "GIF", "two blocks in one post", "gif"))])
    demo.base64_single(g, "Seahorses, 256-colour PCX", "image/x-pcx", "seahorses.pcx",
                       demo.picture(SEAHORSES, "PCX", "256 colours, base64", "pcx8"))
    demo.multipart(g, "Run-length TGA", ["A TGA with run-length compression, top-left origin."],
                   [("whole-set.tga", "image/x-tga",
                     demo.picture(WHOLE_SET, "TGA", "RLE-compressed, multipart", "tga-rle"))])
    demo.base64_single(g, "Dusk again, as RLE", "image/bmp", "dusk.rle",
                       demo.picture(WHOLE_SET, "RLE", "RLE8 bitmap, base64", "rle8"))
    demo.yencoded(g, 'Elephant valley - "elephants-yenc.tga" yEnc (1/1)', "elephants-yenc.tga",
                  demo.picture(ELEPHANTS, "TGA", "yEnc, single part", "tga"))


def fill_talk_group(demo):
    demo.text(TALK_GROUP, "This group has no pictures", [
        "Its name does not contain the word the setup dialog looks for,",
        "so Get Groups leaves it out of the group list.",
    ])


def main():
    parser = argparse.ArgumentParser()
    choice = parser.add_mutually_exclusive_group(required=True)
    choice.add_argument("--port", type=int)
    choice.add_argument("--groups", action="store_true")
    args = parser.parse_args()
    if args.groups:
        print("\n".join(ALL_GROUPS))
        return
    poster = Poster(args.port)
    demo = Demo(poster)
    fill_main_group(demo)
    fill_fractal_group(demo)
    fill_talk_group(demo)
    poster.close()
    print("\n".join(PICTURE_GROUPS))


if __name__ == "__main__":
    sys.exit(main())
