"""The tray item on Linux, watched over a private session bus: a watcher of
our own hears the registration, and the item is read back while the probe
waits as the run does."""
import os
import socket
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_env as d  # noqa: E402

ARGS = d.enter()

import dbus  # noqa: E402

ITEM, PROPS = "org.kde.StatusNotifierItem", "org.freedesktop.DBus.Properties"


def icon_argb():
    """{(w, h): ARGB rows top first} of the 32-bit images of the application
    icon, read here as the format describes them."""
    with open(ARGS.icon, "rb") as f:
        data = f.read()
    images = {}
    for i in range(struct.unpack_from("<H", data, 4)[0]):
        w, h, _, _, _, bits, size, at = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        if data[at:at + 4] == struct.pack("<I", 40) and bits == 32:
            rows = [data[at + 40 + y * w * 4:at + 40 + (y + 1) * w * 4] for y in reversed(range(h))]
            images[(w, h)] = b"".join(bytes((p[3], p[2], p[1], p[0])) for r in rows for p in zip(*[iter(r)] * 4))
    return images


class TrayItem(unittest.TestCase):
    def watcher(self):
        """The items registered with a watcher of our own, and its end."""
        return d.service(self, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                         "RegisterStatusNotifierItem", "s")

    def probe(self, **env):
        probe = d.Probe(ARGS.probe, d.env_with(**env))
        self.addCleanup(probe.close)
        return probe

    def test_the_item_is_up_from_the_minimise_to_the_removal_and_the_wallpaper_shares_its_bus(self):
        registered, _ = self.watcher()
        scripts, _ = d.service(self, "org.kde.plasmashell", "/PlasmaShell", "org.kde.PlasmaShell", "evaluateScript",
                               "s", "s", 'ret = ""')
        probe = self.probe(XDG_CURRENT_DESKTOP="KDE")
        name = "org.kde.StatusNotifierItem-%d-1" % probe.pid
        for state in (0, 2):  # a resize that is no minimise does nothing
            probe.command("state %d" % state)
        self.assertLess(probe.command("state 1"), 3000)
        self.assertTrue(d.wait_until(registered))
        self.assertEqual(registered(), [[name]])
        bus = dbus.SessionBus()
        owner = bus.get_name_owner(name)
        # Read while the probe sits in its wait: the wait must wake for it.
        item = bus.get_object(name, "/StatusNotifierItem")
        props = item.GetAll(ITEM, dbus_interface=PROPS, timeout=5)
        self.assertEqual({k: props[k] for k in ("Category", "Id", "Title", "Status", "IconName", "ItemIsMenu", "Menu")},
                         {"Category": "ApplicationStatus", "Id": d.CAPTION, "Title": d.CAPTION, "Status": "Active",
                          "IconName": "", "ItemIsMenu": False, "Menu": "/NO_DBUSMENU"})
        self.assertEqual(props["ToolTip"][2:], (d.CAPTION, ""))
        pixmaps = {(w, h): bytes(data) for w, h, data in props["IconPixmap"]}
        if ARGS.icon.endswith(".ico"):  # (a build may be given another picture, or none)
            self.assertEqual(pixmaps, icon_argb())
        for method, args in (("Activate", (0, 0)), ("SecondaryActivate", (5, 5)), ("ContextMenu", (1, 1)),
                             ("Scroll", (3, "vertical"))):
            getattr(item, method)(*args, dbus_interface=ITEM, timeout=5)  # accepted, and nothing happens
        probe.command("state 1")  # minimised again: no second item
        probe.command("wallpaper " + d.new_bitmap())
        self.assertEqual(len(scripts()), 1)
        self.assertEqual(item.Get(ITEM, "Title", dbus_interface=PROPS, timeout=5), d.CAPTION)
        self.assertLess(probe.command("remove"), 3000)
        self.assertEqual(registered(), [[name]])
        # Gone while the process still lives: the name and the object.
        self.assertFalse(bus.name_has_owner(name))
        self.assertRaises(dbus.DBusException, bus.get_object(owner, "/StatusNotifierItem").GetAll, ITEM,
                          dbus_interface=PROPS, timeout=5)
        self.assertEqual(probe.command("status"), "status state=1")

    def test_a_watcher_that_comes_later_hears_of_the_item_and_the_bus_is_found_without_its_address(self):
        address = os.environ["DBUS_SESSION_BUS_ADDRESS"].split("unix:path=", 1)[1].split(",", 1)[0]
        runtime = d.folder("runtime-")
        os.symlink(address, os.path.join(runtime, "bus"))
        probe = self.probe(DBUS_SESSION_BUS_ADDRESS=None, XDG_RUNTIME_DIR=runtime)
        probe.command("state 1")
        name = "org.kde.StatusNotifierItem-%d-1" % probe.pid
        self.assertTrue(d.wait_until(lambda: dbus.SessionBus().name_has_owner(name)))
        registered, stop = self.watcher()
        self.assertTrue(d.wait_until(registered))
        self.assertEqual(registered(), [[name]])
        probe.command("remove")
        stop()
        registered, _ = self.watcher()  # no item any more: a new watcher hears nothing
        self.assertFalse(d.wait_until(registered, 1.5))

    def test_without_a_session_bus_no_item_and_the_run_goes_on(self):
        silent = d.folder("silent-") + "/bus"  # a bus that takes connections and never says a word
        server = socket.socket(socket.AF_UNIX)
        server.bind(silent)
        server.listen(8)
        self.addCleanup(server.close)
        rows = [
            ("no address", dict(DBUS_SESSION_BUS_ADDRESS=None, XDG_RUNTIME_DIR=d.folder("runtime-")), 1500),
            ("no runtime folder", dict(DBUS_SESSION_BUS_ADDRESS=None, XDG_RUNTIME_DIR=None), 1500),
            ("a broken address", dict(DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/bus"), 1500),
            ("a nonsense address", dict(DBUS_SESSION_BUS_ADDRESS="no-such-transport:x=1"), 1500),
            ("a bus that never answers", dict(DBUS_SESSION_BUS_ADDRESS="unix:path=" + silent), 5000),
        ]
        for label, env, bound in rows:
            with self.subTest(label):
                probe = self.probe(XDG_CURRENT_DESKTOP="KDE", **env)
                self.assertLess(probe.command("state 1"), bound)
                bitmap = d.new_bitmap()
                self.assertLess(probe.command("wallpaper " + bitmap), 1500, "the same answer, at once")
                self.assertEqual(d.beside(bitmap), [os.path.join(os.path.dirname(bitmap), d.LEFTOVER)])
                self.assertLess(probe.command("remove"), 1500)
                self.assertEqual(probe.command("status"), "status state=1")
                self.assertEqual(probe.close(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
