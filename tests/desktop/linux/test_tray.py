"""The tray item on Linux, watched over a private session bus: a watcher of
our own records the registration, and the item's properties are read back
while the probe waits the way the run does."""

import importlib.util
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import busenv  # noqa: E402

busenv.enter_private_session()
ARGS = busenv.parse_args()

import dbus  # noqa: E402  (Debian's python3-dbus)

ITEM = "org.kde.StatusNotifierItem"
PROPS = "org.freedesktop.DBus.Properties"

WATCHER = r'''
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
class Watcher(dbus.service.Object):
    @dbus.service.method("org.kde.StatusNotifierWatcher", in_signature="s", out_signature="",
                         sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        print("registered %s %s" % (service, sender), flush=True)
watcher = Watcher(bus, "/StatusNotifierWatcher")
name = dbus.service.BusName("org.kde.StatusNotifierWatcher", bus, do_not_queue=True)
print("ready", flush=True)
GLib.MainLoop().run()
'''


class Watcher:
    def __init__(self):
        self.process = subprocess.Popen([sys.executable, "-c", WATCHER], stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        first = self.lines.get(timeout=30)
        assert first == "ready", first

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def registrations(self, wait):
        """Registrations that arrive within wait seconds (stops at the first)."""
        try:
            line = self.lines.get(timeout=wait)
        except queue.Empty:
            return []
        return [line.split()[1:]]

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stdout.close()


def expected_pixmaps():
    spec = importlib.util.spec_from_file_location("tray_pixmaps_linux", ARGS.generator)
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    sources = [s for s in ARGS.icon.split(";") if s]
    images, _ = generator.collect(sources)
    return {size: argb for size, argb in images.items()}


def item_name(pid):
    return "org.kde.StatusNotifierItem-%d-1" % pid


class TrayItem(unittest.TestCase):
    def setUp(self):
        self.bus = dbus.SessionBus()
        self.closers = []

    def tearDown(self):
        for close in reversed(self.closers):
            close()

    def start_probe(self, env=None):
        probe = busenv.Probe(ARGS.probe, env or busenv.probe_env())
        self.closers.append(probe.close)
        return probe

    def start_watcher(self):
        watcher = Watcher()
        self.closers.append(watcher.close)
        return watcher

    def minimise(self, probe):
        return probe.command("state 1", "resized")

    def test_the_item_is_up_from_the_add_to_the_delete(self):
        watcher = self.start_watcher()
        probe = self.start_probe()
        line = self.minimise(probe)
        self.assertLess(busenv.field(line, "ms"), 3000)
        name = item_name(probe.pid)

        registrations = watcher.registrations(10)
        self.assertEqual(len(registrations), 1, "no registration with the watcher")
        service, sender = registrations[0]
        self.assertEqual(service, name)
        owner = self.bus.get_name_owner(name)
        self.assertEqual(sender, owner, "the registration comes from the item's own connection")

        # Read while the probe sits in its wait: the wait must wake for it.
        item = self.bus.get_object(name, "/StatusNotifierItem")
        props = item.GetAll(ITEM, dbus_interface=PROPS, timeout=5)
        self.assertEqual(props["Category"], "ApplicationStatus")
        self.assertEqual(props["Id"], busenv.CAPTION)
        self.assertEqual(props["Title"], busenv.CAPTION)
        self.assertEqual(props["Status"], "Active")
        self.assertEqual(props["IconName"], "")
        self.assertEqual(props["ItemIsMenu"], False)
        self.assertEqual(props["Menu"], "/NO_DBUSMENU")
        icon_name, icon_pixmaps, title, text = props["ToolTip"]
        self.assertEqual((title, text), (busenv.CAPTION, ""))
        self.assertEqual(item.Get(ITEM, "Title", dbus_interface=PROPS, timeout=5), busenv.CAPTION)

        pixmaps = {(int(w), int(h)): bytes(data) for w, h, data in props["IconPixmap"]}
        self.assertEqual(sorted(pixmaps), [(16, 16), (32, 32), (48, 48)])
        self.assertEqual(pixmaps, expected_pixmaps(), "the pixmaps are not the icon's")
        for (w, h), data in pixmaps.items():
            alphas = data[0::4]
            self.assertTrue(any(alphas), "a %dx%d pixmap with nothing visible" % (w, h))

        # Clicks, menu and scrolling do nothing.
        for method, args in (("Activate", (0, 0)), ("SecondaryActivate", (5, 5)), ("ContextMenu", (1, 1)),
                             ("Scroll", (3, "vertical"))):
            getattr(item, method)(*args, dbus_interface=ITEM, timeout=5)
        self.assertEqual(probe.command("status", "status"), "status state=1")

        # Another resize while minimised: the add is refused, nothing new.
        self.minimise(probe)
        self.assertEqual(watcher.registrations(1.5), [])

        line = probe.command("remove", "removed")
        self.assertLess(busenv.field(line, "ms"), 3000)
        # Gone while the process still lives: the name and the object.
        self.assertFalse(self.bus.name_has_owner(name))
        gone = self.bus.get_object(owner, "/StatusNotifierItem")
        with self.assertRaises(dbus.DBusException):
            gone.GetAll(ITEM, dbus_interface=PROPS, timeout=5)
        self.assertEqual(probe.close(), 0)

    def test_a_watcher_that_comes_later_hears_of_the_item(self):
        probe = self.start_probe()
        self.minimise(probe)
        name = item_name(probe.pid)
        # The name is asked for without waiting; give the bus a moment.
        deadline = time.monotonic() + 5
        while not self.bus.name_has_owner(name) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(self.bus.name_has_owner(name))
        watcher = self.start_watcher()
        registrations = watcher.registrations(10)
        self.assertEqual([r[0] for r in registrations], [name])
        probe.command("remove", "removed")
        # No item any more: a new watcher hears nothing.
        watcher.close()
        self.closers.remove(watcher.close)
        watcher = self.start_watcher()
        self.assertEqual(watcher.registrations(1.5), [])

    def test_a_resize_that_is_not_a_minimise_does_nothing(self):
        watcher = self.start_watcher()
        for state in (0, 2):
            with self.subTest(state=state):
                probe = self.start_probe()
                probe.command("state %d" % state, "resized")
                self.assertFalse(self.bus.name_has_owner(item_name(probe.pid)))
                self.assertEqual(watcher.registrations(1), [])
                probe.command("remove", "removed")
                self.assertEqual(probe.close(), 0)

    def test_the_session_bus_is_found_through_the_runtime_directory(self):
        address = os.environ["DBUS_SESSION_BUS_ADDRESS"]
        socket_path = address.split("unix:path=", 1)[1].split(",", 1)[0]
        runtime = tempfile.mkdtemp(prefix="runtime-", dir=os.environ["PAVO_SESSION_ROOT"])
        os.symlink(socket_path, os.path.join(runtime, "bus"))
        watcher = self.start_watcher()
        probe = self.start_probe(busenv.probe_env(DBUS_SESSION_BUS_ADDRESS=None, XDG_RUNTIME_DIR=runtime))
        self.minimise(probe)
        self.assertEqual([r[0] for r in watcher.registrations(10)], [item_name(probe.pid)])

    def test_no_session_bus_no_item_and_the_run_goes_on(self):
        root = os.environ["PAVO_SESSION_ROOT"]
        empty_runtime = tempfile.mkdtemp(prefix="runtime-", dir=root)
        silent = busenv.SilentBus(tempfile.mkdtemp(prefix="silent-", dir=root))
        self.closers.append(silent.close)
        bitmap = busenv.make_image_dir(tempfile.mkdtemp(prefix="nobus-", dir=root))
        cases = [
            ("no address", dict(DBUS_SESSION_BUS_ADDRESS=None, XDG_RUNTIME_DIR=empty_runtime), 1500),
            ("no runtime directory", dict(DBUS_SESSION_BUS_ADDRESS=None, XDG_RUNTIME_DIR=None), 1500),
            ("broken address", dict(DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent/bus"), 1500),
            ("nonsense address", dict(DBUS_SESSION_BUS_ADDRESS="no-such-transport:x=1"), 1500),
            ("a bus that never answers", dict(DBUS_SESSION_BUS_ADDRESS=silent.address), 5000),
        ]
        for label, changes, bound in cases:
            with self.subTest(label):
                probe = self.start_probe(busenv.probe_env(XDG_CURRENT_DESKTOP="KDE", **changes))
                line = self.minimise(probe)
                self.assertLess(busenv.field(line, "ms"), bound)
                # The wallpaper request finds the same answer at once.
                line = probe.command("wallpaper " + bitmap, "done")
                self.assertLess(busenv.field(line, "ms"), 1500)
                self.assertEqual(busenv.shown_names(bitmap), [], "a name made for no desktop stays")
                line = probe.command("remove", "removed")
                self.assertLess(busenv.field(line, "ms"), 1500)
                self.assertEqual(probe.command("status", "status"), "status state=1")
                self.assertEqual(probe.close(), 0)

    def test_tray_and_wallpaper_share_the_bus(self):
        import dbusmock
        watcher = self.start_watcher()
        shell = dbusmock.DBusTestCase.spawn_server("org.kde.plasmashell", "/PlasmaShell", "org.kde.PlasmaShell",
                                                   stdout=subprocess.DEVNULL)
        self.closers.append(lambda: (shell.terminate(), shell.wait()))
        mock = dbus.Interface(self.bus.get_object("org.kde.plasmashell", "/PlasmaShell"), dbusmock.MOCK_IFACE)
        mock.AddMethod("", "evaluateScript", "s", "s", 'ret = ""')
        bitmap = busenv.make_image_dir(tempfile.mkdtemp(prefix="shared-", dir=os.environ["PAVO_SESSION_ROOT"]))

        probe = self.start_probe(busenv.probe_env(XDG_CURRENT_DESKTOP="KDE"))
        self.minimise(probe)
        self.assertEqual(len(watcher.registrations(10)), 1)
        probe.command("wallpaper " + bitmap, "done")
        calls = [c for c in mock.GetCalls() if c[1] == "evaluateScript"]
        self.assertEqual(len(calls), 1)
        item = self.bus.get_object(item_name(probe.pid), "/StatusNotifierItem")
        self.assertEqual(item.Get(ITEM, "Title", dbus_interface=PROPS, timeout=5), busenv.CAPTION)
        probe.command("remove", "removed")
        self.assertEqual(probe.close(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
