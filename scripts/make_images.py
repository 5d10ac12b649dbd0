#!/usr/bin/env python3
"""Draws the images that QUORB pages name (share/images/*.gif).

Standard library only: the pictograms are described with a few vector shapes, rendered with
4x4 supersampling, matted against white, reduced to a palette and written as GIF89a files by
the small LZW encoder below. Pixels covered less than half become transparent.

    python3 scripts/make_images.py [--out DIR] [--png DIR]

--png also writes every image, decoded back from its GIF, as a PNG (for a quick look).
"""

import argparse
import math
import os
import struct
import zlib

SS = 4  # supersampling factor per axis

# One palette for the whole set.
INK = (43, 58, 85)
BLUE = (61, 125, 216)
LBLUE = (169, 200, 240)
SKY = (52, 152, 219)
INDIGO = (84, 96, 190)
GREEN = (46, 158, 107)
LGREEN = (189, 229, 207)
RED = (217, 72, 59)
ORANGE = (240, 160, 48)
YELLOW = (245, 208, 74)
PURPLE = (122, 92, 200)
TEAL = (38, 150, 160)
GREY = (138, 148, 166)
LGREY = (221, 227, 236)
WHITE = (255, 255, 255)
PAPER = (250, 251, 253)
BUTTON = (238, 242, 248)
CLEAR = None  # paints transparency (punches holes)


# ---------------------------------------------------------------- shapes
# A shape is (bbox, inside) with bbox = (x0, y0, x1, y1) in pixels and inside(x, y) -> bool.


def rect(x0, y0, x1, y1):
    return (x0, y0, x1, y1), lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def rrect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r

    return (x0, y0, x1, y1), inside


def circle(cx, cy, r):
    return (cx - r, cy - r, cx + r, cy + r), lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ellipse(cx, cy, rx, ry):
    return (cx - rx, cy - ry, cx + rx, cy + ry), lambda x, y: ((x - cx) / rx) ** 2 + (
        (y - cy) / ry) ** 2 <= 1


def _in_angles(dx, dy, a0, a1):
    if a0 is None:
        return True
    a = math.degrees(math.atan2(dy, dx)) % 360  # y grows downwards: 90 is straight down
    a0 %= 360
    a1 %= 360
    return a0 <= a <= a1 if a0 <= a1 else a >= a0 or a <= a1


def arc(cx, cy, rx, ry, w, a0=None, a1=None):
    """Stroke of width w along an ellipse, optionally only between angles a0 and a1 (degrees)."""

    def inside(x, y):
        dx, dy = x - cx, y - cy
        d = math.hypot(dx, dy)
        if d == 0:
            return False
        rd = 1 / math.sqrt((dx / d / rx) ** 2 + (dy / d / ry) ** 2)
        return abs(d - rd) <= w / 2 and _in_angles(dx, dy, a0, a1)

    m = max(rx, ry) + w
    return (cx - m, cy - m, cx + m, cy + m), inside


def seg(xa, ya, xb, yb, w):
    """A line of width w with round ends."""
    lx, ly = xb - xa, yb - ya
    ll = lx * lx + ly * ly or 1e-9
    r = w / 2

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - xa) * lx + (y - ya) * ly) / ll))
        return (x - xa - t * lx) ** 2 + (y - ya - t * ly) ** 2 <= r * r

    return (min(xa, xb) - r, min(ya, yb) - r, max(xa, xb) + r, max(ya, yb) + r), inside


def poly(points):
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]

    def inside(x, y):
        c = False
        j = len(points) - 1
        for i in range(len(points)):
            xi, yi = points[i]
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                c = not c
            j = i
        return c

    return (min(xs), min(ys), max(xs), max(ys)), inside


def union(*shapes):
    boxes = [s[0] for s in shapes]
    box = (min(b[0] for b in boxes), min(b[1] for b in boxes), max(b[2] for b in boxes),
           max(b[3] for b in boxes))
    return box, lambda x, y: any(s[1](x, y) for s in shapes)


def rotated(shape, cx, cy, degrees):
    """The shape turned by degrees (clockwise on screen) around (cx, cy)."""
    (x0, y0, x1, y1), inside = shape
    a = math.radians(degrees)
    ca, sa = math.cos(a), math.sin(a)
    corners = [(x0, y0), (x1, y0), (x0, y1), (x1, y1)]
    turned = [(cx + (x - cx) * ca - (y - cy) * sa, cy + (x - cx) * sa + (y - cy) * ca)
              for x, y in corners]
    box = (min(p[0] for p in turned), min(p[1] for p in turned), max(p[0] for p in turned),
           max(p[1] for p in turned))
    return box, lambda x, y: inside(cx + (x - cx) * ca + (y - cy) * sa,
                                    cy - (x - cx) * sa + (y - cy) * ca)


def mirrored(shape, axis_x):
    (x0, y0, x1, y1), inside = shape
    return (2 * axis_x - x1, y0, 2 * axis_x - x0, y1), lambda x, y: inside(2 * axis_x - x, y)


# ---------------------------------------------------------------- canvas


class Canvas:
    def __init__(self, w, h, background=CLEAR):
        self.w, self.h = w, h
        self.sw, self.sh = w * SS, h * SS
        self.sub = [background] * (self.sw * self.sh)

    def paint(self, shape, colour):
        (x0, y0, x1, y1), inside = shape
        sx0 = max(0, int(math.floor(x0 * SS)) - 1)
        sy0 = max(0, int(math.floor(y0 * SS)) - 1)
        sx1 = min(self.sw, int(math.ceil(x1 * SS)) + 1)
        sy1 = min(self.sh, int(math.ceil(y1 * SS)) + 1)
        sub, sw = self.sub, self.sw
        for sy in range(sy0, sy1):
            y = (sy + 0.5) / SS
            row = sy * sw
            for sx in range(sx0, sx1):
                if inside((sx + 0.5) / SS, y):
                    sub[row + sx] = colour
        return self

    def pixels(self):
        """Each pixel as an RGB triple, or None when it is transparent."""
        out = []
        n = SS * SS
        for py in range(self.h):
            for px in range(self.w):
                r = g = b = k = 0
                for sy in range(py * SS, py * SS + SS):
                    base = sy * self.sw + px * SS
                    for c in self.sub[base:base + SS]:
                        if c is not None:
                            r += c[0]
                            g += c[1]
                            b += c[2]
                            k += 1
                if k * 2 < n:
                    out.append(None)
                    continue
                # Matte the uncovered part against white, the colour of the pages.
                white = (n - k) * 255
                out.append(tuple((v + white) // n for v in (r, g, b)))
        return out


# ---------------------------------------------------------------- GIF and PNG files


def quantise(pixels):
    """Palette (at most 255 colours, plus a transparent entry when needed) and indices."""
    step = 1
    while True:
        def snap(c):
            return None if c is None else tuple(min(255, (v + step // 2) // step * step)
                                                for v in c)

        colours = sorted({snap(c) for c in pixels if c is not None})
        if len(colours) <= 255:
            break
        step *= 2
    palette = list(colours)
    transparent = None
    if any(c is None for c in pixels):
        transparent = len(palette)
        palette.append((255, 255, 255))
    where = {c: i for i, c in enumerate(colours)}
    return palette, [transparent if c is None else where[snap(c)] for c in pixels], transparent


def lzw_encode(indices, min_size):
    clear, eoi = 1 << min_size, (1 << min_size) + 1
    out = bytearray()
    acc = nbits = 0
    size = min_size + 1

    def put(code):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8

    table = {}
    next_code = eoi + 1
    put(clear)
    prefix = indices[0]
    for k in indices[1:]:
        key = (prefix, k)
        if key in table:
            prefix = table[key]
            continue
        put(prefix)
        if next_code >= 4095:
            put(clear)
            table.clear()
            next_code = eoi + 1
            size = min_size + 1
        else:
            if next_code >= (1 << size) and size < 12:
                size += 1
            table[key] = next_code
            next_code += 1
        prefix = k
    put(prefix)
    if next_code >= (1 << size) and size < 12:
        size += 1
    put(eoi)
    if nbits:
        out.append(acc & 0xFF)
    return bytes(out)


def gif_bytes(w, h, palette, indices, transparent):
    bits = max(1, (len(palette) - 1).bit_length())
    table = palette + [(0, 0, 0)] * ((1 << bits) - len(palette))
    data = bytearray(b"GIF89a")
    data += struct.pack("<HHBBB", w, h, 0x80 | 0x70 | (bits - 1), 0, 0)
    for c in table:
        data += bytes(c)
    if transparent is not None:
        data += bytes([0x21, 0xF9, 4, 1, 0, 0, transparent, 0])
    data += b"\x2c" + struct.pack("<HHHHB", 0, 0, w, h, 0)
    min_size = max(2, bits)
    data.append(min_size)
    body = lzw_encode(indices, min_size)
    for i in range(0, len(body), 255):
        chunk = body[i:i + 255]
        data.append(len(chunk))
        data += chunk
    data += b"\x00\x3b"
    return bytes(data)


def gif_decode(data):
    """Decodes the GIFs written above (one image, global table): width, height, RGBA rows."""
    assert data[:6] == b"GIF89a"
    w, h, flags = struct.unpack("<HHB", data[6:11])
    n = 1 << ((flags & 7) + 1)
    table = [tuple(data[13 + 3 * i:16 + 3 * i]) for i in range(n)]
    pos = 13 + 3 * n
    transparent = None
    if data[pos] == 0x21:
        transparent = data[pos + 6] if data[pos + 3] & 1 else None
        pos += 8
    assert data[pos] == 0x2C
    pos += 10
    min_size = data[pos]
    pos += 1
    body = bytearray()
    while data[pos]:
        body += data[pos + 1:pos + 1 + data[pos]]
        pos += 1 + data[pos]
    clear, eoi = 1 << min_size, (1 << min_size) + 1
    size = min_size + 1
    dictionary = {}
    next_code = eoi + 1
    prev = None
    out = []
    acc = nbits = i = 0
    while True:
        while nbits < size:
            acc |= body[i] << nbits
            i += 1
            nbits += 8
        code = acc & ((1 << size) - 1)
        acc >>= size
        nbits -= size
        if code == clear:
            dictionary = {c: [c] for c in range(clear)}
            size, next_code, prev = min_size + 1, eoi + 1, None
            continue
        if code == eoi:
            break
        if prev is None:
            entry = dictionary[code]
        else:
            entry = dictionary[code] if code in dictionary else dictionary[prev] + dictionary[prev][:1]
            dictionary[next_code] = dictionary[prev] + entry[:1]
            next_code += 1
            if next_code >= (1 << size) and size < 12:
                size += 1
        out += entry
        prev = code
    assert len(out) == w * h, (len(out), w * h)
    rgba = [table[k] + ((0,) if k == transparent else (255,)) for k in out]
    return w, h, rgba


def png_bytes(w, h, rgba):
    raw = bytearray()
    for y in range(h):
        raw.append(0)
        for p in rgba[y * w:(y + 1) * w]:
            raw += bytes(p)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(
            ">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


# ---------------------------------------------------------------- pictograms
# Each draw function paints onto a canvas whose size the table at the bottom gives.


def sheet(c, x0, y0, x1, y1, fill=WHITE, edge=GREY, fold=None, t=1.0):
    """A sheet of paper with an outline and a folded top-right corner."""
    f = fold if fold is not None else (x1 - x0) * 0.3
    outer = poly([(x0, y0), (x1 - f, y0), (x1, y0 + f), (x1, y1), (x0, y1)])
    inner = poly([(x0 + t, y0 + t), (x1 - f - t * 0.4, y0 + t), (x1 - t, y0 + f + t * 0.4),
                  (x1 - t, y1 - t), (x0 + t, y1 - t)])
    c.paint(outer, edge).paint(inner, fill)
    c.paint(poly([(x1 - f, y0), (x1 - f, y0 + f), (x1, y0 + f)]), edge)


def gear(c, cx, cy, r, colour, hole_colour, teeth=8):
    tooth_w, tooth_l = r * 0.46, r * 0.42
    c.paint(circle(cx, cy, r * 0.86), colour)
    for k in range(teeth):
        tooth = rrect(cx - tooth_w / 2, cy - r - tooth_l * 0.35, cx + tooth_w / 2, cy - r * 0.6,
                      tooth_w * 0.18)
        c.paint(rotated(tooth, cx, cy, k * 360 / teeth), colour)
    c.paint(circle(cx, cy, r * 0.36), hole_colour)


def plus(c, cx, cy, half, w, colour):
    c.paint(seg(cx - half, cy, cx + half, cy, w), colour)
    c.paint(seg(cx, cy - half, cx, cy + half, w), colour)


def check(c, points, w, colour):
    for (xa, ya), (xb, yb) in zip(points, points[1:]):
        c.paint(seg(xa, ya, xb, yb, w), colour)


def lens(cx, cy, hw, hh):
    """An almond: the intersection of two discs meeting at (cx - hw, cy) and (cx + hw, cy)."""
    hh = max(hh, 0.5)
    r = (hw * hw + hh * hh) / (2 * hh)
    d = r - hh
    return (cx - hw, cy - hh, cx + hw, cy + hh), lambda x, y: (
        (x - cx) ** 2 + (y - cy + d) ** 2 <= r * r and (x - cx) ** 2 + (y - cy - d) ** 2 <= r * r)


def eye(c, cx, cy, hw, hh, iris):
    t = max(1.0, hh * 0.22)
    c.paint(lens(cx, cy, hw, hh), INK)
    c.paint(lens(cx, cy, hw - 1.8 * t, hh - t), WHITE)
    c.paint(circle(cx, cy, hh * 0.62), iris)
    c.paint(circle(cx, cy, hh * 0.28), INK)


def magnifier(c, cx, cy, r, w, colour, glass=None):
    if glass:
        c.paint(circle(cx, cy, r), glass)
    c.paint(arc(cx, cy, r, r, w), colour)
    d = r / math.sqrt(2)
    c.paint(seg(cx + d + w * 0.3, cy + d + w * 0.3, cx + d + r * 0.95, cy + d + r * 0.95, w * 1.5),
            colour)


def printer(c, x0, y0, x1, y1):
    w, h = x1 - x0, y1 - y0
    c.paint(rect(x0 + w * 0.22, y0, x1 - w * 0.22, y0 + h * 0.45), GREY)
    c.paint(rect(x0 + w * 0.22 + 1, y0 + 1, x1 - w * 0.22 - 1, y0 + h * 0.45), WHITE)
    c.paint(rrect(x0, y0 + h * 0.3, x1, y0 + h * 0.78, h * 0.1), INK)
    c.paint(circle(x1 - w * 0.14, y0 + h * 0.44, max(0.8, h * 0.05)), GREEN)
    c.paint(rect(x0 + w * 0.2, y0 + h * 0.6, x1 - w * 0.2, y1), GREY)
    c.paint(rect(x0 + w * 0.2 + 1, y0 + h * 0.6, x1 - w * 0.2 - 1, y1 - 1), WHITE)
    for k in (0.72, 0.86):
        c.paint(rect(x0 + w * 0.3, y0 + h * k, x1 - w * 0.3, y0 + h * k + max(0.7, h * 0.05)),
                LGREY)


def bug(c, cx, cy, size, body=RED, facing=-1):
    """A ladybird seen from above, its head towards facing (-1 left, +1 right)."""
    s = size
    hx = cx + facing * s * 0.42
    for k in (-1, 0, 1):  # legs
        lx = cx + k * s * 0.22
        c.paint(seg(lx, cy, lx - facing * s * 0.12 + k * s * 0.08, cy - s * 0.42, s * 0.07), INK)
        c.paint(seg(lx, cy, lx - facing * s * 0.12 + k * s * 0.08, cy + s * 0.42, s * 0.07), INK)
    c.paint(seg(hx, cy - s * 0.05, hx + facing * s * 0.2, cy - s * 0.3, s * 0.06), INK)
    c.paint(seg(hx, cy + s * 0.05, hx + facing * s * 0.2, cy + s * 0.3, s * 0.06), INK)
    c.paint(circle(hx, cy, s * 0.17), INK)
    c.paint(ellipse(cx - facing * s * 0.04, cy, s * 0.36, s * 0.3), body)
    c.paint(seg(cx + facing * s * 0.3, cy, cx - facing * s * 0.38, cy, s * 0.04), INK)
    for dx, dy in ((0.05, -0.14), (0.05, 0.14), (-0.2, -0.12), (-0.2, 0.12)):
        c.paint(circle(cx - facing * s * dx * -1, cy + s * dy, s * 0.065), INK)


def tile(c, colour, size=64):
    c.paint(rrect(2, 2, size - 2, size - 2, 12), colour)
    c.paint(rrect(2, size * 0.55, size - 2, size - 2, 12), _shade(colour))
    c.paint(rect(2, size * 0.55, size - 2, size * 0.55 + 12), _shade(colour))
    c.paint(rect(2, size * 0.55 - 0.5, size - 2, size * 0.55 + 0.5), colour)


def _shade(colour, k=0.9):
    return tuple(int(v * k) for v in colour)


# --- home menu icons, 64x64


def draw_setup(c):
    tile(c, BLUE)
    gear(c, 32, 32, 18, WHITE, BLUE)


def draw_new(c):
    tile(c, GREEN)
    sheet(c, 17, 11, 43, 50, WHITE, WHITE, fold=8)
    c.paint(poly([(35, 11), (35, 19), (43, 19)]), LGREEN)
    for y in (26, 32, 38):
        c.paint(rect(22, y, 37, y + 2), LGREEN)
    c.paint(circle(44, 45, 11), ORANGE)
    plus(c, 44, 45, 5.5, 3.4, WHITE)


def draw_list(c):
    tile(c, INDIGO)
    for y in (20, 32, 44):
        c.paint(circle(19, y, 3.6), WHITE)
        c.paint(seg(28, y, 46, y, 4.2), WHITE)


def draw_book(c):
    tile(c, PURPLE)
    c.paint(poly([(10, 18), (31, 21), (31, 49), (10, 46)]), WHITE)
    c.paint(poly([(54, 18), (33, 21), (33, 49), (54, 46)]), WHITE)
    c.paint(poly([(10, 46), (31, 49), (33, 49), (54, 46), (54, 49), (33, 52), (31, 52),
                  (10, 49)]), LGREY)
    for k in range(4):
        y = 27 + k * 5
        c.paint(seg(14, y - 0.6, 27, y + 1.2, 1.6), LBLUE)
        c.paint(seg(37, y + 1.2, 50, y - 0.6, 1.6), LBLUE)


def draw_history(c):
    tile(c, TEAL)
    c.paint(circle(32, 32, 20), WHITE)
    for k in range(12):
        a = math.radians(k * 30)
        r0 = 15.5 if k % 3 else 14
        c.paint(seg(32 + r0 * math.cos(a), 32 + r0 * math.sin(a), 32 + 17.5 * math.cos(a),
                    32 + 17.5 * math.sin(a), 1.8), TEAL)
    c.paint(seg(32, 32, 32, 19, 3.2), INK)
    c.paint(seg(32, 32, 41, 37, 3.2), INK)
    c.paint(circle(32, 32, 2.6), ORANGE)


def draw_stats(c):
    tile(c, ORANGE)
    for x, top in ((14, 34), (24, 24), (34, 29), (44, 16)):
        c.paint(rect(x, top, x + 7, 47), WHITE)
    c.paint(rect(11, 47, 54, 50), INK)


def draw_help(c):
    tile(c, SKY)
    c.paint(arc(32, 24, 9, 9, 6.5, 170, 80), WHITE)
    c.paint(seg(34.5, 32.5, 32, 36.5, 6.5), WHITE)
    c.paint(seg(32, 36, 32, 39, 6.5), WHITE)
    c.paint(circle(32, 48, 4.2), WHITE)


def draw_tests(c):
    tile(c, RED)
    tube = rrect(27, 8, 37, 52, 5)
    c.paint(rotated(tube, 32, 30, 28), WHITE)
    c.paint(rotated(rrect(29.5, 30, 34.5, 49.5, 2.5), 32, 30, 28), YELLOW)
    c.paint(rotated(rect(25, 8, 39, 12), 32, 30, 28), WHITE)
    check(c, [(36, 45), (42, 51), (54, 37)], 5, WHITE)


# --- small pictures, 32x32 and 40x40


def draw_home(c):
    c.paint(rect(8, 15, 24, 28), BLUE)
    c.paint(poly([(3, 16), (16, 4), (29, 16), (26, 18.5), (16, 9), (6, 18.5)]), RED)
    c.paint(rect(21, 5, 25, 12), RED)
    c.paint(rrect(13, 19, 19, 28, 1), WHITE)
    c.paint(circle(17.6, 23.8, 0.8), BLUE)


def draw_larrow(c):
    c.paint(circle(16, 16, 14), BLUE)
    c.paint(seg(9, 16, 23, 16, 4), WHITE)
    c.paint(poly([(6, 16), (15, 7.5), (15, 24.5)]), WHITE)


def draw_bugL(c):
    bug(c, 20, 20, 30, RED, -1)


def draw_bugR(c):
    bug(c, 20, 20, 30, RED, +1)


def draw_fond(c):
    for x, y in ((16, 16), (48, 48)):
        c.paint(circle(x, y, 1.6), (236, 241, 248))
    for x, y in ((48, 16), (16, 48)):
        c.paint(circle(x, y, 1.0), (240, 244, 250))


LETTERS = {
    "O": lambda L, T: [arc(L + 10, T + 18, 7, 15, 6)],
    "Q": lambda L, T: [arc(L + 10, T + 18, 7, 15, 6), seg(L + 12, T + 26, L + 19, T + 35, 6)],
    "U": lambda L, T: [seg(L + 3, T + 3, L + 3, T + 22, 6), seg(L + 17, T + 3, L + 17, T + 22, 6),
                       arc(L + 10, T + 22, 7, 11, 6, 0, 180)],
    "R": lambda L, T: [seg(L + 3, T + 3, L + 3, T + 33, 6), seg(L + 3, T + 3, L + 10, T + 3, 6),
                       arc(L + 10, T + 10, 7, 7, 6, 270, 90), seg(L + 3, T + 17, L + 10, T + 17,
                                                                   6),
                       seg(L + 9, T + 17, L + 17, T + 33, 6)],
    "B": lambda L, T: [seg(L + 3, T + 3, L + 3, T + 33, 6), seg(L + 3, T + 3, L + 10, T + 3, 6),
                       arc(L + 10, T + 9.5, 6.5, 6.5, 6, 270, 90),
                       seg(L + 3, T + 16, L + 11, T + 16, 6),
                       arc(L + 11, T + 24.5, 6.5, 8.5, 6, 270, 90),
                       seg(L + 3, T + 33, L + 11, T + 33, 6)],
}


def draw_quorb(c):
    c.paint(circle(38, 40, 31), BLUE)
    c.paint(circle(38, 40, 26), WHITE)
    bug(c, 34, 37, 26, RED, +1)
    magnifier(c, 40, 42, 11, 3.6, INK)
    left = 82
    for ch in "QUORB":
        for shape in LETTERS[ch](left, 14):
            c.paint(shape, INK)
        left += 23
    c.paint(rrect(83, 60, 193, 64, 2), ORANGE)


# --- action-bar buttons, 30x20


def button(c):
    c.paint(rrect(0.5, 0.5, 29.5, 19.5, 4), GREY)
    c.paint(rrect(1.5, 1.5, 28.5, 18.5, 3.2), BUTTON)


def draw_header(c):
    button(c)
    sheet(c, 8, 3, 21, 17, WHITE, GREY, fold=0.01)
    c.paint(rect(9, 4, 20, 7.5), BLUE)
    for y in (10, 13):
        c.paint(rect(10, y, 19, y + 1.2), LGREY)


def draw_observe(c):
    button(c)
    eye(c, 15, 10, 9, 5.5, BLUE)


def draw_analyse(c):
    button(c)
    magnifier(c, 13.5, 8.5, 4.6, 1.9, INK, LBLUE)


def draw_attach(c):
    button(c)
    outer = union(arc(15, 6, 3.6, 3.6, 1.6, 180, 360), seg(11.4, 6, 11.4, 14, 1.6),
                  seg(18.6, 6, 18.6, 13, 1.6), arc(13.6, 14, 2.2, 2.2, 1.6, 0, 180),
                  seg(15.8, 14, 15.8, 7.5, 1.6))
    c.paint(rotated(outer, 15, 10, 35), INK)


def draw_copy(c):
    button(c)
    sheet(c, 7, 3, 17, 14, WHITE, GREY, fold=3)
    sheet(c, 12, 6, 22, 17, WHITE, INK, fold=3)


def person(c, cx, cy, s, colour):
    c.paint(circle(cx, cy - s * 0.35, s * 0.27), colour)
    (box, inside) = ellipse(cx, cy + s * 0.42, s * 0.48, s * 0.38)
    c.paint((box, lambda x, y: y <= cy + s * 0.45 and inside(x, y)), colour)


def draw_assign(c):
    button(c)
    person(c, 19.5, 9, 9, BLUE)
    c.paint(seg(5, 10, 10, 10, 2.2), GREEN)
    c.paint(poly([(13, 10), (9, 6.2), (9, 13.8)]), GREEN)


def draw_open(c):
    button(c)
    c.paint(poly([(11, 3.5), (21.5, 10), (11, 16.5)]), GREEN)


def draw_notabug(c):
    button(c)
    bug(c, 15, 10, 11, GREY, -1)
    c.paint(arc(15, 10, 7.6, 7.6, 1.7), RED)
    c.paint(seg(9.8, 15.2, 20.2, 4.8, 1.7), RED)


def draw_notRep(c):
    button(c)
    c.paint(arc(13, 10, 5.5, 5.5, 2, 200, 150), BLUE)
    c.paint(poly([(15.5, 14.2), (21, 14.5), (17, 18.5)]), BLUE)
    c.paint(seg(20, 3.5, 25, 8.5, 1.8), RED)
    c.paint(seg(25, 3.5, 20, 8.5, 1.8), RED)


def draw_duplicate(c):
    button(c)
    sheet(c, 4, 4, 12, 16, WHITE, GREY, fold=2.5)
    sheet(c, 18, 4, 26, 16, WHITE, GREY, fold=2.5)
    c.paint(rect(13.3, 7.8, 16.7, 9), ORANGE)
    c.paint(rect(13.3, 11, 16.7, 12.2), ORANGE)


def draw_postpone(c):
    button(c)
    c.paint(rect(9.5, 3, 20.5, 4.6), INK)
    c.paint(rect(9.5, 15.4, 20.5, 17), INK)
    c.paint(poly([(10.5, 4.6), (19.5, 4.6), (15.8, 10), (19.5, 15.4), (10.5, 15.4), (14.2, 10)]),
            INK)
    c.paint(poly([(11.8, 5.6), (18.2, 5.6), (15, 9.2)]), BUTTON)
    c.paint(poly([(15, 11.2), (18.4, 14.6), (11.6, 14.6)]), ORANGE)
    c.paint(poly([(12.9, 6.4), (17.1, 6.4), (15, 8.3)]), ORANGE)


def draw_correct(c):
    button(c)
    check(c, [(9, 10.5), (13.5, 15), (21.5, 5)], 3, GREEN)


def draw_forverif(c):
    button(c)
    check(c, [(5, 10.5), (8.5, 14), (14, 6)], 2.4, GREEN)
    c.paint(seg(16.5, 10, 22, 10, 2), BLUE)
    c.paint(poly([(25.5, 10), (21, 6), (21, 14)]), BLUE)


def draw_verify(c):
    button(c)
    c.paint(poly([(15, 2.5), (21.5, 5), (21, 11), (15, 17.5), (9, 11), (8.5, 5)]), BLUE)
    check(c, [(12, 10), (14.5, 12.5), (18.5, 7)], 1.8, WHITE)


def draw_reject(c):
    button(c)
    c.paint(arc(15.5, 11, 6, 5, 2.4, 180, 90), RED)
    c.paint(poly([(5.5, 11.5), (12.5, 11.5), (9, 6.5)]), RED)
    c.paint(arc(15.5, 11, 6, 5, 2.4, 0, 179), BUTTON)


def draw_abandon(c):
    button(c)
    c.paint(rect(10, 4.2, 20, 5.8), INK)
    c.paint(rect(13, 2.8, 17, 4.4), INK)
    c.paint(poly([(11, 6.6), (19, 6.6), (18.2, 17), (11.8, 17)]), GREY)
    for x in (13.3, 15, 16.7):
        c.paint(rect(x - 0.45, 8.5, x + 0.45, 15.4), WHITE)


def draw_print(c):
    button(c)
    printer(c, 8, 3, 22, 17)


# --- test-book icons, 24x24


def draw_editbt(c):
    body = rect(10, 1, 14, 16)
    c.paint(rotated(body, 12, 12, 45), ORANGE)
    c.paint(rotated(rect(10, 1, 14, 4), 12, 12, 45), RED)
    c.paint(rotated(poly([(10, 16), (14, 16), (12, 21.5)]), 12, 12, 45), (240, 215, 170))
    c.paint(rotated(poly([(11.2, 19.3), (12.8, 19.3), (12, 21.5)]), 12, 12, 45), INK)


def draw_viewbt(c):
    eye(c, 12, 12, 10.5, 6.5, BLUE)


def draw_printbt(c):
    printer(c, 2, 3, 22, 21)


def draw_delbt(c):
    c.paint(circle(12, 12, 10.5), RED)
    c.paint(seg(8, 8, 16, 16, 3), WHITE)
    c.paint(seg(16, 8, 8, 16, 3), WHITE)


def draw_newbt(c):
    sheet(c, 3, 2, 17, 21, WHITE, GREY, fold=4.5)
    for y in (9, 12, 15):
        c.paint(rect(6, y, 13, y + 1), LGREY)
    c.paint(circle(17, 17, 6.2), GREEN)
    plus(c, 17, 17, 3.2, 2, WHITE)


def draw_statbt(c):
    for x, top, colour in ((3, 12, BLUE), (9, 5, GREEN), (15, 9, ORANGE)):
        c.paint(rect(x, top, x + 5, 20), colour)
    c.paint(rect(1.5, 20, 22.5, 22), INK)


# ---------------------------------------------------------------- the set

IMAGES = [
    # name, width, height, draw, background
    ("fond", 64, 64, draw_fond, (248, 250, 253)),
    ("quorb", 200, 80, draw_quorb, CLEAR),
    ("setup", 64, 64, draw_setup, CLEAR),
    ("new", 64, 64, draw_new, CLEAR),
    ("list", 64, 64, draw_list, CLEAR),
    ("book", 64, 64, draw_book, CLEAR),
    ("history", 64, 64, draw_history, CLEAR),
    ("stats", 64, 64, draw_stats, CLEAR),
    ("help", 64, 64, draw_help, CLEAR),
    ("tests", 64, 64, draw_tests, CLEAR),
    ("home", 32, 32, draw_home, CLEAR),
    ("larrow", 32, 32, draw_larrow, CLEAR),
    ("bugL", 40, 40, draw_bugL, CLEAR),
    ("bugR", 40, 40, draw_bugR, CLEAR),
    ("header", 30, 20, draw_header, CLEAR),
    ("observe", 30, 20, draw_observe, CLEAR),
    ("analyse", 30, 20, draw_analyse, CLEAR),
    ("attach", 30, 20, draw_attach, CLEAR),
    ("copy", 30, 20, draw_copy, CLEAR),
    ("assign", 30, 20, draw_assign, CLEAR),
    ("open", 30, 20, draw_open, CLEAR),
    ("notabug", 30, 20, draw_notabug, CLEAR),
    ("notRep", 30, 20, draw_notRep, CLEAR),
    ("duplicate", 30, 20, draw_duplicate, CLEAR),
    ("postpone", 30, 20, draw_postpone, CLEAR),
    ("correct", 30, 20, draw_correct, CLEAR),
    ("forverif", 30, 20, draw_forverif, CLEAR),
    ("verify", 30, 20, draw_verify, CLEAR),
    ("reject", 30, 20, draw_reject, CLEAR),
    ("abandon", 30, 20, draw_abandon, CLEAR),
    ("print", 30, 20, draw_print, CLEAR),
    ("editbt", 24, 24, draw_editbt, CLEAR),
    ("viewbt", 24, 24, draw_viewbt, CLEAR),
    ("printbt", 24, 24, draw_printbt, CLEAR),
    ("delbt", 24, 24, draw_delbt, CLEAR),
    ("newbt", 24, 24, draw_newbt, CLEAR),
    ("statbt", 24, 24, draw_statbt, CLEAR),
]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(here, "..", "share", "images"))
    parser.add_argument("--png", help="also write PNG copies decoded from the GIFs here")
    parser.add_argument("names", nargs="*", help="only these images")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    if args.png:
        os.makedirs(args.png, exist_ok=True)
    for name, w, h, draw, background in IMAGES:
        if args.names and name not in args.names:
            continue
        canvas = Canvas(w, h, background)
        draw(canvas)
        palette, indices, transparent = quantise(canvas.pixels())
        data = gif_bytes(w, h, palette, indices, transparent)
        with open(os.path.join(args.out, name + ".gif"), "wb") as f:
            f.write(data)
        if args.png:
            dw, dh, rgba = gif_decode(data)
            with open(os.path.join(args.png, name + ".png"), "wb") as f:
                f.write(png_bytes(dw, dh, rgba))
        print("%-10s %3dx%-3d %5d bytes" % (name, w, h, len(data)))


if __name__ == "__main__":
    main()
