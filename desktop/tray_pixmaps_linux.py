#!/usr/bin/env python3
"""Writes the tray item's icon pixmaps as C++ data.

A StatusNotifierItem hands its icon to the tray host as pixmaps: width,
height and ARGB32 pixels in network byte order (A, R, G, B per pixel, not
premultiplied), top row first. This script reads them from the application
icon (an .ico holding 32-bit images, or PNG files) or, when no icon is given,
draws a stand-in of its own, and writes a C++ source defining
pavo::tray_pixmaps::kPixmaps.

    tray_pixmaps_linux.py --output FILE [SOURCE.ico | SOURCE.png ...]
"""

import argparse
import math
import struct
import sys
import zlib

SIZES = (16, 32, 48)


class IconError(Exception):
    pass


# --- PNG -------------------------------------------------------------------

def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def read_png(data):
    """Returns (width, height, argb) for an 8-bit, non-interlaced PNG."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise IconError("not a PNG image")
    pos = 8
    ihdr = None
    palette = b""
    trns = b""
    idat = bytearray()
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if len(body) != length:
            raise IconError("truncated PNG chunk")
        pos += 12 + length
        if kind == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            palette = body
        elif kind == b"tRNS":
            trns = body
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    if ihdr is None:
        raise IconError("PNG without IHDR")
    width, height, depth, colour, _, _, interlace = ihdr
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(colour)
    if depth != 8 or channels is None or interlace != 0:
        raise IconError("unsupported PNG (depth %d, colour type %d, interlace %d)" % (depth, colour, interlace))
    raw = zlib.decompress(bytes(idat))
    stride = width * channels
    if len(raw) < height * (stride + 1):
        raise IconError("PNG image data too short")
    rows = []
    prior = bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind = raw[start]
        line = bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = prior[i]
            upleft = prior[i - channels] if i >= channels else 0
            if kind == 0:
                pass
            elif kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + ((left + up) >> 1)) & 0xFF
            elif kind == 4:
                line[i] = (line[i] + _paeth(left, up, upleft)) & 0xFF
            else:
                raise IconError("bad PNG filter type %d" % kind)
        rows.append(line)
        prior = line
    argb = bytearray()
    for line in rows:
        for x in range(width):
            px = line[x * channels:(x + 1) * channels]
            if colour == 6:
                r, g, b, a = px
            elif colour == 2:
                (r, g, b), a = px, 255
            elif colour == 0:
                r = g = b = px[0]
                a = 255
            elif colour == 4:
                r = g = b = px[0]
                a = px[1]
            else:
                index = px[0]
                if 3 * index + 3 > len(palette):
                    raise IconError("PNG palette index out of range")
                r, g, b = palette[3 * index:3 * index + 3]
                a = trns[index] if index < len(trns) else 255
            argb += bytes((a, r, g, b))
    return width, height, bytes(argb)


# --- ICO -------------------------------------------------------------------

def _read_dib(data, width, height):
    header_size, dib_width, dib_height, _, bits, compression = struct.unpack("<IiiHHI", data[:20])
    if compression != 0 or bits not in (24, 32):
        raise IconError("unsupported icon image (%d bits, compression %d)" % (bits, compression))
    if dib_width != width or abs(dib_height) not in (height, 2 * height):
        raise IconError("icon image size does not match its directory entry")
    stride = ((width * bits + 31) // 32) * 4
    mask_stride = ((width + 31) // 32) * 4
    pixels = data[header_size:header_size + stride * height]
    mask = data[header_size + stride * height:header_size + stride * height + mask_stride * height]
    if len(pixels) < stride * height:
        raise IconError("icon image data too short")
    bottom_up = dib_height > 0
    step = bits // 8
    any_alpha = bits == 32 and any(pixels[y * stride + x * 4 + 3] for y in range(height) for x in range(width))
    argb = bytearray()
    for row in range(height):
        y = height - 1 - row if bottom_up else row
        for x in range(width):
            b, g, r = pixels[y * stride + x * step:y * stride + x * step + 3]
            if any_alpha:
                a = pixels[y * stride + x * 4 + 3]
            elif len(mask) >= mask_stride * height:
                # Images without alpha carry their transparency in the AND mask.
                transparent = mask[y * mask_stride + x // 8] & (0x80 >> (x % 8))
                a = 0 if transparent else 255
            else:
                a = 255
            argb += bytes((a, r, g, b))
    return bytes(argb)


def read_ico(data):
    """Returns {(width, height): argb} for every image of an .ico file."""
    if len(data) < 6:
        raise IconError("not an icon file")
    reserved, kind, count = struct.unpack("<HHH", data[:6])
    if reserved != 0 or kind != 1:
        raise IconError("not an icon file")
    images = {}
    for i in range(count):
        entry = data[6 + 16 * i:22 + 16 * i]
        if len(entry) < 16:
            raise IconError("truncated icon directory")
        w, h, _, _, _, _, size, offset = struct.unpack("<BBBBHHII", entry)
        w, h = w or 256, h or 256
        blob = data[offset:offset + size]
        if len(blob) != size:
            raise IconError("icon image outside the file")
        if blob[:8] == b"\x89PNG\r\n\x1a\n":
            pw, ph, argb = read_png(blob)
            images[(pw, ph)] = argb
        else:
            images[(w, h)] = _read_dib(blob, w, h)
    return images


# --- The stand-in drawing ----------------------------------------------------

def _mix(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def draw_placeholder(size):
    """A peacock's eye: a green disc with a gold ring around a blue centre."""
    green, gold, blue, light = (22, 122, 98), (226, 178, 58), (26, 63, 143), (120, 190, 255)
    samples = 4
    argb = bytearray()
    for y in range(size):
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    u = (x + (sx + 0.5) / samples) / size - 0.5
                    v = (y + (sy + 0.5) / samples) / size - 0.5
                    r = math.hypot(u, v * 1.08)
                    if r > 0.47:
                        continue
                    if r > 0.30:
                        colour = _mix(green, (12, 80, 64), (r - 0.30) / 0.17)
                    elif r > 0.20:
                        colour = gold
                    else:
                        colour = _mix(light, blue, min(1.0, math.hypot(u + 0.05, v + 0.05) / 0.18))
                    acc[0] += 1
                    acc[1] += colour[0]
                    acc[2] += colour[1]
                    acc[3] += colour[2]
            covered = acc[0]
            if covered == 0:
                argb += b"\0\0\0\0"
            else:
                argb += bytes((round(255 * covered / samples ** 2),
                               round(acc[1] / covered), round(acc[2] / covered), round(acc[3] / covered)))
    return bytes(argb)


# --- Output ------------------------------------------------------------------

def collect(sources):
    if not sources:
        return {(s, s): draw_placeholder(s) for s in SIZES}, "a stand-in drawing"
    images = {}
    for path in sources:
        with open(path, "rb") as f:
            data = f.read()
        if data[:4] == b"\0\0\1\0":
            images.update(read_ico(data))
        else:
            w, h, argb = read_png(data)
            images[(w, h)] = argb
    chosen = {(s, s): images[(s, s)] for s in SIZES if (s, s) in images}
    if not chosen:
        raise IconError("no image of 16, 32 or 48 pixels in %s" % ", ".join(sources))
    return chosen, ", ".join(p.rsplit("/", 1)[-1] for p in sources)


def render_cpp(images, origin):
    out = ["// Generated by tray_pixmaps_linux.py from %s; do not edit." % origin,
           '#include "desktop/tray_pixmaps_linux.h"', "", "namespace pavo::tray_pixmaps {", "", "namespace {"]
    for (w, h), argb in sorted(images.items()):
        out.append("const unsigned char kArgb%dx%d[] = {" % (w, h))
        for i in range(0, len(argb), 24):
            out.append("  " + ",".join(str(b) for b in argb[i:i + 24]) + ",")
        out.append("};")
    out += ["}  // namespace", "", "const Pixmap kPixmaps[] = {"]
    for (w, h) in sorted(images):
        out.append("  {%d, %d, kArgb%dx%d}," % (w, h, w, h))
    out += ["};", "const int kCount = %d;" % len(images), "", "}  // namespace pavo::tray_pixmaps", ""]
    return "\n".join(out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", required=True)
    parser.add_argument("sources", nargs="*")
    args = parser.parse_args(argv)
    try:
        images, origin = collect(args.sources)
    except (IconError, OSError, zlib.error) as e:
        print("tray_pixmaps_linux.py: %s" % e, file=sys.stderr)
        return 1
    text = render_cpp(images, origin)
    try:
        with open(args.output, encoding="ascii") as f:
            if f.read() == text:
                return 0  # unchanged: nothing downstream rebuilds
    except OSError:
        pass
    with open(args.output + ".part", "w", encoding="ascii") as f:
        f.write(text)
    import os
    os.replace(args.output + ".part", args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
