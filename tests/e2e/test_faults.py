"""The daily run against a service that misbehaves, a disk that fills, files
that are not what they should be, runs that overlap or are killed."""
import os
import re
import shutil
import subprocess

from harness import BASE_LINE, META_LINE, Row, Table, check_day, main
from pictures import cmyk_jpeg, jpeg, large_jpeg, padded, segment
from program import SETTINGS, small_disk, today, wait_until
from service import ImageService

MiB = 1 << 20


def on_small_disk(leave, read_only=False):
    """The program's folder on a disk of its own with about leave bytes free."""
    def arrange(test, p, svc):
        disk = small_disk(test, p, 16 * MiB, leave)
        if read_only:  # a child forked meanwhile by another row may hold a file of it open for a moment
            wait_until(lambda: not subprocess.run(["mount", "-o", "remount,ro", str(disk)], capture_output=True)
                       .returncode, 10, 0.1)
    return arrange


def replace(name, how):  # the file or folder name made anew by how(path)
    return lambda test, p, svc: (shutil.rmtree if (p.dir / name).is_dir() else os.unlink)(p.dir / name) \
        or how(p.dir / name)


def others_pending_files(test, p, svc):
    """Files named as pending files of a running process (this one) that holds none of them."""
    for name in ("cfg.ini", "img/WallPaper.bmp", f"img/{p.day_file().name}"):
        (p.dir / f"{name}.part-{os.getpid()}-0").write_bytes(b"x")


def redirected_file(test, p, svc):
    """What a redirect to a file: URL would find: a whole picture whose
    comment holds the metadata's marker, so a run that follows it keeps it."""
    text, small = b'"url":"/redirected&', jpeg(640, 480, 3)
    (svc.folder / "redirected").write_bytes(padded(small[:2] + segment(0xFE, text) + small[2:]))


def error_page_copy(test, p, svc):
    other = ImageService(test.cfg.build, test)
    other.put_today(b"<html><body>Service unavailable</body></html>")
    p.write_settings({**SETTINGS, "域名": other.base + "/mode/picture-late-8"})
    copy = p.start(name="other")
    wait_until(other.requests, 60)  # it has read its settings
    p.write_settings({**SETTINGS, "域名": svc.base})
    return copy


def thumbnailed(data):  # a thumbnail's markers in an APP1 segment, fill bytes before a marker
    at = data.find(b"\xff\xdb")
    return data[:2] + segment(0xE1, b"Exif\0\0\xff\xd8\xff\xd9\xff\xd9") + data[2:at] + b"\xff\xff\xff" + data[at:]


def patched(data, marker, offset, new):
    at = data.find(marker) + offset
    return data[:at] + new + data[at + len(new):]


def second_frame(data):  # a second frame header, of another size, after the first
    at = data.find(b"\xff\xc0")
    end = at + 2 + int.from_bytes(data[at + 2:at + 4], "big")
    return data[:end] + patched(data[at:end], b"\xff\xc0", 5, b"\x01\x00\x01\x00") + data[end:]


def scan_bomb(progressive, scans=200000):
    """The picture with its first scan of luminance AC bands repeated as a trivial one (two end-of-band runs over all
    its blocks) up to that many scans: each costs a decoder a pass over the picture."""
    head = progressive.index(b"\xff\xda\x00\x08\x01\x01")
    end = head + 10 + re.search(rb"\xff[^\x00\xd0-\xd7]", progressive[head + 10:]).start()
    table = segment(0xC4, b"\x10\x01" + bytes(15) + b"\xe0")  # one code of one bit: a run of 2^14+ bands
    trivial = progressive[head:head + 10] + b"\0\0\0\x03"
    return progressive[:end] + table + trivial * (scans - progressive.count(b"\xff\xda")) + progressive[end:]


def rows(big):
    small = jpeg(640, 480, 3)
    return [
        # The service.
        # Mostly waiting, so at little CPU: 0.1 s a second and 2 s.
        Row("silent: both time-outs", "/mode/hang", seconds=(40, 50), cpu=6),
        Row("half a picture, then silence", "/mode/picture-stall", seconds=(30, 45), cpu=5),
        Row("cut short, without a length", "/mode/picture-cut-nolength"),
        # The transfer stops at 64 MiB: what is in flight then (the two sockets' buffers: up to 8 MiB seen on a busy
        # machine), and no more.
        Row("an endless picture", "/mode/picture-endless", seconds=(0, 60), sent=80 * MiB),
        Row("a picture of 1 TiB declared", "/mode/picture-endless-declared", sent=8 * MiB),
        Row("an endless metadata answer", "/mode/endless"),
        Row("metadata of exactly 4 MiB", "/mode/pad-4194304", exit=0, bitmap=(1920, 1080),
            picture=padded(big, 4 << 20)),
        Row("metadata over 4 MiB", "/mode/pad-4194305", requests=2),
        Row("the metadata redirected to a file", "/mode/redirect-scheme", arrange=redirected_file,
            requests=[META_LINE, BASE_LINE]),
        Row("ten redirects", "/mode/picture-redirects-10", exit=0, bitmap=(1920, 1080), requests=12),
        Row("eleven redirects", "/mode/picture-redirects-11", requests=12),
        Row("a redirect to a file", "/mode/picture-redirect-scheme", arrange=redirected_file),
        Row("status 300 with the picture", "/mode/picture-status-300"),
        Row("status 299 with the picture", "/mode/picture-status-299", exit=0, bitmap=(1920, 1080)),
        Row("a certificate nobody trusts", over={"域名": "https://localhost:{relay}"},
            net="https, untrusted", requests=0),
        # The disk and the files.
        Row("disk full during the download", arrange=on_small_disk(100000)),
        Row("disk full during the bitmap", exit=0, arrange=on_small_disk(len(big) + 500000)),
        *[Row(f"disk full during the {what}, by a file size limit", exit=exit, on="linux",
              arrange=lambda t, p, s, size=size: setattr(p, "file_limit", size))
          for what, size, exit in (("download", 100000, 1), ("bitmap", len(big) + 1, 0))],
        Row("a read-only program folder", arrange=on_small_disk(8 * MiB, read_only=True)),
        Row("cfg.ini is a directory", arrange=replace("cfg.ini", os.mkdir), requests=0),
        Row("cfg.ini is a FIFO", arrange=replace("cfg.ini", os.mkfifo), requests=0, on="linux"),
        Row("a read-only WallPaper.bmp is left alone", exit=0, on="win32",
            arrange=lambda t, p, s: p.bitmap.chmod(0o444)),
        Row("WallPaper.bmp is a directory", exit=0, bitmap="dir", arrange=replace("img/WallPaper.bmp", os.mkdir)),
        Row("img is a dangling link", arrange=replace("img", lambda p: os.symlink("nowhere", p)), bitmap=None),
        # The run goes on to the request; no image can be stored under a directory's name.
        Row("a directory named like today's image", arrange=lambda t, p, s: p.day_file().mkdir(), requests=2),
        Row("pending files of a running process it does not own", exit=0, bitmap=(1920, 1080),
            arrange=others_pending_files),
        # Each held by the service until the other has asked.
        Row("two copies at once", "/mode/together-2", exit=0, bitmap=(1920, 1080), requests=4,
            arrange=lambda t, p, s: p.start(name="other")),
        # The other copy's picture request is answered with an error page, after ours is kept.
        Row("two copies at once, one served an error page", exit=0, bitmap=(1920, 1080), arrange=error_page_copy),
        # Pictures that are whole but not for every decoder.
        Row("a decompression bomb (16000 x 16000)", exit=0,
            picture=padded(patched(small, b"\xff\xc0", 5, b"\x3e\x80\x3e\x80"))),
        Row("a CMYK picture", exit=0, picture=padded(cmyk_jpeg())),
        Row("a progressive picture", exit=0, bitmap=(801, 601), picture=padded(jpeg(801, 601, 5, "-progressive"))),
        Row("a grayscale picture", exit=0, bitmap=(640, 480), picture=padded(jpeg(640, 480, 6, "-grayscale"))),
        Row("3 x 5 pixels, a thumbnail's markers and fill bytes", exit=0, bitmap=(3, 5),
            picture=padded(thumbnailed(jpeg(3, 5, 7, "-sample", "1x1")))),
        Row("restart markers", exit=0, bitmap=(1022, 17), picture=padded(jpeg(1022, 17, 8, "-restart", "1"))),
        # Whole, but no decoder takes them: kept, and the earlier bitmap stays.
        Row("a broken Huffman table", exit=0, picture=padded(patched(small, b"\xff\xc4", 5, b"\xff" * 16))),
        # Not whole: never the day's, even where a decoder would take it.
        Row("a second frame header", picture=padded(second_frame(small))),
        Row("a scan of a component the frame lacks", exit=0,
            picture=padded(patched(small, b"\xff\xda", 5, b"\x09"))),
        Row("200000 trivial scans, a pass over the picture each", exit=0, cpu=1,
            picture=scan_bomb(jpeg(1920, 1080, 9, "-progressive"))),
    ]


class FaultTable(Table):
    def test_faults(self):
        self.table(rows(self.jpeg), workers=6)

    def test_what_a_killed_run_leaves_goes_at_the_next_start_and_a_working_copys_stays(self):
        # Killed during the download, another copy starting meanwhile.
        svc, p = self.earlier_day(self.jpeg, "/mode/picture-stall")
        first = p.start(name="first")
        self.addCleanup(p.kill, first)
        download = p.wait_for(f"img/{today()}.jpg.part-*", first)
        p.write_settings({**SETTINGS, "域名": svc.base + "/mode/404"})
        self.assertEqual(p.run().returncode, 1)
        self.assertTrue(download.exists(), "the file of a copy still at work was removed")
        p.kill(first)
        p.write_settings({**SETTINGS, "域名": svc.base})
        check_day(self, p, r := p.run(), 0, self.jpeg, (1920, 1080))
        bitmap = p.bitmap.read_bytes()

        # Killed during the conversion of a large picture.
        large = large_jpeg()
        svc.put_today(large)
        r.image.unlink()
        converting = p.start(name="converting")
        self.addCleanup(p.kill, converting)
        conversion = p.wait_for("img/WallPaper.bmp.part-*", converting, timeout=120)
        p.kill(converting)
        self.assertTrue(conversion.exists())
        self.assertEqual(p.bitmap.read_bytes(), bitmap, "the bitmap is replaced whole or not at all")
        # The day's picture was kept before the conversion: the day is done.
        check_day(self, p, p.run(), 0, large, bitmap)


if __name__ == "__main__":
    main()
