"""The fault table: the daily run against a service that misbehaves, a disk
that fills, files that are not what they should be, runs that overlap or are
killed. Every row checks what a user relies on: the run ends in bounded time
with exit status 0 or 1 (0 exactly when today's image is kept), prints
nothing, leaves no pending file and nothing half written under a final name,
and leaves the earlier bitmap and the settings as they were unless it
legitimately replaced the bitmap."""
import os
import shutil
import subprocess
import unittest
from collections import namedtuple

import harness as h

# bitmap: "same" (the earlier day's stays), a new one's (width, height), or
# "dir"; seconds: the bounds of the run; waits: the run mostly waits, so
# costs little CPU; gap: bounds of the time between the first two requests
# (the metadata's time-out); arrange(test, p, svc): what differs before the
# run; requests: how many requests the service (or the relay) sees, or
# their request lines.
Row = namedtuple("Row", "what mode exit bitmap picture seconds waits gap arrange requests platforms",
                 defaults=("", 1, "same", None, (0, 30), False, None, None, None, ("linux", "win32")))
LINUX = ("linux",)
EARLIER = h.tiny_bmp()
MiB = 1 << 20


def padded(data, n=300000):
    return data + b"\0" * (n - len(data))


def relay(**kind):
    """The base URL is a relay of this kind in front of the service."""
    def arrange(test, p, svc):
        r = h.Relay(svc.port, **kind)
        test.addCleanup(r.stop)
        p.write_settings(settings(("https://" if kind.get("tls") else "http://") + r.address))
        return r
    return arrange


def on_small_disk(leave, read_only=False):
    """The program's folder on a disk of its own with about leave bytes free."""
    def arrange(test, p, svc):
        disk = h.small_disk(test, p.exe.stat().st_size + 16 * MiB)
        p.move_to(disk / "prog")
        h.fill(disk, leave)
        if read_only:
            subprocess.run(["mount", "-o", "remount,ro", str(disk)], check=True)
    return arrange


def replace(name, how):
    def arrange(test, p, svc):
        path = p.dir / name
        shutil.rmtree(path) if path.is_dir() and not path.is_symlink() else path.unlink()
        how(path)
    return arrange


def redirected_file(test, p, svc):
    """What a redirect to a file: URL would find: a whole picture whose
    comment holds the metadata's marker, so a run that follows it keeps it."""
    text, jpeg = b'"url":"/redirected&', h.jpeg(640, 480, 3)
    (svc.folder / "redirected").write_bytes(padded(jpeg[:2] + b"\xff\xfe\0" + bytes([len(text) + 2]) + text + jpeg[2:]))


def huge_settings(test, p, svc):
    with open(p.ini, "ab") as f:
        f.write((";" + "x" * 98 + "\r\n").encode() * (80000))


def settings(base):
    return {"开机自启动": "0", "设为壁纸": "1", "延迟运行": "0", "域名": base, "备用域名": "x"}


def rows(jpeg):
    return [
        # The service.
        Row("silent: both time-outs", "hang", seconds=(40, 50), waits=True, gap=(9.9, 12.5)),
        Row("one byte a second: the metadata's time-out", "trickle", seconds=(10, 20), waits=True, gap=(9.9, 12.5)),
        Row("half a picture, then silence", "picture-stall", seconds=(30, 45), waits=True),
        Row("cut short, with a length", "picture-cut"),
        Row("cut short, without a length", "picture-cut-nolength"),
        Row("cut short at a chunk's end", "picture-cut-chunked"),
        Row("cut short inside a chunk", "picture-cut-mid-chunk"),
        Row("reset halfway", arrange=relay(reset=True), requests=2),
        Row("an endless picture", "picture-endless", seconds=(0, 60)),
        Row("a picture of 1 TiB declared", "picture-endless-declared"),
        Row("an endless metadata answer", "endless", platforms=LINUX),
        Row("metadata of exactly 4 MiB", "pad-4194304", exit=0, bitmap=(1920, 1080), picture=padded(jpeg, 4 << 20)),
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
        Row("a self-signed certificate", arrange=relay(tls=True), requests=0),
        # The disk and the files.
        Row("disk full during the download", arrange=on_small_disk(100000)),
        Row("disk full during the bitmap", exit=0, arrange=on_small_disk(len(jpeg) + 500000)),
        Row("a read-only program folder", arrange=on_small_disk(8 * MiB, read_only=True)),
        Row("cfg.ini is a directory", arrange=replace("cfg.ini", os.mkdir), requests=0),
        Row("cfg.ini is a FIFO", arrange=replace("cfg.ini", os.mkfifo), requests=0, platforms=LINUX),
        Row("cfg.ini is huge", exit=0, bitmap=(1920, 1080), arrange=huge_settings),
        Row("WallPaper.bmp is a directory", exit=0, bitmap="dir", arrange=replace("img/WallPaper.bmp", os.mkdir)),
        Row("img is a dangling link", arrange=replace("img", lambda p: os.symlink("nowhere", p)), bitmap=None),
        # Pictures that are whole but not for every decoder.
        Row("a decompression bomb", exit=0, picture=padded(h.claiming(h.jpeg(640, 480, 3), 16000, 16000))),
        Row("a CMYK picture", exit=0, picture=padded(h.cmyk_jpeg())),
        Row("a progressive picture", exit=0, bitmap=(801, 601), picture=padded(h.jpeg(801, 601, 5, "-progressive"))),
        Row("a grayscale picture", exit=0, bitmap=(640, 480), picture=padded(h.jpeg(640, 480, 6, "-grayscale"))),
    ]


class FaultTable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.jpeg = h.jpeg()

    def prepare(self, mode="", picture=None):
        """A program folder that has run on an earlier day, its settings
        pointing at a service of its own that serves today's picture."""
        svc, p = h.ImageService(), h.ProgramDir()
        self.addCleanup(svc.stop)
        self.addCleanup(p.cleanup)
        svc.put_today(picture or self.jpeg)
        p.img.mkdir()
        p.bitmap.write_bytes(EARLIER)
        p.write_settings(settings(svc.base + ("/mode/" + mode if mode else "")))
        return svc, p

    def check(self, row):
        svc, p = self.prepare(row.mode, row.picture)
        relay = row.arrange(self, p, svc) if row.arrange else None
        ini = p.ini.read_bytes() if p.ini.is_file() else None
        r = p.run(timeout=row.seconds[1] + 30)
        self.assertEqual(r.returncode, row.exit, r.output)
        self.assertEqual(r.output, b"")
        self.assertTrue(row.seconds[0] <= r.seconds <= row.seconds[1], f"{r.seconds:.1f} s")
        if row.waits:
            self.assertLess(r.cpu, 0.1 * r.seconds + 2, f"{r.cpu:.2f} s of CPU in {r.seconds:.1f} s")
        h.check_final_names(self, p, served=[row.picture or self.jpeg])
        self.assertEqual(p.today_file.is_file(), row.exit == 0)
        self.assertEqual(p.ini.read_bytes() if p.ini.is_file() else None, ini, "the settings changed")
        if row.bitmap == "same":
            self.assertEqual(p.bitmap.read_bytes(), EARLIER, "the earlier bitmap changed")
        elif row.bitmap == "dir":
            self.assertTrue(p.bitmap.is_dir())
        elif row.bitmap:
            self.assertEqual(h.bmp_size(p.bitmap.read_bytes()), row.bitmap)
        seen = relay.lines if relay else svc.requests()
        lines = [getattr(s, "line", s) for s in seen]
        if isinstance(row.requests, list):
            self.assertEqual(lines, row.requests)
        elif row.requests is not None:
            self.assertEqual(len(seen), row.requests, lines)
        if row.gap:
            self.assertTrue(row.gap[0] < seen[1].time - seen[0].time <= row.gap[1],
                            f"the download began {seen[1].time - seen[0].time:.2f} s after the metadata request")

    def test_faults(self):
        mine = [row for row in rows(self.jpeg) if h._args.platform in row.platforms]
        h.table(self, mine, self.check, workers=6)

    def test_two_copies_at_once(self):
        svc, p = self.prepare("late-1")
        other = p.start(name="other")
        r = p.run()
        self.assertEqual((r.returncode, other.wait(60)), (0, 0))
        h.check_final_names(self, p, served=[self.jpeg])
        self.assertEqual(h.bmp_size(p.bitmap.read_bytes()), (1920, 1080))

    def test_what_a_killed_run_leaves_goes_at_the_next_start_and_a_working_copys_stays(self):
        # Killed during the download, another copy starting meanwhile.
        svc, p = self.prepare("picture-stall")
        first = p.start(name="first")
        try:
            download = p.wait_for(f"img/{h.today()}.jpg.part-*", first)
            p.write_settings(settings(svc.base + "/mode/404"))
            self.assertEqual(p.run().returncode, 1)
            self.assertTrue(download.exists(), "the file of a copy still at work was removed")
        finally:
            p.kill(first)
        p.write_settings(settings(svc.base))
        self.assertEqual(p.run().returncode, 0, "the day is completed")
        h.check_final_names(self, p, served=[self.jpeg])
        bitmap = p.bitmap.read_bytes()

        # Killed during the conversion of a large picture.
        large = h.large_jpeg()
        svc.put_today(large)
        p.today_file.unlink()
        converting = p.start(name="converting")
        try:
            conversion = p.wait_for("img/WallPaper.bmp.part-*", converting, timeout=120)
        finally:
            p.kill(converting)
        self.assertTrue(conversion.exists())
        self.assertEqual(p.bitmap.read_bytes(), bitmap, "the bitmap is replaced whole or not at all")
        self.assertEqual(p.run().returncode, 0, "the day's picture was kept before the conversion")
        h.check_final_names(self, p, served=[large])
        self.assertEqual(p.bitmap.read_bytes(), bitmap)


if __name__ == "__main__":
    h.main()
