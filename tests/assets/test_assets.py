#!/usr/bin/env python3
"""Checks for the generated game assets in data/ (standard library only).

Run with ``python3 tests/assets/test_assets.py`` (exits non-zero on failure)
or ``python3 -m unittest discover -s tests/assets``.
"""

import array
import collections
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DATA = os.path.join(REPO, "data")
GENERATOR = os.path.join(REPO, "tools", "make_assets.py")
ASSETS = ["img/player2.png", "img/background3.png", "audio/softworld.wav",
          "icons/brackenreach.png"]


# --- PNG -------------------------------------------------------------------

def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def decode_png(blob):
    """Decode a non-interlaced 8-bit RGB/RGBA PNG: (w, h, channels, rows)."""
    if blob[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, b"", None
    while pos < len(blob):
        size, tag = struct.unpack(">I4s", blob[pos:pos + 8])
        body = blob[pos + 8:pos + 8 + size]
        crc, = struct.unpack(">I", blob[pos + 8 + size:pos + 12 + size])
        if zlib.crc32(tag + body) & 0xFFFFFFFF != crc:
            raise ValueError("bad CRC in %r" % tag)
        if tag == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif tag == b"IDAT":
            idat += body
        elif tag == b"IEND":
            break
        pos += 12 + size
    w, h, depth, ctype, _, _, interlace = header
    if depth != 8 or ctype not in (2, 6) or interlace:
        raise ValueError("unsupported PNG format %r" % (header,))
    bpp = 3 if ctype == 2 else 4
    raw = zlib.decompress(idat)
    stride = w * bpp
    if len(raw) != h * (stride + 1):
        raise ValueError("wrong amount of image data")
    rows, prev = [], bytearray(stride)
    for y in range(h):
        ftype = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if ftype > 4:
            raise ValueError("bad filter type %d" % ftype)
        for i in range(stride if ftype else 0):
            a = line[i - bpp] if i >= bpp else 0
            if ftype == 1:
                pred = a
            elif ftype == 2:
                pred = prev[i]
            elif ftype == 3:
                pred = (a + prev[i]) // 2
            else:
                pred = paeth(a, prev[i], prev[i - bpp] if i >= bpp else 0)
            line[i] = (line[i] + pred) & 0xFF
        rows.append(bytes(line))
        prev = line
    return w, h, bpp, rows


def read_png(rel):
    with open(os.path.join(DATA, rel), "rb") as handle:
        return decode_png(handle.read())


def png_from_raw(w, h, bpp, raw):
    def chunk(tag, body):
        return (struct.pack(">I", len(body)) + tag + body
                + struct.pack(">I", zlib.crc32(tag + body) & 0xFFFFFFFF))
    ihdr = struct.pack(">IIBBBBB", w, h, 8, 6 if bpp == 4 else 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b""))


def encode_png(w, h, bpp, rows, filters):
    """Reference encoder applying the given filter type per row."""
    raw, prev = bytearray(), bytes(w * bpp)
    for row, ftype in zip(rows, filters):
        raw.append(ftype)
        for i in range(len(row)):
            a = row[i - bpp] if i >= bpp else 0
            c = prev[i - bpp] if i >= bpp else 0
            pred = (0, a, prev[i], (a + prev[i]) // 2, paeth(a, prev[i], c))[ftype]
            raw.append((row[i] - pred) & 0xFF)
        prev = row
    return png_from_raw(w, h, bpp, raw)


class PngDecoderTest(unittest.TestCase):
    """The decoder used below must undo every PNG filter type."""

    def test_round_trip_each_filter(self):
        rows = [bytes((x * 37 + y * 91 + k * 13) % 256 for x in range(7)
                      for k in range(4)) for y in range(5)]
        for ftype in range(5):
            with self.subTest(filter=ftype):
                blob = encode_png(7, 5, 4, rows, [ftype] * 5)
                self.assertEqual(decode_png(blob), (7, 5, 4, rows))

    def test_known_filtered_bytes(self):
        # 2x4 RGB image filtered by hand: Sub, Paeth, Average, Up.  The
        # Paeth row includes a tie (pb == pc) that must resolve to "up";
        # the Average row has an odd sum that must round down.
        raw = [1, 10, 20, 30, 252, 5, 5,
               4, 2, 254, 10, 14, 5, 10,
               3, 95, 91, 80, 196, 191, 181,
               2, 156, 158, 159, 4, 5, 6]
        want = [bytes([10, 20, 30, 6, 25, 35]), bytes([12, 18, 40, 20, 30, 50]),
                bytes([101, 100, 100, 0, 0, 0]), bytes([1, 2, 3, 4, 5, 6])]
        self.assertEqual(decode_png(png_from_raw(2, 4, 3, raw)), (2, 4, 3, want))

    def test_rejects_corruption(self):
        blob = bytearray(encode_png(2, 2, 3, [bytes(6)] * 2, [0, 0]))
        blob[30] ^= 0xFF  # inside IHDR
        with self.assertRaises(ValueError):
            decode_png(bytes(blob))


# --- regeneration -----------------------------------------------------------

class RegenerationTest(unittest.TestCase):
    """Committed files must be exactly what the generator makes."""

    def test_generator_reproduces_committed_files(self):
        with tempfile.TemporaryDirectory() as out:
            subprocess.run([sys.executable, GENERATOR, out], check=True,
                           timeout=300)
            for rel in ASSETS:
                with self.subTest(asset=rel):
                    with open(os.path.join(out, rel), "rb") as fresh, \
                            open(os.path.join(DATA, rel), "rb") as committed:
                        self.assertTrue(fresh.read() == committed.read(),
                                        "%s is stale: rerun tools/make_assets.py" % rel)


# --- images -----------------------------------------------------------------

def pixels(rows, bpp):
    return [[tuple(r[x * bpp:(x + 1) * bpp]) for x in range(len(r) // bpp)]
            for r in rows]


class SpriteTest(unittest.TestCase):
    """The hero sprite and the icon made from it."""

    def test_rgba_cutout(self):
        for rel, size in (("img/player2.png", 32), ("icons/brackenreach.png", 128)):
            with self.subTest(asset=rel):
                w, h, bpp, rows = read_png(rel)
                self.assertEqual((w, h, bpp), (size, size, 4))
                grid = pixels(rows, 4)
                alphas = collections.Counter(p[3] for line in grid for p in line)
                self.assertEqual(set(alphas), {0, 255})
                self.assertGreater(alphas[255], size * size // 5)
                self.assertGreater(alphas[0], size * size // 5)
                border = grid[0] + grid[-1] + [line[0] for line in grid] \
                    + [line[-1] for line in grid]
                self.assertTrue(all(p[3] == 0 for p in border))

    def test_dark_outline(self):
        grid = pixels(read_png("img/player2.png")[3], 4)
        rim = [grid[y][x] for y in range(1, 31) for x in range(1, 31)
               if grid[y][x][3] and not all(grid[y + dy][x + dx][3] for dx, dy
                                            in ((1, 0), (-1, 0), (0, 1), (0, -1)))]
        self.assertTrue(rim)
        self.assertTrue(all(sum(p[:3]) < 150 for p in rim))

    def test_icon_is_sprite_scaled_by_four(self):
        sprite = pixels(read_png("img/player2.png")[3], 4)
        icon = pixels(read_png("icons/brackenreach.png")[3], 4)
        self.assertEqual(icon, [[sprite[y // 4][x // 4] for x in range(128)]
                                for y in range(128)])


class BackgroundTest(unittest.TestCase):
    """The 1280x960 world map."""

    @classmethod
    def setUpClass(cls):
        cls.w, cls.h, cls.bpp, cls.rows = read_png("img/background3.png")

    def test_format(self):
        self.assertEqual((self.w, self.h, self.bpp), (1280, 960, 3))

    def test_every_view_has_variety(self):
        for x0, y0 in ((0, 0), (640, 0), (0, 480), (640, 480), (320, 240),
                       (160, 360), (480, 120)):
            with self.subTest(view=(x0, y0)):
                counts = collections.Counter(
                    self.rows[y][x * 3:x * 3 + 3]
                    for y in range(y0, y0 + 480, 2) for x in range(x0, x0 + 640, 2))
                self.assertGreaterEqual(len(counts), 40)
                self.assertLess(counts.most_common(1)[0][1], sum(counts.values()) // 3)

    def test_edge_band_darker_than_inside(self):
        def brightness(y, x):
            return sum(self.rows[y][x * 3:x * 3 + 3])
        band = [brightness(y, x) for y in range(0, self.h, 3) for x in range(0, self.w, 3)
                if min(x, y, self.w - 1 - x, self.h - 1 - y) < 24]
        inner = [brightness(y, x) for y in range(120, self.h - 120, 3)
                 for x in range(120, self.w - 120, 3)]
        self.assertLess(sum(band) / len(band), 0.85 * sum(inner) / len(inner))


# --- audio ------------------------------------------------------------------

class MusicTest(unittest.TestCase):
    """softworld.wav: plain PCM that loops without a click."""

    @classmethod
    def setUpClass(cls):
        path = os.path.join(DATA, "audio", "softworld.wav")
        cls.size = os.path.getsize(path)
        with open(path, "rb") as handle:
            cls.blob = handle.read()
        cls.chunks, pos = [], 12
        while pos + 8 <= len(cls.blob):
            tag, n = struct.unpack("<4sI", cls.blob[pos:pos + 8])
            cls.chunks.append((tag, cls.blob[pos + 8:pos + 8 + n]))
            pos += 8 + n + (n & 1)
        fmt = dict(cls.chunks).get(b"fmt ", b"\0" * 16)
        (cls.tag, cls.channels, cls.rate, _, cls.align,
         cls.bits) = struct.unpack("<HHIIHH", fmt[:16])
        samples = array.array("h")
        samples.frombytes(dict(cls.chunks).get(b"data", b""))
        if sys.byteorder == "big":
            samples.byteswap()
        cls.frames = [samples[i::cls.channels] for i in range(cls.channels)]

    def test_container(self):
        blob = self.blob
        self.assertEqual((blob[:4], blob[8:12]), (b"RIFF", b"WAVE"))
        self.assertEqual(struct.unpack("<I", blob[4:8])[0], len(blob) - 8)
        self.assertEqual([tag for tag, _ in self.chunks], [b"fmt ", b"data"])
        self.assertEqual(len(self.chunks[0][1]), 16)
        self.assertEqual((self.tag, self.bits), (1, 16))
        self.assertIn(self.channels, (1, 2))
        self.assertIn(self.rate, (22050, 44100))
        self.assertEqual(self.align, 2 * self.channels)
        self.assertEqual(len(self.chunks[1][1]) % self.align, 0)
        self.assertLess(self.size, 4 * 1024 * 1024)

    def test_length_and_level(self):
        full = 32768
        for ch in self.frames:
            self.assertGreaterEqual(len(ch) / self.rate, 20.0)
            self.assertLess(max(abs(v) for v in ch), 0.8 * full)
            second = self.rate
            for start in range(0, len(ch) - second + 1, second):
                part = ch[start:start + second:4]
                rms = (sum(v * v for v in part) / len(part)) ** 0.5
                with self.subTest(second=start // second):
                    self.assertGreater(rms, 0.01 * full, "silent stretch")

    def test_loop_seam(self):
        full = 32768
        edge = self.rate * 5 // 1000  # 5 ms
        for ch in self.frames:
            self.assertLess(abs(ch[-1] - ch[0]), 0.02 * full)
            self.assertLess(max(abs(ch[0]), abs(ch[-1])), 0.02 * full)
            seam = list(ch[-edge:]) + list(ch[:edge])
            steps = [abs(b - a) for a, b in zip(seam, seam[1:])]
            self.assertLess(max(steps), 0.03 * full)


if __name__ == "__main__":
    unittest.main()
