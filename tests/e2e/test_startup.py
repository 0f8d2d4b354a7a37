"""The start-up: the first run's settings, the autostart entry on every start,
from a program folder whose path needs quoting."""
import subprocess
import time
import unittest

import harness as h


class StartupTest(unittest.TestCase):
    def setUp(self):
        self.p = h.ProgramDir()
        self.addCleanup(self.p.cleanup)
        if h.windows():
            h.set_autostart()
            self.addCleanup(h.set_autostart)

    def first_settings(self, code_page=None):
        # The start is ended once the file is there.
        run = self.p.start(code_page=code_page)
        try:
            return self.p.wait_for("cfg.ini", run).read_bytes()
        finally:
            self.p.kill(run)

    def done_day(self, autostart):
        self.p.write_settings({"开机自启动": autostart, "设为壁纸": "0", "延迟运行": "30"})
        self.p.img.mkdir(exist_ok=True)
        self.p.today_file.write_bytes(b"\xff\xd8\xff" + b"x" * 300000)
        self.assertEqual(self.p.run(timeout=20).returncode, 0)

    def test_first_run_writes_the_default_settings(self):
        # An entry left by an earlier copy goes: the first-run default is "0".
        if h.windows():
            h.set_autostart(h.reg_quote("C:\\else\\pavo.exe"))
        else:
            self.p.autostart_file.parent.mkdir(parents=True)
            self.p.autostart_file.write_text("[Desktop Entry]\nType=Application\nName=x\nExec=/else/pavo\n")
        r = self.p.run()
        self.assertTrue(self.p.img.is_dir())
        self.assertEqual(self.p.ini.read_bytes(), h.default_settings().encode(h.settings_encoding()))
        self.assertIsNone(self.p.autostart_entry())
        self.assertEqual((r.returncode, r.output), (1, b""))

    def test_a_first_start_outside_gbk_keeps_the_settings_in_unicode(self):
        if not h.windows():
            self.skipTest("a Windows code page")
        raw = self.first_settings(code_page=1252)
        # As Notepad reads it: UTF-16 by its byte-order mark.
        self.assertEqual(raw[:2], b"\xff\xfe")
        self.assertEqual(raw.decode("utf-16"), h.default_settings())

    def test_a_first_run_on_a_full_disk_leaves_no_settings_and_the_next_writes_them_whole(self):
        disk = h.small_disk(self, self.p.exe.stat().st_size + (1 << 20))
        self.p.move_to(disk / "prog")
        h.fill(disk)
        r = self.p.run()
        self.assertEqual(r.returncode, 1)
        self.assertFalse(self.p.ini.exists(), "an empty or partial settings file would stay for ever")
        self.assertEqual(self.p.pending_files(), [])
        (disk / "filler").unlink()
        self.assertEqual(self.first_settings(), h.default_settings().encode(h.settings_encoding()))
        self.assertEqual(self.p.pending_files(), [])

    def test_the_autostart_entry_follows_the_setting_on_every_start(self):
        # From a folder whose name needs quoting (Wine command lines mangle
        # non-ASCII text, so the Windows name keeps to spaces and brackets).
        self.p.move_to(self.p.tmp / ("My Apps (x86) & more" if h.windows() else "Pavo 壁纸 $HOME 'a' \"b\" (c)"))
        self.done_day("1")
        entry = self.p.autostart_entry()
        if h.windows():
            self.assertEqual(entry, h.reg_quote(h.windows_path(self.p.exe)), "the bare path, no quotation marks")
            # A number reads as its decimal text: not "", so "0" removes it.
            h.set_autostart("dword:00000001")
            self.done_day("0")
            self.assertIsNone(self.p.autostart_entry())
            # Raw bytes cannot be read as text: "0" leaves them, "1" replaces them.
            h.set_autostart("hex:01,02,03")
            self.done_day("0")
            self.assertEqual(self.p.autostart_entry(), "hex:01,02,03")
            self.done_day("1")
            self.assertEqual(self.p.autostart_entry(), entry)
            return
        # A second start with the entry in line leaves it alone.
        first = self.p.autostart_file.stat()
        self.done_day("1")
        self.assertEqual(self.p.autostart_file.stat().st_mtime_ns, first.st_mtime_ns)
        # Started through the entry by GLib's launcher, the program finds "0"
        # in its settings and removes the entry: Exec named exactly this program.
        self.p.write_settings({"开机自启动": "0", "设为壁纸": "0", "延迟运行": "0"})
        subprocess.run(["gio", "launch", str(self.p.autostart_file)], env=self.p.env(), timeout=30, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while self.p.autostart_entry() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertIsNone(self.p.autostart_entry(), "the launched program did not remove its entry")
        self.assertTrue(self.p.autostart_file.parent.is_dir(), "only the entry goes")


if __name__ == "__main__":
    h.main()
