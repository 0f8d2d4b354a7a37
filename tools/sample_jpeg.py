#!/usr/bin/env python3
"""A picture of our own drawing (a sky-to-sea gradient, a sun, fine noise: at 1920 x 1080 well over the 200000 bytes
the day's image must have), encoded by cjpeg.   usage: sample_jpeg.py OUT.jpg [WIDTH HEIGHT [SEED]]"""
import random
import subprocess
import sys


def make_jpeg(path, width=1920, height=1080, seed=1, extra=()):
    rnd = random.Random(seed)
    sun_x, sun_y, sun_r = width * 0.7, height * 0.35, min(width, height) * 0.12
    rows = [b"P6\n%d %d\n255\n" % (width, height)]  # a PPM picture, for cjpeg
    for y in range(height):
        t = y / max(1, height - 1)
        sky = (40 + 150 * t, 90 + 120 * t, 200 - 40 * t) if t < 0.6 else (10, 60 + 40 * (1 - t), 110 + 60 * (1 - t))
        row = bytearray(width * 3)
        for x in range(width):
            rgb = (250, 210, 90) if (x - sun_x) ** 2 + (y - sun_y) ** 2 < sun_r ** 2 else sky
            n = rnd.randint(-24, 24)
            row[3 * x:3 * x + 3] = [max(0, min(255, int(c) + n)) for c in rgb]
        rows.append(bytes(row))
    with open(path, "wb") as out:
        subprocess.run(["cjpeg", "-quality", "90", *extra], input=b"".join(rows), stdout=out, check=True)
    return path


if __name__ == "__main__":
    if len(sys.argv) not in (2, 4, 5):
        sys.exit(__doc__)
    make_jpeg(sys.argv[1], *map(int, sys.argv[2:]))
