"""The daily run on a network reached only through a proxy: the base URL names
a host that does not resolve, so only requests sent through the proxy the
user has set reach the local image service. On Windows the proxy is set in
the user's Internet settings; on Linux in the environment or only in the
GNOME desktop's settings."""
import contextlib
import os
import resource
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

import harness as h
from forward_proxy import ForwardProxy

META = "/HPImageArchive.aspx?format=js&idx=0&n=1"
BASE = "http://img.test"
INTERNET_SETTINGS = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "no_proxy",
                   "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY")


def _reg(*args):
    h._wine("reg", *args)


@contextlib.contextmanager
def windows_user_proxy(address):
    """The proxy in the current user's Internet settings, as Internet Options
    writes it; the earlier values come back afterwards, also on failure."""
    before = h.reg_values(INTERNET_SETTINGS)
    try:
        _reg("add", INTERNET_SETTINGS, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1", "/f")
        _reg("add", INTERNET_SETTINGS, "/v", "ProxyServer", "/t", "REG_SZ", "/d", address, "/f")
        yield
    finally:
        for name in ("ProxyEnable", "ProxyServer"):
            old = before.get(name)
            if old is None:
                _reg("delete", INTERNET_SETTINGS, "/v", name, "/f")
            elif old[0] == "dword":
                _reg("add", INTERNET_SETTINGS, "/v", name, "/t", "REG_DWORD", "/d", old[1], "/f")
            else:
                _reg("add", INTERNET_SETTINGS, "/v", name, "/t", "REG_SZ", "/d", old[1], "/f")
        after = h.reg_values(INTERNET_SETTINGS)
        assert all(after.get(n) == before.get(n) for n in ("ProxyEnable", "ProxyServer")), after


def gnome_proxy_settings(program_dir, address):
    """A manual HTTP proxy in the GNOME settings of the run's home (the key
    file the harness's GNOME desktop reads)."""
    host, port = address.split(":")
    f = program_dir.home / ".config" / "glib-2.0" / "settings" / "keyfile"
    f.parent.mkdir(parents=True, exist_ok=True)
    text = f.read_text(encoding="utf-8") if f.exists() else ""
    text += f"\n[system/proxy]\nmode='manual'\n\n[system/proxy/http]\nhost='{host}'\nport={port}\n"
    f.write_text(text, encoding="utf-8")


@contextlib.contextmanager
def session_bus():
    """A private D-Bus session bus (on it the desktop's services start on
    demand, among them the one that runs proxy configuration scripts); its
    address, for the run's environment."""
    tmp = Path(tempfile.mkdtemp(prefix="pavo-bus-"))
    out = tmp / "out"
    # The address and the process id, a line each, go to a file: the daemon
    # keeps its output open.
    with open(out, "wb") as o:
        subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
                       stdin=subprocess.DEVNULL, stdout=o, check=True, timeout=10)
    address, pid = out.read_text().split()[:2]
    try:
        yield address
    finally:
        os.kill(int(pid), signal.SIGTERM)
        shutil.rmtree(tmp, ignore_errors=True)


def without_default_port(line):
    """A request line in absolute form, its URL written without ":80" (some
    clients name the default port, some do not)."""
    method, url, version = line.split(" ")
    return " ".join((method, url.replace("http://img.test:80/", "http://img.test/", 1), version))


def children_cpu():
    u = resource.getrusage(resource.RUSAGE_CHILDREN)
    return u.ru_utime + u.ru_stime


class ProxyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.jpeg = h.sample_jpeg().read_bytes()

    def setUp(self):
        # Whatever proxy the machine running the tests has is no part of them.
        self.saved_env = {k: os.environ.pop(k) for k in PROXY_VARIABLES if k in os.environ}
        self.svc = h.ImageService()
        self.svc.put_today(self.jpeg)
        self.p = h.ProgramDir()

    def tearDown(self):
        self.svc.stop()
        self.p.cleanup()
        os.environ.update(self.saved_env)

    def settings(self, base):
        self.p.write_settings({"开机自启动": "0", "设为壁纸": "0", "延迟运行": "0", "域名": base, "备用域名": "x"})

    def timed_run(self, **kw):
        cpu0 = children_cpu()
        r = self.p.run(**kw)
        return r, children_cpu() - cpu0

    def proxy_cases(self, address):
        """(what, how the proxy is set for one run) for this platform."""
        if h.windows():
            return [("the user's Internet settings", lambda: windows_user_proxy(address), {})]

        def gnome():
            gnome_proxy_settings(self.p, address)
            return contextlib.nullcontext()
        env = {"http_proxy": "http://" + address}
        return [
            ("http_proxy, the GNOME settings name none", contextlib.nullcontext, env),
            ("http_proxy, no desktop", contextlib.nullcontext, dict(env, XDG_CURRENT_DESKTOP="")),
            ("the GNOME settings only", gnome, {}),
        ]

    def test_both_requests_take_the_users_proxy(self):
        # A direct run first, for the cost of the proxy.
        self.settings(self.svc.base)
        direct, direct_cpu = self.timed_run()
        self.assertEqual(direct.returncode, 0)
        print(f"\ndirect run: {direct.seconds:.2f} s, {direct_cpu:.3f} s CPU")

        proxy = ForwardProxy(self.svc.port)
        try:
            for what, setting, env in self.proxy_cases(proxy.address):
                with self.subTest(what):
                    self.p.today_file.unlink(missing_ok=True)
                    self.settings(BASE)
                    before = len(proxy.requests())
                    with setting():
                        r, cpu = self.timed_run(extra_env=env)
                    seen = [without_default_port(line) for line in proxy.requests()[before:]]
                    print(f"{what}: {r.seconds:.2f} s, {cpu:.3f} s CPU, through the proxy: {seen}")
                    self.assertEqual(seen, [f"GET {BASE}{META} HTTP/1.1",
                                            f"GET {BASE}/images/{h.today()}.jpg HTTP/1.1"])
                    self.assertEqual(r.returncode, 0)
                    self.assertEqual(self.p.today_file.read_bytes(), self.jpeg)
        finally:
            proxy.stop()

        # Without the proxy the host is not found: nothing is kept.
        self.p.today_file.unlink(missing_ok=True)
        r = self.p.run()
        self.assertEqual(r.returncode, 1)
        self.assertFalse(self.p.today_file.exists())

    def test_a_resolver_that_does_not_answer_in_time_is_not_waited_for(self):
        if h.windows():
            self.skipTest("the desktop's proxy resolver is Linux's")
        # GNOME's automatic configuration, its script on a server that never
        # answers: the desktop's resolver would wait 25 s for it on each
        # request. The run goes direct instead, to the service on loopback.
        pac = ForwardProxy(silent=True)
        f = self.p.home / ".config" / "glib-2.0" / "settings" / "keyfile"
        f.parent.mkdir(parents=True, exist_ok=True)
        f.write_text(f"[system/proxy]\nmode='auto'\nautoconfig-url='http://{pac.address}/proxy.pac'\n"
                     "ignore-hosts=@as []\n", encoding="utf-8")
        self.settings(self.svc.base)
        try:
            with session_bus() as bus:
                r = self.p.run(extra_env={"DBUS_SESSION_BUS_ADDRESS": bus})
        finally:
            pac.stop()
        print(f"\nresolver without an answer: exit {r.returncode} after {r.seconds:.2f} s")
        self.assertGreaterEqual(pac.accepted, 1, "the resolver asked for the script")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.p.today_file.read_bytes(), self.jpeg)
        self.assertLess(r.seconds, 15)

    def test_a_proxy_that_does_not_answer_ends_the_run_within_its_limits(self):
        proxy = ForwardProxy(silent=True)
        try:
            what, setting, env = self.proxy_cases(proxy.address)[-1]
            self.settings(BASE)
            with setting():
                t0 = time.monotonic()
                r = self.p.run(timeout=120, extra_env=env)
                wall = time.monotonic() - t0
            print(f"\nsilent proxy ({what}): exit {r.returncode} after {wall:.2f} s")
        finally:
            proxy.stop()
        self.assertEqual(r.returncode, 1)
        self.assertFalse(self.p.today_file.exists())
        self.assertEqual(sorted(os.listdir(self.p.img)), [])
        self.assertGreaterEqual(proxy.accepted, 2, "both requests went to the proxy")
        # The metadata wait gives up after a little over 10 s, the download
        # of the base URL after 30 s without progress.
        self.assertGreater(r.seconds, 40)
        self.assertLess(r.seconds, 50)
        self.assertEqual(r.stdout + r.stderr, b"")


if __name__ == "__main__":
    h.main()
