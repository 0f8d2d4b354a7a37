"""The program as a user sees it: the first start's settings, the day's run (what is kept, what becomes the wallpaper,
the exit status, the requests the service saw, also through the proxy the user has set) and the autostart entry."""
import datetime
import os
import subprocess
from functools import partial

from harness import BASE_LINE as BASE, IMAGE_LINE as IMAGE, META_LINE as META, Row, Table, check_day, main
from pictures import jpeg, padded
from program import ProgramDir, default_settings, need_locale, needs, small_disk, wait_until, \
    without_proc

Row = partial(Row, wallpaper="applied")
# A host that does not resolve: only requests through the user's proxy (a relay in front of the service) arrive.
PROXIED = {"域名": "http://img.test", "设为壁纸": "0"}
GERMAN = {"LC_ALL": "de_DE.UTF-8"}  # a decimal comma
FAR = "Pacific/Kiritimati" if datetime.datetime.utcnow().hour >= 10 else "Pacific/Pago_Pago"


def stray(data):
    return data.replace(b"\r\n", b"\r\n; \xff\xfe not the file's encoding\r\n", 1)


def rows(small):
    return [
        Row("a picture of the day", exit=0, requests=[META, IMAGE], bitmap=(1920, 1080)),
        *[Row(f"设为壁纸 {flag!r}: only kept", over={"设为壁纸": flag}, exit=0, wallpaper="untouched")
          for flag in ("0", "01", "", None)],
        *[Row(f"a delay of {text!r}{' in a German locale' * bool(env)}", over={"延迟运行": text, "设为壁纸": "0"},
              exit=0, wallpaper="untouched", env=env, delay=delay, cpu=1.5)
          for text, env, delay in (("1.5", {}, 1.5), ("3", {}, 3), ("2,5", GERMAN, 2.5), ("2.5", GERMAN, 0))],
        # The day's file is named by the local date, one that is not UTC's now.
        Row("a time zone far from UTC", env={"TZ": FAR}, exit=0, requests=[META, IMAGE], bitmap=(1920, 1080)),
        # Each a whole day, the log-on entry included.
        *[Row(f"the program at {place}", place=place, over={"开机自启动": "1"}, exit=0, requests=[META, IMAGE],
              bitmap=(1920, 1080), on=on) for place, on in (
            ("壁纸 图片/pavo.exe", 936), ("Müller's Straße/pavo.exe", 936), ("P:", 936),
            ("prog/pavo (1).exe", 936), ("prog/pavo 2 (copy)", "linux"))],
        # A file that is no picture never gets the day's name: the day goes on as
        # without a file, and the earlier bitmap is applied again.
        Row("exactly 200000 bytes", picture=padded(small, 200000)),
        Row("200001 bytes, padded after its end", exit=0, picture=padded(small, 200001), bitmap=(640, 480)),
        # The base URL alone then finds no picture: the earlier bitmap is applied again.
        Row("an empty answer", "/mode/empty", requests=[META, BASE]),
        Row("a redirect", "/mode/redirect", exit=0, bitmap=(1920, 1080)),
        # A failed extraction leaves the answer, which is no web address.
        Row("an answer with '&' only before the marker", "/mode/amp-before", requests=[META]),
        Row("a base URL with a trailing slash", "/", exit=0, requests=[META, IMAGE], bitmap=(1920, 1080)),
        Row("no base URL", over={"域名": None}, requests=[]),
        Row("a base URL of another scheme", over={"域名": "ftp://127.0.0.1:{port}"}, requests=[]),
        # Not even when the first fails: a second live service sees nothing.
        Row("the second base URL is never used", "/mode/404", over={"备用域名": "{second}"}, net="a second service",
            requests=[META, BASE]),
        # libcurl is loaded only to fetch: where it cannot be, the day fails as without a network.
        Row("libcurl cannot be loaded", net="no libcurl", requests=[], on="linux"),
        Row("no proxy: the host is not found", over=PROXIED, requests=[], wallpaper="untouched"),
        # The GNOME settings name no proxy where http_proxy is set.
        *[Row(f"the user's proxy: {net}", over=PROXIED, net=net, exit=0, requests=[META, IMAGE], wallpaper="untouched",
              on=936 if net == "Internet settings" else "linux")
          for net in ("Internet settings", "http_proxy", "http_proxy, no desktop", "GNOME settings",
                      "GNOME settings, SOCKS")],
        # A proxy asking for a password: no dialog, no credentials, a failed day at once.
        *[Row(f"the user's proxy asks for a password: {net}", over=PROXIED, net="password, " + net, requests=[],
              wallpaper="untouched", seconds=(0, 20), on=936 if net == "Internet settings" else "linux")
          for net in ("Internet settings", "http_proxy")],
        # A service of an authority the user trusts, by name.
        Row("a day over https", over={"域名": "https://localhost:{relay}"}, net="https", exit=0,
            requests=[META, IMAGE], bitmap=(1920, 1080)),
        # The script on a server that never answers: the desktop's resolver would wait 25 s for it on each request.
        Row("a proxy script that never comes is not waited for", over={"设为壁纸": "0"}, net="pac", exit=0,
            requests=[META, IMAGE], wallpaper="untouched", seconds=(0, 15), on="linux"),
        *[Row(f"settings {what}, {on}", ini=encode, on=on, exit=0, requests=[META, IMAGE], bitmap=(1920, 1080))
          for what, encode, where in (
              ("in GBK, from a Chinese Windows", lambda t: t.encode("gbk"), ("linux", 1252, 932)),
              ("in GBK with a line that is no GBK", lambda t: stray(t.encode("gbk")), ("linux", 1252)),
              ("in UTF-8 with a line that is no UTF-8", lambda t: stray(t.encode()), ("linux",)),
              ("in UTF-16, from a Windows of another code page", lambda t: b"\xff\xfe" + t.encode("utf-16-le"),
               ("linux", 936, 1252)),
              ("in UTF-16 with half a surrogate pair", lambda t: b"\xff\xfe" + ("; \ud800\r\n" + t).encode(
                  "utf-16-le", "surrogatepass"), ("linux", 1252)),
              ("in UTF-8, as today's editors save it", lambda t: t.encode(), (936, 1252)),
              ("in UTF-8 with a signature", lambda t: b"\xef\xbb\xbf" + t.encode(), ("linux", 936, 1252)))
          for on in where],
    ]


class RunTest(Table):
    def test_what_the_day_leaves(self):
        need_locale(GERMAN["LC_ALL"])
        self.table(rows(jpeg(640, 480, 3)))

    def test_the_metadata_is_never_taken_from_a_cache(self):
        # The service allows its answers to be kept for a day; the next day names another picture.
        svc, p = self.earlier_day(self.jpeg)
        check_day(self, p, r := p.run(), 0, self.jpeg, (1920, 1080))
        r.image.unlink()
        (svc.folder / (svc.day + ".jpg")).unlink()
        (svc.folder / "second.jpg").write_bytes(second := padded(jpeg(640, 480, 3)))
        check_day(self, p, p.run(), 0, second, (640, 480))
        self.assertEqual([s.line for s in svc.requests()][2:],
                         [META.format(path=""), "GET /images/second.jpg HTTP/1.1"])

    def test_a_first_start_writes_the_default_settings(self):
        # On a full disk none (a partial file would stay for ever), and the next start writes them whole.
        # Where the program's folder cannot be known (a root without /proc), nothing is written anywhere.
        windows = self.cfg.windows
        rows = [("as the system writes", None, False), ("on a full disk", None, "mount")] + \
            [("on a full disk, by a file size limit", None, "limit")] * (not windows) + \
            [("outside GBK: in UTF-16, as Notepad reads it", 1252, False)] * windows + \
            [("no executable directory", None, "no /proc")] * (not windows)

        def check(row):
            _, code_page, where = row
            p = ProgramDir(self, self.cfg)
            if where == "no /proc":
                root, cmd = without_proc(self, p)
                before = sorted(os.listdir(root))
                r = p.run(cmd=cmd)
                # (What it prints is not compared: a sanitizer build warns where /proc is missing.)
                self.assertEqual((r.returncode, sorted(os.listdir(root)), os.listdir(p.dir)), (1, before, [p.exe.name]))
                return
            if where:
                disk = small_disk(self, p, 1 << 20) if where == "mount" else setattr(p, "file_limit", 100)
                self.assertEqual((p.run().returncode, p.ini.exists(), p.pending_files()), (1, False, []))
                p.file_limit = disk and (disk / "filler").unlink()
            # An entry left by an earlier copy goes: the first-run default is "0".
            p.plant_autostart("C:\\else\\pavo.exe" if windows else "/else/pavo")
            r = p.run(code_page=code_page)
            written = default_settings(self.cfg.build).encode({1252: "utf-16", None: "gbk" if windows else "utf-8"}[
                code_page])
            self.assertEqual((r.returncode, r.output, p.ini.read_bytes(), p.desktop().entry, p.pending_files(),
                              p.img.is_dir()), (1, b"", written, None, [], True))
        self.table(rows, check, workers=1 if windows else 4)

    def test_the_autostart_entry_follows_the_setting_and_a_done_day_sends_nothing(self):
        # From a folder whose name needs quoting (Wine command lines mangle
        # non-ASCII text, so the Windows name keeps to spaces and brackets).
        svc, p = self.earlier_day(self.jpeg)
        p.move_to(p.tmp / ("My Apps (x86) & more" if self.cfg.windows else "Pavo 壁纸 $HOME 'a' \"b\" (c)"))
        p.day_file().write_bytes(self.jpeg)

        def done_day(autostart):  # at once: neither the delay of 30 s nor a request
            p.write_settings({"开机自启动": autostart, "设为壁纸": "0", "延迟运行": "30", "域名": svc.base})
            self.assertEqual(p.run(timeout=20).returncode, 0)
            self.assertEqual(svc.requests(), [])
        done_day("1")
        if self.cfg.windows:  # (the entry's value: the rows of the program at another place; its removal: the first
            return            # start's; each value type's reading and the decision: the unit tables)
        # A second start with the entry in line leaves it alone.
        first = p.autostart_file.stat()
        done_day("1")
        self.assertEqual(p.autostart_file.stat().st_mtime_ns, first.st_mtime_ns)
        # Started through the entry by GLib's launcher, the program finds "0"
        # in its settings and removes the entry: Exec named exactly this program.
        p.write_settings({"开机自启动": "0", "设为壁纸": "0", "延迟运行": "0"})
        subprocess.run([needs("gio", "libglib2.0-bin"), "launch", str(p.autostart_file)], env=p.env(), timeout=30,
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertTrue(wait_until(lambda: p.desktop().entry is None, 30), "the launched program kept its entry")
        self.assertTrue(p.autostart_file.parent.is_dir(), "only the entry goes")


if __name__ == "__main__":
    main()
