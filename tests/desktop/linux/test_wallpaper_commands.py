"""The wallpaper on the desktops set by a command (LXQt, LXDE, sway): stand-in
programs on PATH record their arguments; a program that hangs is ended."""

import os
import stat
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import busenv  # noqa: E402

busenv.enter_private_session()
ARGS = busenv.parse_args()

ROOT = os.environ.get("PAVO_SESSION_ROOT", "")

# Records its arguments, NUL-separated, and its pid; behaves as told.
STAND_IN = """#!/bin/sh
echo $$ > "{record}.pid"
for a in "$@"; do printf '%s\\0' "$a"; done > "{record}"
{behaviour}
"""


class Commands(unittest.TestCase):
    def stand_in(self, program, behaviour="exit 0"):
        """A directory for PATH holding program; returns (dir, record file)."""
        directory = tempfile.mkdtemp(prefix="bin-", dir=ROOT)
        record = os.path.join(directory, "args")
        path = os.path.join(directory, program)
        with open(path, "w") as f:
            f.write(STAND_IN.format(record=record, behaviour=behaviour))
        os.chmod(path, stat.S_IRWXU)
        return directory, record

    def recorded(self, record):
        if not os.path.exists(record):
            return None
        with open(record, "rb") as f:
            return f.read().decode().split("\0")[:-1]

    def env_with(self, bin_dir, **changes):
        return busenv.probe_env(PATH=bin_dir + ":/usr/bin:/bin", **changes)

    def test_each_desktop_runs_its_program_with_the_path(self):
        sock = {"SWAYSOCK": "/run/user/0/sway-ipc.sock"}
        cases = [
            ("LXQt", "pcmanfm-qt", dict(XDG_CURRENT_DESKTOP="LXQt"), lambda p: ["--set-wallpaper", p]),
            ("LXDE", "pcmanfm", dict(XDG_CURRENT_DESKTOP="LXDE"), lambda p: ["--set-wallpaper", p]),
            ("sway by name", "swaymsg", dict(XDG_CURRENT_DESKTOP="sway"), lambda p: ['output * bg "%s" fill' % p]),
            ("sway by socket", "swaymsg", sock, lambda p: ['output * bg "%s" fill' % p]),
        ]
        for label, program, changes, expected in cases:
            with self.subTest(label):
                bin_dir, record = self.stand_in(program)
                bitmap = busenv.make_image_dir(tempfile.mkdtemp(prefix="cmd-", dir=ROOT), "my pictures 壁纸")
                busenv.run_wallpaper(ARGS.probe, bitmap, self.env_with(bin_dir, **changes))
                shown = busenv.shown_names(bitmap)
                self.assertEqual(len(shown), 1)
                busenv.assert_shows_bitmap(self, shown[0], bitmap)
                self.assertEqual(self.recorded(record), expected(shown[0]))

    def test_no_shell_reads_the_path(self):
        bin_dir, record = self.stand_in("pcmanfm-qt")
        parent = tempfile.mkdtemp(prefix="cmd-", dir=ROOT)
        marker = os.path.join(parent, "touched")
        bitmap = busenv.make_image_dir(parent, "a;touch %s $(touch %s) `touch %s` 'q' \"d\"" % ((marker,) * 3))
        busenv.run_wallpaper(ARGS.probe, bitmap, self.env_with(bin_dir, XDG_CURRENT_DESKTOP="LXQt"))
        self.assertEqual(self.recorded(record), ["--set-wallpaper", busenv.shown_names(bitmap)[0]])
        self.assertFalse(os.path.exists(marker))

    def test_a_path_sway_cannot_carry_is_not_sent(self):
        bin_dir, record = self.stand_in("swaymsg")
        bitmap = busenv.make_image_dir(tempfile.mkdtemp(prefix="cmd-", dir=ROOT), 'say "cheese"')
        elapsed, _ = busenv.run_wallpaper(ARGS.probe, bitmap, self.env_with(bin_dir, XDG_CURRENT_DESKTOP="sway"))
        self.assertIsNone(self.recorded(record))
        self.assertEqual(busenv.shown_names(bitmap), [])

    def test_the_answer_decides_which_names_stay(self):
        # Day one is taken; day two fails; day three hangs and is ended.
        bitmap = busenv.make_image_dir(tempfile.mkdtemp(prefix="cmd-", dir=ROOT))
        ok_dir, _ = self.stand_in("pcmanfm")
        busenv.run_wallpaper(ARGS.probe, bitmap, self.env_with(ok_dir, XDG_CURRENT_DESKTOP="LXDE"))
        day_one = busenv.shown_names(bitmap)

        busenv.rewrite_bitmap(bitmap, b"BM day two", 1700086400)
        fail_dir, _ = self.stand_in("pcmanfm", "exit 3")
        busenv.run_wallpaper(ARGS.probe, bitmap, self.env_with(fail_dir, XDG_CURRENT_DESKTOP="LXDE"))
        self.assertEqual(len(busenv.shown_names(bitmap)), 2, "an unsure answer keeps the day before")
        self.assertEqual(busenv.shown_names(bitmap)[0], day_one[0])

        busenv.rewrite_bitmap(bitmap, b"BM day three", 1700172800)
        hang_dir, record = self.stand_in("pcmanfm", "exec sleep 60")
        elapsed, _ = busenv.run_wallpaper(ARGS.probe, bitmap, self.env_with(hang_dir, XDG_CURRENT_DESKTOP="LXDE"))
        self.assertLess(elapsed, 8000)
        with open(record + ".pid") as f:
            pid = int(f.read())
        time.sleep(0.2)
        with self.assertRaises(ProcessLookupError, msg="the hanging program still runs"):
            os.kill(pid, 0)
        names = busenv.shown_names(bitmap)
        self.assertEqual(len(names), 2)
        self.assertNotIn(day_one[0], names)
        self.assertTrue(os.path.samefile(names[-1], bitmap))

        busenv.run_wallpaper(ARGS.probe, bitmap, self.env_with(ok_dir, XDG_CURRENT_DESKTOP="LXDE"))
        busenv.assert_shows_bitmap(self, busenv.shown_names(bitmap)[0], bitmap)

    def test_a_missing_program_sets_nothing(self):
        empty = tempfile.mkdtemp(prefix="bin-", dir=ROOT)
        for desktop in ("LXQt", "LXDE", "sway"):
            with self.subTest(desktop):
                bitmap = busenv.make_image_dir(tempfile.mkdtemp(prefix="cmd-", dir=ROOT))
                env = busenv.probe_env(PATH=empty, XDG_CURRENT_DESKTOP=desktop)
                elapsed, _ = busenv.run_wallpaper(ARGS.probe, bitmap, env)
                self.assertLess(elapsed, 3000)
                self.assertEqual(busenv.shown_names(bitmap), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
