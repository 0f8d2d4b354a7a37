"""The daily run on a network reached only through the proxy the user has set:
the base URL names a host that does not resolve, so only requests sent
through the proxy (a relay in front of the local image service) arrive. On
Windows the proxy is set in the user's Internet settings; on Linux in the
environment or only in the GNOME desktop's settings."""
import contextlib
import os
import signal
import subprocess
import tempfile
import unittest

import harness as h

BASE = "http://img.test"
INTERNET_SETTINGS = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings"


@contextlib.contextmanager
def windows_user_proxy(address):
    """The proxy as Internet Options writes it; the earlier values come back."""
    before = h.reg_values(INTERNET_SETTINGS)
    reg = lambda name, kind, value: h.wine("reg", "add", INTERNET_SETTINGS, "/v", name, "/t", kind, "/d", value, "/f")
    try:
        reg("ProxyEnable", "REG_DWORD", "1")
        reg("ProxyServer", "REG_SZ", address)
        yield {}
    finally:
        for name, kind in (("ProxyEnable", "REG_DWORD"), ("ProxyServer", "REG_SZ")):
            old = before.get(name)
            reg(name, kind, old[1]) if old else h.wine("reg", "delete", INTERNET_SETTINGS, "/v", name, "/f")


@contextlib.contextmanager
def session_bus():
    """A private D-Bus session bus, on which the desktop's services (among
    them the one that runs proxy configuration scripts) start on demand."""
    with tempfile.TemporaryFile() as out:
        subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
                       stdin=subprocess.DEVNULL, stdout=out, check=True, timeout=10)
        out.seek(0)
        address, pid = out.read().decode().split()[:2]
    try:
        yield {"DBUS_SESSION_BUS_ADDRESS": address}
    finally:
        os.kill(int(pid), signal.SIGTERM)


def gnome_proxy(p, text):
    f = p.home / ".config" / "glib-2.0" / "settings" / "keyfile"
    f.parent.mkdir(parents=True, exist_ok=True)
    f.write_text("[system/proxy]\n" + text, encoding="utf-8")


class ProxyTest(unittest.TestCase):
    def setUp(self):
        # Whatever proxy the machine running the tests has is no part of them.
        for k in [k for k in os.environ if k.lower() in ("http_proxy", "https_proxy", "all_proxy", "no_proxy")]:
            self.addCleanup(os.environ.__setitem__, k, os.environ.pop(k))

    def check(self, row):
        what, how, kind = row
        svc, p = h.ImageService(), h.ProgramDir()
        self.addCleanup(svc.stop)
        self.addCleanup(p.cleanup)
        jpeg = h.jpeg()
        svc.put_today(jpeg)
        relay = h.Relay(svc.port, silent=kind in ("silent", "pac"))
        self.addCleanup(relay.stop)
        p.write_settings({"开机自启动": "0", "设为壁纸": "0", "延迟运行": "0",
                          "域名": svc.base if kind == "pac" else BASE, "备用域名": "x"})
        env, setting = {}, contextlib.nullcontext({})
        if how == "windows":
            setting = windows_user_proxy(relay.address)
        elif how == "gnome":
            gnome_proxy(p, f"mode='manual'\n[system/proxy/http]\nhost='127.0.0.1'\nport={relay.port}\n")
        elif how == "pac":
            # The script on a server that never answers: the desktop's
            # resolver would wait 25 s for it on each request.
            gnome_proxy(p, f"mode='auto'\nautoconfig-url='http://{relay.address}/proxy.pac'\nignore-hosts=@as []\n")
            setting = session_bus()
        elif how:
            env = {"http_proxy": "http://" + relay.address, **({"XDG_CURRENT_DESKTOP": ""} if how == "bare" else {})}
        with setting as bus:
            r = p.run(extra_env={**env, **bus})
        self.assertEqual(r.output, b"")
        seen = [line.replace("img.test:80/", "img.test/") for line in relay.lines]
        if kind == "answers":
            self.assertEqual(seen, [f"GET {BASE}{h.META} HTTP/1.1", f"GET {BASE}/images/{h.today()}.jpg HTTP/1.1"])
        elif kind == "silent":
            # Both requests went to the proxy; the metadata wait gave up after
            # a little over 10 s, the download after 30 s without progress.
            self.assertGreaterEqual(relay.accepted, 2)
            self.assertTrue(40 < r.seconds < 50, r.seconds)
        elif kind == "pac":
            self.assertGreaterEqual(relay.accepted, 1, "the resolver asked for the script")
            self.assertLess(r.seconds, 15)
        self.assertEqual(r.returncode, 0 if kind in ("answers", "pac") else 1)
        self.assertEqual(p.today_file.is_file() and p.today_file.read_bytes(), r.returncode == 0 and jpeg)
        self.assertEqual(p.pending_files(), [])

    def test_both_requests_take_the_users_proxy(self):
        rows = [("no proxy: the host is not found", None, "none")]
        if h.windows():
            rows += [("the user's Internet settings", "windows", "answers")]
        else:
            rows += [("http_proxy, the GNOME settings name none", "env", "answers"),
                     ("http_proxy, no desktop", "bare", "answers"),
                     ("the GNOME settings only", "gnome", "answers"),
                     ("a silent proxy in the GNOME settings", "gnome", "silent"),
                     ("a proxy script that never comes is not waited for", "pac", "pac")]
        h.table(self, rows, self.check, workers=1 if h.windows() else 6)


if __name__ == "__main__":
    h.main()
