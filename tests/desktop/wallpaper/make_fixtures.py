"""Makes the test pictures of the conversion: each is drawn here as raw
pixels (kept beside it as .ppm/.pgm, the source the decoded picture must stay
close to) and compressed with libjpeg-turbo's cjpeg; the four-channel one
with ImageMagick, which cjpeg cannot write.

    make_fixtures.py --cjpeg PATH --magick PATH --out DIR
"""
import argparse
import math
import subprocess
from pathlib import Path


def photo(w, h, flip=False):
    """Smooth colour fields that differ along both axes, so a mirrored, flipped
    or channel-swapped result cannot pass for the source."""
    rows = []
    for y in range(h):
        g = 0 if h == 1 else round(y * 255 / (h - 1))
        sy = math.cos(y / 37.0)
        row = bytearray(w * 3)
        for x in range(w):
            r = 0 if w == 1 else round(x * 255 / (w - 1))
            b = round(128 + 90 * math.sin(x / 53.0) * sy)
            if flip:
                r, g2, b = 255 - b, 255 - r, g
            else:
                g2 = g
            row[3 * x:3 * x + 3] = bytes((r, g2, b))
        rows.append(bytes(row))
    return b"".join(rows)


def gray(w, h):
    out = bytearray(w * h)
    for y in range(h):
        for x in range(w):
            out[y * w + x] = round(127.5 + 127.5 * math.sin((x + 2 * y) / 41.0))
    return bytes(out)


def write_pnm(path, w, h, pixels, channels):
    magic = b"P6" if channels == 3 else b"P5"
    path.write_bytes(magic + b"\n%d %d\n255\n" % (w, h) + pixels)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cjpeg", required=True)
    ap.add_argument("--magick", required=True)
    ap.add_argument("--out", required=True)
    a = ap.parse_args()
    out = Path(a.out)
    out.mkdir(parents=True, exist_ok=True)

    def cjpeg(src, dst, *opts):
        subprocess.run([a.cjpeg, *opts, "-outfile", str(out / dst), str(out / src)], check=True)

    colour = [
        # name, width, height, flip, cjpeg options
        ("photo_1920x1080", 1920, 1080, False, ["-quality", "90"]),
        ("second_1280x720", 1280, 720, True, ["-quality", "90"]),
        ("progressive_801x601", 801, 601, False, ["-quality", "90", "-progressive"]),
        ("restart_1023x17", 1023, 17, False, ["-quality", "90", "-restart", "1"]),
        ("odd_1x1", 1, 1, False, ["-quality", "95", "-sample", "1x1"]),
        ("odd_2x3", 2, 3, False, ["-quality", "95", "-sample", "1x1"]),
        ("odd_3x5", 3, 5, False, ["-quality", "95", "-sample", "1x1"]),
        ("odd_5x2", 5, 2, False, ["-quality", "95", "-sample", "1x1"]),
        ("odd_641x3", 641, 3, False, ["-quality", "95", "-sample", "1x1"]),
    ]
    for name, w, h, flip, opts in colour:
        write_pnm(out / (name + ".ppm"), w, h, photo(w, h, flip), 3)
        cjpeg(name + ".ppm", name + ".jpg", *opts)

    write_pnm(out / "gray_333x211.pgm", 333, 211, gray(333, 211), 1)
    cjpeg("gray_333x211.pgm", "gray_333x211.jpg", "-quality", "95")
    cjpeg("gray_333x211.pgm", "grayprogressive_333x211.jpg", "-quality", "95", "-progressive")

    subprocess.run([a.magick, str(out / "odd_641x3.ppm"), "-colorspace", "CMYK", "-quality", "90",
                    str(out / "cmyk_641x3.jpg")], check=True)
    (out / "stamp").write_text("done\n")


if __name__ == "__main__":
    main()
