"""The wallpaper on every Linux desktop the program knows, each desktop's own
store standing in (GSettings with schemas of the test's own, the real
xfconfd, a mock plasmashell, stand-in commands on PATH), as rows of three
tables: desktops that take the picture, ones nothing can reach, and ones
that do not answer."""
import glob
import json
import os
import pathlib
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop_env as d  # noqa: E402

ARGS = d.enter()

import dbus  # noqa: E402  (Debian's python3-dbus, python3-dbusmock, python3-gi)
from gi.repository import GLib  # noqa: E402

# Folder names a careless quoting would break (sway's commands cannot carry
# quotes or a line end: the program refuses such a path).
AWKWARD = "it's \"my\" \\pics\\ 壁纸 ${x} `y`;\n</script>"
TAME = "my pictures 壁纸"

GNOME, CINNAMON, MATE = "org.gnome.desktop.background", "org.cinnamon.desktop.background", "org.mate.background"
SCHEMAS = {GNOME: ["picture-uri", "picture-uri-dark", "picture-options"], CINNAMON: ["picture-uri"],
           MATE: ["picture-filename"]}


def gsettings(desktop, wanted, schemas=SCHEMAS, backend="keyfile"):
    """Settings that see only the given schemas (keys "name[:type:default]",
    strings '' by default), in a key file of their own or the private
    session's dconf; each wanted (schema, key) holds the picture, no other key
    may change."""
    directory, empty = d.folder("schemas-"), d.folder("empty-")
    keys = {s: [(k + ":s:''").split(":")[:3] for k in names] for s, names in schemas.items()}
    with open(os.path.join(directory, "test.gschema.xml"), "w") as f:
        f.write("<schemalist>%s</schemalist>" % "".join('<schema id="%s" path="/%s/">%s</schema>' % (
            s, s.replace(".", "/"), "".join('<key name="%s" type="%s"><default>%s</default></key>' % tuple(k)
                                            for k in ks)) for s, ks in keys.items()))
    subprocess.run(["glib-compile-schemas", directory], check=True)
    config = {"XDG_CONFIG_HOME": d.folder("config-")} if backend == "keyfile" else {}  # dconf: the session's
    env = d.env_with(XDG_CURRENT_DESKTOP=desktop, GSETTINGS_BACKEND=backend, GSETTINGS_SCHEMA_DIR=directory,
                     XDG_DATA_DIRS=empty, XDG_DATA_HOME=empty, **config)

    def stored():
        slots = []
        for schema, ks in keys.items():
            for name, _, default in ks:
                got = subprocess.run(["gsettings", "get", schema, name], env=env, capture_output=True, text=True,
                                     check=True).stdout.strip()
                if (schema, name) not in wanted:
                    assert got == default, "%s %s changed to %s" % (schema, name, got)
                elif "-uri" in name and got != "''":
                    slots.append(GLib.filename_from_uri(GLib.Variant.parse(None, got).unpack())[0])
                else:
                    slots.append(GLib.Variant.parse(None, got).unpack())
        return slots
    return env, stored, len(wanted)


IMAGES = ["/backdrop/screen0/monitor0/workspace0/last-image", "/backdrop/screen0/monitorVirtual-1/workspace1/last-image",
          "/backdrop/screen1/monitorDP-2/workspace3/last-image", "/backdrop/screen0/monitor0/image-path"]
NOT_IMAGES = {"/backdrop/screen0/monitor0/workspace0/image-style": dbus.Int32(5),
              "/backdrop/screen0/monitor0/last-single-image": "/old/single.png",
              "/backdrop/screen0/monitor0/workspace0/last-image-note": "/old/note.png",
              "/desktop-icons/last-image": "/old/outside.png"}


def xfce(case, images=IMAGES):
    """The real xfconfd, its desktop channel holding images of each monitor
    and workspace (the last one the older desktop's) and other properties."""
    daemon = glob.glob("/usr/lib/*/xfce4/xfconf/xfconfd")
    process = subprocess.Popen(daemon[:1], env=dict(os.environ, XDG_CONFIG_HOME=d.folder("xfconf-")),
                               stderr=subprocess.DEVNULL)
    case.addCleanup(lambda: (process.terminate(), process.wait()))
    assert d.wait_until(lambda: dbus.SessionBus().name_has_owner("org.xfce.Xfconf"), 20), "no xfconfd"
    xfconf = dbus.Interface(dbus.SessionBus().get_object("org.xfce.Xfconf", "/org/xfce/Xfconf"), "org.xfce.Xfconf")
    for name, value in [(p, "/old/%d.png" % i) for i, p in enumerate(images)] + list(NOT_IMAGES.items()):
        xfconf.SetProperty("xfce4-desktop", name, value)
    xfconf.SetProperty("xfce4-panel", IMAGES[0], "/old/panel.png")

    def stored():
        names = xfconf.GetAllProperties("xfce4-desktop", "/backdrop").keys()
        assert sorted(n for n in names if n.endswith(("/last-image", "/image-path"))) == sorted(images), names
        for name, value in NOT_IMAGES.items():
            assert xfconf.GetProperty("xfce4-desktop", name) == value, name
        assert xfconf.GetProperty("xfce4-panel", IMAGES[0]) == "/old/panel.png"
        return [str(xfconf.GetProperty("xfce4-desktop", p)) for p in images]
    return d.env_with(XDG_CURRENT_DESKTOP="XFCE"), stored, len(images)


# A Plasma script run against stand-in desktops: desktops() gives two; with
# activities, two activities hold three, one shared with desktops().
RUNNER = r"""
const script = require("fs").readFileSync(0, "utf8"), withActivities = process.argv.at(-1) === "1";
function Desktop(id) {
  this.id = id; this.writes = [];
  Object.defineProperty(this, "wallpaperPlugin", {set: (v) => { this.plugin = v; }, get: () => this.plugin});
  Object.defineProperty(this, "currentConfigGroup", {set: (v) => { this.group = v.slice(); }, get: () => this.group});
}
Desktop.prototype.writeConfig = function (key, value) { this.writes.push([this.plugin, this.group, key, value]); };
const d = [1, 2, 3, 4].map((i) => new Desktop(i));
const api = {desktops: () => [d[0], d[1]]};
if (withActivities) Object.assign(api, {activities: () => ["a", "b"],
                                        desktopsForActivity: (id) => (id === "a" ? [d[1], d[2]] : [d[3]])});
new Function(...Object.keys(api), script)(...Object.values(api));
console.log(JSON.stringify(d.map((x) => x.writes)));
"""


def plasma(case, answer='ret = ""'):
    """A mock plasmashell (answer: its method's code; None: no shell at all)."""
    calls = d.service(case, "org.kde.plasmashell", "/PlasmaShell", "org.kde.PlasmaShell", "evaluateScript", "s", "s",
                      answer)[0] if answer else list

    def stored():
        slots = []
        for activities, touched in (("1", [1, 1, 1, 1]), ("0", [1, 1, 0, 0])):
            done = subprocess.run(["node", "-e", RUNNER, "--", activities], input=calls()[-1][0], capture_output=True,
                                  text=True, check=True, timeout=60) if calls() else None
            for writes in json.loads(done.stdout) if done else []:
                assert all(w[:3] == ["org.kde.image", ["Wallpaper", "org.kde.image", "General"], "Image"]
                           for w in writes), writes
                slots += [GLib.filename_from_uri(w[3])[0] for w in writes]
            assert not done or [len(w) for w in json.loads(done.stdout)] == touched, "each desktop once"
        return slots
    return d.env_with(XDG_CURRENT_DESKTOP="KDE"), stored, 6


def command(program, template, behaviour, desktop, swaysock=None):
    """A stand-in program on PATH that records its arguments, then behaves as
    told; template: its arguments, with {} for the picture."""
    directory = d.folder("bin-")
    record = os.path.join(directory, "args")
    with open(os.path.join(directory, program), "w") as f:
        f.write('#!/bin/sh\nfor a in "$@"; do printf "%%s\\0" "$a"; done > "%s"\n%s\n' % (record, behaviour))
    os.chmod(os.path.join(directory, program), 0o700)
    before, after = template.split("{}")

    def stored():
        if not os.path.exists(record):
            return []
        with open(record, "rb") as f:
            args = "\n".join(f.read().decode().split("\0")[:-1])
        return [args[len(before):len(args) - len(after)] if args.startswith(before) and args.endswith(after) else args]
    return d.env_with(PATH=directory + ":/usr/bin:/bin", XDG_CURRENT_DESKTOP=desktop, SWAYSOCK=swaysock), stored, 1


PCMANFM, SWAY = "--set-wallpaper\n{}", 'output * bg "{}" fill'
URIS = [(GNOME, "picture-uri"), (GNOME, "picture-uri-dark")]


class Wallpaper(unittest.TestCase):
    def test_each_desktop_takes_the_picture_where_it_keeps_it(self):
        rows = [  # (desktop, setup and its arguments), in a folder a careless quoting would break
            ("GNOME", gsettings, "GNOME", URIS), ("ubuntu:GNOME", gsettings, "ubuntu:GNOME", URIS),
            ("Budgie:GNOME", gsettings, "Budgie:GNOME", URIS),
            ("GNOME, no dark key", gsettings, "GNOME", URIS[:1], {GNOME: ["picture-uri", "picture-options"]}),
            ("GNOME, settings daemon", gsettings, "GNOME", URIS, SCHEMAS, "dconf"),
            ("X-Cinnamon", gsettings, "X-Cinnamon", [(CINNAMON, "picture-uri")]),
            ("MATE", gsettings, "MATE", [(MATE, "picture-filename")]),
            ("UKUI", gsettings, "UKUI", [(MATE, "picture-filename")]), ("XFCE", xfce, self), ("KDE", plasma, self),
            ("LXQt", command, "pcmanfm-qt", PCMANFM, "exit 0", "LXQt"),
            ("LXDE", command, "pcmanfm", PCMANFM, "exit 0", "LXDE"),
            ("sway", command, "swaymsg", SWAY, "exit 0", "sway"),
            ("sway by its socket", command, "swaymsg", SWAY, "exit 0", None, "/run/user/0/sway-ipc.sock"),
        ]
        for label, setup, *args in rows:
            with self.subTest(label):
                env, stored, slots = setup(*args)
                bitmap = d.new_bitmap(TAME if "sway" in label else AWKWARD)
                # The same bitmap again keeps its name; the next day's gets a
                # new one, and the old goes once the desktop has the new one.
                for day in (1, 1, 2):
                    if day == 2:
                        d.rewrite(bitmap, b"BM day 2", 1700086400)
                    self.assertLess(d.once(ARGS.probe, env, "wallpaper " + bitmap), 8000)
                    shown = d.beside(bitmap)
                    self.assertTrue(len(shown) == 1 and os.path.samefile(shown[0], bitmap), shown)
                    self.assertEqual(stored(), shown * slots)
                os.remove(bitmap)  # no bitmap: the desktop keeps the picture it shows
                d.once(ARGS.probe, env, "wallpaper " + bitmap)
                self.assertEqual((stored(), d.beside(bitmap)), (shown * slots, shown))

    def test_a_desktop_nothing_can_reach_is_left_as_it_was(self):
        rows = [
            ("no schema at all", gsettings, "GNOME", [], {}),
            ("only other schemas", gsettings, "GNOME", [], {"org.example.other": ["picture-uri"]}),
            ("keys of another type", gsettings, "GNOME", [], {GNOME: ["picture-uri:as:@as []", "picture-uri-dark:i:0"]}),
            ("Cinnamon without its schema", gsettings, "X-Cinnamon", [], {GNOME: SCHEMAS[GNOME]}),
            ("MATE without its schema", gsettings, "MATE", [], {GNOME: SCHEMAS[GNOME]}),
            ("UKUI without MATE's schema", gsettings, "UKUI", [], {GNOME: SCHEMAS[GNOME]}),
            ("an unknown desktop", gsettings, "Hyprland", []), ("no desktop named", gsettings, None, []),
            ("XFCE without image properties", xfce, self, []), ("KDE without a shell", plasma, self, None),
            ("LXQt without its program", command, "x", PCMANFM, "", "LXQt"),
            ("LXDE without its program", command, "x", PCMANFM, "", "LXDE"),
            ("sway without its program", command, "x", SWAY, "", "sway"),
            ("a path sway cannot carry", command, "swaymsg", SWAY, "", "sway"),
        ]
        for label, setup, *args in rows:
            with self.subTest(label):
                env, stored, _ = setup(*args)
                before = stored()
                bitmap = d.new_bitmap(AWKWARD if "cannot carry" in label else TAME)
                self.assertLess(d.once(ARGS.probe, env, "wallpaper " + bitmap), 3000)
                self.assertEqual(stored(), before)
                self.assertEqual(d.beside(bitmap), [os.path.join(os.path.dirname(bitmap), d.LEFTOVER)],
                                 "a name made for no desktop stays")

    def test_a_desktop_that_does_not_answer_holds_no_run_and_nothing_piles_up(self):
        # No clear answer: the desktop may show the new name or the one
        # before, so both stay, and no more; a process that lives on keeps
        # no child and gains no thread with each request.
        rows = [
            ("a command that fails", 3, command, "pcmanfm", PCMANFM, "exit 3", "LXDE"),
            ("a command that hangs", 2, command, "pcmanfm", PCMANFM, "exec sleep 60", "LXDE"),
            ("a shell that does not answer", 2, plasma, self, "import time\ntime.sleep(30)\nret = ''"),
            ("a settings daemon that does not answer", 2, self.silent_dconf),
        ]
        for label, days, setup, *args in rows:
            with self.subTest(label):
                env, _, _ = setup(*args)
                bitmap = d.new_bitmap()
                probe = d.Probe(ARGS.probe, env)
                self.addCleanup(probe.close)
                for day in range(1, days + 1):
                    d.rewrite(bitmap, b"BM day %d" % day, 1700000000 + day * 86400)
                    self.assertLess(probe.command("wallpaper " + bitmap, timeout=30), 8000)
                    self.assertEqual(probe.children(), [], "a program it started still runs")
                    threads = probe.threads() if day == 1 else threads
                    contents = [pathlib.Path(name).read_bytes() for name in d.beside(bitmap)]
                    self.assertEqual(contents, [b"BM day %d" % n for n in range(max(1, day - 1), day + 1)])
                self.assertLessEqual(probe.threads(), threads)

    def silent_dconf(self):
        """The settings daemon's name, taken by one that takes each change and
        never answers."""
        bus = dbus.SessionBus()
        if bus.name_has_owner("ca.desrt.dconf"):  # the real daemon, started by an earlier row
            os.kill(bus.get_unix_process_id("ca.desrt.dconf"), 15)
            d.wait_until(lambda: not bus.name_has_owner("ca.desrt.dconf"))
        d.service(self, "ca.desrt.dconf", "/ca/desrt/dconf/Writer/user", "ca.desrt.dconf.Writer", "Change", "ay", "s",
                  "import time\ntime.sleep(30)\nret = ''")
        return gsettings("GNOME", URIS, SCHEMAS, "dconf")


if __name__ == "__main__":
    unittest.main(verbosity=2)
