"""The wallpaper on XFCE: the real xfconfd on a private bus, every image
property of the desktop channel updated and stored."""

import glob
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import busenv  # noqa: E402

busenv.enter_private_session()
ARGS = busenv.parse_args()

import dbus  # noqa: E402

ROOT = os.environ.get("PAVO_SESSION_ROOT", "")
XFCONF = "org.xfce.Xfconf"
CHANNEL = "xfce4-desktop"

IMAGE_PROPERTIES = [
    "/backdrop/screen0/monitor0/workspace0/last-image",
    "/backdrop/screen0/monitor0/workspace1/last-image",
    "/backdrop/screen0/monitorVirtual-1/workspace0/last-image",
    "/backdrop/screen1/monitorDP-2/workspace3/last-image",
    "/backdrop/screen0/monitor0/image-path",  # the older desktop's
]
OTHER_PROPERTIES = {
    "/backdrop/screen0/monitor0/workspace0/image-style": dbus.Int32(5),
    "/backdrop/screen0/monitor0/last-single-image": dbus.String("/old/single.png"),
    "/backdrop/screen0/monitor0/workspace0/last-image-note": dbus.String("/old/note.png"),
    "/backdrop/screen0/monitor0/workspace0/color-style": dbus.Int32(0),
    "/desktop-icons/last-image": dbus.String("/old/outside-backdrop.png"),
}


class Xfconf:
    """xfconfd of its own, storing under a fresh configuration folder."""

    def __init__(self):
        daemons = glob.glob("/usr/lib/*/xfce4/xfconf/xfconfd")
        if not daemons:
            raise unittest.SkipTest("xfconfd is not installed (Debian package xfconf)")
        self.config = tempfile.mkdtemp(prefix="xfconf-", dir=ROOT)
        env = dict(os.environ, XDG_CONFIG_HOME=self.config)
        self.process = subprocess.Popen([daemons[0]], env=env, stderr=subprocess.DEVNULL)
        bus = dbus.SessionBus()
        deadline = time.monotonic() + 20
        while not bus.name_has_owner(XFCONF):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError("xfconfd did not come up")
            time.sleep(0.05)
        self.api = dbus.Interface(bus.get_object(XFCONF, "/org/xfce/Xfconf"), XFCONF)

    def set(self, channel, prop, value):
        self.api.SetProperty(channel, prop, value)

    def get(self, channel, prop):
        return self.api.GetProperty(channel, prop)

    def stop(self):
        """Ends the daemon, which stores its channels; returns the stored file."""
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=20)
        return os.path.join(self.config, "xfce4", "xfconf", "xfce-perchannel-xml", CHANNEL + ".xml")


def stored_properties(path):
    """{full property name: value} of a stored channel."""
    found = {}

    def walk(node, prefix):
        for child in node.findall("property"):
            name = prefix + "/" + child.get("name")
            if child.get("value") is not None:
                found[name] = child.get("value")
            walk(child, name)

    walk(ET.parse(path).getroot(), "")
    return found


class XfceDesktop(unittest.TestCase):
    def setUp(self):
        self.xfconf = Xfconf()
        self.addCleanup(lambda: self.xfconf.process.poll() is None and self.xfconf.stop())

    def populate(self):
        for i, prop in enumerate(IMAGE_PROPERTIES):
            self.xfconf.set(CHANNEL, prop, dbus.String("/old/%d.png" % i))
        for prop, value in OTHER_PROPERTIES.items():
            self.xfconf.set(CHANNEL, prop, value)
        self.xfconf.set("xfce4-panel", "/backdrop/screen0/monitor0/workspace0/last-image", dbus.String("/old/p.png"))

    def test_every_image_property_names_the_bitmap_and_is_stored(self):
        self.populate()
        env = busenv.probe_env(XDG_CURRENT_DESKTOP="XFCE")
        bitmap = busenv.make_image_dir(tempfile.mkdtemp(prefix="xfce-", dir=ROOT), "my \"pics\" 壁纸 <&>")
        elapsed, _ = busenv.run_wallpaper(ARGS.probe, bitmap, env)
        self.assertLess(elapsed, 10000)
        shown = busenv.shown_names(bitmap)
        self.assertEqual(len(shown), 1)
        busenv.assert_shows_bitmap(self, shown[0], bitmap)
        for prop in IMAGE_PROPERTIES:
            self.assertEqual(str(self.xfconf.get(CHANNEL, prop)), shown[0], prop)
        for prop, value in OTHER_PROPERTIES.items():
            self.assertEqual(self.xfconf.get(CHANNEL, prop), value, prop)
        self.assertEqual(self.xfconf.get("xfce4-panel", "/backdrop/screen0/monitor0/workspace0/last-image"),
                         "/old/p.png")

        # The next day: every property moves to the new name, the old goes.
        busenv.rewrite_bitmap(bitmap, b"BM second day", 1700086400)
        busenv.run_wallpaper(ARGS.probe, bitmap, env)
        second = busenv.shown_names(bitmap)
        self.assertEqual(len(second), 1)
        self.assertNotEqual(second, shown)
        busenv.assert_shows_bitmap(self, second[0], bitmap)
        for prop in IMAGE_PROPERTIES:
            self.assertEqual(str(self.xfconf.get(CHANNEL, prop)), second[0], prop)

        stored = stored_properties(self.xfconf.stop())
        for prop in IMAGE_PROPERTIES:
            self.assertEqual(stored[prop], second[0], prop)
        self.assertEqual(stored["/backdrop/screen0/monitor0/last-single-image"], "/old/single.png")

    def test_a_desktop_without_image_properties_is_left_alone(self):
        self.xfconf.set(CHANNEL, "/desktop-icons/style", dbus.Int32(2))
        env = busenv.probe_env(XDG_CURRENT_DESKTOP="XFCE")
        bitmap = busenv.make_image_dir(tempfile.mkdtemp(prefix="xfce-", dir=ROOT))
        busenv.run_wallpaper(ARGS.probe, bitmap, env)
        self.assertEqual(busenv.shown_names(bitmap), [])
        with self.assertRaises(dbus.DBusException):
            self.xfconf.get(CHANNEL, "/backdrop/screen0/monitor0/workspace0/last-image")


if __name__ == "__main__":
    unittest.main(verbosity=2)
