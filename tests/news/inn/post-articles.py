#!/usr/bin/env python3
"""Posts the test articles to a news server through NNTP POST.

  post-articles.py --port PORT --expected DIR          the test groups
  post-articles.py --port PORT --bench SMALL PICTURES  the benchmark groups

For the test groups, every picture that the harvest rules keep is also
written to DIR/<group>/<name> (the exact bytes), and DIR/<group>.list lists
the kept names in the order the harvest meets them.
"""

import argparse
import os
import random
import sys
import zlib

# The yEnc encoder of the sample articles.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "fixtures"))
from make_fixtures import edge_payload, yenc_block  # noqa: E402

from nntp_articles import (Poster, base64_lines, base64_single_headers, mime_headers, multipart_body,
                           plain_headers, post_yenc, uuencode, yencode)
from multipart_posts import uu_parts, uu_subject, yenc_line_bytes, yenc_parts, yenc_subject

TEST_GROUP = "lumigrab.test.pictures"
HOSTILE_GROUP = "lumigrab.test.pictures.more"
TEXT_GROUP = "lumigrab.test.text"
OVERVIEW_GROUP = "lumigrab.test.overview"
MULTIPART_GROUP = "lumigrab.test.multipart"
# Posted to while a test runs, apart from the groups other tests walk.
LATE_GROUP = "lumigrab.test.multipart.late"
# Parts its overview lists whose files the fixture takes from the spool.
GONE_GROUP = "lumigrab.test.multipart.gone"
OTHER_SENDER = "Another Poster <other@example.invalid>"
BENCH_SMALL_GROUP = "lumigrab.bench.small"
BENCH_PICTURE_GROUP = "lumigrab.bench.pictures"
BENCH_POOL_GROUP = "lumigrab.bench.pool"
BENCH_POOL_PARTS_GROUP = "lumigrab.bench.pool.parts"
TEXT_ARTICLES = 30
OVERVIEW_ARTICLES = 30
# Cancelled by the fixture after posting: gaps in the numbering, one of them
# wider than the tests' overview range of four.
OVERVIEW_CANCELLED = (4, 5, 6, 7, 8, 17)
# Its file is taken from the spool by the fixture: the overview still lists
# it, ARTICLE answers 423.
OVERVIEW_GONE = 12


def picture_bytes(seed, size):
    return random.Random(seed).randbytes(size)


def text_lines(count, prefix="Line"):
    return [b"%s %d of a small text article." % (prefix.encode(), i + 1) for i in range(count)]


class Expectation:
    def __init__(self, root):
        self.root = root
        self.names = {}
        self.damaged = {}

    def keep(self, group, name, data):
        if not self.root:
            return
        folder = os.path.join(self.root, group)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name), "wb") as file:
            file.write(data)
        self.names.setdefault(group, []).append(name)

    def keep_damaged(self, group, name, data):
        self.keep(group, name, data)
        self.damaged.setdefault(group, []).append(name)

    def note(self, group, suffix, lines):
        """Writes DIR/<group><suffix>, one entry a line."""
        if self.root:
            with open(os.path.join(self.root, group + suffix), "w") as file:
                file.write("".join("%s\n" % line for line in lines))

    def write_lists(self):
        for suffix, lists in ((".list", self.names), (".damaged", self.damaged)):
            for group, names in lists.items():
                with open(os.path.join(self.root, group + suffix), "w") as file:
                    file.write("\n".join(names) + "\n")


def padded_uuencoded(name, data, total_lines, intro):
    """A uuencoded picture padded with text lines to exactly total_lines."""
    block = uuencode(name, data)
    padding = total_lines - len(block) - len(intro)
    if padding < 0:
        raise SystemExit("post-articles: picture too large for %d lines" % total_lines)
    return intro + text_lines(padding, "Padding") + block


def post_picture_group(poster, expect):
    g = TEST_GROUP
    poster.post(plain_headers(g, "Small text note"), text_lines(10))

    sunset = picture_bytes(1, 8000)
    poster.post(plain_headers(g, "sunset.jpg (1/1)"), [b"A picture:", b""] + uuencode("sunset.jpg", sunset))
    expect.keep(g, "sunset.jpg", sunset)

    single = picture_bytes(2, 12000)
    poster.post(base64_single_headers(g, "single part gif", "image/gif", "single.gif"), base64_lines(single))
    expect.keep(g, "single.gif", single)

    a_jpg = picture_bytes(3, 9000)
    poster.post(mime_headers(g, "a picture and a note", 'multipart/mixed; boundary="=_lumi_a"'),
                multipart_body(b"=_lumi_a", [b"See the attachments."],
                               [("a.jpg", "image/jpeg", a_jpg, "base64"),
                                ("a.txt", "text/plain", b"just a note\nsecond line", "text")]))
    expect.keep(g, "a.jpg", a_jpg)

    # 45 * 200 + 14 bytes: the last data line's length character is ".",
    # so the server sends it dot-stuffed.
    dotted = picture_bytes(4, 45 * 200 + 14)
    poster.post(plain_headers(g, "dotted payload"),
                [b".A text line that begins with a dot.", b""] + uuencode("dotted.jpg", dotted))
    expect.keep(g, "dotted.jpg", dotted)

    for subject, seed in (("big series (1/3)", 5), ("big series (10/12)", 6), ("big series (0/5)", 7)):
        poster.post(plain_headers(g, subject), uuencode("part%d.jpg" % seed, picture_bytes(seed, 9000)))
    # Parts of two posts (three and twelve parts) never completed; "(0/5)"
    # is no part of a picture.
    expect.note(g, ".incomplete", ["Incomplete: big series, parts 2, 3 of 3 missing",
                                   "Incomplete: big series, parts 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12 of 12 missing"])

    poster.post(plain_headers(g, "exactly at the threshold"),
                padded_uuencoded("edge150.jpg", picture_bytes(8, 6000), 150, [b"Threshold", b""]))
    edge = picture_bytes(9, 6000)
    poster.post(plain_headers(g, "just above the threshold"),
                padded_uuencoded("edge151.jpg", edge, 151, [b"Threshold", b""]))
    expect.keep(g, "edge151.jpg", edge)

    b_jpg = picture_bytes(10, 7000)
    c_jpeg = picture_bytes(11, 7000)
    poster.post(mime_headers(g, "mixed case names", 'multipart/mixed; boundary="=_lumi_b"'),
                multipart_body(b"=_lumi_b", [b"Two pictures."],
                               [("b.JpG", "image/jpeg", b_jpg, "base64"),
                                ("c.jpeg", "image/jpeg", c_jpeg, "base64")]))
    expect.keep(g, "b.JpG", b_jpg)
    expect.keep(g, "c.jpeg", c_jpeg)

    # The same name again must not overwrite the first picture.
    sunset2 = picture_bytes(12, 8000)
    poster.post(plain_headers(g, "sunset again"), uuencode("sunset.jpg", sunset2))
    expect.keep(g, "sunset-1.jpg", sunset2)

    # yEnc from an encoder that leaves dots at line starts to the server's
    # dot-stuffing, and one damaged in transit, which is kept all the same.
    dots = edge_payload(escape_dot=False) + picture_bytes(13, 24000)
    poster.post(plain_headers(g, "yenc dots.jpg (1/1)"),
                [b"A yEnc picture:", b""] + [line.encode("latin-1") for line in yenc_block("yenc dots.jpg", dots, escape_dot=False)])
    expect.keep(g, "yenc dots.jpg", dots)
    damaged = picture_bytes(14, 24000)
    poster.post(plain_headers(g, "damaged yEnc"),
                [line.encode("latin-1") for line in yenc_block("damaged.jpg", damaged, crc=zlib.crc32(damaged) ^ 1)])
    expect.keep_damaged(g, "damaged.jpg", damaged)

    poster.post(plain_headers(g, "Closing text note"), text_lines(20))


def post_hostile_group(poster, expect):
    g = HOSTILE_GROUP
    escape = picture_bytes(20, 9000)
    poster.post(base64_single_headers(g, "relative escape", "image/jpeg", "../escape.jpg"), base64_lines(escape))
    expect.keep(g, "escape.jpg", escape)
    absolute = picture_bytes(21, 9000)
    poster.post(plain_headers(g, "absolute path"), uuencode("/tmp/lumigrab-evil.gif", absolute))
    expect.keep(g, "lumigrab-evil.gif", absolute)
    windows = picture_bytes(22, 9000)
    poster.post(plain_headers(g, "windows path"), uuencode("C:\\Windows\\win.bmp", windows))
    expect.keep(g, "win.bmp", windows)
    poster.post(plain_headers(g, "parent folder name"), uuencode("..", picture_bytes(23, 9000)))


def post_overview_group(poster, expect):
    """Pictures (every third article) among text notes, and one multi-part
    post. The fixture then makes the gaps and takes one picture's file away;
    DIR/<group>.numbers lists the numbers the overview keeps, .cancel the
    message ids to cancel and .gone the number whose file goes."""
    g = OVERVIEW_GROUP
    for number in range(1, OVERVIEW_ARTICLES + 1):
        message_id = "Message-ID: <overview-%d@lumigrab.test>" % number
        if number % 3 == 0:
            name = "ov%02d.jpg" % number
            data = picture_bytes(100 + number, 8000)
            poster.post(plain_headers(g, name + " (1/1)") + [message_id], [b"A picture:", b""] + uuencode(name, data))
            if number not in OVERVIEW_CANCELLED and number != OVERVIEW_GONE:
                expect.keep(g, name, data)
        elif number == 20:
            poster.post(plain_headers(g, "series (1/2)") + [message_id],
                        uuencode("series.jpg", picture_bytes(number, 9000)))
        else:
            poster.post(plain_headers(g, "note %d" % number) + [message_id], text_lines(3 + number % 5))
    expect.note(g, ".numbers", [n for n in range(1, OVERVIEW_ARTICLES + 1) if n not in OVERVIEW_CANCELLED])
    expect.note(g, ".cancel", ["<overview-%d@lumigrab.test>" % n for n in OVERVIEW_CANCELLED])
    expect.note(g, ".gone", [OVERVIEW_GONE])


def post_multipart_group(poster, expect):
    """Multi-part posts, every one with the cases the join must handle; DIR/
    <group>.incomplete lists the reports the group's end gives."""
    g = MULTIPART_GROUP
    poster.post(plain_headers(g, "About the posts below"), text_lines(5))
    out_of_order = picture_bytes(200, 50000)
    post_yenc(poster, g, "harbour.jpg", out_of_order, 4, (3, 1, 4, 2))
    twice = picture_bytes(201, 30000)
    post_yenc(poster, g, "twice.png", twice, 3, (1, 2, 2, 3))
    # One subject, two posters: two pictures of one name.
    mine, theirs = picture_bytes(202, 20000), picture_bytes(203, 21000)
    post_yenc(poster, g, "same.jpg", mine, 2, (1,))
    post_yenc(poster, g, "same.jpg", theirs, 2, (1, 2), sender=OTHER_SENDER)
    post_yenc(poster, g, "same.jpg", mine, 2, (2,))
    bad = picture_bytes(204, 30000)
    post_yenc(poster, g, "crc.webp", bad, 3, (1, 2, 3), bad_crc_part=2)
    three = picture_bytes(205, 20000)
    bodies = uu_parts("three.gif", three, 3)
    for part in (1, 2, 3):
        poster.post(plain_headers(g, uu_subject("three.gif", part, 3)), bodies[part - 1])
    missing = picture_bytes(206, 30000)
    post_yenc(poster, g, "missing.jpg", missing, 5, (1, 2, 3, 5))
    # Part 2 of overlap.jpg brings other bytes for 2000 that part 1 holds;
    # gap.jpg leaves 2000 bytes out.
    whole, other = picture_bytes(207, 10000), picture_bytes(208, 10000)
    for name, pieces in (("overlap.jpg", ((0, whole[:6000]), (4000, other[4000:]))),
                         ("gap.jpg", ((0, whole[:4000]), (6000, whole[6000:])))):
        for part, (begin, piece) in enumerate(pieces, 1):
            poster.post(plain_headers(g, yenc_subject(name, part, 2)),
                        [b"=ybegin part=%d total=2 line=128 size=10000 name=%s" % (part, name.encode()),
                         b"=ypart begin=%d end=%d" % (begin + 1, begin + len(piece))] + yenc_line_bytes(piece)
                        + [b"=yend size=%d part=%d pcrc32=%08x crc32=%08x"
                           % (len(piece), part, zlib.crc32(piece), zlib.crc32(whole))])
    # Every part a uuencoded file of its own; then data after the end.
    each = picture_bytes(209, 20000)
    for part in (1, 2, 3):
        poster.post(plain_headers(g, uu_subject("uu-each.gif", part, 3)),
                    uuencode("uu-each.gif", each[(part - 1) * 7000:part * 7000]))
    poster.post(plain_headers(g, uu_subject("uu-ended.gif", 1, 2)), uuencode("uu-ended.gif", each[:9000]))
    poster.post(plain_headers(g, uu_subject("uu-ended.gif", 2, 2)), uuencode("", each[9000:])[1:])
    # Beyond 255 characters, the last of a hundred markers.
    long = picture_bytes(210, 20000)
    for part, body in enumerate(yenc_parts("long.jpg", long, 3), 1):
        poster.post(plain_headers(g, '"long.jpg" yEnc ' + "(1/2) " * 99 + "(%d/3)" % part), body)
    poster.post(plain_headers(g, "Closing note"), text_lines(5))
    # Joined in the order their last parts arrive.
    expect.keep(g, "harbour.jpg", out_of_order)
    expect.keep(g, "twice.png", twice)
    expect.keep(g, "same.jpg", theirs)
    expect.keep(g, "same-1.jpg", mine)
    expect.keep_damaged(g, "crc.webp", bad)
    expect.keep(g, "three.gif", three)
    expect.keep_damaged(g, "overlap.jpg", whole[:4000] + other[4000:])
    expect.keep_damaged(g, "gap.jpg", whole[:4000] + bytes(2000) + whole[6000:])
    expect.keep(g, "uu-each.gif", each)
    expect.keep_damaged(g, "uu-ended.gif", each[:9000])
    expect.keep(g, "long.jpg", long)
    expect.note(g, ".incomplete", ["Incomplete: missing.jpg, parts 4 of 5 missing"])


def post_gone_group(poster, expect):
    """Multi-part posts with parts the server no longer has: DIR/<group>.gone
    lists their article numbers (a new group numbers its articles from 1),
    DIR/<group>.incomplete the report the group's walk gives."""
    g = GONE_GROUP
    numbers = iter(range(1, 1000))
    gone = []
    # More parts than a pool of eight hands out at once.
    whole = picture_bytes(300, 60000)
    bodies = yenc_parts("whole.jpg", whole, 12)
    for part in (2, 1, 4, 3, 5, 6, 7, 8, 9, 10, 12, 11):
        poster.post(plain_headers(g, yenc_subject("whole.jpg", part, 12)), bodies[part - 1])
        next(numbers)
    # Part 2, posted twice, and part 4 gone: part 2 is the one reported,
    # although its copy is asked for after part 4.
    bodies = yenc_parts("gone.jpg", picture_bytes(301, 30000), 5)
    for part in (1, 2, 2, 3, 4, 5):
        poster.post(plain_headers(g, yenc_subject("gone.jpg", part, 5)), bodies[part - 1])
        number = next(numbers)
        if part in (2, 4):
            gone.append(number)
    # Part 2 posted twice, the first copy gone: joined from the second.
    copy = picture_bytes(302, 30000)
    bodies = yenc_parts("copy.png", copy, 3)
    for index, part in enumerate((1, 2, 2, 3)):
        poster.post(plain_headers(g, yenc_subject("copy.png", part, 3)), bodies[part - 1])
        number = next(numbers)
        if index == 1:
            gone.append(number)
    three = picture_bytes(303, 20000)
    bodies = uu_parts("uu-three.gif", three, 3)
    for part in (1, 2, 3):
        poster.post(plain_headers(g, uu_subject("uu-three.gif", part, 3)), bodies[part - 1])
    single = picture_bytes(304, 30000)
    poster.post(plain_headers(g, "single.jpg"), yencode("single.jpg", single))
    expect.keep(g, "whole.jpg", whole)
    expect.keep(g, "copy.png", copy)
    expect.keep(g, "uu-three.gif", three)
    expect.keep(g, "single.jpg", single)
    expect.note(g, ".gone", gone)
    expect.note(g, ".incomplete", ["Incomplete: gone.jpg, parts 2 of 5 missing"])


def post_late_parts(poster, name, seed, total, parts):
    """Parts of a yEnc post for a test to post while it runs."""
    post_yenc(poster, LATE_GROUP, name, picture_bytes(seed, 40000), total, parts)


def post_text_group(poster):
    for i in range(TEXT_ARTICLES):
        poster.post(plain_headers(TEXT_GROUP, "text article %d" % (i + 1)), text_lines(5 + i % 7))


def post_bench_groups(poster, small, pictures):
    for i in range(small):
        poster.post(plain_headers(BENCH_SMALL_GROUP, "small article %d" % (i + 1)), text_lines(8))
    for i in range(pictures):
        name = "bench%04d.jpg" % (i + 1)
        poster.post(plain_headers(BENCH_PICTURE_GROUP, name + " (1/1)"),
                    [b"A picture:", b""] + uuencode(name, picture_bytes(1000 + i, 8000)))


BENCH_PROVIDER_GROUP = "lumigrab.bench.provider"


def post_provider_bench_group(poster, count):
    """Headers shaped like a binary group's: long release subjects of
    multi-part posts that never complete, posters, random message-ids; tiny
    bodies, as only the overview is walked."""
    rng = random.Random(4242)
    words = ["Holiday", "Mountains", "Harbour", "Sunset", "Collection", "Scans", "Vintage", "Album",
             "Birds", "Trains", "Aerial", "Night", "City", "Gardens", "Portraits", "Landscapes"]
    for i in range(count):
        release = ".".join(rng.choice(words) for _ in range(6)) + ".%04d" % rng.randrange(10000)
        parts = rng.randrange(40, 120)
        subject = '[%d/%d] - "%s.part%02d.rar" yEnc (%d/%d)' % (
            i % 97 + 1, 97, release, i % 30 + 1, rng.randrange(1, parts), parts)
        sender = "%s <%s@%s.example>" % (rng.choice(words), "".join(rng.choice("abcdefghijklmnop")
                                                                    for _ in range(10)), rng.choice(words).lower())
        message_id = "<%016x$%08x@%s.example>" % (rng.getrandbits(64), rng.getrandbits(32), rng.choice(words).lower())
        poster.post(plain_headers(BENCH_PROVIDER_GROUP, subject, sender) + ["Message-ID: " + message_id],
                    [b"=ybegin part=1 line=128 size=10 name=x", b"0123456789"])


def post_pool_bench_group(poster, pictures, size):
    """Large yEnc pictures, as a binary group holds them."""
    for i in range(pictures):
        name = "pool%04d.jpg" % (i + 1)
        poster.post(plain_headers(BENCH_POOL_GROUP, name), yencode(name, picture_bytes(2000 + i, size)))


def post_pool_bench_parts(poster, posts, parts, size):
    """Multi-part yEnc pictures of parts articles of about size bytes each."""
    for i in range(posts):
        name = "parts%04d.jpg" % (i + 1)
        bodies = yenc_parts(name, picture_bytes(3000 + i, parts * size), parts)
        for part, body in enumerate(bodies, 1):
            poster.post(plain_headers(BENCH_POOL_PARTS_GROUP, yenc_subject(name, part, parts)), body)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--expected")
    parser.add_argument("--bench", nargs=2, type=int, metavar=("SMALL", "PICTURES"))
    parser.add_argument("--late", nargs=4, metavar=("NAME", "SEED", "TOTAL", "PARTS"),
                        help="post parts (comma-separated) of a yEnc post to the late group")
    parser.add_argument("--pool-bench", nargs=2, type=int, metavar=("PICTURES", "BYTES"))
    parser.add_argument("--provider-bench", type=int, metavar="ARTICLES")
    parser.add_argument("--pool-bench-parts", nargs=3, type=int, metavar=("POSTS", "PARTS", "BYTES"))
    args = parser.parse_args()
    poster = Poster(args.port)
    if args.late:
        name, seed, total, parts = args.late
        post_late_parts(poster, name, int(seed), int(total), [int(p) for p in parts.split(",")])
    elif args.provider_bench:
        post_provider_bench_group(poster, args.provider_bench)
    elif args.pool_bench or args.pool_bench_parts:
        if args.pool_bench:
            post_pool_bench_group(poster, *args.pool_bench)
        if args.pool_bench_parts:
            post_pool_bench_parts(poster, *args.pool_bench_parts)
    elif args.bench:
        post_bench_groups(poster, *args.bench)
    else:
        expect = Expectation(args.expected)
        post_picture_group(poster, expect)
        post_hostile_group(poster, expect)
        post_text_group(poster)
        post_overview_group(poster, expect)
        post_multipart_group(poster, expect)
        post_gone_group(poster, expect)
        if args.expected:
            expect.write_lists()
    poster.close()


if __name__ == "__main__":
    sys.exit(main())
