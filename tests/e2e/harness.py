"""The tables of the end-to-end tests: one row type for every case of a day's run, its check, and the test class
the tables run in. `harness.py serve --build DIR -- COMMAND...` runs COMMAND beside the image service (port in
./service/port)."""
import argparse
import collections
import concurrent.futures
import contextlib
import ctypes
import os
import shlex
import subprocess
import sys
import threading
import unittest

import wine
from pictures import EARLIER, bmp_size, check_pixels, jpeg
from program import AUTOSTART_NAME, SETTINGS, Config, ProgramDir, needs, today
from service import ImageService, Relay, trust

META = "/HPImageArchive.aspx?format=js&idx=0&n=1"
UA = "Mozilla/5.0 (Windows NT 6.1; WOW64; Trident/7.0; rv:11.0) like Gecko"
# From another system: the flag, the delay and the base URL are read, and the autostart entry is made.
OTHER = "[Config]\r\n开机自启动=1\r\n设为壁纸=1\r\n延迟运行=0\r\n域名={base}\r\n备用域名=x\r\n"
# path: after the service's address in 域名; over: settings that differ (None leaves a key out; "{base}", "{port}",
# "{relay}", "{second}" name the services); requests: the request lines the service sees, in order, or how many;
# bitmap: as check_day takes it; wallpaper: "applied" (the stored choice names the bitmap: a day that stored no file
# applies the earlier one) or "untouched"; net: how the service is reached, where not directly; ini: makes the
# settings file's bytes of OTHER; on: "linux", "win32", or Windows in a code page; env: the user's locale (LC_ALL) or
# time zone (TZ); delay: the seconds waited, against a run without a delay; place: where the program is ("P:" a
# drive's root), its log-on entry made where it named the program at its earlier place; seconds: the bounds of the
# run; cpu: the most CPU seconds it takes; arrange(test, p, svc): what else differs before the run (it may return
# another copy at work); sent: what the service may have sent of an endless answer when its connection ends.
Row = collections.namedtuple("Row", "what path over exit requests picture bitmap wallpaper net ini on env delay place "
                             "seconds cpu arrange sent", defaults=("", {}, 1, None, None, EARLIER) + (None,) * 4
                             + ({}, None, None, (0, 30)) + (None,) * 3)
META_LINE, IMAGE_LINE, BASE_LINE = f"GET {{path}}{META} HTTP/1.1", "GET {path}/images/{day}.jpg HTTP/1.1", \
    "GET {path} HTTP/1.1"


def check_day(test, p, r, exit, served, bitmap=EARLIER):
    """What a day's run r must leave: its exit status and no output; today's image, the picture served, exactly when it
    succeeded; the settings as they were; the bitmap (bytes, the size of the picture served as the decoder gives it,
    "dir" or None for any) whole; and no pending file."""
    test.assertEqual((r.returncode, r.output), (exit, b""))
    test.assertEqual(r.image.is_file() and r.image.read_bytes(), exit == 0 and served)
    test.assertEqual(p.ini.read_bytes() if p.ini.is_file() else None, r.settings, "the settings changed")
    if p.bitmap.is_file():
        bmp_size(p.bitmap.read_bytes())
    if bitmap == "dir":
        test.assertTrue(p.bitmap.is_dir())
    elif isinstance(bitmap, bytes):
        test.assertEqual(p.bitmap.read_bytes(), bitmap, "the earlier bitmap changed")
    elif bitmap:
        test.assertEqual(bmp_size(p.bitmap.read_bytes()), bitmap)
        check_pixels(test, p.bitmap.read_bytes(), served)
    test.assertEqual(p.pending_files(), [])


def name_watch(directory):
    """The names that appear in a directory (created or renamed into it) until the function returned is called: the
    events' bytes, each name ending in a zero."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK)
    if fd < 0 or libc.inotify_add_watch(fd, str(directory).encode(), 0x100 | 0x80) < 0:
        raise OSError(ctypes.get_errno(), "inotify")

    def stop(data=b""):
        with contextlib.suppress(BlockingIOError):
            while chunk := os.read(fd, 65536):
                data += chunk
        os.close(fd)
        return data
    return stop


class Table(unittest.TestCase):
    """A table's tests, given their Config by main(). Under Wine the rows that read or change a value of the
    prefix's registry (the wallpaper, the log-on entry, the proxy) run the program one at a time."""
    cfg, registry = None, threading.Lock()

    @classmethod
    def setUpClass(cls):
        cls.jpeg = jpeg()
        if cls.cfg.windows:  # a table killed in a row may have left the shared prefix with the user's proxy set
            wine.reg_import(clean := {**wine.NO_PROXY, wine.RUN_KEY: {AUTOSTART_NAME: "-"}})
            cls.addClassCleanup(wine.reg_import, clean)  # and the log-on entry rows and tests leave

    def earlier_day(self, picture, path="", over=None, urls=None):
        """A program folder that has run on an earlier day, its settings (SETTINGS and over: "{base}", "{port}" and
        urls name the services) pointing at path on a service of its own."""
        svc, p = ImageService(self.cfg.build, self), ProgramDir(self, self.cfg)
        svc.put_today(picture)
        p.img.mkdir()
        p.bitmap.write_bytes(EARLIER)
        values = {**SETTINGS, "域名": "{base}" + path, **(over or {})}
        urls = dict(base=svc.base, port=svc.port, **(urls or {}))
        p.write_settings({k: v and v.format(**urls) for k, v in values.items()})
        return svc, p

    def table(self, rows, check=None, workers=4):
        """check(row) (self.day by default) for this platform's rows, each a subtest, up to workers at once."""
        if self.cfg.windows:  # the wallpaper a row leaves untouched
            wine.reg_import({wine.WALLPAPER_KEY: {"Wallpaper": '"untouched"'}})
        self.wallpaper = "untouched"
        mine = [r for r in rows if (on := getattr(r, "on", None)) in (None, self.cfg.platform) or
                isinstance(on, int) and self.cfg.windows]
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            for row, done in [(row, pool.submit(check or self.day, row)) for row in mine]:
                with self.subTest(row[0]):
                    done.result()

    def day(self, row):
        """One row: a folder that ran on an earlier day, the row's differences, one run and what it leaves."""
        cfg, net, served, env = self.cfg, row.net or "", row.picture or self.jpeg, {}
        gnome = "[org/gnome/desktop/background]\npicture-uri='untouched'\n"
        relay = Relay(self, kind=next((k for k in ("password", "https", "SOCKS") if k in net), None))
        second = ImageService(cfg.build, self) if net == "a second service" else None  # never to be asked
        svc, p = self.earlier_day(served, row.path, row.over, dict(relay=relay.port, second=second and second.base))
        relay.upstream_port = svc.port
        proxy = cfg.windows and net.endswith("Internet settings")  # as Internet Options writes it; cleared after
        if net == "https":  # of an authority the user trusts
            p.prefix = trust(self, cfg.windows)
        elif "http_proxy" in net:
            env = {"http_proxy": "http://" + relay.address, "XDG_CURRENT_DESKTOP": "GNOME" * ("desktop" not in net)}
        elif net.startswith("GNOME settings"):
            kind = "socks" if relay.socks else "http"
            gnome += f"[system/proxy]\nmode='manual'\n[system/proxy/{kind}]\nhost='127.0.0.1'\nport={relay.port}\n"
        elif net == "pac":  # on a private session bus the resolver's services start on demand
            gnome += (f"[system/proxy]\nmode='auto'\nautoconfig-url='{svc.base}/mode/hang/proxy.pac'\n"
                      "ignore-hosts=@as []\n")
            bus = subprocess.Popen([needs("dbus-daemon", "dbus-daemon"), "--session", "--nofork", "--print-address=1"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            self.addCleanup(lambda: (bus.kill(), bus.wait(), bus.stdout.close()))
            env = {"DBUS_SESSION_BUS_ADDRESS": bus.stdout.readline().strip()}
        elif net == "no libcurl":  # neither build loads
            for name in ("libcurl.so.4", "libcurl-gnutls.so.4"):
                (p.tmp / name).write_bytes(b"")
            env = {"LD_LIBRARY_PATH": str(p.tmp)}
        elif second:
            second.put_today(self.jpeg)
        if row.ini:
            p.ini.write_bytes(row.ini(OTHER.format(base=svc.base)))
        earlier = p.path()  # where the log-on entry of a moved program names it
        if row.place == "P:":  # a drive of the prefix whose root is the program's folder, until the test's end
            p.move_to(p.tmp / "drive")
            (link := wine.PREFIX / "dosdevices" / "p:").unlink(missing_ok=True)
            link.symlink_to(p.dir)
            self.addCleanup(link.unlink, missing_ok=True)
            p.drive = row.place
        elif row.place:
            if (p.tmp / row.place).parent != p.dir:
                p.move_to((p.tmp / row.place).parent)
            p.exe = p.exe.rename(p.dir / (p.tmp / row.place).name)
        if "TZ" in row.env:
            self.assertNotEqual(today(row.env["TZ"]), today("UTC"))
        env = {"PAVO_WINE_LOCALE": row.env["LC_ALL"]} if cfg.windows and "LC_ALL" in row.env else {**env, **row.env}
        p.keyfile.parent.mkdir(parents=True)
        p.keyfile.write_text(gnome, encoding="utf-8")
        arranged = row.arrange(self, p, svc) if row.arrange else None
        watch = name_watch(p.img) if p.img.is_dir() else bytes
        shared = cfg.windows and (row.wallpaper or row.ini or row.place or proxy)
        with self.registry if shared else contextlib.nullcontext():
            if row.place:
                p.plant_autostart(earlier)
            if proxy:
                wine.reg_import({wine.INTERNET_SETTINGS: {"ProxyEnable": "dword:00000001",
                                                          "ProxyServer": wine.quote(relay.address)}})
            try:
                r = p.run(row.seconds[1] + 30, env, row.on if isinstance(row.on, int) else None)
                # The same without a delay: waited, without burning the processor, as long as told (under Wine the
                # start-up goes on during the wait for up to half a second).
                plain = row.delay is not None and self.earlier_day(self.jpeg, row.path, {**row.over, "延迟运行": "0"})
                waited = plain and r.seconds - plain[1].run(extra_env=env).seconds
                desktop = p.desktop() if row.wallpaper or row.ini or row.place else None
            finally:
                if proxy:
                    wine.reg_import(wine.NO_PROXY)
            before, self.wallpaper = self.wallpaper, desktop.wallpaper if shared and desktop else self.wallpaper
        if isinstance(arranged, subprocess.Popen):  # the other copy
            self.assertEqual(arranged.wait(60), 0)
        names = watch()
        if row.exit:  # not even for a moment
            self.assertNotIn(r.image.name.encode() + b"\0", names)
        check_day(self, p, r, row.exit, served, row.bitmap)
        self.assertTrue(row.seconds[0] <= r.seconds <= row.seconds[1], f"{r.seconds:.1f} s")
        if row.cpu:
            self.assertLess(r.cpu, row.cpu, f"{r.cpu:.2f} s of CPU in {r.seconds:.1f} s")
        if plain:
            self.assertTrue(r.seconds >= row.delay and (waited >= row.delay / 2 or not row.delay) and
                            waited <= row.delay + 1, f"{waited:.2f} s more than without a delay")
        if row.wallpaper == "applied":
            self.assertTrue(desktop.applied, desktop.wallpaper)
        elif row.wallpaper:  # under Wine, the choice the last row left
            self.assertEqual(desktop.wallpaper, before if cfg.windows else "untouched")
        if relay.socks:  # the name, for the proxy to look up
            self.assertEqual(relay.lines[::2], ["SOCKS img.test"] * 2, relay.lines)
        if "password" in net:  # asked (a dialog would wait for its user past the row's bound)
            self.assertTrue(relay.lines, relay.lines)
        seen = [s for s in svc.requests() if "proxy.pac" not in s.line]
        if net == "pac":
            self.assertLess(len(seen), len(svc.requests()))
        if isinstance(row.requests, list):
            self.assertEqual([s.line for s in seen], [x.format(path=row.path, day=svc.day) for x in row.requests])
            for s in seen:  # exactly the two headers on the metadata request, the User-Agent alone on the picture's
                mine = sorted((k.lower(), v) for k, v in s.headers if k.lower() in ("if-modified-since", "user-agent"))
                self.assertEqual(mine, [("if-modified-since", "0")] * (META in s.line) + [("user-agent", UA)])
        elif row.requests is not None:
            self.assertEqual(len(seen), row.requests, [s.line for s in seen])
        if second:
            self.assertEqual(second.requests(), [])
        if row.ini or row.place:
            if cfg.windows:  # read back through the wide registry functions
                self.assertEqual(desktop.entry, wine.quote(p.path()))
            else:
                self.assertEqual(shlex.split(desktop.entry.split("\nExec=")[1].split("\n")[0])[0], str(p.exe))
        if row.sent is not None:
            self.assertTrue(svc.sent() and all(n <= row.sent for n in svc.sent()), svc.sent(0))


def main():
    ap = argparse.ArgumentParser()
    for option in ("--program", "--platform", "--build"):
        ap.add_argument(option, required=True)
    a, rest = ap.parse_known_args()
    Table.cfg = Config(a.platform, a.build, a.program)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


def serve(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("command", nargs="+")
    a = ap.parse_args(argv)
    svc = ImageService(a.build, directory=os.path.abspath("service"))
    (svc.tmp / "port").write_text(f"{svc.port}\n")
    try:
        return subprocess.run(a.command, stdin=subprocess.DEVNULL).returncode
    finally:
        svc.stop()


if __name__ == "__main__" and sys.argv[1:2] == ["serve"]:
    sys.exit(serve(sys.argv[2:]))
