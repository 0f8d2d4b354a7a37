"""The wallpaper on KDE Plasma: a mock plasmashell records the script, and
the script is run against stand-in desktops to see what it sets."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import busenv  # noqa: E402

busenv.enter_private_session()
ARGS = busenv.parse_args()

import dbus  # noqa: E402
import dbusmock  # noqa: E402  (Debian's python3-dbusmock)
from gi.repository import GLib  # noqa: E402

ROOT = os.environ.get("PAVO_SESSION_ROOT", "")
AWKWARD = "it's \"my\" \\pics\\ 壁纸 ${x} `y`;\n</script>"

# Runs a Plasma script against stand-in desktops and prints what each got.
# with_activities: desktops() sees two desktops; two activities hold three,
# one of them shared with desktops().
RUNNER = r"""
const fs = require("fs");
const script = fs.readFileSync(0, "utf8");
const withActivities = process.argv[process.argv.length - 1] === "1";
function Desktop(id) {
  this.id = id; this.plugin = null; this.group = null; this.writes = [];
  Object.defineProperty(this, "wallpaperPlugin", {set: (v) => { this.plugin = v; }, get: () => this.plugin});
  Object.defineProperty(this, "currentConfigGroup", {set: (v) => { this.group = v.slice(); }, get: () => this.group});
}
Desktop.prototype.writeConfig = function (key, value) { this.writes.push([this.group, key, value]); };
const d = [1, 2, 3, 4].map((i) => new Desktop(i));
const sandbox = {desktops: () => [d[0], d[1]]};
if (withActivities) {
  sandbox.activities = () => ["a", "b"];
  sandbox.desktopsForActivity = (id) => (id === "a" ? [d[1], d[2]] : [d[3]]);
}
new Function(...Object.keys(sandbox), script)(...Object.values(sandbox));
console.log(JSON.stringify(d.map((x) => ({id: x.id, plugin: x.plugin, writes: x.writes}))));
"""


def run_script(script, with_activities):
    node = shutil.which("node") or shutil.which("nodejs")
    if not node:
        raise AssertionError("node is missing (Debian package nodejs)")
    done = subprocess.run([node, "-e", RUNNER, "--", "1" if with_activities else "0"], input=script,
                          capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise AssertionError("the script does not run: %s" % done.stderr)
    return json.loads(done.stdout)


class PlasmaDesktop(unittest.TestCase):
    def start_shell(self, code='ret = ""'):
        shell = dbusmock.DBusTestCase.spawn_server("org.kde.plasmashell", "/PlasmaShell", "org.kde.PlasmaShell",
                                                   stdout=subprocess.DEVNULL)

        def stop():
            shell.terminate()
            shell.wait()
        self.addCleanup(stop)
        mock = dbus.Interface(dbus.SessionBus().get_object("org.kde.plasmashell", "/PlasmaShell"),
                              dbusmock.MOCK_IFACE)
        mock.AddMethod("", "evaluateScript", "s", "s", code)
        return mock

    def scripts(self, mock):
        return [str(call[2][0]) for call in mock.GetCalls() if call[1] == "evaluateScript"]

    def test_the_script_sets_the_picture_on_every_desktop(self):
        mock = self.start_shell()
        env = busenv.probe_env(XDG_CURRENT_DESKTOP="KDE")
        bitmap = busenv.make_image_dir(tempfile.mkdtemp(prefix="plasma-", dir=ROOT), AWKWARD)
        elapsed, _ = busenv.run_wallpaper(ARGS.probe, bitmap, env)
        self.assertLess(elapsed, 10000)
        scripts = self.scripts(mock)
        self.assertEqual(len(scripts), 1)
        shown = busenv.shown_names(bitmap)
        self.assertEqual(len(shown), 1)
        busenv.assert_shows_bitmap(self, shown[0], bitmap)

        for with_activities, expected_ids in ((True, [1, 2, 3, 4]), (False, [1, 2])):
            with self.subTest(with_activities=with_activities):
                desktops = run_script(scripts[0], with_activities)
                touched = [x["id"] for x in desktops if x["writes"]]
                self.assertEqual(touched, expected_ids)
                for x in desktops:
                    if not x["writes"]:
                        continue
                    self.assertEqual(x["plugin"], "org.kde.image")
                    self.assertEqual(len(x["writes"]), 1, "desktop %d written twice" % x["id"])
                    group, key, uri = x["writes"][0]
                    self.assertEqual(group, ["Wallpaper", "org.kde.image", "General"])
                    self.assertEqual(key, "Image")
                    path, _ = GLib.filename_from_uri(uri)
                    self.assertEqual(path, shown[0])

        # The next day: a new name in the script, the old name gone.
        busenv.rewrite_bitmap(bitmap, b"BM second day", 1700086400)
        busenv.run_wallpaper(ARGS.probe, bitmap, env)
        second = busenv.shown_names(bitmap)
        self.assertEqual(len(second), 1)
        self.assertNotEqual(second, shown)
        uri = run_script(self.scripts(mock)[-1], True)[0]["writes"][0][2]
        self.assertEqual(GLib.filename_from_uri(uri)[0], second[0])

    def test_a_shell_that_does_not_answer_does_not_hold_the_run(self):
        self.start_shell("import time\ntime.sleep(30)\nret = ''")
        env = busenv.probe_env(XDG_CURRENT_DESKTOP="KDE")
        bitmap = busenv.make_image_dir(tempfile.mkdtemp(prefix="plasma-", dir=ROOT))
        busenv.rewrite_bitmap(bitmap, b"BM day one", 1700000000)
        busenv.run_wallpaper(ARGS.probe, bitmap, env)
        busenv.rewrite_bitmap(bitmap, b"BM day two", 1700086400)
        busenv.run_wallpaper(ARGS.probe, bitmap, env)
        busenv.rewrite_bitmap(bitmap, b"BM day three", 1700172800)
        elapsed, _ = busenv.run_wallpaper(ARGS.probe, bitmap, env)
        self.assertLess(elapsed, 8000)
        # No answer: the shell may show the new name or the one before, so
        # both stay, and no more.
        names = busenv.shown_names(bitmap)
        self.assertEqual(len(names), 2)
        self.assertTrue(os.path.samefile(names[-1], bitmap))

    def test_no_shell_on_the_bus(self):
        env = busenv.probe_env(XDG_CURRENT_DESKTOP="KDE")
        bitmap = busenv.make_image_dir(tempfile.mkdtemp(prefix="plasma-", dir=ROOT))
        elapsed, _ = busenv.run_wallpaper(ARGS.probe, bitmap, env)
        self.assertLess(elapsed, 3000)
        self.assertEqual(busenv.shown_names(bitmap), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
