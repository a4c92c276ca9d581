"""Posting articles through NNTP POST and the pieces they are made of.

Shared by the test articles (post-articles.py) and the demo server's
articles (scripts/demo-posts.py). INN never adds a "Lines:" header, so
Poster.post adds a correct one to every article.
"""

import base64
import binascii
import socket
import zlib

from multipart_posts import yenc_line_bytes, yenc_parts, yenc_subject

TEST_SENDER = "Lumigrab Tests <tests@example.invalid>"


class Poster:
    def __init__(self, port, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=60)
        self.file = self.sock.makefile("rb")
        self.expect("200", "greeting")

    def reply(self):
        return self.file.readline().decode("latin-1").rstrip("\r\n")

    def expect(self, code, what):
        line = self.reply()
        if not line.startswith(code):
            raise SystemExit(f"posting: {what}: unexpected reply {line!r}")
        return line

    def send(self, data):
        self.sock.sendall(data)

    def post(self, headers, body_lines):
        self.send(b"POST\r\n")
        self.expect("340", "POST")
        lines = [h.encode("latin-1") for h in headers]
        lines.append(b"Lines: %d" % len(body_lines))
        lines.append(b"")
        lines.extend(body_lines)
        stuffed = [b"." + line if line.startswith(b".") else line for line in lines]
        self.send(b"\r\n".join(stuffed) + b"\r\n.\r\n")
        self.expect("240", "article " + headers[2])

    def close(self):
        self.send(b"QUIT\r\n")
        self.reply()
        self.sock.close()


def uuencode(name, data):
    lines = [b"begin 644 " + name.encode("latin-1")]
    for i in range(0, len(data), 45):
        lines.append(binascii.b2a_uu(data[i:i + 45], backtick=True).rstrip(b"\n"))
    lines += [b"`", b"end"]
    return lines


def yencode(name, data, line=128):
    """One single-part yEnc block: NUL, LF, CR and "=" escaped, and a TAB or
    blank at either end of a line and a dot at its start too."""
    lines = [b"=ybegin line=%d size=%d name=%s" % (line, len(data), name.encode("latin-1"))]
    lines += yenc_line_bytes(data, line)
    lines.append(b"=yend size=%d crc32=%08x" % (len(data), zlib.crc32(data)))
    return lines


def base64_lines(data):
    text = base64.b64encode(data)
    return [text[i:i + 76] for i in range(0, len(text), 76)]


def plain_headers(group, subject, sender=TEST_SENDER):
    return ["From: " + sender, "Newsgroups: " + group, "Subject: " + subject]


def mime_headers(group, subject, content_type, sender=TEST_SENDER):
    return plain_headers(group, subject, sender) + ["MIME-Version: 1.0", "Content-Type: " + content_type]


def base64_single_headers(group, subject, content_type, file_name, sender=TEST_SENDER):
    """A single-part base64 article's headers, naming its file in both fields."""
    return mime_headers(group, subject, '%s; name="%s"' % (content_type, file_name), sender) + [
        "Content-Transfer-Encoding: base64", 'Content-Disposition: attachment; filename="%s"' % file_name]


def post_yenc(poster, group, name, data, total, order=None, sender=TEST_SENDER, bad_crc_part=None):
    """The parts of a yEnc post of total parts: those in order (all by
    default), in that order."""
    bodies = yenc_parts(name, data, total, bad_crc_part)
    for part in order or range(1, total + 1):
        poster.post(plain_headers(group, yenc_subject(name, part, total), sender), bodies[part - 1])


def multipart_body(boundary, text, parts):
    """parts: (name, content type, bytes, 'base64' or 'text')."""
    body = [b"This is a multi-part message in MIME format.", b"", b"--" + boundary,
            b"Content-Type: text/plain; charset=us-ascii", b"Content-Transfer-Encoding: 7bit", b""]
    body += text
    for name, content_type, data, encoding in parts:
        body += [b"", b"--" + boundary,
                 ('Content-Type: %s; name="%s"' % (content_type, name)).encode("latin-1")]
        if encoding == "base64":
            body.append(b"Content-Transfer-Encoding: base64")
        else:
            body.append(b"Content-Transfer-Encoding: 7bit")
        body += [('Content-Disposition: attachment; filename="%s"' % name).encode("latin-1"), b""]
        body += base64_lines(data) if encoding == "base64" else data.split(b"\n")
    body += [b"", b"--" + boundary + b"--", b""]
    return body
