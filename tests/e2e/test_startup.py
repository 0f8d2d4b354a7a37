"""The start-up and the daily guard, run as a user runs the program."""
import shutil
import subprocess
import unittest

import harness as h


class StartupTest(unittest.TestCase):
    def setUp(self):
        self.p = h.ProgramDir()
        if h.windows():
            h.set_autostart(None)

    def tearDown(self):
        self.p.cleanup()
        if h.windows():
            h.set_autostart(None)

    def exe_path(self):
        if h.windows():
            return h._to_windows_path(self.p.exe)
        return str(self.p.exe.resolve())

    def entry(self):
        """The autostart entry as the platform keeps it, or None."""
        if h.windows():
            return h.autostart_entry()
        f = self.p.autostart_file()
        return ("file", f.read_text(encoding="utf-8")) if f.exists() else None

    def plant_entry(self, text):
        if h.windows():
            h.set_autostart(("sz", text))
        else:
            f = self.p.autostart_file()
            f.parent.mkdir(parents=True, exist_ok=True)
            f.write_text("[Desktop Entry]\nType=Application\nName=x\nExec=" + text + "\n", encoding="utf-8")

    def test_first_run_creates_the_image_directory_and_six_line_settings(self):
        # An entry left by an earlier copy goes: the first-run default is "0".
        self.plant_entry("/somewhere/else/pavo.exe")
        r = self.p.run(timeout=120)
        self.assertTrue(self.p.img.is_dir())
        expected = h.DEFAULT_SETTINGS.encode(h.settings_encoding())
        self.assertEqual(self.p.ini.read_bytes(), expected)
        self.assertIsNone(self.entry())
        self.assertEqual(r.returncode, 1, "no image for today")
        self.assertEqual(r.stdout + r.stderr, b"", "the program prints nothing")

    def test_a_kept_image_ends_the_start_at_once_and_still_syncs_autostart(self):
        self.p.write_settings({"开机自启动": "1", "设为壁纸": "1", "延迟运行": "30"})
        before = self.p.ini.read_bytes()
        self.p.img.mkdir()
        self.p.today_file.write_bytes(b"\xff\xd8\xff" + b"x" * 300000)
        r = self.p.run(timeout=20)
        self.assertEqual(r.returncode, 0)
        self.assertLess(r.seconds, 15, "the 30 s delay must not have run")
        want = self.exe_path()
        if h.windows():
            self.assertEqual(self.entry(), ("sz", want))
        else:
            self.assertIn(want, self.entry()[1])
        self.assertEqual(self.p.ini.read_bytes(), before, "a present settings file is left alone")

        # Switched off again: the entry goes on the next start.
        self.p.write_settings({"开机自启动": "0"})
        self.assertEqual(self.p.run(timeout=20).returncode, 0)
        self.assertIsNone(self.entry())

    def test_a_first_run_on_a_full_disk_leaves_no_settings_and_the_next_writes_them_whole(self):
        # A disk of its own, just large enough for the program, then filled.
        disk = self.p.tmp / "disk"
        disk.mkdir()
        size = self.p.exe.stat().st_size + (1 << 20)
        mount = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(disk)],
                               capture_output=True, text=True)
        if mount.returncode != 0:
            self.skipTest("a small disk cannot be mounted here: " + (mount.stderr.strip() or "mount failed"))
        # After tearDown, which cannot remove a mounted directory.
        self.addCleanup(shutil.rmtree, self.p.tmp, ignore_errors=True)
        self.addCleanup(subprocess.run, ["umount", "-l", str(disk)], capture_output=True)
        prog = disk / "prog"
        prog.mkdir()
        shutil.copy2(self.p.exe, prog / self.p.exe.name)
        self.p.dir, self.p.exe = prog, prog / self.p.exe.name
        filler = disk / "filler"
        with open(filler, "wb", buffering=0) as f:
            try:
                while f.write(b"\0" * 4096):
                    pass
            except OSError:
                pass

        r = self.p.run(timeout=120)
        self.assertEqual(r.returncode, 1)
        self.assertFalse(self.p.ini.exists(), "an empty or partial settings file would stay for ever")
        self.assertEqual(self.p.pending_files(), [])

        filler.unlink()
        self.p.run(timeout=120)
        self.assertEqual(self.p.ini.read_bytes(), h.DEFAULT_SETTINGS.encode(h.settings_encoding()))
        self.assertEqual(self.p.pending_files(), [])

    def test_a_file_named_img_and_a_partial_settings_file_are_left_alone(self):
        self.p.img.write_bytes(b"not a directory")
        self.p.write_settings({"延迟运行": "0"}, raw_lines=["; a comment the user wrote"])
        before = self.p.ini.read_bytes()
        r = self.p.run(timeout=120)
        self.assertEqual(self.p.img.read_bytes(), b"not a directory")
        self.assertEqual(self.p.ini.read_bytes(), before, "missing keys are not added")
        self.assertEqual(r.returncode, 1)


if __name__ == "__main__":
    h.main()
