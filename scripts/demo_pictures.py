"""Pictures for the demo news server, drawn when the server starts.

Each picture is a coloured Mandelbrot view over a gradient, with its file
type and encoding written on it, saved in one of the seven picture formats
the browser shows. Pillow writes JPEG, GIF, BMP, PCX and TGA; run-length
encoded BMPs (RLE8, and RLE4 for ".rle" files) are written here, since
Pillow reads them but cannot write them.
"""

import io
import math
import os
import struct

from PIL import Image, ImageDraw, ImageFont

SIZE = (480, 360)
FONT_FILE = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"


class Look:
    """Where to look in the Mandelbrot set and how to colour it."""

    def __init__(self, extent, phase, top, bottom):
        self.extent = extent  # (left, top, right, bottom) in the plane
        self.phase = phase  # shifts the cyclic palette: 0..1
        self.top = top  # gradient colours behind the set
        self.bottom = bottom


def cyclic_palette(phase):
    """256 colours cycling smoothly through the spectrum, dark at 0."""
    colours = []
    for i in range(256):
        t = (i / 255.0) ** 0.45 * 3.0 + phase
        rgb = [0.5 + 0.5 * math.cos(2 * math.pi * (t + offset)) for offset in (0.0, 0.33, 0.67)]
        fade = min(1.0, i / 24.0)
        colours += [int(255 * c * fade) for c in rgb]
    return colours


def gradient(top, bottom):
    ramp = Image.linear_gradient("L").resize(SIZE)
    return Image.merge("RGB", [ramp.point(lambda v, a=a, b=b: a + (b - a) * v // 255)
                               for a, b in zip(top, bottom)])


def fractal(look):
    escape = Image.effect_mandelbrot(SIZE, look.extent, 240)
    coloured = escape.copy()
    coloured.putpalette(cyclic_palette(look.phase))
    inside = escape.point(lambda v: 255 if v == 0 else 0)
    return Image.composite(gradient(look.top, look.bottom), coloured.convert("RGB"), inside)


def font(size):
    if os.path.exists(FONT_FILE):
        return ImageFont.truetype(FONT_FILE, size)
    return None


def write_text(canvas, position, text, size):
    """Text with a drop shadow; the built-in bitmap font, scaled up, when
    the usual TrueType font is missing."""
    face = font(size)
    if face is None:
        small = ImageFont.load_default()
        box = small.getbbox(text)
        stamp = Image.new("L", (box[2] + 2, box[3] + 2))
        ImageDraw.Draw(stamp).text((1, 1), text, fill=255, font=small)
        scale = max(1, size // 10)
        stamp = stamp.resize((stamp.width * scale, stamp.height * scale), Image.NEAREST)
        canvas.paste((0, 0, 0), (position[0] + 2, position[1] + 2), stamp)
        canvas.paste((255, 255, 255), position, stamp)
        return
    draw = ImageDraw.Draw(canvas)
    draw.text((position[0] + 2, position[1] + 2), text, fill=(0, 0, 0), font=face)
    draw.text(position, text, fill=(255, 255, 255), font=face)


def draw(look, kind, caption, made):
    canvas = fractal(look)
    write_text(canvas, (18, 12), kind, 72)
    write_text(canvas, (20, SIZE[1] - 62), caption, 20)
    write_text(canvas, (20, SIZE[1] - 34), "made " + made, 16)
    return canvas


def pillow_bytes(image, format_name, **options):
    out = io.BytesIO()
    image.save(out, format_name, **options)
    return out.getvalue()


def row_pieces(row, even_literals):
    """Splits a row of indexes into runs of one index (three or more, or the
    row's short tail) and the stretches between them, each at most 255
    long. Yields (piece, is_run)."""
    i = 0
    while i < len(row):
        run = 1
        while i + run < len(row) and run < 255 and row[i + run] == row[i]:
            run += 1
        if run >= 3 or len(row) - i < 3:
            yield row[i:i + run], True
            i += run
            continue
        end = i
        while end < len(row) and end - i < 255 and row[end:end + 3] != bytes([row[end]]) * 3:
            end += 1
        if even_literals and (end - i) % 2 and end - i > 3:
            end -= 1
        yield row[i:end], False
        i = end


def rle_row(row, bits):
    """One row in RLE8 or RLE4: runs as (count, index), other stretches in
    absolute mode (0, count, indexes, padded to a 16-bit boundary). In RLE4
    a byte holds two pixels, and absolute stretches get an even count:
    some readers drop the last pixel of an odd one."""
    four = bits == 4
    out = bytearray()
    for piece, is_run in row_pieces(row, even_literals=four):
        if is_run:
            out += bytes((len(piece), piece[0] * 0x11 if four else piece[0]))
        elif len(piece) < (4 if four else 3):
            for index in piece:
                out += bytes((1, index << 4 if four else index))
        else:
            data = bytes(piece[k] << 4 | piece[k + 1] for k in range(0, len(piece), 2)) if four else piece
            out += bytes((0, len(piece))) + data + (b"\0" if len(data) % 2 else b"")
    return out


def rle_bmp_bytes(image, bits):
    """A run-length encoded, bottom-up BMP: RLE8 for bits 8, RLE4 for 4."""
    indexed = image.quantize(1 << bits)
    width, height = indexed.size
    pixels = indexed.tobytes()
    data = bytearray()
    for y in reversed(range(height)):
        data += rle_row(pixels[y * width:(y + 1) * width], bits)
        data += b"\0\0"
    data[-2:] = b"\0\1"  # the last row ends the bitmap
    colours = 1 << bits
    rgb = (indexed.getpalette() + [0] * 768)[:colours * 3]
    palette = b"".join(bytes((rgb[i + 2], rgb[i + 1], rgb[i], 0)) for i in range(0, len(rgb), 3))
    offset = 14 + 40 + len(palette)
    compression = 1 if bits == 8 else 2
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, compression, len(data),
                       2835, 2835, colours, 0)
    bitmap = header + info + palette + bytes(data)
    # Pillow's reader is independent of this writer: a bitmap it does not
    # read back pixel for pixel is never posted.
    back = Image.open(io.BytesIO(bitmap))
    if back.tobytes() != indexed.tobytes():
        raise ValueError("RLE%d bitmap does not read back" % bits)
    return bitmap


def encode(image, form):
    """The picture's file bytes in one of the forms the demo posts."""
    if form == "jpg":
        return pillow_bytes(image, "JPEG", quality=90)
    if form == "gif":
        return pillow_bytes(image.quantize(256), "GIF")
    if form == "bmp24":
        return pillow_bytes(image, "BMP")
    if form == "bmp8":
        return pillow_bytes(image.quantize(256), "BMP")
    if form == "rle8":
        return rle_bmp_bytes(image, 8)
    if form == "rle4":
        return rle_bmp_bytes(image, 4)
    if form == "pcx24":
        return pillow_bytes(image, "PCX")
    if form == "pcx8":
        return pillow_bytes(image.quantize(256), "PCX")
    if form == "png":
        return pillow_bytes(image, "PNG")
    if form == "webp":
        return pillow_bytes(image, "WEBP", lossless=True)
    if form == "tga":
        return pillow_bytes(image, "TGA")
    if form == "tga-rle":
        return pillow_bytes(image, "TGA", compression="tga_rle", orientation=1)
    raise ValueError("unknown picture form " + form)
