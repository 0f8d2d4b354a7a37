"""The daily run on a network reached only through the proxy the user has set
(on Windows in the Internet settings; on Linux in the environment or only in
GNOME's settings): the base URL's host does not resolve, so only requests
through the proxy, a relay in front of the image service, arrive."""
import os
import signal
import subprocess
import tempfile
import unittest

import harness as h

BASE = "http://img.test"
INTERNET_SETTINGS = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings"


class ProxyTest(unittest.TestCase):
    def setUp(self):
        # Whatever proxy the machine running the tests has is no part of them.
        for k in [k for k in os.environ if k.lower() in ("http_proxy", "https_proxy", "all_proxy", "no_proxy")]:
            self.addCleanup(os.environ.__setitem__, k, os.environ.pop(k))

    def session_bus(self):
        """A private session bus, on which the desktop's services (the one that
        runs proxy scripts among them) start on demand."""
        with tempfile.TemporaryFile() as out:
            subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
                           stdin=subprocess.DEVNULL, stdout=out, check=True, timeout=10)
            out.seek(0)
            address, pid = out.read().decode().split()[:2]
        self.addCleanup(os.kill, int(pid), signal.SIGTERM)
        return {"DBUS_SESSION_BUS_ADDRESS": address}

    def check(self, row):
        _, how = row
        jpeg = h.jpeg()
        svc, p = h.earlier_day(self, jpeg, over={"设为壁纸": "0", "域名": "{base}" if how == "pac" else BASE})
        relay = h.Relay(svc.port)
        self.addCleanup(relay.stop)
        env = {}
        if how == "windows":
            # As Internet Options writes it; the earlier values come back.
            names, before = ("ProxyEnable", "ProxyServer"), h.reg_values(INTERNET_SETTINGS)
            self.addCleanup(h.reg_import, INTERNET_SETTINGS, {n: before.get(n, "-") for n in names})
            h.reg_import(INTERNET_SETTINGS, dict(zip(names, ("dword:00000001", h.reg_quote(relay.address)))))
        elif how in ("gnome", "pac"):
            # The script on a server that never answers: the desktop's
            # resolver would wait 25 s for it on each request.
            p.write_gnome_settings("[system/proxy]\n" + (
                f"mode='manual'\n[system/proxy/http]\nhost='127.0.0.1'\nport={relay.port}\n" if how == "gnome" else
                f"mode='auto'\nautoconfig-url='{svc.base}/mode/hang/proxy.pac'\nignore-hosts=@as []\n"))
            env = self.session_bus() if how == "pac" else env
        elif how:
            env = {"http_proxy": "http://" + relay.address, **({"XDG_CURRENT_DESKTOP": ""} if how == "bare" else {})}
        r = p.run(extra_env=env)
        if how == "pac":
            self.assertTrue(svc.requests("proxy.pac"), "the resolver asked for the script")
            self.assertLess(r.seconds, 15)
        elif how:
            self.assertEqual([line.replace("img.test:80/", "img.test/") for line in relay.lines],
                             [f"GET {BASE}{h.META} HTTP/1.1", f"GET {BASE}/images/{h.today()}.jpg HTTP/1.1"])
        h.check_day(self, p, r, 0 if how else 1, jpeg)

    def test_both_requests_take_the_users_proxy(self):
        rows = [("no proxy: the host is not found", None)] + (
            [("the user's Internet settings", "windows")] if h.windows() else
            [("http_proxy, the GNOME settings name none", "env"), ("http_proxy, no desktop", "bare"),
             ("the GNOME settings only", "gnome"), ("a proxy script that never comes is not waited for", "pac")])
        h.table(self, rows, self.check, workers=1 if h.windows() else 6)


if __name__ == "__main__":
    h.main()
