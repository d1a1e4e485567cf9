#!/usr/bin/env python3
"""Draw the Velmora icon and write res/velmora.ico.

The artwork is a keycap seen from above with a shift arrow on its face and
two fading chevrons under the arrow that stand for "this key repeats".
Everything is drawn procedurally from signed-distance shapes with
supersampling, so the icon can be changed here and regenerated; nothing
outside the Python standard library is needed.

Usage:
    python3 res/icon/make_icon.py [--out PATH] [--preview PNG]

The output is deterministic: the same script gives byte-identical files.
"""

import argparse
import math
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48, 64, 128, 256)

# Sizes stored as classic 32-bit BMP entries; larger ones are stored as PNG,
# which Windows has accepted inside icons since Vista and which keeps the
# executable small.
BMP_SIZES = (16, 32, 48)

# Palette (sRGB, 0..255).
OUTLINE = (30, 27, 75)       # thin dark rim so the cap reads on light backgrounds
SKIRT_TOP = (67, 56, 168)    # sides of the keycap
SKIRT_BOTTOM = (45, 37, 120)
FACE_TOP = (150, 136, 250)   # top face, lit from above
FACE_BOTTOM = (104, 88, 226)
GLYPH = (255, 255, 255)


# --- signed distance functions (negative inside) -------------------------

def sd_round_box(px, py, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) * 0.5, (y0 + y1) * 0.5
    hx, hy = (x1 - x0) * 0.5, (y1 - y0) * 0.5
    qx = abs(px - cx) - hx + r
    qy = abs(py - cy) - hy + r
    ox, oy = max(qx, 0.0), max(qy, 0.0)
    return math.hypot(ox, oy) + min(max(qx, qy), 0.0) - r


def sd_polygon(px, py, pts):
    """Exact distance to a simple polygon, sign by crossing count."""
    d = float("inf")
    inside = False
    n = len(pts)
    j = n - 1
    for i in range(n):
        ax, ay = pts[i]
        bx, by = pts[j]
        ex, ey = bx - ax, by - ay
        wx, wy = px - ax, py - ay
        t = (wx * ex + wy * ey) / (ex * ex + ey * ey)
        t = 0.0 if t < 0.0 else (1.0 if t > 1.0 else t)
        dx, dy = wx - ex * t, wy - ey * t
        dd = dx * dx + dy * dy
        if dd < d:
            d = dd
        if (ay > py) != (by > py):
            if px < ax + (py - ay) * ex / ey:
                inside = not inside
        j = i
    d = math.sqrt(d)
    return -d if inside else d


def sd_polyline(px, py, pts, half_width):
    """Stroke of an open polyline with round joins and caps."""
    d = float("inf")
    for (ax, ay), (bx, by) in zip(pts, pts[1:]):
        ex, ey = bx - ax, by - ay
        wx, wy = px - ax, py - ay
        t = (wx * ex + wy * ey) / (ex * ex + ey * ey)
        t = 0.0 if t < 0.0 else (1.0 if t > 1.0 else t)
        dd = math.hypot(wx - ex * t, wy - ey * t)
        if dd < d:
            d = dd
    return d - half_width


# --- the design ----------------------------------------------------------

def lerp_color(c0, c1, t):
    t = 0.0 if t < 0.0 else (1.0 if t > 1.0 else t)
    return tuple(a + (b - a) * t for a, b in zip(c0, c1))


class Layer:
    """One filled shape: sdf in pixel units, colour as a function of y."""

    def __init__(self, sdf, color, alpha=1.0, bbox=None, blur=0.0):
        self.sdf = sdf
        self.color = color
        self.alpha = alpha
        self.bbox = bbox      # (x0, y0, x1, y1) in pixels, None = whole image
        self.blur = blur      # extra soft edge in pixels (shadow)


def design(size):
    """Return the layers for one icon size, bottom to top.

    Geometry is laid out on a 16-unit grid and scaled, so that at 16 and
    32 px the important edges fall on pixel boundaries and stay crisp.
    """
    s = size / 16.0
    small = size <= 16
    layers = []

    # Cap outline box. Larger sizes leave room for a soft shadow.
    if small:
        x0, y0, x1, y1, radius = 0.0, 0.0, 16.0, 16.0, 3.0
    else:
        x0, y0, x1, y1, radius = 0.5, 0.25, 15.5, 15.25, 3.25
    outline_w = max(1.0, 0.35 * s) / s   # in grid units, at least one pixel

    def box(ax0, ay0, ax1, ay1, r):
        bx = (ax0 * s, ay0 * s, ax1 * s, ay1 * s)
        rr = r * s
        return (lambda x, y: sd_round_box(x, y, bx[0], bx[1], bx[2], bx[3], rr)), bx

    if not small:
        sdf, bb = box(x0 + 0.25, y0 + 0.5, x1 - 0.25, y1 + 0.5, radius)
        layers.append(Layer(sdf, lambda y: (0, 0, 0), alpha=0.35,
                            bbox=(bb[0] - 2 * s, bb[1] - 2 * s, bb[2] + 2 * s, bb[3] + 2 * s),
                            blur=0.5 * s))

    sdf, bb = box(x0, y0, x1, y1, radius)
    layers.append(Layer(sdf, lambda y: OUTLINE, bbox=bb))

    ix0, iy0, ix1, iy1 = x0 + outline_w, y0 + outline_w, x1 - outline_w, y1 - outline_w
    sdf, bb = box(ix0, iy0, ix1, iy1, radius - outline_w)
    top, bot = iy0 * s, iy1 * s
    layers.append(Layer(sdf, lambda y: lerp_color(SKIRT_TOP, SKIRT_BOTTOM, (y - top) / (bot - top)),
                        bbox=bb))

    # Top face: narrower than the skirt and shifted up, so the cap looks
    # like it is seen slightly from the front.
    if small:
        fx0, fy0, fx1, fy1, fr = 2.0, 1.0, 14.0, 13.0, 2.0
    else:
        fx0, fy0, fx1, fy1, fr = 2.25, 1.0, 13.75, 12.5, 2.25
    sdf, bb = box(fx0, fy0, fx1, fy1, fr)
    ftop, fbot = fy0 * s, fy1 * s
    layers.append(Layer(sdf, lambda y: lerp_color(FACE_TOP, FACE_BOTTOM, (y - ftop) / (fbot - ftop)),
                        bbox=bb))

    # Shift arrow: (tip y, head base y, stem end y, head half width, stem
    # half width). The small sizes keep 45 degree flanks and whole-pixel
    # stems.
    if small:
        tip, head, stem_end, half_head, half_stem = 2.0, 6.0, 8.0, 4.0, 1.0
    elif size <= 32:
        tip, head, stem_end, half_head, half_stem = 2.0, 6.0, 7.0, 4.0, 1.5
    else:
        tip, head, stem_end, half_head, half_stem = 2.25, 6.25, 7.75, 3.75, 1.4
    arrow = [(8.0, tip), (8.0 + half_head, head), (8.0 + half_stem, head),
             (8.0 + half_stem, stem_end), (8.0 - half_stem, stem_end),
             (8.0 - half_stem, head), (8.0 - half_head, head)]
    arrow = [(x * s, y * s) for x, y in arrow]
    layers.append(Layer(lambda x, y: sd_polygon(x, y, arrow), lambda y: GLYPH,
                        bbox=(min(p[0] for p in arrow) - 1, tip * s - 1,
                              max(p[0] for p in arrow) + 1, stem_end * s + 1)))

    # Repeat echoes: chevrons below the arrow, fading out.
    # Each is (apex y, half span, drop, stroke half width, alpha). At 16 and
    # 32 px the strokes step two pixels across per pixel down and run through
    # pixel centres, which keeps them from turning to mush; 16 px only has
    # room for one.
    if small:
        echoes = [(9.5, 4.0, 2.0, 0.5, 0.9)]
    elif size <= 32:
        echoes = [(8.5, 3.0, 1.5, 0.5, 0.85), (10.5, 3.0, 1.5, 0.5, 0.45)]
    else:
        echoes = [(8.75, 3.25, 1.5, 0.5, 0.8), (10.5, 2.75, 1.25, 0.45, 0.45)]
    for apex, span, drop, hw, a in echoes:
        pts = [((8.0 - span) * s, (apex + drop) * s), (8.0 * s, apex * s),
               ((8.0 + span) * s, (apex + drop) * s)]
        w = hw * s
        layers.append(Layer((lambda p, w: lambda x, y: sd_polyline(x, y, p, w))(pts, w),
                            lambda y: GLYPH, alpha=a,
                            bbox=(pts[0][0] - w - 1, apex * s - w - 1,
                                  pts[2][0] + w + 1, (apex + drop) * s + w + 1)))
    return layers


# --- rasteriser ----------------------------------------------------------

def supersampling(size):
    if size <= 32:
        return 4
    if size <= 64:
        return 3
    return 2


def render(size):
    """Return straight-alpha RGBA rows (top to bottom) as lists of 0..255 ints."""
    ss = supersampling(size)
    offs = [(i + 0.5) / ss for i in range(ss)]
    # Premultiplied accumulation buffer.
    buf = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]
    for layer in design(size):
        if layer.bbox:
            bx0 = max(0, int(math.floor(layer.bbox[0])))
            by0 = max(0, int(math.floor(layer.bbox[1])))
            bx1 = min(size, int(math.ceil(layer.bbox[2])))
            by1 = min(size, int(math.ceil(layer.bbox[3])))
        else:
            bx0, by0, bx1, by1 = 0, 0, size, size
        # Half a sample's width of analytic edge softening on top of the
        # supersampling; the shadow adds its own blur.
        edge = 0.5 / ss + layer.blur
        for py in range(by0, by1):
            for px in range(bx0, bx1):
                cov = 0.0
                for oy in offs:
                    y = py + oy
                    for ox in offs:
                        d = layer.sdf(px + ox, y)
                        if d <= -edge:
                            cov += 1.0
                        elif d < edge:
                            cov += (edge - d) / (2.0 * edge)
                cov /= ss * ss
                if cov <= 0.0:
                    continue
                a = cov * layer.alpha
                r, g, b = layer.color(py + 0.5)
                p = buf[py * size + px]
                inv = 1.0 - a
                p[0] = r / 255.0 * a + p[0] * inv
                p[1] = g / 255.0 * a + p[1] * inv
                p[2] = b / 255.0 * a + p[2] * inv
                p[3] = a + p[3] * inv
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r, g, b, a = buf[py * size + px]
            a8 = int(round(a * 255.0))
            if a8 <= 0:
                row.extend((0, 0, 0, 0))
                continue
            row.extend(min(255, int(round(c / a * 255.0))) for c in (r, g, b))
            row.append(a8)
        rows.append(row)
    return rows


# --- encoders ------------------------------------------------------------

def png_bytes(rows):
    h = len(rows)
    w = len(rows[0]) // 4

    def chunk(tag, data):
        return (struct.pack(">I", len(data)) + tag + data +
                struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF))

    raw = bytearray()
    prev = [0] * (w * 4)
    for row in rows:
        # Pick the PNG filter with the smallest absolute sum (the usual
        # heuristic); the choice is deterministic.
        best = None
        for ftype in range(5):
            out = bytearray()
            for i, x in enumerate(row):
                a = row[i - 4] if i >= 4 else 0
                b = prev[i]
                c = prev[i - 4] if i >= 4 else 0
                if ftype == 0:
                    v = x
                elif ftype == 1:
                    v = x - a
                elif ftype == 2:
                    v = x - b
                elif ftype == 3:
                    v = x - ((a + b) >> 1)
                else:
                    p = a + b - c
                    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                    pr = a if (pa <= pb and pa <= pc) else (b if pb <= pc else c)
                    v = x - pr
                out.append(v & 0xFF)
            score = sum(v if v < 128 else 256 - v for v in out)
            if best is None or score < best[0]:
                best = (score, ftype, out)
        raw.append(best[1])
        raw += best[2]
        prev = row
    ihdr = struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def bmp_icon_bytes(rows):
    """ICO image in DIB form: BITMAPINFOHEADER, BGRA bottom-up, AND mask."""
    h = len(rows)
    w = len(rows[0]) // 4
    mask_stride = ((w + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        for px in range(w):
            r, g, b, a = row[px * 4:px * 4 + 4]
            xor += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for px in range(w):
            # The mask only matters where alpha is not honoured; mark the
            # mostly transparent pixels.
            if row[px * 4 + 3] < 128:
                bits[px >> 3] |= 0x80 >> (px & 7)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def ico_bytes(images):
    """images: list of (size, data) in the order to store them."""
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    return bytes(out)


def preview_png(renders, bg=(236, 236, 236), bg2=(60, 60, 60)):
    """Contact sheet: every size at 1x over light and dark backgrounds,
    then 16 and 32 enlarged with nearest-neighbour so pixels can be judged."""
    pad = 8
    sizes = [sz for sz, _ in renders]
    by_size = dict(renders)
    big = {16: 8, 32: 4}                     # size -> zoom factor
    width = pad + sum(sz + pad for sz in sizes) + sum(sz * k + pad for sz, k in big.items())
    height = 2 * (max(sizes) + pad) + pad
    canvas = [[list(bg) for _ in range(width)] for _ in range(height)]
    for y in range(max(sizes) + pad + pad // 2, height):
        for x in range(width):
            canvas[y][x] = list(bg2)

    def blit(rows, x0, y0, k):
        n = len(rows)
        for y in range(n * k):
            src = rows[y // k]
            for x in range(n * k):
                i = (x // k) * 4
                r, g, b, a = src[i:i + 4]
                d = canvas[y0 + y][x0 + x]
                f = a / 255.0
                canvas[y0 + y][x0 + x] = [int(round(c * f + dc * (1 - f)))
                                          for c, dc in zip((r, g, b), d)]

    for band, y0 in enumerate((pad, max(sizes) + 2 * pad)):
        x = pad
        for sz in sizes:
            blit(by_size[sz], x, y0, 1)
            x += sz + pad
        for sz, k in big.items():
            blit(by_size[sz], x, y0, k)
            x += sz * k + pad
    rows = [[c for px in row for c in (px + [255])] for row in canvas]
    return png_bytes(rows)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=os.path.join(here, "..", "velmora.ico"))
    ap.add_argument("--preview", help="also write a PNG contact sheet here")
    args = ap.parse_args(argv)

    renders = [(size, render(size)) for size in SIZES]
    images = [(size, bmp_icon_bytes(rows) if size in BMP_SIZES else png_bytes(rows))
              for size, rows in renders]
    data = ico_bytes(images)
    out = os.path.normpath(args.out)
    with open(out, "wb") as f:
        f.write(data)
    print("wrote %s (%d bytes)" % (out, len(data)))
    if args.preview:
        with open(args.preview, "wb") as f:
            f.write(preview_png(renders))
        print("wrote %s" % args.preview)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
