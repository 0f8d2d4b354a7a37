"""The pictures the tests serve, of our own drawing, and the bitmaps the program makes of them."""
import operator
import os
import struct
import subprocess
import sys
import threading
from program import needs
from wine import ROOT

CACHE = ROOT / "build" / "e2e-cache"  # what is made once for the clone, whichever build tests
# A 1 x 1 bitmap, the wallpaper of an earlier day.
EARLIER = b"BM" + struct.pack("<IHHIIiiHHIIiiII", 58, 0, 0, 54, 40, 1, 1, 1, 24, 0, 4, 0, 0, 0, 0) + b"\x10\x20\x30\0"


def jpeg(width=1920, height=1080, seed=1, *options):
    """A JPEG of our own drawing (cjpeg options: "-progressive", "-grayscale"), drawn once."""
    f = CACHE / f"{width}x{height}-{seed}{''.join(options)}.jpg"
    if not f.exists():
        sys.path.insert(0, str(ROOT / "tools"))
        import sample_jpeg
        f.parent.mkdir(parents=True, exist_ok=True)
        tmp = f.with_suffix(f".{os.getpid()}-{threading.get_ident()}.tmp")
        sample_jpeg.make_jpeg(str(tmp), width, height, seed, extra=options)
        tmp.replace(f)
    return f.read_bytes()


def segment(code, payload):  # a JPEG segment: its marker, its length and what it holds
    return bytes([0xFF, code]) + struct.pack(">H", len(payload) + 2) + payload


def padded(data, n=300000):
    return data + b"\0" * (n - len(data))


def cmyk_jpeg():
    return subprocess.run(["convert", "jpg:-", "-colorspace", "CMYK", "jpg:-"], input=jpeg(320, 200, 4),
                          capture_output=True, check=True).stdout


def large_jpeg():
    """A JPEG of under 1 MB whose bitmap (8000 x 6000, 144 MB) takes a while to write."""
    row = bytes(c for x in range(8000) for c in (x * 255 // 8000, 128, 255 - x * 255 // 8000))
    return subprocess.run(["cjpeg"], input=b"P6\n8000 6000\n255\n" + row * 6000, capture_output=True, check=True).stdout


def bmp_size(data):
    """Width and height of a Windows bitmap whose header's length is the file's."""
    assert data[:2] == b"BM" and struct.unpack("<I", data[2:6])[0] == len(data), "not a whole bitmap"
    w, h = struct.unpack("<ii", data[18:26])
    return w, abs(h)


def check_pixels(test, data, jpeg):
    """The bitmap is djpeg's of the picture: its header but for the two fields djpeg leaves at 0 (the data's size, here
    exact, and the resolution), zero padding, and pixels near its (decoders differ a little at subsampled colour's
    edges; a row or channel out of place moves them by far more)."""
    ref = subprocess.run([needs("djpeg", "libjpeg-turbo-progs"), "-bmp", "-rgb"], input=jpeg, capture_output=True,
                         check=True).stdout
    test.assertEqual((data[:34], data[46:54], struct.unpack("<I", data[34:38])[0]),
                     (ref[:34], ref[46:54], len(data) - 54), "another header")
    w, h = bmp_size(data)
    width, stride = w * 3, (w * 3 + 3) // 4 * 4
    pad = bytes(stride - width)
    test.assertTrue(all(data[54 + y * stride + width:54 + (y + 1) * stride] == pad for y in range(h)), "padding")
    off = 0 if data == ref else sum(map(abs, map(operator.sub, data[54:], ref[54:])))
    test.assertLessEqual(off / (len(data) - 54), 2.5, "the pixels differ")
