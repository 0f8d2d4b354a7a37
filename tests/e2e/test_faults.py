"""The daily run against a service that misbehaves, a disk that fills, files
that are not what they should be, runs that overlap or are killed."""
import os
import re
import shutil
import subprocess
import time
import unittest
from collections import namedtuple

import harness as h

# bitmap: as check_day takes it; seconds: the bounds of the run; waits: the run mostly waits, so costs little CPU;
# cpu: the most CPU seconds it takes; gap: bounds of the time between the first two requests (the metadata's time-
# out); arrange(test, p, svc): what differs before the run (it may return a relay, or another copy at work); requests:
# how many requests the service (or the relay) sees, or their lines; relay: the base URL is a relay of this kind
# (h.Relay) in front of the service; sent: what the service may have sent of an endless answer when its connection
# ends.
Row = namedtuple("Row", "what mode exit bitmap picture seconds waits cpu gap arrange requests platforms relay sent",
                 defaults=("", 1, h.EARLIER, None, (0, 30), False, None, None, None, None, ("linux", "win32"), None,
                           None))
LINUX = ("linux",)
MiB = 1 << 20


def on_small_disk(leave, read_only=False):
    """The program's folder on a disk of its own with about leave bytes free."""
    def arrange(test, p, svc):
        disk = h.small_disk(test, p, 16 * MiB, leave)
        # A child forked meanwhile by another row may hold a file of it open for a moment.
        for _ in range(100 if read_only else 0):
            if not subprocess.run(["mount", "-o", "remount,ro", str(disk)], capture_output=True).returncode:
                break
            time.sleep(0.1)
    return arrange


def replace(name, how):  # the file or folder name made anew by how(path)
    return lambda test, p, svc: (shutil.rmtree if (p.dir / name).is_dir() else os.unlink)(p.dir / name) \
        or how(p.dir / name)


def others_pending_files(test, p, svc):
    """Files named as pending files of a running process that holds none of them."""
    other = subprocess.Popen(["sleep", "300"])
    test.addCleanup(other.wait)
    test.addCleanup(other.kill)
    for name in ("cfg.ini", "img/WallPaper.bmp", f"img/{h.today()}.jpg"):
        (p.dir / f"{name}.part-{other.pid}-0").write_bytes(b"x")


def redirected_file(test, p, svc):
    """What a redirect to a file: URL would find: a whole picture whose
    comment holds the metadata's marker, so a run that follows it keeps it."""
    text, jpeg = b'"url":"/redirected&', h.jpeg(640, 480, 3)
    (svc.folder / "redirected").write_bytes(h.padded(jpeg[:2] + h.segment(0xFE, text) + jpeg[2:]))


def error_page_copy(test, p, svc):
    other = h.ImageService(test=test)
    other.put_today(b"<html><body>Service unavailable</body></html>")
    p.write_settings({**h.SETTINGS, "域名": other.base + "/mode/picture-late-8"})
    copy = p.start(name="other")
    h.wait_until(other.requests, 60)  # it has read its settings
    p.write_settings({**h.SETTINGS, "域名": svc.base})
    return copy


def thumbnailed(data):  # a thumbnail's markers in an APP1 segment, fill bytes before a marker
    at = data.find(b"\xff\xdb")
    return data[:2] + h.segment(0xE1, b"Exif\0\0\xff\xd8\xff\xd9\xff\xd9") + data[2:at] + b"\xff\xff\xff" + data[at:]


def patched(data, marker, offset, new):
    at = data.find(marker) + offset
    return data[:at] + new + data[at + len(new):]


def scan_bomb(progressive, scans=200000):
    """The picture with its first scan of luminance AC bands repeated as a
    trivial one (two end-of-band runs over all its blocks) up to that many
    scans: each costs a decoder a pass over the picture."""
    head = progressive.index(b"\xff\xda\x00\x08\x01\x01")
    end = head + 10 + re.search(rb"\xff[^\x00\xd0-\xd7]", progressive[head + 10:]).start()
    table = h.segment(0xC4, b"\x10\x01" + bytes(15) + b"\xe0")  # one code of one bit: a run of 2^14+ bands
    trivial = progressive[head:head + 10] + b"\0\0\0\x03"
    return progressive[:end] + table + trivial * (scans - progressive.count(b"\xff\xda")) + progressive[end:]


def rows(jpeg):
    small = h.jpeg(640, 480, 3)
    return [
        # The service.
        Row("silent: both time-outs", "hang", seconds=(40, 50), waits=True, gap=(9.9, 12.5)),
        Row("half a picture, then silence", "picture-stall", seconds=(30, 45), waits=True),
        Row("cut short, with a length", "picture-cut"),
        Row("cut short, without a length", "picture-cut-nolength"),
        Row("cut short at a chunk's end", "picture-cut-chunked"),
        Row("cut short inside a chunk", "picture-cut-mid-chunk"),
        Row("reset halfway", relay="reset", requests=2),
        # The transfer stops at 64 MiB: what is in flight then, and no more.
        Row("an endless picture", "picture-endless", seconds=(0, 60), sent=72 * MiB),
        Row("a picture of 1 TiB declared", "picture-endless-declared", sent=8 * MiB),
        Row("an endless metadata answer", "endless"),
        Row("metadata of exactly 4 MiB", "pad-4194304", exit=0, bitmap=(1920, 1080), picture=h.padded(jpeg, 4 << 20)),
        Row("metadata over 4 MiB", "pad-4194305", requests=2),
        Row("a redirect loop", "picture-redirect-loop"),
        Row("a redirect loop on the metadata", "redirect-loop"),
        Row("the metadata redirected to a file", "redirect-scheme", arrange=redirected_file,
            requests=[f"GET /mode/redirect-scheme{h.META} HTTP/1.1", "GET /mode/redirect-scheme HTTP/1.1"]),
        Row("ten redirects", "picture-redirects-10", exit=0, bitmap=(1920, 1080), requests=12),
        Row("eleven redirects", "picture-redirects-11", requests=12),
        Row("a redirect to a file", "picture-redirect-scheme", arrange=redirected_file),
        Row("status 404 with the picture", "picture-status-404"),
        Row("status 300 with the picture", "picture-status-300"),
        Row("status 299 with the picture", "picture-status-299", exit=0, bitmap=(1920, 1080)),
        Row("a certificate of an authority nobody trusts", relay="authority", requests=0),
        # The disk and the files.
        Row("disk full during the download", arrange=on_small_disk(100000)),
        Row("disk full during the bitmap", exit=0, arrange=on_small_disk(len(jpeg) + 500000)),
        *[Row(f"disk full during the {what}, by a file size limit", exit=exit, platforms=LINUX,
              arrange=lambda t, p, s, size=size: setattr(p, "file_limit", size))
          for what, size, exit in (("download", 100000, 1), ("bitmap", len(jpeg) + 1, 0))],
        Row("a read-only program folder", arrange=on_small_disk(8 * MiB, read_only=True)),
        Row("cfg.ini is a directory", arrange=replace("cfg.ini", os.mkdir), requests=0),
        Row("cfg.ini is a FIFO", arrange=replace("cfg.ini", os.mkfifo), requests=0, platforms=LINUX),
        Row("cfg.ini is huge", exit=0, bitmap=(1920, 1080),
            arrange=lambda t, p, s: p.ini.write_bytes(p.ini.read_bytes() + (b";" + b"x" * 98 + b"\r\n") * 80000)),
        Row("a read-only WallPaper.bmp is left alone", exit=0, platforms=("win32",),
            arrange=lambda t, p, s: p.bitmap.chmod(0o444)),
        Row("WallPaper.bmp is a directory", exit=0, bitmap="dir", arrange=replace("img/WallPaper.bmp", os.mkdir)),
        Row("img is a dangling link", arrange=replace("img", lambda p: os.symlink("nowhere", p)), bitmap=None),
        # The run goes on to the request; no image can be stored under a directory's name.
        Row("a directory named like today's image", arrange=lambda t, p, s: p.today_file.mkdir(), requests=2),
        Row("pending files of a running process it does not own", exit=0, bitmap=(1920, 1080),
            arrange=others_pending_files),
        # Each held by the service until the other has asked.
        Row("two copies at once", "together-2", exit=0, bitmap=(1920, 1080), requests=4,
            arrange=lambda t, p, s: p.start(name="other")),
        # The other copy's picture request is answered with an error page, after ours is kept.
        Row("two copies at once, one served an error page", exit=0, bitmap=(1920, 1080), arrange=error_page_copy),
        Row("an error page with status 200", picture=b"<html><body>Service unavailable</body></html>"),
        # Pictures that are whole but not for every decoder.
        Row("a decompression bomb (16000 x 16000)", exit=0,
            picture=h.padded(patched(small, b"\xff\xc0", 5, b"\x3e\x80\x3e\x80"))),
        Row("a CMYK picture", exit=0, picture=h.padded(h.cmyk_jpeg())),
        Row("a progressive picture", exit=0, bitmap=(801, 601), picture=h.padded(h.jpeg(801, 601, 5, "-progressive"))),
        Row("a grayscale picture", exit=0, bitmap=(640, 480), picture=h.padded(h.jpeg(640, 480, 6, "-grayscale"))),
        Row("3 x 5 pixels, a thumbnail's markers and fill bytes", exit=0, bitmap=(3, 5),
            picture=h.padded(thumbnailed(h.jpeg(3, 5, 7, "-sample", "1x1")))),
        Row("restart markers", exit=0, bitmap=(1022, 17), picture=h.padded(h.jpeg(1022, 17, 8, "-restart", "1"))),
        # Whole, but no decoder takes them: kept, and the earlier bitmap stays.
        Row("a broken Huffman table", exit=0, picture=h.padded(patched(small, b"\xff\xc4", 5, b"\xff" * 16))),
        Row("12-bit samples", exit=0, picture=h.padded(patched(small, b"\xff\xc0", 4, b"\x0c"))),
        Row("a scan of a component the frame lacks", exit=0,
            picture=h.padded(patched(small, b"\xff\xda", 5, b"\x09"))),
        Row("200000 trivial scans, a pass over the picture each", exit=0, cpu=1,
            picture=scan_bomb(h.jpeg(1920, 1080, 9, "-progressive"))),
    ]


class FaultTable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.jpeg = h.jpeg()

    def check(self, row):
        svc, p = h.earlier_day(self, row.picture or self.jpeg, "/mode/" + row.mode if row.mode else "")
        arranged = row.arrange(self, p, svc) if row.arrange else None
        if row.relay:
            arranged = h.Relay(self, svc.port, row.relay)
            p.write_settings({**h.SETTINGS, "域名": ("https://localhost:%d" if row.relay == "authority" else
                                                   "http://127.0.0.1:%d") % arranged.port})
        watch = h.NameWatch(p.img) if p.img.is_dir() else None
        r = p.run(timeout=row.seconds[1] + 30)
        if isinstance(arranged, subprocess.Popen):  # the other copy
            self.assertEqual(arranged.wait(60), 0)
        seen = watch.stop() if watch else set()
        if row.exit:  # not even for a moment
            self.assertNotIn(p.today_file.name, seen)
        h.check_day(self, p, r, row.exit, row.picture or self.jpeg, row.bitmap)
        self.assertTrue(row.seconds[0] <= r.seconds <= row.seconds[1], f"{r.seconds:.1f} s")
        if row.waits or row.cpu:
            self.assertLess(r.cpu, row.cpu or 0.1 * r.seconds + 2, f"{r.cpu:.2f} s of CPU in {r.seconds:.1f} s")
        seen = arranged.lines if isinstance(arranged, h.Relay) else svc.requests()
        lines = [getattr(s, "line", s) for s in seen]
        if isinstance(row.requests, list):
            self.assertEqual(lines, row.requests)
        elif row.requests is not None:
            self.assertEqual(len(seen), row.requests, lines)
        if row.sent is not None:
            self.assertTrue(svc.sent() and all(n <= row.sent for n in svc.sent()), svc.sent(0))
        if row.gap:
            self.assertTrue(row.gap[0] < seen[1].time - seen[0].time <= row.gap[1],
                            f"the download began {seen[1].time - seen[0].time:.2f} s after the metadata request")

    def test_faults(self):
        mine = [row for row in rows(self.jpeg) if h._args.platform in row.platforms]
        h.table(self, mine, self.check, workers=6)

    def test_what_a_killed_run_leaves_goes_at_the_next_start_and_a_working_copys_stays(self):
        # Killed during the download, another copy starting meanwhile.
        svc, p = h.earlier_day(self, self.jpeg, "/mode/picture-stall")
        first = p.start(name="first")
        self.addCleanup(p.kill, first)
        download = p.wait_for(f"img/{h.today()}.jpg.part-*", first)
        p.write_settings({**h.SETTINGS, "域名": svc.base + "/mode/404"})
        self.assertEqual(p.run().returncode, 1)
        self.assertTrue(download.exists(), "the file of a copy still at work was removed")
        p.kill(first)
        p.write_settings({**h.SETTINGS, "域名": svc.base})
        h.check_day(self, p, p.run(), 0, self.jpeg, (1920, 1080))
        bitmap = p.bitmap.read_bytes()

        # Killed during the conversion of a large picture.
        large = h.large_jpeg()
        svc.put_today(large)
        p.today_file.unlink()
        converting = p.start(name="converting")
        self.addCleanup(p.kill, converting)
        conversion = p.wait_for("img/WallPaper.bmp.part-*", converting, timeout=120)
        p.kill(converting)
        self.assertTrue(conversion.exists())
        self.assertEqual(p.bitmap.read_bytes(), bitmap, "the bitmap is replaced whole or not at all")
        # The day's picture was kept before the conversion: the day is done.
        h.check_day(self, p, p.run(), 0, large, bitmap)


if __name__ == "__main__":
    h.main()
