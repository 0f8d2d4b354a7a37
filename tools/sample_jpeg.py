#!/usr/bin/env python3
"""Draws a picture of our own and encodes it as a JPEG with cjpeg (Debian's
libjpeg-turbo-progs), for the tests and the demonstration run.

    sample_jpeg.py OUT.jpg [WIDTH HEIGHT [SEED]]

The picture is a sky-to-sea gradient with a sun and fine noise, so that a
1920 x 1080 picture is well over 200000 bytes, as the day's image must be.
"""
import random
import subprocess
import sys


def make_jpeg(path, width=1920, height=1080, seed=1, quality=90, extra=()):
    rnd = random.Random(seed)
    sun_x, sun_y, sun_r = width * 0.7, height * 0.35, min(width, height) * 0.12
    rows = [b"P6\n%d %d\n255\n" % (width, height)]  # a PPM picture, for cjpeg
    for y in range(height):
        t = y / max(1, height - 1)
        sky = (40 + 150 * t, 90 + 120 * t, 200 - 40 * t) if t < 0.6 else (10, 60 + 40 * (1 - t), 110 + 60 * (1 - t))
        row = bytearray(width * 3)
        for x in range(width):
            r, g, b = (250, 210, 90) if (x - sun_x) ** 2 + (y - sun_y) ** 2 < sun_r ** 2 else sky
            n = rnd.randint(-24, 24)
            row[3 * x] = max(0, min(255, int(r) + n))
            row[3 * x + 1] = max(0, min(255, int(g) + n))
            row[3 * x + 2] = max(0, min(255, int(b) + n))
        rows.append(bytes(row))
    with open(path, "wb") as out:
        subprocess.run(["cjpeg", "-quality", str(quality), *extra], input=b"".join(rows), stdout=out, check=True)
    return path


if __name__ == "__main__":
    if len(sys.argv) not in (2, 4, 5):
        sys.exit(__doc__)
    make_jpeg(sys.argv[1], *map(int, sys.argv[2:]))
