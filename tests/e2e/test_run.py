"""The program as a user sees it: the first start's settings, the day's run
(what is kept, what becomes the wallpaper, the exit status, the requests the
service saw, also through the proxy the user has set) and the autostart entry."""
import datetime
import os
import shlex
import subprocess
import unittest
from collections import namedtuple

import harness as h

# path: after the service's address in 域名; over: settings that differ (None leaves a key out); requests: the request
# lines the service sees, in order; wallpaper: "applied" (the stored choice names the bitmap: a day that stored no
# file applies the earlier one) or "untouched"; net: how the service is reached, where not directly; ini: the settings
# file's bytes made from OTHER; on: "linux", or Windows in a code page; env: the user's locale (LC_ALL) or time zone
# (TZ); delay: the seconds waited, against a run without a delay; place: where the program is ("P:" a drive's root),
# its log-on entry made where it named the program at its earlier place.
Row = namedtuple("Row", "what path over exit requests picture bitmap wallpaper net ini on env delay place",
                 defaults=("", {}, 1, None, None, h.EARLIER, "applied", None, None, None, {}, None, None))
META, IMAGE = "GET {path}" + h.META + " HTTP/1.1", "GET {path}/images/{today}.jpg HTTP/1.1"
BASE = "GET {path} HTTP/1.1"
# A host that does not resolve: only requests through the user's proxy (a relay
# in front of the service) arrive.
PROXIED = {"域名": "http://img.test", "设为壁纸": "0"}
# From another system: the flag, the delay and the base URL are read, and the autostart entry is made.
OTHER = "[Config]\r\n开机自启动=1\r\n设为壁纸=1\r\n延迟运行=0\r\n域名={base}\r\n备用域名=x\r\n"
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
              exit=0, wallpaper="untouched", env=env, delay=delay)
          for text, env, delay in (("1.5", {}, 1.5), ("3", {}, 3), ("2,5", GERMAN, 2.5), ("2.5", GERMAN, 0))],
        # The day's file is named by the local date, one that is not UTC's now.
        Row("a time zone far from UTC", env={"TZ": FAR}, exit=0, requests=[META, IMAGE], bitmap=(1920, 1080)),
        # Each a whole day, the log-on entry included.
        *[Row(f"the program at {place}", place=place, over={"开机自启动": "1"}, exit=0, requests=[META, IMAGE],
              bitmap=(1920, 1080), on=on) for place, on in (
            ("壁纸 图片/pavo.exe", 936), ("Müller's wallpaper/pavo.exe", 936), ("P:", 936),
            ("prog/pavo (1).exe", 936), ("prog/pavo 2 (copy)", "linux"))],
        # A file that is no picture never gets the day's name: the day goes on as
        # without a file, and the earlier bitmap is applied again.
        Row("exactly 200000 bytes", picture=h.padded(small, 200000)),
        Row("200001 bytes, padded after its end", exit=0, picture=h.padded(small, 200001),
            bitmap=(640, 480)),
        Row("an HTML page", requests=[META, IMAGE], picture=b"<html><body>" + b"Not a picture. " * 20000),
        # The base URL alone then finds no picture: the earlier bitmap is applied again.
        Row("an empty answer", "/mode/empty", requests=[META, BASE]),
        Row("an empty picture", "/mode/picture-empty", requests=[META, IMAGE]),
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
        # Not even when the first fails: a second live service sees nothing.
        Row("the second base URL is never used", "/mode/404", net="a second service", requests=[META, BASE]),
        # libcurl is loaded only to fetch: where it cannot be, the day fails as without a network.
        Row("libcurl cannot be loaded", net="no libcurl", requests=[], on="linux"),
        # Debian 11's, which names no schemes by text (before 7.85): the bit masks serve.
        Row("libcurl 7.74", net="libcurl 7.74", exit=0, requests=[META, IMAGE], bitmap=(1920, 1080), on="linux"),
        Row("no proxy: the host is not found", over=PROXIED, requests=[], wallpaper="untouched"),
        # The GNOME settings name no proxy where http_proxy is set.
        *[Row(f"the user's proxy: {net}", over=PROXIED, net=net, exit=0, requests=[META, IMAGE], wallpaper="untouched",
              on=936 if net == "Internet settings" else "linux")
          for net in ("Internet settings", "http_proxy", "http_proxy, no desktop", "GNOME settings")],
        # A proxy asking for a password: no dialog, no credentials, a failed day at once.
        *[Row(f"the user's proxy asks for a password: {net}", over=PROXIED, net="password, " + net, requests=[],
              wallpaper="untouched", on=936 if net == "Internet settings" else "linux")
          for net in ("Internet settings", "http_proxy")],
        # A service of an authority the user trusts, by name.
        Row("a day over https", net="https", exit=0, requests=[META, IMAGE], bitmap=(1920, 1080)),
        # The script on a server that never answers: the desktop's resolver
        # would wait 25 s for it on each request.
        Row("a proxy script that never comes is not waited for", over={"设为壁纸": "0"}, net="pac", exit=0,
            requests=[META, IMAGE], wallpaper="untouched", on="linux"),
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


class RunTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.jpeg = h.jpeg()
        h.need_locale(GERMAN["LC_ALL"])

    def check(self, row):
        svc, p = h.earlier_day(self, row.picture or self.jpeg, row.path, row.over)
        kind = "password" if row.net and "password" in row.net else "authority" if row.net == "https" else None
        relay, env = h.Relay(self, svc.port, kind), {}
        gnome = "[org/gnome/desktop/background]\npicture-uri='untouched'\n"
        if row.net == "https":
            p.prefix = h.trust(self, h.test_authority(h._args.build)[0])
            p.write_settings({**h.SETTINGS, "域名": f"https://localhost:{relay.port}"})
        if row.net and row.net.endswith("Internet settings"):  # as Internet Options writes it; the earlier values come back
            names, before = ("ProxyEnable", "ProxyServer"), h.reg_values(h.INTERNET_SETTINGS)
            h.reg_import(h.INTERNET_SETTINGS, dict(zip(names, ("dword:00000001", h.reg_quote(relay.address)))))
        elif row.net and "http_proxy" in row.net:
            env = {"http_proxy": "http://" + relay.address, "XDG_CURRENT_DESKTOP": "GNOME" * ("desktop" not in row.net)}
        elif row.net == "GNOME settings":
            gnome += f"[system/proxy]\nmode='manual'\n[system/proxy/http]\nhost='127.0.0.1'\nport={relay.port}\n"
        elif row.net == "pac":  # on a private session bus the resolver's services start on demand
            gnome += (f"[system/proxy]\nmode='auto'\nautoconfig-url='{svc.base}/mode/hang/proxy.pac'\n"
                      "ignore-hosts=@as []\n")
            daemon = h.needs("dbus-daemon", "dbus-daemon")
            bus = subprocess.Popen([daemon, "--session", "--nofork", "--print-address=1"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            self.addCleanup(lambda: (bus.kill(), bus.wait(), bus.stdout.close()))
            env = {"DBUS_SESSION_BUS_ADDRESS": bus.stdout.readline().strip()}
        elif row.net == "a second service":
            second = h.ImageService(test=self)
            second.put_today(self.jpeg)
            p.write_settings({**h.SETTINGS, "域名": svc.base + row.path, "备用域名": second.base})
        elif row.net and "libcurl" in row.net:  # neither build loads, or Debian 11's (not this system's GnuTLS one)
            (p.tmp / "libcurl-gnutls.so.4").write_bytes(b"")
            if row.net == "no libcurl":
                (p.tmp / "libcurl.so.4").write_bytes(b"")
            else:
                h.library_from(h.debian_root("Debian 11"), "libcurl.so.4", p.tmp)
            env = {"LD_LIBRARY_PATH": str(p.tmp)}
        if row.ini:
            p.ini.write_bytes(row.ini(OTHER.format(base=svc.base)))
        if row.place:
            self.place(p, row.place)
        if "TZ" in row.env:
            self.assertNotEqual(h.today(row.env["TZ"]), datetime.datetime.utcnow().strftime("%Y%m%d"))
        env = {"PAVO_WINE_LOCALE": row.env["LC_ALL"]} if h.windows() and "LC_ALL" in row.env else {**env, **row.env}
        if h.windows():
            h.reg_import(h.WALLPAPER_KEY, {"Wallpaper": '"untouched"'})
        else:
            p.keyfile.parent.mkdir(parents=True)
            p.keyfile.write_text(gnome, encoding="utf-8")
        days = [h.today()]  # of the service
        windows = h.windows_of(p, 15) if kind == "password" and h.windows() else None
        try:
            r = p.run(extra_env=env, code_page=row.on if h.windows() else None)
            days.append(h.today())
        finally:
            if row.net and row.net.endswith("Internet settings"):
                h.reg_import(h.INTERNET_SETTINGS, {n: before.get(n, "-") for n in names})
        h.check_day(self, p, r, row.exit, row.picture or self.jpeg, row.bitmap)
        if row.delay is not None:  # waited, without burning the processor, as long as told (under Wine the
            # start-up goes on during the wait for up to half a second)
            _, plain = h.earlier_day(self, self.jpeg, row.path, {**row.over, "延迟运行": "0"})
            waited = r.seconds - plain.run(extra_env=env).seconds
            self.assertTrue(r.seconds >= row.delay and (waited >= row.delay / 2 or not row.delay) and
                            waited <= row.delay + 1 and r.cpu < 1.5,
                            f"{waited:.2f} s more than without a delay, {r.cpu:.2f} s of CPU")
        if row.wallpaper:
            self.assertEqual(h.wallpaper(p), row.wallpaper == "applied" or "untouched")
        seen = [s for s in svc.requests() if "proxy.pac" not in s.line]
        if kind == "password":  # asked, and not a moment waited
            self.assertTrue(relay.lines and r.seconds < 20, f"{relay.lines} {r.seconds:.1f} s")
        if windows:  # ours, and no other: no dialog, shown or not
            shown = windows()
            self.assertIn(h.CAPTION, [w[2] for w in shown if w[1] == "PavoForm1"], shown)  # the lister sees it
            self.assertEqual([w for w in shown if w[1] != "PavoForm1" and (w[0] == "visible" or w[1] == "#32770")],
                             [], shown)
        if row.net == "pac":
            self.assertTrue(len(seen) < len(svc.requests()) and r.seconds < 15, f"{r.seconds} s")
        if row.requests is not None:
            self.assertIn([s.line for s in seen], [[x.format(path=row.path, today=d) for x in row.requests] for d in days])
        for s in seen:
            # Exactly the two headers on the metadata request, the User-Agent alone on the picture's.
            mine = sorted((k.lower(), v) for k, v in s.headers if k.lower() in ("if-modified-since", "user-agent"))
            self.assertEqual(mine, [("if-modified-since", "0")] * (h.META in s.line) + [("user-agent", h.UA)])
        if row.net == "a second service":
            self.assertEqual(second.requests(), [])
        if row.ini or row.place:  # on Windows read back through the wide registry functions
            entry = p.autostart_entry()
            if h.windows():
                self.assertEqual(entry, h.reg_quote(h.windows_path(p.exe)))
            else:
                self.assertEqual(shlex.split(entry.split("\nExec=")[1].split("\n")[0])[0], str(p.exe))

    def place(self, p, place):  # the log-on entry names the program where it was
        p.plant_autostart(h.windows_path(p.exe))
        if place == "P:":
            p.move_to(p.tmp / "drive")
            h.map_drive(self, place, p.dir)
            return
        if (p.tmp / place).parent != p.dir:
            p.move_to((p.tmp / place).parent)
        p.exe = p.exe.rename(p.dir / (p.tmp / place).name)

    def test_what_the_day_leaves(self):
        mine = [r for r in rows(h.jpeg(640, 480, 3)) if r.on is None or (r.on == "linux") != h.windows()]
        if h.windows():
            self.addCleanup(h.set_autostart)
        h.table(self, mine, self.check, workers=1 if h.windows() else 4)

    def test_the_metadata_is_never_taken_from_a_cache(self):
        # The service allows its answers to be kept for a day; the next day names another picture.
        svc, p = h.earlier_day(self, self.jpeg)
        h.check_day(self, p, p.run(), 0, self.jpeg, (1920, 1080))
        p.today_file.unlink()
        (svc.folder / (h.today() + ".jpg")).unlink()
        (svc.folder / "second.jpg").write_bytes(second := h.padded(h.jpeg(640, 480, 3)))
        h.check_day(self, p, p.run(), 0, second, (640, 480))
        self.assertEqual([s.line for s in svc.requests()][2:], [META.format(path=""), "GET /images/second.jpg HTTP/1.1"])

    def test_a_first_start_writes_the_default_settings(self):
        # On a full disk none (a partial file would stay for ever), and the next start writes them whole.
        # Where the program's folder cannot be known (a root without /proc), nothing is written anywhere.
        rows = [("as the system writes", None, False), ("on a full disk", None, "mount")] + \
            [("on a full disk, by a file size limit", None, "limit")] * (not h.windows()) + \
            [("outside GBK: in UTF-16, as Notepad reads it", 1252, False)] * h.windows() + \
            [("no executable directory", None, "no /proc")] * (not h.windows())

        def check(row):
            _, code_page, where = row
            p = h.ProgramDir(self)
            if where == "no /proc":
                root, cmd = h.without_proc(self, p)
                before = sorted(os.listdir(root))
                r = p.run(cmd=cmd)
                # (What it prints is not compared: a sanitizer build warns where /proc is missing.)
                self.assertEqual((r.returncode, sorted(os.listdir(root)), os.listdir(p.dir)),
                                 (1, before, [p.exe.name]))
                return
            if where:
                disk = h.small_disk(self, p, 1 << 20) if where == "mount" else setattr(p, "file_limit", 100)
                self.assertEqual((p.run().returncode, p.ini.exists(), p.pending_files()), (1, False, []))
                p.file_limit = disk and (disk / "filler").unlink()
            # An entry left by an earlier copy goes: the first-run default is "0".
            p.plant_autostart("C:\\else\\pavo.exe" if h.windows() else "/else/pavo")
            r = p.run(code_page=code_page)
            written = h.default_settings().encode({1252: "utf-16", None: "gbk" if h.windows() else "utf-8"}[code_page])
            self.assertEqual((r.returncode, r.output, p.ini.read_bytes(), p.autostart_entry(), p.pending_files(),
                              p.img.is_dir()), (1, b"", written, None, [], True))
        if h.windows():
            self.addCleanup(h.set_autostart)
        h.table(self, rows, check, workers=1 if h.windows() else 4)

    def test_the_autostart_entry_follows_the_setting_and_a_done_day_sends_nothing(self):
        # From a folder whose name needs quoting (Wine command lines mangle
        # non-ASCII text, so the Windows name keeps to spaces and brackets).
        svc, p = h.earlier_day(self, self.jpeg)
        p.move_to(p.tmp / ("My Apps (x86) & more" if h.windows() else "Pavo 壁纸 $HOME 'a' \"b\" (c)"))
        p.today_file.write_bytes(self.jpeg)
        if h.windows():
            h.set_autostart()
            self.addCleanup(h.set_autostart)

        def done_day(autostart):  # at once: neither the delay of 30 s nor a request
            p.write_settings({"开机自启动": autostart, "设为壁纸": "0", "延迟运行": "30", "域名": svc.base})
            self.assertEqual(p.run(timeout=20).returncode, 0)
            self.assertEqual(svc.requests(), [])
        done_day("1")
        entry = p.autostart_entry()
        if h.windows():  # (each value type's reading and the decision: the unit tables)
            self.assertEqual(entry, h.reg_quote(h.windows_path(p.exe)), "the bare path, no quotation marks")
            done_day("0")
            self.assertIsNone(p.autostart_entry())
            return
        # A second start with the entry in line leaves it alone.
        first = p.autostart_file.stat()
        done_day("1")
        self.assertEqual(p.autostart_file.stat().st_mtime_ns, first.st_mtime_ns)
        # Started through the entry by GLib's launcher, the program finds "0"
        # in its settings and removes the entry: Exec named exactly this program.
        p.write_settings({"开机自启动": "0", "设为壁纸": "0", "延迟运行": "0"})
        gio = h.needs("gio", "libglib2.0-bin")
        subprocess.run([gio, "launch", str(p.autostart_file)], env=p.env(), timeout=30, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertTrue(h.wait_until(lambda: p.autostart_entry() is None, 30), "the launched program kept its entry")
        self.assertTrue(p.autostart_file.parent.is_dir(), "only the entry goes")


if __name__ == "__main__":
    h.main()
