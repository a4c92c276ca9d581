"""Multi-part posts as posting programs write them, independent of Lumigrab's
decoder: yEnc parts ("=ybegin part= total=", "=ypart begin= end=",
"=yend size= part= pcrc32= crc32=") and a uuencoded file cut across
articles. Shared by the test articles and the demo server's articles."""

import binascii
import zlib


def yenc_line_bytes(data, line=128):
    """The data lines of yEnc: NUL, LF, CR and "=" escaped, a TAB or blank at
    either end of a line and a dot at its start too."""
    lines = []
    current = bytearray()
    for i, byte in enumerate(data):
        c = (byte + 42) % 256
        edge = not current or len(current) >= line - 1 or i == len(data) - 1
        if c in (0, 10, 13, 61) or (edge and c in (9, 32)) or (not current and c == 46):
            current += bytes((61, (c + 64) % 256))
        else:
            current.append(c)
        if len(current) >= line:
            lines.append(bytes(current))
            current = bytearray()
    if current:
        lines.append(bytes(current))
    return lines


def yenc_parts(name, data, total, bad_crc_part=None):
    """The bodies of a yEnc post of total parts, as lists of lines; the part
    numbered bad_crc_part announces a wrong pcrc32."""
    size = -(-len(data) // total)
    bodies = []
    for part in range(1, total + 1):
        begin = (part - 1) * size
        piece = data[begin:begin + size]
        pcrc = zlib.crc32(piece) ^ (1 if part == bad_crc_part else 0)
        lines = [b"=ybegin part=%d total=%d line=128 size=%d name=%s" % (part, total, len(data), name.encode()),
                 b"=ypart begin=%d end=%d" % (begin + 1, begin + len(piece))]
        lines += yenc_line_bytes(piece)
        lines.append(b"=yend size=%d part=%d pcrc32=%08x crc32=%08x" % (len(piece), part, pcrc, zlib.crc32(data)))
        bodies.append(lines)
    return bodies


def yenc_subject(name, part, total):
    return '"%s" yEnc (%d/%d)' % (name, part, total)


def uu_parts(name, data, total):
    """A uuencoded file cut into total article bodies: "begin" in the
    first, "end" in the last, a line of text at the top of each."""
    encoded = [binascii.b2a_uu(data[i:i + 45], backtick=True).rstrip(b"\n") for i in range(0, len(data), 45)]
    per_part = -(-len(encoded) // total)
    bodies = []
    for part in range(1, total + 1):
        lines = [b"Part %d of %d of %s" % (part, total, name.encode()), b""]
        if part == 1:
            lines.append(b"begin 644 " + name.encode())
        lines += encoded[(part - 1) * per_part:part * per_part]
        if part == total:
            lines += [b"`", b"end"]
        bodies.append(lines)
    return bodies


def uu_subject(name, part, total):
    return "%s [%d/%d]" % (name, part, total)
