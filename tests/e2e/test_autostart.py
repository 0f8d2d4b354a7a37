"""The autostart entry as the built program leaves it, from a program
directory whose path needs quoting, and (on Linux) started through the entry
by a real desktop-entry launcher."""
import os
import shutil
import subprocess
import time
import unittest

import harness as h


def tricky_dir_name():
    # Quotes, a dollar sign and Chinese on Linux; Wine command lines mangle
    # non-ASCII text, so the Windows name keeps to spaces and brackets.
    return "Pavo 壁纸 $HOME 'a' \"b\" (c)" if not h.windows() else "My Apps (x86) & more"


class AutostartEndToEnd(unittest.TestCase):
    def setUp(self):
        self.p = h.ProgramDir()
        # Move the program into a directory whose name needs quoting.
        tricky = self.p.tmp / tricky_dir_name()
        self.p.dir.rename(tricky)
        self.p.dir = tricky
        self.p.exe = tricky / self.p.exe.name
        if h.windows():
            h.set_autostart(None)

    def tearDown(self):
        if h.windows():
            h.set_autostart(None)
        self.p.cleanup()

    def start_on_a_done_day(self, setting):
        """One start that ends at the daily guard, with the given setting."""
        self.p.write_settings({"开机自启动": setting, "设为壁纸": "0", "延迟运行": "0"})
        self.p.img.mkdir(exist_ok=True)
        self.p.today_file.write_bytes(b"\xff\xd8\xff" + b"x" * 300000)
        r = self.p.run(timeout=60)
        self.assertEqual(r.returncode, 0)

    def test_linux_entry_starts_the_program_through_a_real_launcher(self):
        if h.windows():
            self.skipTest("the registry case is below")
        launcher = shutil.which("gio")
        if launcher is None:
            self.skipTest("gio (libglib2.0-bin) is not installed")
        entry = self.p.autostart_file()
        self.start_on_a_done_day("1")
        self.assertTrue(entry.is_file())
        first = entry.stat()

        # A second start with the entry in line leaves it alone.
        self.start_on_a_done_day("1")
        self.assertEqual(entry.stat().st_ino, first.st_ino)
        self.assertEqual(entry.stat().st_mtime_ns, first.st_mtime_ns)

        # Started through the entry by GLib's launcher, the program finds
        # "0" in its settings and removes the entry: proof that Exec named
        # exactly this program.
        self.p.write_settings({"开机自启动": "0", "设为壁纸": "0", "延迟运行": "0"})
        env = self.p.env()
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        subprocess.run([launcher, "launch", str(entry)], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30, check=True)
        deadline = time.monotonic() + 30
        while entry.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertFalse(entry.exists(), "the launched program did not remove its entry")
        self.assertTrue(entry.parent.is_dir(), "only the entry goes")

    def test_windows_entry_is_the_bare_path_and_odd_values_follow_the_table(self):
        if not h.windows():
            self.skipTest("the XDG case is above")
        want = h._to_windows_path(self.p.exe)
        self.start_on_a_done_day("1")
        self.assertEqual(h.autostart_entry(), ("sz", want), "bare path, no quotation marks")

        # A number reads as its decimal text: not "", so "0" removes it.
        h.set_autostart(("dword", 1))
        self.start_on_a_done_day("0")
        self.assertIsNone(h.autostart_entry())

        # Raw bytes cannot be read as text: "0" leaves them, "1" replaces them.
        h.set_autostart(("hex", "01,02,03"))
        self.start_on_a_done_day("0")
        self.assertEqual(h.autostart_entry(), ("hex", "01,02,03"))
        self.start_on_a_done_day("1")
        self.assertEqual(h.autostart_entry(), ("sz", want))


if __name__ == "__main__":
    h.main()
