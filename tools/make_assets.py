#!/usr/bin/env python3
"""Generate Brackenreach's own art and music.

This script makes every bundled asset of the game from code, so nothing in
``data/`` comes from a third party:

* ``img/player2.png``       32x32 RGBA pixel-art hero seen from the front
                            (outlined, transparent background).
* ``img/background3.png``   1280x960 RGB world map: grass, winding dirt
                            roads, a lake and a river with sandy shores,
                            a bridge, cottages, trees, rocks, flowers, and a
                            dense forest band marking the edge of the world.
* ``audio/softworld.wav``   about 32 s of gentle, loopable music (melody,
                            pad, bass and harp over a I-vi-IV-V style
                            progression), 16-bit PCM mono at 22050 Hz.
* ``icons/brackenreach.png`` 128x128 RGBA icon: the hero scaled up x4.

Only the Python 3 standard library is used.  The output is deterministic:
a fixed random seed, no timestamps in the files, and the numeric code sticks
to exactly rounded IEEE arithmetic (+ - * / and sqrt; sine and exp are
computed here, not taken from libm), so every run writes byte-identical
files.  zlib is the one outside dependency of the exact bytes: a different
zlib build could compress the same pixels differently.

Rerun after changing anything here, and commit the regenerated files::

    python3 tools/make_assets.py            # writes into the repo's data/
    python3 tools/make_assets.py OUTDIR     # writes into OUTDIR instead

The asset tests (tests/assets/test_assets.py) regenerate into a temporary
directory and fail if the committed files differ.
"""

import math
import os
import random
import struct
import sys
import zlib

SEED = 20240611

# ---------------------------------------------------------------------------
# File writers
# ---------------------------------------------------------------------------


def png_bytes(width, height, rows, channels):
    """Encode rows (bytes-like, width*channels each) as an 8-bit PNG."""
    colour_type = {3: 2, 4: 6}[channels]

    def chunk(tag, payload):
        body = tag + payload
        return (struct.pack(">I", len(payload)) + body
                + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF))

    raw = bytearray()
    for row in rows:
        assert len(row) == width * channels
        raw.append(0)  # filter type None
        raw += row
    header = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def wav_bytes(samples, rate):
    """Encode signed 16-bit mono samples as a minimal RIFF/WAVE PCM file."""
    data = struct.pack("<%dh" % len(samples), *samples)
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * 2, 2, 16)
    return (b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data))
            + b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
            + b"data" + struct.pack("<I", len(data)) + data)


def write_file(path, payload):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as handle:
        handle.write(payload)


# ---------------------------------------------------------------------------
# Small deterministic maths helpers (basic IEEE operations only)
# ---------------------------------------------------------------------------

PI = 3.141592653589793
SEMITONE = 1.0594630943592953  # 2 ** (1 / 12)


def sin_(x):
    """Sine by range reduction and a Taylor series (deterministic)."""
    x = x % (2.0 * PI)
    if x > PI:
        x -= 2.0 * PI
    if x > PI / 2:
        x = PI - x
    elif x < -PI / 2:
        x = -PI - x
    x2 = x * x
    term = x
    total = x
    for n in range(1, 10):
        term *= -x2 / ((2 * n) * (2 * n + 1))
        total += term
    return total


def exp_(x):
    """e ** x by halving and a Taylor series (deterministic)."""
    halvings = 0
    while abs(x) > 0.5:
        x /= 2.0
        halvings += 1
    term = 1.0
    total = 1.0
    for n in range(1, 16):
        term *= x / n
        total += term
    for _ in range(halvings):
        total *= total
    return total


def sq(v):
    return v * v


def clamp8(v):
    return 0 if v < 0 else 255 if v > 255 else int(v)


def shade(rgb, factor):
    return tuple(clamp8(c * factor) for c in rgb)


def mix(a, b, t):
    return tuple(clamp8(x + (y - x) * t) for x, y in zip(a, b))


# ---------------------------------------------------------------------------
# The hero sprite
# ---------------------------------------------------------------------------

SPRITE_PALETTE = {
    "o": (34, 26, 38),      # outline
    "H": (128, 78, 42),     # hair
    "h": (92, 54, 32),      # hair shade
    "L": (176, 116, 62),    # hair highlight
    "S": (246, 200, 156),   # skin
    "s": (214, 158, 120),   # skin shade
    "E": (40, 32, 56),      # eyes
    "R": (238, 150, 132),   # blush
    "m": (172, 92, 82),     # mouth
    "U": (96, 134, 208),    # tunic light
    "T": (62, 98, 178),     # tunic
    "t": (42, 66, 134),     # tunic shade
    "C": (178, 56, 56),     # cloak
    "c": (124, 36, 46),     # cloak shade
    "B": (98, 62, 38),      # belt
    "Y": (236, 194, 78),    # buckle / gold
    "P": (104, 86, 70),     # trousers
    "p": (76, 62, 52),      # trousers shade
    "K": (78, 50, 34),      # boots
    "k": (120, 80, 52),     # boot highlight
    "W": (220, 228, 238),   # blade
    "w": (150, 160, 180),   # blade shade
    "G": (226, 178, 64),    # guard
    "g": (96, 60, 38),      # grip
}

# (row, first column, pixels).  Unlisted pixels are transparent; a dark
# outline is added around the figure afterwards.
SPRITE_ROWS = [
    (3, 12, "hHHHHHHh"),
    (4, 10, "hHHHLLHHHHHh"),
    (5, 9, "hHHHLLHHHHHHHh"),
    (6, 9, "hHHLHHHHHHHHHh"),
    (7, 9, "hHHHHHHHHHHHHh"),
    (8, 9, "hHHSHHHSSHHSHh"),
    (9, 9, "hHSSSSSSSSSSHh"),
    (10, 9, "hHSSESSSSESSHh"),
    (11, 9, "hHSSESSSSESSHh"),
    (12, 9, "hhSRSSSSSSRShh"),
    (13, 10, "hsSSSmmSSSsh"),
    (14, 11, "ssSSSSSSss"),
    (15, 10, "CCUTssssTtCC"),
    (16, 7, "C" "UU" "UUTTTTTTTTtt" "tt" "c"),
    (17, 7, "C" "UT" "oUUTTTTTTTto" "Tt" "c"),
    (18, 7, "C" "UT" "oUTTTTTTTTto" "Tt" "c"),
    (19, 7, "C" "UT" "oUTTTTTTTTto" "Tt" "c"),
    (20, 7, "C" "Tt" "oBBBBYYBBBBo" "tt" "c"),
    (21, 7, "C" "SS" "oUTTTTTTTTto" "Ss" "c"),
    (22, 6, "Cc" "ss" "TTTTTTTTTTtt" "ss" "cC"),
    (23, 6, "Cc" ".." "tTTTTTTTTTtt" ".." "cC"),
    (24, 6, "Cc" "..." "PPPp" "oo" "PPPp" "..." "cC"),
    (25, 7, "c" "ooo" "PPPp" "oo" "PPPp" "..." "c"),
    (26, 11, "PPPp" "oo" "PPPp"),
    (27, 10, "KkKKK" ".." "KkKKK"),
    (28, 10, "KKKKK" ".." "KKKKK"),
]


def sprite_pixels():
    grid = [["." for _ in range(32)] for _ in range(32)]
    for y, x0, pixels in SPRITE_ROWS:
        for i, ch in enumerate(pixels):
            if ch != ".":
                grid[y][x0 + i] = ch
    # A short sword held in the figure's left hand (viewer's right).
    for y, x0, pixels in [(20, 23, "g"), (23, 22, "GYG"),
                          (24, 23, "W"), (25, 23, "W"), (26, 23, "W"),
                          (27, 23, "W"), (28, 23, "w")]:
        for i, ch in enumerate(pixels):
            grid[y][x0 + i] = ch
    # Outline: every empty pixel touching the figure (8-neighbourhood).
    outline = []
    for y in range(32):
        for x in range(32):
            if grid[y][x] != ".":
                continue
            for dy in (-1, 0, 1):
                for dx in (-1, 0, 1):
                    yy, xx = y + dy, x + dx
                    if 0 <= yy < 32 and 0 <= xx < 32 and grid[yy][xx] not in ".o":
                        outline.append((y, x))
                        break
                else:
                    continue
                break
    for y, x in outline:
        grid[y][x] = "o"
    return grid


def sprite_rows(scale=1):
    grid = sprite_pixels()
    rows = []
    for line in grid:
        row = bytearray()
        for ch in line:
            px = bytes(SPRITE_PALETTE[ch]) + b"\xff" if ch != "." else b"\0\0\0\0"
            row += px * scale
        for _ in range(scale):
            rows.append(bytes(row))
    return rows


# ---------------------------------------------------------------------------
# The world map
# ---------------------------------------------------------------------------

MAP_W, MAP_H = 1280, 960

# Terrain classes; a higher number wins when areas overlap.
GRASS, FOREST, PATH, SAND, SHALLOW, DEEP = range(6)

GRASS_RAMP = [(72, 128, 60), (80, 139, 64), (89, 150, 69), (98, 160, 74),
              (108, 169, 79)]
FOREST_RAMP = [(46, 92, 52), (52, 101, 55), (58, 110, 58)]
DIRT = [(170, 130, 86), (181, 141, 94), (191, 152, 103)]
DIRT_EDGE = (146, 108, 70)
SAND_C = [(222, 204, 148), (230, 214, 160)]
WET_SAND = (196, 178, 126)
SHALLOW_C = [(88, 164, 198), (94, 170, 203)]
DEEP_C = [(62, 130, 182), (66, 136, 187)]
FOAM = (160, 208, 226)
RIPPLE = (176, 218, 234)
OUTLINE = (44, 38, 42)

BAYER4 = [[0, 8, 2, 10], [12, 4, 14, 6], [3, 11, 1, 9], [15, 7, 13, 5]]


def catmull_rom(points, step=2.0):
    """Points along a Catmull-Rom spline through points, ~step px apart."""
    pts = [points[0]] + list(points) + [points[-1]]
    out = []
    for i in range(1, len(pts) - 2):
        p0, p1, p2, p3 = pts[i - 1], pts[i], pts[i + 1], pts[i + 2]
        ex, ey = p2[0] - p1[0], p2[1] - p1[1]
        seg = math.sqrt(ex * ex + ey * ey)
        n = max(2, int(seg / step))
        for k in range(n):
            t = k / n
            t2, t3 = t * t, t * t * t
            out.append(tuple(
                0.5 * (2 * b + (-a + c) * t + (2 * a - 5 * b + 4 * c - d) * t2
                       + (-a + 3 * b - 3 * c + d) * t3)
                for a, b, c, d in zip(p0, p1, p2, p3)))
    out.append(points[-1])
    return out


_DISCS = {}


def disc(r):
    """Pixel offsets of a filled disc of radius r (cached)."""
    key = int(r * 4)
    if key not in _DISCS:
        rr = key / 4.0
        ir = int(rr) + 1
        _DISCS[key] = [(dx, dy) for dy in range(-ir, ir + 1)
                       for dx in range(-ir, ir + 1)
                       if dx * dx + dy * dy <= rr * rr]
    return _DISCS[key]


class Canvas:
    """RGB image plus a terrain-class map of the same size."""

    def __init__(self, w, h):
        self.w, self.h = w, h
        self.cls = bytearray(w * h)
        self.px = bytearray(w * h * 3)
        self.shadow = bytearray(w * h)
        self.blocked = set()  # 16 px cells taken by buildings and the like

    def paint(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            i = y * self.w + x
            if self.cls[i] < c:
                self.cls[i] = c

    def stamp(self, x, y, r, c):
        xi, yi = int(x + 0.5), int(y + 0.5)
        for dx, dy in disc(r):
            self.paint(xi + dx, yi + dy, c)

    def get_cls(self, x, y):
        x, y = int(x), int(y)
        if 0 <= x < self.w and 0 <= y < self.h:
            return self.cls[y * self.w + x]
        return FOREST

    def put(self, x, y, rgb):
        if 0 <= x < self.w and 0 <= y < self.h:
            i = (y * self.w + x) * 3
            self.px[i:i + 3] = bytes(rgb)

    def get(self, x, y):
        i = (y * self.w + x) * 3
        return tuple(self.px[i:i + 3])

    def rect(self, x0, y0, x1, y1, rgb):
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.put(x, y, rgb)

    def block(self, x0, y0, x1, y1):
        for cy in range(int(y0) // 16, int(y1) // 16 + 1):
            for cx in range(int(x0) // 16, int(x1) // 16 + 1):
                self.blocked.add((cx, cy))

    def is_blocked(self, x, y):
        return (int(x) // 16, int(y) // 16) in self.blocked

    def area_is(self, x, y, r, allowed):
        """True if the disc of radius r at (x, y) only holds allowed classes."""
        for k in (r, r // 2):
            for dx, dy in ((0, 0), (k, 0), (-k, 0), (0, k), (0, -k),
                           (k, k), (-k, k), (k, -k), (-k, -k)):
                if self.get_cls(x + dx, y + dy) not in allowed:
                    return False
        return True


def value_noise(rng, w, h, cell, blocks):
    """Smooth noise in [0, 1] sampled on a grid of `blocks`-px blocks."""
    gw, gh = w // cell + 2, h // cell + 2
    grid = [[rng.random() for _ in range(gw)] for _ in range(gh)]
    bw, bh = w // blocks, h // blocks
    out = []
    for by in range(bh):
        fy = (by * blocks + blocks / 2) / cell
        iy = int(fy)
        ty = fy - iy
        ty = ty * ty * (3 - 2 * ty)
        row = []
        for bx in range(bw):
            fx = (bx * blocks + blocks / 2) / cell
            ix = int(fx)
            tx = fx - ix
            tx = tx * tx * (3 - 2 * tx)
            a = grid[iy][ix] + (grid[iy][ix + 1] - grid[iy][ix]) * tx
            b = grid[iy + 1][ix] + (grid[iy + 1][ix + 1] - grid[iy + 1][ix]) * tx
            row.append(a + (b - a) * ty)
        out.append(row)
    return out


# Layout of the world (pixel coordinates).
ROAD_WEST_EAST = [(-20, 548), (110, 524), (250, 560), (400, 540), (540, 508),
                  (700, 536), (860, 590), (1030, 584), (1170, 556),
                  (1300, 588)]
ROAD_NORTH_SOUTH = [(426, -20), (440, 110), (396, 250), (462, 400),
                    (540, 508), (604, 640), (560, 790), (598, 980)]
ROAD_TO_LAKE = [(700, 536), (740, 484), (790, 440), (826, 404),
                (846, 380)]
LAKE_BLOBS = [(930, 250, 70), (1012, 288, 60), (856, 282, 56),
              (976, 196, 58), (900, 326, 40), (1064, 232, 44)]
RIVER = [(1030, 360), (1018, 450), (1066, 560), (1030, 680), (1084, 800),
         (1062, 990)]
HOUSES = [(298, 398, 88, (170, 74, 58)), (622, 382, 80, (86, 104, 146))]
GROVES = [(200, 210, 140, 100, 22), (250, 770, 170, 100, 26),
          (830, 790, 140, 80, 18), (680, 200, 80, 60, 8),
          (1180, 420, 50, 90, 7), (140, 420, 50, 50, 4),
          (1180, 860, 60, 50, 5)]


def layout_terrain(cv, rng):
    w, h = cv.w, cv.h
    # Forest band around the world's edge, with a wavy inner edge.
    wob = [8 * rng.random() for _ in range(64)]

    def band(t):
        i = int(t) % 64
        f = t - int(t)
        return 40 + wob[i] + (wob[(i + 1) % 64] - wob[i]) * f

    for y in range(h):
        by = band(y / 37.0)
        row = y * w
        for x in range(w):
            bx = band(x / 41.0 + 17)
            if x < by or x >= w - band(y / 43.0 + 31) or y < bx \
                    or y >= h - band(x / 39.0 + 47):
                cv.cls[row + x] = FOREST

    # Roads (dirt paths) of slowly varying width.
    for road, base in ((ROAD_WEST_EAST, 10.5), (ROAD_NORTH_SOUTH, 9.5),
                       (ROAD_TO_LAKE, 7.0)):
        r = base
        for x, y in catmull_rom(road):
            r += (rng.random() - 0.5) * 0.6
            r = min(base + 1.5, max(base - 1.5, r))
            cv.stamp(x, y, r, PATH)
    # Short paths from the cottage doors to the road.
    for hx, hy, hw, _ in HOUSES:
        dx = hx + hw // 2
        top = hy + 78
        for y in range(top, top + 70, 2):
            if cv.get_cls(dx, y + 8) == PATH and y > top + 6:
                break
            cv.stamp(dx, y, 6, PATH)

    # River: sand banks, then water, then a deeper channel.
    river = catmull_rom(RIVER)
    for (x, y) in river:
        cv.stamp(x, y, 21 + rng.random() * 2, SAND)
    for (x, y) in river:
        cv.stamp(x, y, 13 + rng.random(), SHALLOW)
    for (x, y) in river:
        cv.stamp(x, y, 5 + rng.random() * 2, DEEP)

    # Lake: a union of soft blobs ("metaballs").
    x0 = min(b[0] - b[2] for b in LAKE_BLOBS) - 140
    x1 = max(b[0] + b[2] for b in LAKE_BLOBS) + 140
    y0 = min(b[1] - b[2] for b in LAKE_BLOBS) - 140
    y1 = max(b[1] + b[2] for b in LAKE_BLOBS) + 140
    for y in range(max(0, y0), min(h, y1)):
        for x in range(max(0, x0), min(w, x1)):
            f = 0.0
            for bx, by, br in LAKE_BLOBS:
                d2 = (x - bx) * (x - bx) + (y - by) * (y - by) + 1.0
                f += br * br / d2
            if f >= 2.1 + (rng.random() - 0.5) * 0.25:
                cv.paint(x, y, DEEP)
            elif f >= 1.0:
                cv.paint(x, y, SHALLOW)
            elif f >= 0.80:
                cv.paint(x, y, SAND)


def colour_terrain(cv, rng):
    w, h = cv.w, cv.h
    cls, px = cv.cls, cv.px
    tone = value_noise(rng, w, h, 96, 8)
    fine = value_noise(rng, w, h, 28, 4)
    rnd = rng.random
    grass = [bytes(c) for c in GRASS_RAMP]
    forest = [bytes(c) for c in FOREST_RAMP]
    dirt = [bytes(c) for c in DIRT]
    dirt_edge = bytes(DIRT_EDGE)
    sand = [bytes(c) for c in SAND_C]
    wet = bytes(WET_SAND)
    shallow = [bytes(c) for c in SHALLOW_C]
    deep = [bytes(c) for c in DEEP_C]
    foam = bytes(FOAM)
    for y in range(h):
        trow = tone[y // 8]
        frow = fine[y // 4]
        brow = BAYER4[y & 3]
        for x in range(w):
            i = y * w + x
            c = cls[i]
            o = i * 3
            if c == GRASS or c == FOREST:
                v = trow[x // 8] * 0.75 + frow[x // 4] * 0.45 - 0.1
                if c == GRASS:
                    k = int(v * 4.2 + (brow[x & 3] + rnd() * 8) / 24.0)
                    px[o:o + 3] = grass[0 if k < 0 else 4 if k > 4 else k]
                else:
                    k = int(v * 2.4 + rnd() * 0.9)
                    px[o:o + 3] = forest[0 if k < 0 else 2 if k > 2 else k]
                continue
            up = cls[i - w] if y > 0 else c
            dn = cls[i + w] if y < h - 1 else c
            lf = cls[i - 1] if x > 0 else c
            rt = cls[i + 1] if x < w - 1 else c
            if c == PATH:
                if up < PATH or dn < PATH or lf < PATH or rt < PATH:
                    px[o:o + 3] = dirt_edge
                else:
                    r = rnd()
                    if r < 0.006:
                        px[o:o + 3] = b"\xd2\xb8\x8c"
                    elif r < 0.012:
                        px[o:o + 3] = dirt_edge
                    else:
                        k = int(1 + (brow[x & 3] / 16.0 - 0.5) * 0.9
                                + (rnd() - 0.5) * 1.2)
                        px[o:o + 3] = dirt[0 if k < 0 else 2 if k > 2 else k]
            elif c == SAND:
                if up > SAND or dn > SAND or lf > SAND or rt > SAND:
                    px[o:o + 3] = wet
                else:
                    px[o:o + 3] = sand[1 if rnd() < 0.35 else 0]
            elif c == SHALLOW:
                if up == SAND or dn == SAND or lf == SAND or rt == SAND:
                    px[o:o + 3] = foam
                else:
                    px[o:o + 3] = shallow[(y // 3 + (x // 11)) & 1
                                          if rnd() < 0.9 else 0]
            else:
                px[o:o + 3] = deep[(y // 3 + (x // 13)) & 1
                                   if rnd() < 0.9 else 1]


# --- sprites for trees, rocks and bushes ----------------------------------
# A sprite is a list of (dx, dy, rgb) relative to its anchor (the point where
# it touches the ground).

LEAVES = [(34, 78, 50), (46, 102, 58), (64, 128, 66), (90, 154, 78),
          (120, 178, 92)]
PINE = [(26, 66, 54), (34, 86, 64), (48, 108, 74), (70, 132, 84),
        (96, 156, 98)]
BARK = [(70, 46, 34), (98, 68, 46), (124, 88, 58)]
STONE = [(70, 72, 84), (108, 110, 120), (140, 142, 150), (172, 174, 180),
         (204, 206, 210)]


def outline_sprite(pixels, colour):
    """Turn the rim pixels of a {(x, y): rgb} shape into the outline colour."""
    out = dict(pixels)
    for (x, y) in pixels:
        if ((x + 1, y) not in pixels or (x - 1, y) not in pixels
                or (x, y + 1) not in pixels or (x, y - 1) not in pixels):
            out[(x, y)] = colour
    return out


def shaded_blob(rng, lumps, ramp, light=(-0.55, -0.75), grain=0.18):
    """Union of circles, each shaded as a ball lit from the top left."""
    pixels = {}
    x0 = int(min(cx - r for cx, cy, r in lumps)) - 1
    x1 = int(max(cx + r for cx, cy, r in lumps)) + 2
    y0 = int(min(cy - r for cx, cy, r in lumps)) - 1
    y1 = int(max(cy + r for cx, cy, r in lumps)) + 2
    n = len(ramp) - 1
    for y in range(y0, y1):
        for x in range(x0, x1):
            best = None
            for cx, cy, r in lumps:
                ex, ey = x + 0.5 - cx, y + 0.5 - cy
                d2 = ex * ex + ey * ey
                if d2 <= r * r:
                    # Lumps listed later sit in front.
                    best = ((x + 0.5 - cx) / r, (y + 0.5 - cy) / r)
            if best is None:
                continue
            lit = -(best[0] * light[0] + best[1] * light[1])
            v = 0.5 + 0.6 * lit + (rng.random() - 0.5) * grain
            k = int(v * n + 0.5)
            pixels[(x, y)] = ramp[1 if k < 1 else n if k > n else k]
    return pixels


def make_round_tree(rng, r):
    trunk_h = 7 + int(r * 0.3)
    pixels = {}
    for y in range(-trunk_h - 4, 1):
        half = 2 + (1 if y >= -1 else 0)
        for x in range(-half, half):
            pixels[(x, y)] = BARK[2] if x == -half + 1 else \
                BARK[0] if x >= half - 1 else BARK[1]
    pixels = outline_sprite(pixels, (48, 32, 26))
    cy = -trunk_h - r * 0.8
    lumps = [(0.0, cy, r)]
    for _ in range(5):
        a = rng.uniform(-0.6, 0.6) * r
        b = rng.uniform(-0.55, 0.25) * r
        lumps.append((a, cy + b, r * rng.uniform(0.42, 0.6)))
    lumps.sort(key=lambda l: l[1])
    canopy = outline_sprite(shaded_blob(rng, lumps, LEAVES, grain=0.3), LEAVES[0])
    pixels.update(canopy)
    return [(x, y, bytes(c)) for (x, y), c in sorted(pixels.items())]


def make_pine(rng, height):
    pixels = {}
    for y in range(-4, 1):
        for x in (-1, 0, 1):
            pixels[(x, y)] = BARK[0] if x == 1 else BARK[1]
    tiers = 3
    top = -height
    span = (height - 4) / tiers
    for t in range(tiers):
        ty0 = top + t * span * 0.75
        ty1 = ty0 + span * 1.25
        width = 4 + (t + 1) * height * 0.11
        for y in range(int(ty0), int(ty1) + 1):
            f = (y - ty0) / (ty1 - ty0)
            half = width * f
            for x in range(-int(half) - 1, int(half) + 2):
                if abs(x + 0.5) > half + 0.5:
                    continue
                side = (x + 0.5) / (half + 1)
                v = 0.62 - 0.42 * side - 0.35 * f * f + (rng.random() - 0.5) * 0.2
                k = int(v * 4 + 0.5)
                pixels[(x, y)] = PINE[1 if k < 1 else 4 if k > 4 else k]
    pixels = outline_sprite(pixels, PINE[0])
    return [(x, y, bytes(c)) for (x, y), c in sorted(pixels.items())]


def make_rock(rng, r):
    lumps = [(0.0, -r * 0.7, r)]
    for _ in range(2):
        lumps.append((rng.uniform(-0.5, 0.5) * r, -r * 0.7 + rng.uniform(-0.3, 0.2) * r,
                      r * rng.uniform(0.5, 0.75)))
    pixels = shaded_blob(rng, lumps, STONE, grain=0.12)
    # Squash vertically so the rock sits on the ground.
    squashed = {}
    for (x, y), c in pixels.items():
        squashed[(x, int(y * 0.75))] = c
    squashed = outline_sprite(squashed, STONE[0])
    return [(x, y, bytes(c)) for (x, y), c in sorted(squashed.items())]


def make_bush(rng, r, berries):
    lumps = [(rng.uniform(-0.5, 0.5) * r, -r * 0.8 + rng.uniform(-0.2, 0.2) * r,
              r * rng.uniform(0.55, 0.75)) for _ in range(4)]
    lumps.append((0.0, -r * 0.8, r * 0.8))
    lumps.sort(key=lambda l: l[1])
    pixels = outline_sprite(shaded_blob(rng, lumps, LEAVES[1:]), LEAVES[0])
    if berries:
        inner = [p for p in sorted(pixels) if pixels[p] != LEAVES[0]]
        for _ in range(max(2, len(inner) // 25)):
            pixels[rng.choice(inner)] = (206, 58, 70)
    return [(x, y, bytes(c)) for (x, y), c in sorted(pixels.items())]


def blit(cv, sprite, ax, ay):
    w, h, px = cv.w, cv.h, cv.px
    for dx, dy, c in sprite:
        x, y = ax + dx, ay + dy
        if 0 <= x < w and 0 <= y < h:
            o = (y * w + x) * 3
            px[o:o + 3] = c


def cast_shadow(cv, cx, cy, rx, ry):
    """Mark an elliptical shadow on the ground (applied once, later)."""
    w, h = cv.w, cv.h
    for y in range(int(cy - ry), int(cy + ry) + 1):
        for x in range(int(cx - rx), int(cx + rx) + 1):
            if 0 <= x < w and 0 <= y < h and \
                    sq((x - cx) / rx) + sq((y - cy) / ry) <= 1.0:
                cv.shadow[y * w + x] = 1


def apply_shadows(cv):
    px, sh = cv.px, cv.shadow
    for i in range(cv.w * cv.h):
        if sh[i]:
            o = i * 3
            px[o] = px[o] * 62 // 100
            px[o + 1] = px[o + 1] * 68 // 100
            px[o + 2] = min(255, px[o + 2] * 80 // 100 + 8)


# --- buildings and other hand-placed things --------------------------------

def draw_house(cv, rng, hx, hy, hw, roof):
    """A cottage seen from the front and above: roof, walls, door, windows."""
    roof_h, wall_h = 42, 36
    roof_lo, roof_hi = shade(roof, 0.72), mix(roof, (255, 230, 200), 0.25)
    plaster = [(232, 218, 184), (224, 208, 172)]
    beam = (118, 78, 48)
    wx0, wx1 = hx + 5, hx + hw - 5
    wy0, wy1 = hy + roof_h - 4, hy + roof_h + wall_h
    # Walls with timber framing and a stone footing.
    for y in range(wy0, wy1):
        for x in range(wx0, wx1):
            if y >= wy1 - 5:
                brick = ((y - wy1) // 3 + (x + ((y - wy1) // 3) * 4) // 8) & 1
                c = STONE[2] if brick else STONE[3]
                if (y - wy1) % 3 == 0 or (x + ((y - wy1) // 3) * 4) % 8 == 0:
                    c = STONE[1]
            elif x in (wx0, wx0 + 1, wx1 - 2, wx1 - 1) or y in (wy0 + 5, wy0 + 6):
                c = beam
            else:
                c = plaster[1 if rng.random() < 0.25 else 0]
            cv.put(x, y, c)
    # Door.
    dx0 = hx + hw // 2 - 7
    for y in range(wy1 - 22, wy1):
        for x in range(dx0, dx0 + 14):
            if x in (dx0, dx0 + 13) or y == wy1 - 22:
                c = (70, 44, 30)
            elif (x - dx0) % 4 == 0:
                c = (104, 66, 40)
            else:
                c = (140, 92, 54)
            cv.put(x, y, c)
    cv.put(dx0 + 10, wy1 - 11, (236, 194, 78))
    cv.put(dx0 + 10, wy1 - 10, (180, 140, 50))
    # Windows with flower boxes.
    for wxc in (hx + hw // 4 - 2, hx + 3 * hw // 4 + 2):
        x0, y0 = wxc - 7, wy0 + 11
        for y in range(y0, y0 + 12):
            for x in range(x0, x0 + 14):
                if x in (x0, x0 + 13) or y in (y0, y0 + 11):
                    c = (84, 54, 36)
                elif x == x0 + 7 or y == y0 + 6:
                    c = (126, 86, 52)
                elif (x - x0) + (y - y0) in (4, 5, 12):
                    c = (176, 214, 236)
                else:
                    c = (92, 140, 188)
                cv.put(x, y, c)
        for x in range(x0 - 1, x0 + 15):
            cv.put(x, y0 + 12, (120, 80, 50))
            cv.put(x, y0 + 13, (92, 60, 38))
            if x % 2 == 0 and x0 <= x < x0 + 14:
                cv.put(x, y0 + 11, ((232, 84, 92), (246, 210, 84))[(x // 2) % 2])
    # Roof: overhanging shingles, a ridge at the top, dark eaves.
    for y in range(hy, hy + roof_h):
        row = (y - hy) // 5
        for x in range(hx, hx + hw):
            ry = (y - hy) % 5
            if y < hy + 4:
                c = roof_hi if y < hy + 2 else roof
            elif ry == 4:
                c = roof_lo
            elif (x + row * 5) % 10 == 0:
                c = roof_lo
            else:
                c = roof if rng.random() < 0.85 else mix(roof, roof_hi, 0.5)
            if x < hx + 2:
                c = mix(c, (255, 240, 220), 0.2)
            elif x >= hx + hw - 3:
                c = roof_lo
            cv.put(x, y, c)
    for x in range(wx0, wx1):
        for y in (wy0 + 0, wy0 + 1):
            if y >= hy + roof_h:
                cv.put(x, y, shade(cv.get(x, y), 0.6))
    # Chimney.
    cx0 = hx + hw - 24
    for y in range(hy - 10, hy + 10):
        for x in range(cx0, cx0 + 10):
            if y < hy - 7:
                c = (52, 46, 50) if cx0 + 2 <= x < cx0 + 8 and y > hy - 10 else STONE[1]
            else:
                c = STONE[1] if (y - hy) % 4 == 0 or (x + (y // 4) * 3) % 6 == 0 \
                    else (STONE[3] if x < cx0 + 5 else STONE[2])
            cv.put(x, y, c)
    # Outline around the whole cottage.
    box = [(x, y) for y in range(hy - 11, wy1 + 1) for x in range(hx - 1, hx + hw + 1)]
    inside = set()
    for x, y in box:
        inside_roof = hx <= x < hx + hw and hy <= y < hy + roof_h
        inside_wall = wx0 <= x < wx1 and hy + roof_h <= y < wy1
        inside_chim = cx0 <= x < cx0 + 10 and hy - 10 <= y < hy
        if inside_roof or inside_wall or inside_chim:
            inside.add((x, y))
    for x, y in box:
        if (x, y) in inside:
            continue
        if any((x + a, y + b) in inside for a, b in ((1, 0), (-1, 0), (0, 1), (0, -1))):
            cv.put(x, y, OUTLINE)
    # Stepping stone at the door.
    for x in range(dx0 + 1, dx0 + 13):
        cv.put(x, wy1 + 1, STONE[2])
        cv.put(x, wy1 + 2, STONE[1])


def house_shadow(cv, hx, hy, hw):
    for y in range(hy + 6, hy + 42 + 36 + 4):
        for x in range(hx + hw, hx + hw + 8):
            if 0 <= x < cv.w and y - hy - 6 >= x - hx - hw:
                cv.shadow[y * cv.w + x] = 1
    for y in range(hy + 42 + 36, hy + 42 + 36 + 4):
        for x in range(hx + 8, hx + hw + 8):
            cv.shadow[y * cv.w + x] = 1


def draw_bridge(cv, x0, x1, yc):
    """Wooden bridge along the road, planks across its width."""
    half = 11
    for y in range(yc - half, yc + half + 1):
        for x in range(x0, x1):
            if y in (yc - half, yc + half):
                c = OUTLINE
            elif y in (yc - half + 1, yc + half - 1):
                c = (150, 104, 62) if y < yc else (96, 62, 38)
            elif (x - x0) % 5 == 0:
                c = (92, 60, 38)
            else:
                c = (168, 120, 74) if ((x - x0) // 5) % 2 else (156, 110, 68)
            cv.put(x, y, c)
    for x in list(range(x0, x1, 12)) + [x1 - 3]:
        for y in (yc - half - 3, yc + half - 1):
            for dy in range(4):
                for dx in range(3):
                    c = OUTLINE if dx == 0 and dy == 0 else (120, 82, 50) if dx < 2 else (84, 54, 34)
                    cv.put(x + dx, y + dy, c)
    for x in range(x0, x1):
        for y in range(yc + half + 1, yc + half + 4):
            if cv.get_cls(x, y) >= SHALLOW:
                cv.put(x, y, shade(cv.get(x, y), 0.7))


def draw_dock(cv, xc, y_shore, length):
    """A small jetty reaching north into the lake."""
    for y in range(y_shore - length, y_shore):
        for x in range(xc - 7, xc + 7):
            if x in (xc - 7, xc + 6):
                c = OUTLINE
            elif (y - y_shore) % 4 == 0:
                c = (98, 64, 40)
            else:
                c = (170, 122, 76) if x < xc + 3 else (150, 106, 66)
            cv.put(x, y, c)
        if y % 16 == 0:
            for x in (xc - 8, xc + 6):
                cv.rect(x, y, x + 2, y + 3, (82, 52, 34))
    for y in range(y_shore - length, y_shore):
        for x in range(xc + 7, xc + 10):
            if cv.get_cls(x, y) >= SHALLOW:
                cv.put(x, y, shade(cv.get(x, y), 0.72))


def draw_fence(cv, x0, x1, y):
    for x in range(x0, x1):
        cv.put(x, y - 6, (150, 106, 64))
        cv.put(x, y - 5, (104, 70, 44))
        cv.put(x, y - 3, (150, 106, 64))
        cv.put(x, y - 2, (104, 70, 44))
    for x in range(x0, x1, 8):
        for dy in range(-9, 1):
            cv.put(x, dy + y, OUTLINE if dy in (-9, 0) else (126, 86, 52))
            cv.put(x + 1, dy + y, OUTLINE if dy in (-9, 0) else (96, 64, 40))
            cv.put(x + 2, dy + y, OUTLINE)
        cv.put(x - 1, y - 8, OUTLINE)
        for dy in range(-8, 0):
            cv.put(x - 1, y + dy, OUTLINE)


def draw_well(cv, xc, yb):
    for y in range(yb - 14, yb + 1):
        for x in range(xc - 10, xc + 11):
            dx, dy = (x - xc) / 10.0, (y - (yb - 7)) / 7.0
            d = dx * dx + dy * dy
            if d > 1.0:
                continue
            if d < 0.35:
                c = (34, 52, 84) if d > 0.15 or y > yb - 8 else (56, 88, 130)
            elif d > 0.8:
                c = OUTLINE
            else:
                c = STONE[3] if dy < 0 else STONE[1] if dx > 0.3 else STONE[2]
                if (x + y) % 5 == 0:
                    c = STONE[1]
            cv.put(x, y, c)
    for x in (xc - 9, xc + 7):
        cv.rect(x, yb - 26, x + 2, yb - 8, (120, 80, 50))
        cv.rect(x + 2, yb - 26, x + 3, yb - 8, OUTLINE)
    cv.rect(xc - 9, yb - 27, xc + 10, yb - 24, (96, 62, 40))
    cv.rect(xc - 9, yb - 28, xc + 10, yb - 27, OUTLINE)
    cv.rect(xc - 1, yb - 24, xc, yb - 12, (60, 52, 50))
    cv.rect(xc - 3, yb - 14, xc + 2, yb - 10, (150, 104, 60))


FLOWER_COLOURS = [(232, 84, 92), (246, 210, 84), (245, 245, 236),
                  (178, 122, 220), (242, 150, 196), (120, 170, 240)]


def ground_details(cv, rng):
    """Grass tufts, flowers, ripples, reeds and lily pads."""
    w, h = cv.w, cv.h
    tuft_dark, tuft_light = (60, 112, 54), (128, 186, 92)
    for _ in range(5200):
        x, y = rng.randrange(2, w - 2), rng.randrange(3, h - 2)
        c = cv.get_cls(x, y)
        if c == GRASS and cv.get_cls(x, y - 2) == GRASS:
            col = tuft_dark if rng.random() < 0.6 else tuft_light
            for dx, dy in ((0, 0), (-1, -1), (1, -1), (0, -1), (-2, -2), (2, -2)):
                if rng.random() < 0.85:
                    cv.put(x + dx, y + dy, col)
        elif c == FOREST:
            cv.put(x, y, (40, 80, 46))
    # Flower patches.
    patches = 0
    while patches < 90:
        x, y = rng.randrange(60, w - 60), rng.randrange(60, h - 60)
        if not cv.area_is(x, y, 16, (GRASS,)) or cv.is_blocked(x, y):
            continue
        patches += 1
        colour = rng.choice(FLOWER_COLOURS)
        for _ in range(rng.randrange(8, 20)):
            fx, fy = x + rng.randrange(-14, 15), y + rng.randrange(-10, 11)
            if cv.get_cls(fx, fy) != GRASS:
                continue
            if rng.random() < 0.5:
                for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                    cv.put(fx + dx, fy + dy, colour)
                cv.put(fx, fy, (250, 226, 120) if colour != (246, 210, 84) else (214, 120, 60))
                cv.put(fx, fy + 2, (60, 112, 54))
            else:
                cv.put(fx, fy, colour)
                cv.put(fx, fy + 1, (60, 112, 54))
    # Ripples on open water.
    placed = 0
    while placed < 120:
        x, y = rng.randrange(40, w - 40), rng.randrange(40, h - 40)
        n = rng.randrange(3, 7)
        if not all(cv.get_cls(x + d, y + e) >= SHALLOW
                   for d in (-3, n + 3) for e in (-3, 3)):
            continue
        placed += 1
        for d in range(n):
            cv.put(x + d, y, RIPPLE)
        cv.put(x - 1, y + 1, RIPPLE)
        cv.put(x + n, y + 1, RIPPLE)
    # Lily pads on the lake.
    pads = 0
    while pads < 14:
        x, y = rng.randrange(780, 1140), rng.randrange(120, 420)
        if not cv.area_is(x, y, 6, (SHALLOW, DEEP)):
            continue
        pads += 1
        for dy in range(-3, 4):
            for dx in range(-3, 4):
                if dx * dx + dy * dy <= 10 and not (dx > 0 and dy == 0 or dx > 0 and dy == -1 and dx < 2):
                    cv.put(x + dx, y + dy, (70, 140, 70) if dx + dy < 1 else (52, 112, 58))
        if rng.random() < 0.4:
            cv.put(x - 1, y - 1, (246, 220, 236))
            cv.put(x, y - 1, (236, 160, 196))
    # Reeds along the shore.
    reeds = 0
    while reeds < 60:
        x, y = rng.randrange(40, w - 40), rng.randrange(40, h - 40)
        if cv.get_cls(x, y) != SAND or not any(
                cv.get_cls(x + d, y) >= SHALLOW for d in (-3, 3)) or cv.is_blocked(x, y):
            continue
        reeds += 1
        for k in range(rng.randrange(2, 4)):
            rx = x + k * 2 - 2
            top = rng.randrange(5, 9)
            for d in range(top):
                cv.put(rx, y - d, (58, 110, 56) if d < top - 2 else (112, 74, 44))


def render_map(rng):
    cv = Canvas(MAP_W, MAP_H)
    layout_terrain(cv, rng)
    w, h = cv.w, cv.h

    # Where the west-east road crosses the river: that is the bridge.
    crossing = [(x, y) for x, y in catmull_rom(ROAD_WEST_EAST)
                if x > 900 and cv.get_cls(x, y) >= SAND]
    bx0 = int(min(p[0] for p in crossing)) - 3
    bx1 = int(max(p[0] for p in crossing)) + 4
    byc = int(sum(p[1] for p in crossing) / len(crossing) + 0.5)
    cv.block(bx0, byc - 16, bx1, byc + 14)
    # The jetty at the end of the lake road.
    dock_x, dock_y = int(ROAD_TO_LAKE[-1][0]), int(ROAD_TO_LAKE[-1][1])
    while cv.get_cls(dock_x, dock_y) < SHALLOW:
        dock_y -= 1
    dock_y += 5
    cv.block(dock_x - 10, dock_y - 44, dock_x + 10, dock_y + 6)
    for hx, hy, hw, _ in HOUSES:
        cv.block(hx - 6, hy - 14, hx + hw + 10, hy + 96)
    well = (586, 472)
    cv.block(well[0] - 14, well[1] - 30, well[0] + 14, well[1] + 6)

    colour_terrain(cv, rng)
    ground_details(cv, rng)
    draw_bridge(cv, bx0, bx1, byc)
    draw_dock(cv, dock_x, dock_y, 40)

    round_trees = [make_round_tree(rng, 13 + k % 6) for k in range(12)]
    pines = [make_pine(rng, 34 + 2 * k) for k in range(7)]
    rocks = [make_rock(rng, 4 + k) for k in range(7)]
    bushes = [make_bush(rng, 5 + k % 3, k % 3 == 0) for k in range(6)]

    objects = []  # (anchor y, anchor x, draw function)
    trees = []

    def far_from_trees(x, y, gap):
        return all(sq(x - a) + sq(y - b) >= gap * gap for a, b in trees)

    def add_tree(x, y, pine, allowed, room=7):
        if not cv.area_is(x, y, room, allowed) or cv.is_blocked(x, y) \
                or cv.is_blocked(x, y - 20):
            return False
        trees.append((x, y))
        if pine:
            sprite = rng.choice(pines)
            cast_shadow(cv, x + 4, y - 1, 11, 5)
        else:
            sprite = rng.choice(round_trees)
            r = round_trees.index(sprite) % 6 + 13
            cast_shadow(cv, x + 4, y - 1, r * 0.95, r * 0.4)
        objects.append((y, x, lambda s=sprite, x=x, y=y: blit(cv, s, x, y)))
        return True

    # Dense forest along the edge of the world.
    edge = (FOREST, GRASS)
    for x in range(-8, w + 16, 16):
        xx = x + rng.randrange(-5, 6)
        y = 62 + rng.randrange(-4, 5)
        if 0 <= xx < w and far_from_trees(xx, y, 12):
            add_tree(xx, y, rng.random() < 0.55, edge)
    for depth in (8, 22, 36, 50):
        step = 16
        for x in range(-8, w + 16, step):
            for y in (depth + rng.randrange(-3, 4), h - depth + 16 + rng.randrange(-3, 4)):
                xx = x + rng.randrange(-5, 6)
                if 0 <= xx < w and far_from_trees(xx, y, 12):
                    add_tree(xx, min(y, h - 1), rng.random() < 0.55, edge)
        for y in range(-8, h + 24, step):
            for x in (depth - 4 + rng.randrange(-3, 4), w - depth + 4 + rng.randrange(-3, 4)):
                yy = y + rng.randrange(-5, 6)
                if 0 <= yy < h and far_from_trees(x, yy, 12):
                    add_tree(x, yy, rng.random() < 0.55, edge)
    # Groves and lone trees in the meadows.
    for cx, cy, rx, ry, count in GROVES:
        tries = 0
        placed = 0
        while placed < count and tries < 400:
            tries += 1
            x = int(cx + rng.uniform(-1, 1) * rx)
            y = int(cy + rng.uniform(-1, 1) * ry)
            if sq((x - cx) / rx) + sq((y - cy) / ry) > 1 or \
                    not far_from_trees(x, y, 20):
                continue
            if add_tree(x, y, rng.random() < 0.25, (GRASS, FOREST), 12):
                placed += 1
    lone = 0
    while lone < 14:
        x, y = rng.randrange(70, w - 70), rng.randrange(90, h - 60)
        if far_from_trees(x, y, 70) and add_tree(x, y, rng.random() < 0.3, (GRASS,), 18):
            lone += 1
    # Bushes and rocks.
    count = 0
    while count < 46:
        x, y = rng.randrange(60, w - 60), rng.randrange(60, h - 50)
        if cv.area_is(x, y, 7, (GRASS,)) and not cv.is_blocked(x, y) \
                and far_from_trees(x, y, 14):
            sprite = rng.choice(bushes)
            cast_shadow(cv, x + 2, y, 7, 3)
            objects.append((y, x, lambda s=sprite, x=x, y=y: blit(cv, s, x, y)))
            trees.append((x, y))
            count += 1
    count = 0
    while count < 44:
        x, y = rng.randrange(60, w - 60), rng.randrange(60, h - 50)
        near_water = count < 12
        allowed = (SAND,) if near_water else (GRASS,)
        if cv.get_cls(x, y) in allowed and cv.area_is(x, y, 5, (GRASS, SAND)) \
                and not cv.is_blocked(x, y) and far_from_trees(x, y, 12):
            k = rng.randrange(len(rocks)) if not near_water else rng.randrange(3)
            cast_shadow(cv, x + 2, y, k + 4, 2 + k * 0.4)
            objects.append((y, x, lambda s=rocks[k], x=x, y=y: blit(cv, s, x, y)))
            trees.append((x, y))
            count += 1

    # Village: cottages, a well and a fence.
    for hx, hy, hw, roof in HOUSES:
        house_shadow(cv, hx, hy, hw)
        objects.append((hy + 78, hx, lambda a=(hx, hy, hw, roof): draw_house(cv, rng, *a)))
    cast_shadow(cv, well[0] + 3, well[1] - 2, 12, 5)
    objects.append((well[1], well[0], lambda: draw_well(cv, *well)))
    fence_y = HOUSES[0][1] + 96
    door = HOUSES[0][0] + HOUSES[0][2] // 2
    objects.append((fence_y, 0, lambda: draw_fence(cv, HOUSES[0][0] - 26, door - 9, fence_y)))
    objects.append((fence_y, 1, lambda: draw_fence(cv, door + 10, HOUSES[0][0] + HOUSES[0][2] + 12, fence_y)))

    apply_shadows(cv)
    for _, _, draw in sorted(objects, key=lambda o: (o[0], o[1])):
        draw()
    return [bytes(cv.px[y * w * 3:(y + 1) * w * 3]) for y in range(h)]


# ---------------------------------------------------------------------------
# The music
# ---------------------------------------------------------------------------

RATE = 22050
BEAT = 14700            # samples per beat: 90 beats per minute
BAR = 3 * BEAT          # gentle 3/4 time
TABLE = 8192

# One chord per bar, F major: I vi IV V | I vi ii V | IV V iii vi | ii IV V V.
# Each entry: (bass note, pad voicing) as MIDI note numbers.
CHORDS = {
    "F": (41, (53, 57, 60)), "Dm": (38, (53, 57, 62)),
    "Bb": (46, (53, 58, 62)), "C": (36, (52, 55, 60)),
    "Gm": (43, (55, 58, 62)), "Am": (45, (52, 57, 60)),
}
PROGRESSION = ["F", "Dm", "Bb", "C", "F", "Dm", "Gm", "C",
               "Bb", "C", "Am", "Dm", "Gm", "Bb", "C", "C"]
# Melody per bar: (start beat, length in beats, MIDI note).
MELODY = [
    [(0, 2, 72), (2, 1, 69)],
    [(0, 1.5, 74), (1.5, 0.5, 72), (2, 1, 69)],
    [(0, 1, 70), (1, 1, 74), (2, 1, 77)],
    [(0, 2, 76), (2, 1, 72)],
    [(0, 2, 77), (2, 0.5, 76), (2.5, 0.5, 74)],
    [(0, 1.5, 69), (1.5, 0.5, 72), (2, 1, 74)],
    [(0, 1.5, 70), (1.5, 0.5, 69), (2, 1, 67)],
    [(0, 2, 67), (2, 1, 72)],
    [(0, 1, 74), (1, 1, 77), (2, 1, 74)],
    [(0, 1.5, 76), (1.5, 0.5, 74), (2, 1, 72)],
    [(0, 1, 72), (1, 2, 76)],
    [(0, 2, 74), (2, 1, 69)],
    [(0, 1, 70), (1, 1, 74), (2, 1, 79)],
    [(0, 1.5, 77), (1.5, 0.5, 74), (2, 1, 70)],
    [(0, 1, 67), (1, 1, 72), (2, 1, 76)],
    [(0, 1, 76), (1, 1.5, 74)],
]


def midi_freq(note):
    f = 440.0
    for _ in range(abs(note - 69)):
        f = f * SEMITONE if note > 69 else f / SEMITONE
    return f


def wavetable(harmonics):
    table = []
    for i in range(TABLE):
        x = 2.0 * PI * i / TABLE
        table.append(sum(a * sin_(x * (k + 1)) for k, a in enumerate(harmonics)))
    peak = max(abs(v) for v in table)
    return [v / peak for v in table]


class Voice:
    def __init__(self, harmonics, attack, tau, release, vibrato=0.0):
        self.table = wavetable(harmonics)
        self.attack = int(attack * RATE)
        self.decay = exp_(-1.0 / (tau * RATE))
        self.release = int(release * RATE)
        self.vibrato = vibrato


def render_note(buf, voice, start, length, freq, amp, sine):
    """Add one note to the looping buffer (tails wrap round to the start)."""
    n = len(buf)
    table = voice.table
    step = freq * TABLE / RATE
    att, rel, decay = voice.attack, voice.release, voice.decay
    vib = voice.vibrato
    lfo_step = 5.0 * TABLE / RATE
    phase = lfo = 0.0
    env = amp
    total = length + rel
    for t in range(total):
        if t < att:
            level = env * t / att
        elif t >= length:
            level = env * (total - t) / rel
        else:
            level = env
        env *= decay
        if vib and t > 4000:
            depth = vib if t > 9000 else vib * (t - 4000) / 5000
            phase += step * (1.0 + depth * sine[int(lfo) & (TABLE - 1)])
            lfo += lfo_step
        else:
            phase += step
        buf[(start + t) % n] += level * table[int(phase) & (TABLE - 1)]


def render_music():
    bars = len(PROGRESSION)
    n = bars * BAR
    buf = [0.0] * n
    sine = wavetable([1.0])
    lead = Voice([1.0, 0.3, 0.12, 0.05], 0.025, 1.4, 0.3, vibrato=0.004)
    pad = Voice([1.0, 0.15, 0.08], 0.35, 6.0, 0.6)
    bass = Voice([1.0, 0.25, 0.06], 0.02, 1.0, 0.3)
    harp = Voice([1.0, 0.22, 0.07], 0.006, 0.35, 0.25)
    last = bars - 1
    for b, name in enumerate(PROGRESSION):
        root, voicing = CHORDS[name]
        at = b * BAR
        # The last bar thins out so the loop point is quiet.
        hold = BAR if b < last else 5 * BEAT // 2 - pad.release
        for note in voicing:
            for detune in (0.9985, 1.0015):
                render_note(buf, pad, at, hold, midi_freq(note) * detune, 0.045,
                            sine)
        render_note(buf, bass, at, 2 * BEAT if b < last else BEAT,
                    midi_freq(root), 0.26, sine)
        arp = [voicing[0] + 12, voicing[1] + 12, voicing[2] + 12,
               voicing[1] + 12, voicing[2] + 12, voicing[1] + 12]
        for k, note in enumerate(arp if b < last else arp[:2]):
            render_note(buf, harp, at + k * BEAT // 2, BEAT // 2,
                        midi_freq(note), 0.07, sine)
        for start, beats, note in MELODY[b]:
            render_note(buf, lead, at + int(start * BEAT),
                        int(beats * BEAT) - lead.release // 2,
                        midi_freq(note), 0.3, sine)
    peak = max(abs(v) for v in buf)
    gain = 0.7 * 32767 / peak
    return [int(v * gain + 0.5) if v >= 0 else -int(-v * gain + 0.5)
            for v in buf]


# ---------------------------------------------------------------------------


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out = argv[1] if len(argv) > 1 else os.path.join(here, os.pardir, "data")
    out = os.path.normpath(out)

    sprite = sprite_rows()
    write_file(os.path.join(out, "img", "player2.png"),
               png_bytes(32, 32, sprite, 4))
    write_file(os.path.join(out, "icons", "brackenreach.png"),
               png_bytes(128, 128, sprite_rows(scale=4), 4))
    world = render_map(random.Random(SEED))
    write_file(os.path.join(out, "img", "background3.png"),
               png_bytes(MAP_W, MAP_H, world, 3))
    write_file(os.path.join(out, "audio", "softworld.wav"),
               wav_bytes(render_music(), RATE))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
