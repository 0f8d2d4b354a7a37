"""The wallpaper on the desktops that keep it in GSettings (the GNOME family,
Cinnamon, MATE and UKUI), read back by another process through gsettings."""

import glob
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import busenv  # noqa: E402

busenv.enter_private_session()
ARGS = busenv.parse_args()

from gi.repository import GLib  # noqa: E402  (Debian's python3-gi)

ROOT = os.environ.get("PAVO_SESSION_ROOT", "")
# A folder name that a careless quoting would break.
AWKWARD = "my \"pictures\" 壁纸 'x' \\y $HOME"

SCHEMA = """<schemalist>
  <schema id="{id}" path="/{path}/">
{keys}
  </schema>
</schemalist>
"""
KEY = """    <key name="{name}" type="{type}"><default>{default}</default></key>"""


def compile_schemas(schemas):
    """A schema directory holding the given {id: [(key, type, default)]}."""
    directory = tempfile.mkdtemp(prefix="schemas-", dir=ROOT)
    for schema_id, keys in schemas.items():
        text = SCHEMA.format(id=schema_id, path=schema_id.replace(".", "/"),
                             keys="\n".join(KEY.format(name=n, type=t, default=d) for n, t, d in keys))
        with open(os.path.join(directory, schema_id + ".gschema.xml"), "w", encoding="utf-8") as f:
            f.write(text)
    subprocess.run(["glib-compile-schemas", directory], check=True)
    return directory


def setting(env, schema, key):
    done = subprocess.run(["gsettings", "get", schema, key], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError("gsettings get %s %s: %s" % (schema, key, done.stderr))
    return GLib.Variant.parse(None, done.stdout.strip(), None, None).unpack()


def uri_path(uri):
    path, _ = GLib.filename_from_uri(uri)
    return path


# The desktop settings the tests stand in for. Every case compiles its own
# schemas and sees no others, so what is installed on the machine (MATE's
# schemas come with UKUI, for one) changes nothing.
GNOME = {"org.gnome.desktop.background": [("picture-uri", "s", "''"), ("picture-uri-dark", "s", "''"),
                                          ("picture-options", "s", "'zoom'")]}
MATE = {"org.mate.background": [("picture-filename", "s", "''")]}
CINNAMON = {"org.cinnamon.desktop.background": [("picture-uri", "s", "''")]}


def settings_env(desktop, schemas, backend="keyfile"):
    """A probe environment that sees only the given schemas, with its settings
    in a key file of its own (or in the private session's dconf database, which
    dconf clients read where the daemon writes it); returns the environment and
    the key file's path."""
    config = tempfile.mkdtemp(prefix="config-", dir=ROOT) if backend == "keyfile" else None
    empty = tempfile.mkdtemp(prefix="nodata-", dir=ROOT)
    env = busenv.probe_env(XDG_CURRENT_DESKTOP=desktop, GSETTINGS_BACKEND=backend, XDG_DATA_DIRS=empty,
                           XDG_DATA_HOME=empty, GSETTINGS_SCHEMA_DIR=compile_schemas(schemas))
    if config is None:
        return env, None
    env["XDG_CONFIG_HOME"] = config
    return env, os.path.join(config, "glib-2.0", "settings", "keyfile")


def new_bitmap(name="img"):
    return busenv.make_image_dir(tempfile.mkdtemp(prefix="case-", dir=ROOT), name)


class GnomeFamily(unittest.TestCase):
    def test_the_stored_uri_names_the_bitmap(self):
        for desktop in ("GNOME", "ubuntu:GNOME", "Budgie:GNOME"):
            with self.subTest(desktop):
                env, keyfile = settings_env(desktop, GNOME)
                bitmap = new_bitmap(AWKWARD)
                elapsed, _ = busenv.run_wallpaper(ARGS.probe, bitmap, env)
                self.assertTrue(os.path.exists(keyfile), "nothing reached the settings file")
                uri = setting(env, "org.gnome.desktop.background", "picture-uri")
                self.assertTrue(uri.startswith("file:///"), uri)
                shown = uri_path(uri)
                busenv.assert_shows_bitmap(self, shown, bitmap)
                self.assertEqual(setting(env, "org.gnome.desktop.background", "picture-uri-dark"), uri)
                self.assertLess(elapsed, 10000)

    def test_a_new_picture_gets_a_new_uri_and_the_old_name_goes(self):
        env, _ = settings_env("GNOME", GNOME)
        bitmap = new_bitmap()
        busenv.run_wallpaper(ARGS.probe, bitmap, env)
        first = setting(env, "org.gnome.desktop.background", "picture-uri")

        # The same bitmap again (a failed conversion re-applies it): same URI.
        busenv.run_wallpaper(ARGS.probe, bitmap, env)
        self.assertEqual(setting(env, "org.gnome.desktop.background", "picture-uri"), first)
        busenv.assert_shows_bitmap(self, uri_path(first), bitmap)

        # The next day's bitmap: a URI the desktop has not seen, one name left.
        busenv.rewrite_bitmap(bitmap, b"BM second day", 1700086400)
        busenv.run_wallpaper(ARGS.probe, bitmap, env)
        second = setting(env, "org.gnome.desktop.background", "picture-uri")
        self.assertNotEqual(second, first)
        busenv.assert_shows_bitmap(self, uri_path(second), bitmap)
        with open(uri_path(second), "rb") as f:
            self.assertEqual(f.read(), b"BM second day")
        self.assertFalse(os.path.exists(uri_path(first)))

    def test_through_the_settings_daemon(self):
        # The usual backend: writes go to the dconf daemon on the session
        # bus, so they are stored only if the program waits for them.
        if not glob.glob("/usr/lib/*/gio/modules/libdconfsettings.so"):
            self.skipTest("dconf-gsettings-backend is not installed")
        env, _ = settings_env("GNOME", GNOME, backend="dconf")
        bitmap = new_bitmap()
        busenv.run_wallpaper(ARGS.probe, bitmap, env)
        uri = setting(env, "org.gnome.desktop.background", "picture-uri")
        busenv.assert_shows_bitmap(self, uri_path(uri), bitmap)
        self.assertEqual(setting(env, "org.gnome.desktop.background", "picture-uri-dark"), uri)

    def test_a_settings_daemon_that_never_answers_holds_no_run_and_piles_up_no_threads(self):
        # The writer's name taken by one that takes each change and never
        # answers: every request ends within the desktop's time, and a
        # process that lives on gains no thread with each one.
        if not glob.glob("/usr/lib/*/gio/modules/libdconfsettings.so"):
            self.skipTest("dconf-gsettings-backend is not installed")
        writer = subprocess.Popen([sys.executable, "-c", SILENT_WRITER], stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(writer.stdout.readline().strip(), "ready")
            env, _ = settings_env("GNOME", GNOME, backend="dconf")
            probe = busenv.Probe(ARGS.probe, env)
            try:
                threads = []
                for day in range(3):
                    line = probe.command("wallpaper " + new_bitmap("day%d" % day), "done", timeout=30)
                    self.assertLess(busenv.field(line, "ms"), 6000)
                    with open("/proc/%d/status" % probe.pid) as status:
                        threads += [int(s.split()[1]) for s in status if s.startswith("Threads:")]
                self.assertLessEqual(threads[-1], threads[0], threads)
            finally:
                self.assertEqual(probe.close(), 0)
        finally:
            writer.terminate()
            writer.wait()
            writer.stdout.close()


SILENT_WRITER = r'''
import dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
class Writer(dbus.service.Object):
    @dbus.service.method("ca.desrt.dconf.Writer", in_signature="ay", out_signature="s",
                         async_callbacks=("reply", "error"))
    def Change(self, blob, reply, error):
        pass  # taken, never answered
writer = Writer(bus, "/ca/desrt/dconf/Writer/user")
name = dbus.service.BusName("ca.desrt.dconf", bus, do_not_queue=True)
print("ready", flush=True)
GLib.MainLoop().run()
'''


class OtherSchemas(unittest.TestCase):
    def test_each_desktop_gets_its_own_key(self):
        gnome_without_dark = {"org.gnome.desktop.background": [("picture-uri", "s", "''"),
                                                               ("picture-options", "s", "'zoom'")]}
        # GNOME's schema is there beside the desktop's own: only the
        # desktop's key may change.
        cases = [
            ("X-Cinnamon", {**GNOME, **CINNAMON}, "org.cinnamon.desktop.background", "picture-uri", "uri"),
            ("MATE", {**GNOME, **MATE}, "org.mate.background", "picture-filename", "path"),
            # UKUI's desktop reads MATE's key, as a plain absolute path.
            ("UKUI", {**GNOME, **MATE}, "org.mate.background", "picture-filename", "path"),
            ("GNOME", gnome_without_dark, "org.gnome.desktop.background", "picture-uri", "uri"),
        ]
        for desktop, schemas, schema, key, form in cases:
            with self.subTest(desktop):
                env, _ = settings_env(desktop, schemas)
                bitmap = new_bitmap(AWKWARD)
                busenv.run_wallpaper(ARGS.probe, bitmap, env)
                value = setting(env, schema, key)
                shown = uri_path(value) if form == "uri" else value
                self.assertTrue(os.path.isabs(shown), value)
                busenv.assert_shows_bitmap(self, shown, bitmap)
                if schema != "org.gnome.desktop.background":
                    self.assertEqual(setting(env, "org.gnome.desktop.background", "picture-uri"), "")
        # The key the schema lacks was not invented, the others not touched.
        env, _ = settings_env("GNOME", gnome_without_dark)
        busenv.run_wallpaper(ARGS.probe, new_bitmap(), env)
        self.assertEqual(setting(env, "org.gnome.desktop.background", "picture-options"), "zoom")

    def test_nothing_is_set_where_nothing_can_be(self):
        odd_type = {"org.gnome.desktop.background": [("picture-uri", "as", "[]"), ("picture-uri-dark", "i", "0")]}
        unrelated = {"org.example.other": [("picture-uri", "s", "''")]}
        everything = {**GNOME, **MATE, **CINNAMON}
        cases = [
            ("no schema at all", settings_env("GNOME", {})),
            ("only other schemas", settings_env("GNOME", unrelated)),
            ("keys of another type", settings_env("GNOME", odd_type)),
            ("Cinnamon without its schema", settings_env("X-Cinnamon", GNOME)),
            ("MATE without its schema", settings_env("MATE", GNOME)),
            ("UKUI without MATE's schema", settings_env("UKUI", GNOME)),
            ("an unknown desktop", settings_env("Hyprland", everything)),
            ("no desktop named", settings_env(None, everything)),
        ]
        for label, (env, keyfile) in cases:
            with self.subTest(label):
                bitmap = new_bitmap()
                elapsed, _ = busenv.run_wallpaper(ARGS.probe, bitmap, env)
                self.assertFalse(os.path.exists(keyfile), "a setting was written")
                self.assertEqual(busenv.shown_names(bitmap), [], "a name made for no desktop stays")
                self.assertLess(elapsed, 3000)

    def test_no_bitmap_leaves_the_wallpaper_as_it_was(self):
        env, keyfile = settings_env("GNOME", GNOME)
        bitmap = new_bitmap()
        busenv.run_wallpaper(ARGS.probe, bitmap, env)
        before = setting(env, "org.gnome.desktop.background", "picture-uri")
        os.remove(bitmap)
        busenv.run_wallpaper(ARGS.probe, bitmap, env)
        self.assertEqual(setting(env, "org.gnome.desktop.background", "picture-uri"), before)
        self.assertTrue(os.path.exists(uri_path(before)), "the picture on show was removed")


if __name__ == "__main__":
    unittest.main(verbosity=2)
