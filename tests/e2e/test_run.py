"""The daily run as a user sees it: what is kept, what becomes the wallpaper,
the exit status and the requests the service saw."""
import unittest
from collections import namedtuple

import harness as h

# path: after the service's address in 域名; over: settings that differ
# (None leaves a key out); requests: the request lines the service sees, in
# order; wallpaper: "applied" (the stored choice names the bitmap: a day that
# stored no file applies the earlier one), "untouched", or None where the
# platforms differ.
Row = namedtuple("Row", "what path over exit requests picture bitmap wallpaper",
                 defaults=("", {}, 1, None, None, h.EARLIER, "applied"))
META, IMAGE = "GET {path}" + h.META + " HTTP/1.1", "GET {path}/images/{today}.jpg HTTP/1.1"
BASE = "GET {path} HTTP/1.1"


def rows(small):
    return [
        Row("a picture of the day", exit=0, requests=[META, IMAGE], bitmap=(1920, 1080)),
        *[Row(f"设为壁纸 {flag!r}: only kept", over={"设为壁纸": flag}, exit=0, wallpaper="untouched")
          for flag in ("0", "01", "", None)],
        *[Row(f"a delay of {delay} s", over={"延迟运行": delay, "设为壁纸": "0"}, exit=0, wallpaper="untouched")
          for delay in ("0.5", "3")],
        Row("exactly 200000 bytes", picture=small + b"\0" * (200000 - len(small)), wallpaper="untouched"),
        Row("200001 bytes, padded after its end", exit=0, picture=small + b"\0" * (200001 - len(small)),
            bitmap=(640, 480)),
        Row("an HTML page", requests=[META, IMAGE], picture=b"<html><body>" + b"Not a picture. " * 20000,
            wallpaper="untouched"),
        Row("an empty answer", "/mode/empty", requests=[META, BASE], wallpaper=None),
        Row("a redirect", "/mode/redirect", exit=0, bitmap=(1920, 1080)),
        Row("an error page", "/mode/404", requests=[META, BASE]),
        Row("status 500", "/mode/500", requests=[META, BASE]),
        Row("an answer without the marker", "/mode/nomarker", requests=[META, BASE]),
        # A failed extraction leaves the answer, which is no web address.
        Row("an answer with '&' only before the marker", "/mode/amp-before", requests=[META]),
        Row("a base URL with a trailing slash", "/", exit=0, requests=[META, IMAGE], bitmap=(1920, 1080)),
        Row("an empty base URL", over={"域名": ""}, requests=[]),
        Row("no base URL", over={"域名": None}, requests=[]),
        Row("a base URL of another scheme", over={"域名": "ftp://127.0.0.1:{port}"}, requests=[]),
        Row("the second base URL is never used", over={"备用域名": "http://127.0.0.1:1"}, exit=0,
            requests=[META, IMAGE], bitmap=(1920, 1080)),
    ]


class RunTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.jpeg = h.jpeg()

    def check(self, row):
        svc, p = h.earlier_day(self, row.picture or self.jpeg, row.path, row.over)
        if h.windows():
            h.reg_import(h.WALLPAPER_KEY, {"Wallpaper": '"untouched"'})
        else:
            p.write_gnome_settings("[org/gnome/desktop/background]\npicture-uri='untouched'\n")
        r = p.run()
        h.check_day(self, p, r, row.exit, row.picture or self.jpeg, row.bitmap)
        if "延迟运行" in row.over:  # waited, without burning the processor
            self.assertTrue(r.seconds >= float(row.over["延迟运行"]) and r.cpu < 1.5, f"{r.cpu:.2f} s of CPU")
        if row.wallpaper:
            self.assertEqual(h.wallpaper(p), row.wallpaper == "applied" or "untouched")
        seen = svc.requests()
        if row.requests is not None:
            self.assertEqual([s.line for s in seen], [x.format(path=row.path, today=h.today()) for x in row.requests])
        for s in seen:
            # Exactly the two headers on the metadata request, neither on the picture's.
            mine = sorted((k.lower(), v) for k, v in s.headers if k.lower() in ("if-modified-since", "user-agent"))
            self.assertEqual(mine, [("if-modified-since", "0"), ("user-agent", h.UA)] if h.META in s.line else [])

    def test_what_the_day_leaves(self):
        h.table(self, rows(h.jpeg(640, 480, 3)), self.check, workers=1 if h.windows() else 4)

    def test_a_failed_day_is_tried_again_and_a_done_day_sends_nothing(self):
        svc, p = h.earlier_day(self, self.jpeg, "/mode/404")
        self.assertEqual([p.run().returncode, p.run().returncode], [1, 1])
        self.assertEqual(len(svc.requests(h.META)), 2, "tried again the same day")
        if not h.windows():
            # libcurl is loaded only to fetch: where it cannot be, the program
            # starts all the same and the day fails as without a network.
            (p.tmp / "lib").mkdir()
            (p.tmp / "lib" / "libcurl.so.4").write_bytes(b"")
            p.write_settings({"域名": svc.base, "延迟运行": "0"})
            h.check_day(self, p, p.run(extra_env={"LD_LIBRARY_PATH": str(p.tmp / "lib")}), 1, b"")
            self.assertEqual(len(svc.requests(h.META)), 2, "nothing was fetched")
        p.write_settings({"域名": svc.base, "延迟运行": "0", "设为壁纸": "0"})
        self.assertEqual(p.run().returncode, 0)
        before = svc.requests()
        # A done day ends at once: neither the delay of 30 s nor a request.
        p.write_settings({"域名": svc.base, "延迟运行": "30"})
        self.assertEqual(p.run(timeout=20).returncode, 0)
        self.assertEqual(len(svc.requests()), len(before), "a done day sends nothing")

    def test_settings_files_of_other_systems_are_read(self):
        # The flag, the delay and the base URL are read, and the autostart entry is made.
        text = "[Config]\r\n开机自启动=1\r\n设为壁纸=1\r\n延迟运行=0\r\n域名={base}\r\n备用域名=x\r\n"
        stray = lambda data: data.replace(b"\r\n", b"\r\n; \xff\xfe not the file's encoding\r\n", 1)
        cases = [
            # (what, the file's bytes, where: "linux" or a Windows code page)
            ("GBK, from a Chinese Windows", lambda t: t.encode("gbk"), ("linux", 1252, 932)),
            ("GBK with a line that is no GBK", lambda t: stray(t.encode("gbk")), ("linux", 1252)),
            ("UTF-8 with a line that is no UTF-8", lambda t: stray(t.encode()), ("linux",)),
            ("UTF-16, from a Windows of another code page", lambda t: b"\xff\xfe" + t.encode("utf-16-le"),
             ("linux", 936, 1252)),
        ]
        mine = [(f"{what}, {system}", encode, system) for what, encode, where in cases for system in where
                if (system == "linux") != h.windows()]
        if h.windows():
            self.addCleanup(h.set_autostart)

        def check(case):
            _, encode, system = case
            svc, p = h.earlier_day(self, self.jpeg)
            if h.windows():
                h.set_autostart()
            p.ini.write_bytes(encode(text.format(base=svc.base)))
            h.check_day(self, p, p.run(code_page=None if system == "linux" else system), 0, self.jpeg, None)
            self.assertIs(h.wallpaper(p), True)
            # On Windows read back through the wide registry functions.
            self.assertIn(h.reg_quote(h.windows_path(p.exe)) if h.windows() else str(p.exe), p.autostart_entry())
        self.assertTrue(mine)
        h.table(self, mine, check, workers=1 if h.windows() else 4)


if __name__ == "__main__":
    h.main()
