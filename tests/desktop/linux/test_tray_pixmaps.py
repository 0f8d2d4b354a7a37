"""The tray pixmap generator: icons of known pixels in, ARGB32 in network
byte order (top row first, not premultiplied) out."""

import argparse
import importlib.util
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

PARSER = argparse.ArgumentParser()
PARSER.add_argument("--generator", required=True)
ARGS, REST = PARSER.parse_known_args()
sys.argv[1:] = REST

_spec = importlib.util.spec_from_file_location("tray_pixmaps_linux", ARGS.generator)
gen = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(gen)


def pattern(w, h):
    """Distinct RGBA pixels, row by row from the top."""
    return [[((x * 37 + y) % 256, (y * 53 + 7) % 256, (x * y + 11) % 256, (x * 16 + y * 3) % 256)
             for x in range(w)] for y in range(h)]


def argb_of(pixels):
    return b"".join(bytes((a, r, g, b)) for row in pixels for (r, g, b, a) in row)


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else (b if pb <= pc else c)


def png(pixels, colour=6, filters=(0,), palette=None, trns=None):
    """A PNG of the pixels (RGBA tuples), each row with the next filter type."""
    h, w = len(pixels), len(pixels[0])
    channels = {6: 4, 2: 3, 0: 1, 4: 2, 3: 1}[colour]
    raw = bytearray()
    prior = bytearray(w * channels)
    for y, row in enumerate(pixels):
        line = bytearray()
        for (r, g, b, a) in row:
            line += {6: bytes((r, g, b, a)), 2: bytes((r, g, b)), 0: bytes((r,)), 4: bytes((r, a)),
                     3: bytes((palette.index((r, g, b, a)),) if palette else b"")}[colour]
        kind = filters[y % len(filters)]
        out = bytearray()
        for i in range(len(line)):
            left = line[i - channels] if i >= channels else 0
            up = prior[i]
            upleft = prior[i - channels] if i >= channels else 0
            predictor = {0: 0, 1: left, 2: up, 3: (left + up) >> 1, 4: _paeth(left, up, upleft)}[kind]
            out.append((line[i] - predictor) & 0xFF)
        raw += bytes((kind,)) + out
        prior = line

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, colour, 0, 0, 0))
    if palette:
        data += chunk(b"PLTE", b"".join(bytes(p[:3]) for p in palette))
        if trns:
            data += chunk(b"tRNS", bytes(p[3] for p in palette))
    # Split across two IDAT chunks, as encoders may.
    packed = zlib.compress(bytes(raw))
    return data + chunk(b"IDAT", packed[:5]) + chunk(b"IDAT", packed[5:]) + chunk(b"IEND", b"")


def dib(pixels, bits=32, mask=None):
    """An icon image: BITMAPINFOHEADER, bottom-up BGR(A) rows, AND mask."""
    h, w = len(pixels), len(pixels[0])
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, bits, 0, 0, 0, 0, 0, 0)
    stride = ((w * bits + 31) // 32) * 4
    body = bytearray()
    for row in reversed(pixels):
        line = bytearray()
        for (r, g, b, a) in row:
            line += bytes((b, g, r, a)) if bits == 32 else bytes((b, g, r))
        body += line + bytes(stride - len(line))
    mask_stride = ((w + 31) // 32) * 4
    for y in reversed(range(h)):
        line = bytearray(mask_stride)
        for x in range(w):
            if mask and mask[y][x]:
                line[x // 8] |= 0x80 >> (x % 8)
        body += line
    return header + bytes(body)


def ico(images):
    """An .ico of (width, height, blob) entries."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = b""
    for w, h, blob in images:
        out += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(blob), offset + len(blobs))
        blobs += blob
    return out + blobs


class Decoding(unittest.TestCase):
    def test_icon_images_come_out_top_row_first_in_argb_order(self):
        p16, p32, p48 = pattern(16, 16), pattern(32, 32), pattern(48, 48)
        data = ico([(16, 16, dib(p16)), (32, 32, png(p32)), (48, 48, dib(p48)), (256, 256, png(pattern(256, 4)[:1] * 256))])
        images = gen.read_ico(data)
        self.assertEqual(images[(16, 16)], argb_of(p16))
        self.assertEqual(images[(32, 32)], argb_of(p32))
        self.assertEqual(images[(48, 48)], argb_of(p48))
        # A single pixel spelled out: red, opaque, top left.
        p16[0][0] = (255, 0, 0, 255)
        self.assertEqual(gen.read_ico(ico([(16, 16, dib(p16))]))[(16, 16)][:4], b"\xff\xff\x00\x00")

    def test_images_without_alpha_take_it_from_the_mask(self):
        pixels = [[(x * 10, y * 10, 5, 0) for x in range(16)] for y in range(16)]
        mask = [[(x + y) % 3 == 0 for x in range(16)] for y in range(16)]
        for bits in (24, 32):
            with self.subTest(bits=bits):
                argb = gen.read_ico(ico([(16, 16, dib(pixels, bits, mask))]))[(16, 16)]
                expected = b"".join(bytes((0 if mask[y][x] else 255, x * 10, y * 10, 5))
                                    for y in range(16) for x in range(16))
                self.assertEqual(argb, expected)

    def test_png_filters_and_colour_types(self):
        pixels = pattern(9, 7)
        for filters in ((0,), (1,), (2,), (3,), (4,), (0, 1, 2, 3, 4)):
            with self.subTest(filters=filters):
                self.assertEqual(gen.read_png(png(pixels, 6, filters)), (9, 7, argb_of(pixels)))
        opaque = [[(r, g, b, 255) for (r, g, b, _) in row] for row in pixels]
        self.assertEqual(gen.read_png(png(opaque, 2, (1, 4)))[2], argb_of(opaque))
        grey = [[(v, v, v, a) for (v, _, _, a) in row] for row in pixels]
        self.assertEqual(gen.read_png(png(grey, 4, (2,)))[2], argb_of(grey))
        colours = [(200, 0, 0, 255), (0, 200, 0, 128), (0, 0, 0, 0)]
        indexed = [[colours[(x + y) % 3] for x in range(5)] for y in range(4)]
        self.assertEqual(gen.read_png(png(indexed, 3, (0,), colours, True))[2], argb_of(indexed))

    def test_what_cannot_be_read_is_refused(self):
        bad = [
            b"not an icon",
            png(pattern(4, 4))[:30],
            ico([(16, 16, dib(pattern(16, 16))[:100])]),
            ico([(16, 16, struct.pack("<IiiHHI", 40, 16, 32, 1, 8, 0) + bytes(400))]),
        ]
        for data in bad:
            with self.subTest(data=data[:12]):
                with self.assertRaises((gen.IconError, zlib.error)):
                    if data[:4] == b"\0\0\1\0":
                        gen.read_ico(data)
                    else:
                        gen.read_png(data)


class Output(unittest.TestCase):
    def folder(self):
        path = tempfile.mkdtemp(prefix="pixmaps-")
        self.addCleanup(shutil.rmtree, path, True)
        return path

    def run_generator(self, *sources):
        out = os.path.join(self.folder(), "pixmaps.cpp")
        done = subprocess.run([sys.executable, ARGS.generator, "--output", out, *sources],
                              capture_output=True, text=True)
        if not os.path.exists(out):
            return done.returncode, None
        with open(out, encoding="ascii") as f:
            return done.returncode, f.read()

    def test_the_stand_in_and_an_icon_give_three_sizes(self):
        rc, text = self.run_generator()
        self.assertEqual(rc, 0)
        self.assertIn("{16, 16, kArgb16x16}", text)
        self.assertIn("{48, 48, kArgb48x48}", text)
        self.assertIn("const int kCount = 3;", text)
        for size in gen.SIZES:
            argb = gen.draw_placeholder(size)
            self.assertEqual(argb[3], 0, "a corner should be clear")
            centre = (size // 2 * size + size // 2) * 4
            self.assertEqual(argb[centre], 255, "the centre should be opaque")

        path = os.path.join(self.folder(), "app.ico")
        with open(path, "wb") as f:
            f.write(ico([(16, 16, dib(pattern(16, 16))), (32, 32, dib(pattern(32, 32)))]))
        rc, text = self.run_generator(path)
        self.assertEqual(rc, 0)
        self.assertIn("const int kCount = 2;", text)
        first_row = ",".join(str(b) for b in argb_of(pattern(16, 16))[:24])
        self.assertIn(first_row, text)

    def test_an_icon_without_the_sizes_fails_the_build(self):
        path = os.path.join(self.folder(), "big.png")
        with open(path, "wb") as f:
            f.write(png(pattern(64, 64)))
        rc, text = self.run_generator(path)
        self.assertNotEqual(rc, 0)
        self.assertIsNone(text)


if __name__ == "__main__":
    unittest.main(verbosity=2)
