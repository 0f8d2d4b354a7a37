"""The Linux desktops through the probe (probe.cpp) on a private session bus and home, each desktop's store
standing in. Failing stand-ins of every desktop's programs sit at the end of PATH: a row that means a program to
be missing but leaves the machine's PATH reaches one and fails, on any machine."""
import glob
import json
import os
import pathlib
import select
import socketserver
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "e2e"))
from program import CAPTION, needs, wait_until  # noqa: E402  (the end-to-end tests' support)
_DESKTOP = ("XDG_CURRENT_DESKTOP", "SWAYSOCK", "GSETTINGS_BACKEND", "GSETTINGS_SCHEMA_DIR", "DBUS_SESSION_BUS_ADDRESS")
# A user's files like the bitmap's second names, which no tidying may touch; a leftover one, which goes.
LOOK_ALIKES = ["WallPaper-notes.bmp", "WallPaper-12.jpg", "WallPaper-.bmp", "Other-12.bmp", "WallPaper-12.bmp.bak",
               "WallPaper-2024.bmp", "WallPaper-01600000000000000000.bmp", "WallPaper-1600000000000000000.bmp.part"]
LEFTOVER = "WallPaper-1600000000000000000.bmp.part-12"
INSTALLED = ("pcmanfm-qt", "pcmanfm", "swaymsg", "xfconf-query", "qdbus", "plasmashell", "gsettings")


def stub(path, body):  # a shell script on a PATH
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o700)


def enter():  # arguments: the probe, the tray's icon file ("" for none), then unittest's
    if os.environ.get("PAVO_SESSION_ROOT"):
        return (sys.argv + [""])[1:3]
    with tempfile.TemporaryDirectory(prefix="pavo-session-") as root:
        env = {k: v for k, v in os.environ.items() if k not in _DESKTOP}
        installed = os.path.join(root, "installed")
        os.mkdir(installed)
        for program in INSTALLED:  # each fails: the desktop may not have it, and the second name stays
            stub(pathlib.Path(installed, program), "exit 1\n")
        env["PATH"] = env.get("PATH", "/usr/bin:/bin") + ":" + installed
        for name in ("HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"):
            env[name] = tempfile.mkdtemp(prefix=name + "-", dir=root)  # (private: mode 0700)
        sys.exit(subprocess.call([needs("dbus-run-session", "dbus-daemon"), "--", sys.executable] + sys.argv,
                                 env=dict(env, PAVO_SESSION_ROOT=root)))


def folder(prefix):
    return tempfile.mkdtemp(prefix=prefix, dir=os.environ["PAVO_SESSION_ROOT"])


def env_with(**changes):  # None unsets
    env = dict({k: v for k, v in os.environ.items() if k not in _DESKTOP[:4]}, **changes)
    return {k: v for k, v in env.items() if v is not None}


def rewrite(bitmap, content, mtime):  # as the conversion does: beside it, then renamed
    pathlib.Path(bitmap + ".new").write_bytes(content)
    os.utime(bitmap + ".new", (mtime, mtime))
    os.replace(bitmap + ".new", bitmap)


def new_bitmap(name="img"):
    directory = os.path.join(folder("case-"), name)
    os.makedirs(directory)
    [pathlib.Path(directory, other).touch() for other in LOOK_ALIKES + [LEFTOVER]]
    rewrite(os.path.join(directory, "WallPaper.bmp"), b"BM day 1", 1700000000)
    return os.path.join(directory, "WallPaper.bmp")


def beside(bitmap):  # but the look-alikes, which must all stay
    names = os.listdir(os.path.dirname(bitmap))
    assert all(n in names for n in LOOK_ALIKES), names
    return sorted(os.path.join(os.path.dirname(bitmap), n) for n in names if n not in LOOK_ALIKES + ["WallPaper.bmp"])


class Probe:
    def __init__(self, env, case):  # (closed at the case's end)
        self.process = subprocess.Popen([PROBE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True)
        self.done(20)  # (once it waits for messages)
        case.addCleanup(self.close)

    def done(self, timeout):  # its answer
        assert select.select([self.process.stdout], [], [], timeout)[0], "no answer in %d s" % timeout
        assert self.process.stdout.readline() == "done\n"

    def command(self, line, timeout=20):  # the milliseconds to its answer
        start = time.monotonic()
        self.process.stdin.write(line + "\0")
        self.process.stdin.flush()
        self.done(timeout)
        return (time.monotonic() - start) * 1000

    def load(self):  # its children, of every thread, and its threads
        tasks = glob.glob("/proc/%d/task/*/children" % self.process.pid)
        return [c for t in tasks for c in pathlib.Path(t).read_text().split()], len(tasks)

    def close(self):  # its input's end ends it at once, as the run ends, and well
        self.process.communicate(timeout=10)
        assert self.process.returncode == 0, "the probe failed"


def once(env, line):  # the milliseconds to a probe's end, which ends at once with its input as the run does
    start = time.monotonic()
    assert subprocess.check_output([PROBE], input=line + "\0", text=True, env=env, timeout=20) == "done\n" * 2
    return (time.monotonic() - start) * 1000


def daemon(case, name, argv, **env):  # a process that owns name on the session bus until stopped or the case ends
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=dict(os.environ, **env))
    stop = lambda: process.poll() is None and (process.terminate(), process.wait())  # noqa: E731
    case.addCleanup(stop)
    assert wait_until(lambda: dbus.SessionBus().name_has_owner(name), 20), name
    return stop


def service(case, *described):  # a mock D-Bus service of one method (mock_service.py): its calls so far, and its end
    stop = daemon(case, described[0], [sys.executable, "-m", "dbusmock", "-t", pathlib.Path(__file__).with_name(
        "mock_service.py")], PAVO_MOCK=json.dumps(described))
    mock = dbus.Interface(dbus.SessionBus().get_object(described[0], described[1]), "org.freedesktop.DBus.Mock")
    return lambda: [[str(a) for a in c[2]] for c in mock.GetCalls() if c[1] == described[3]], stop


PROBE, ICON = enter()

import dbus  # noqa: E402  (Debian's python3-dbus, python3-dbusmock, python3-gi)
from gi.repository import GLib  # noqa: E402

ITEM, PROPS = "org.kde.StatusNotifierItem", "org.freedesktop.DBus.Properties"


WATCHER = ("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
           "RegisterStatusNotifierItem", "s", "", "")


class TrayItem(unittest.TestCase):
    def test_the_item_is_up_from_the_minimise_to_the_removal_and_the_wallpaper_shares_its_bus(self):
        address = os.environ["DBUS_SESSION_BUS_ADDRESS"].split("unix:path=", 1)[1].split(",", 1)[0]
        runtime = folder("runtime-")  # the bus found without its address, through the runtime folder
        os.symlink(address, os.path.join(runtime, "bus"))
        probe = Probe(env_with(XDG_CURRENT_DESKTOP="KDE", DBUS_SESSION_BUS_ADDRESS=None, XDG_RUNTIME_DIR=runtime), self)
        name = "org.kde.StatusNotifierItem-%d-1" % probe.process.pid
        bus = dbus.SessionBus()
        [probe.command("state %d" % state) for state in (0, 2)]  # a resize that is no minimise does nothing
        self.assertFalse(bus.name_has_owner(name))
        early, stop = service(self, *WATCHER)
        self.assertLess(probe.command("state 1"), 3000)
        self.assertTrue(wait_until(lambda: early() == [[name]]), early())
        stop()
        registered, stop = service(self, *WATCHER)  # a watcher that comes later hears of the item too
        self.assertTrue(wait_until(lambda: registered() == [[name]]), registered())
        item = bus.get_object(name, "/StatusNotifierItem")
        props = item.GetAll(ITEM, dbus_interface=PROPS, timeout=5)  # while the probe waits: the wait must wake for it
        self.assertEqual({k: props[k][2:] if k == "ToolTip" else props[k] for k in
                          ("Category", "Id", "Title", "Status", "IconName", "ItemIsMenu", "Menu", "ToolTip")},
                         {"Category": "ApplicationStatus", "Id": CAPTION, "Title": CAPTION, "Status": "Active",
                          "IconName": "", "ItemIsMenu": False, "Menu": "/NO_DBUSMENU", "ToolTip": (CAPTION, "")})
        if ICON.endswith(".ico"):  # its images of 16, 32 and 48 pixels (its first), as ImageMagick reads them
            rgba = subprocess.check_output([needs("convert", "imagemagick"), ICON, "-depth", "8", "rgba:-"])
            argb = bytes(rgba[j - j % 4 + (j + 3) % 4] for j in range((16 * 16 + 32 * 32 + 48 * 48) * 4))
            self.assertEqual([(w, h, bytes(data)) for w, h, data in props["IconPixmap"]],
                             [(16, 16, argb[:1024]), (32, 32, argb[1024:5120]), (48, 48, argb[5120:])])
        else:  # a build given another picture, or none
            print(f"the tray's pixels not compared: the build's icon {ICON!r} is no .ico", file=sys.stderr)
        for method, *args in ("Activate", 0, 0), ("SecondaryActivate", 5, 5), ("ContextMenu", 1, 1), ("Scroll", 3, "x"):
            getattr(item, method)(*args, dbus_interface=ITEM, timeout=5)  # accepted, and nothing happens:
        self.assertEqual((item.GetAll(ITEM, dbus_interface=PROPS, timeout=5), probe.load()[0]), (props, []),
                         "the item changed, or a program was started")
        probe.command("state 1")  # minimised again: no second item
        probe.command("wallpaper " + new_bitmap())  # a request to a shell on the same bus leaves the item up
        self.assertEqual(item.Get(ITEM, "Title", dbus_interface=PROPS, timeout=5), CAPTION)
        self.assertLess(probe.command("remove"), 3000)
        self.assertEqual(registered(), [[name]])
        self.assertFalse(bus.name_has_owner(name), "the item is gone while the process still lives")

    def test_with_a_bus_that_never_answers_no_item_and_the_run_goes_on(self):
        silent = folder("silent-") + "/bus"  # a bus that takes connections and never says a word
        self.addCleanup(socketserver.UnixStreamServer(silent, None).server_close)  # (listening until the end)
        probe = Probe(env_with(XDG_CURRENT_DESKTOP="KDE", DBUS_SESSION_BUS_ADDRESS="unix:path=" + silent), self)
        self.assertLess(probe.command("state 1"), 5000)
        bitmap = new_bitmap()
        self.assertLess(probe.command("wallpaper " + bitmap), 1500, "the same answer, at once")
        self.assertEqual(beside(bitmap), [os.path.join(os.path.dirname(bitmap), LEFTOVER)])
        self.assertLess(probe.command("remove"), 1500)


# Folder names a careless quoting would break (sway's commands cannot carry quotes: the program refuses them).
AWKWARD = "it's \"my\" \\pics\\ 壁纸 ${x} `y`;\n</script>"
TAME = "my pictures 壁纸"

GNOME, CINNAMON, MATE = "org.gnome.desktop.background", "org.cinnamon.desktop.background", "org.mate.background"
SCHEMAS = {GNOME: ["picture-uri", "picture-uri-dark", "picture-options"], CINNAMON: ["picture-uri"],
           MATE: ["picture-filename"]}


def gsettings(desktop, wanted, schemas=SCHEMAS, backend="keyfile"):
    """Settings of only these schemas (keys "name[:type:default]") in a key file or the session's dconf; each
    wanted (schema, key) holds the picture, and no other key may change."""
    directory, empty = folder("schemas-"), folder("empty-")
    keys = {s: [(k + ":s:''").split(":")[:3] for k in names] for s, names in schemas.items()}
    pathlib.Path(directory, "test.gschema.xml").write_text("<schemalist>%s</schemalist>" % "".join(
        '<schema id="%s" path="/%s/">%s</schema>' % (s, s.replace(".", "/"), "".join(
            '<key name="%s" type="%s"><default>%s</default></key>' % tuple(k) for k in ks)) for s, ks in keys.items()))
    subprocess.run([needs("glib-compile-schemas", "libglib2.0-bin"), directory], check=True)
    config = {"XDG_CONFIG_HOME": folder("config-")} if backend == "keyfile" else {}  # dconf: the session's
    env = env_with(XDG_CURRENT_DESKTOP=desktop, GSETTINGS_BACKEND=backend, GSETTINGS_SCHEMA_DIR=directory,
                   XDG_DATA_DIRS=empty, XDG_DATA_HOME=empty, **config)

    def stored():
        listed = subprocess.check_output([needs("gsettings", "libglib2.0-bin"), "list-recursively"], env=env, text=True)
        got = {tuple(line.split(" ", 2)[:2]): line.split(" ", 2)[2] for line in listed.splitlines()}
        assert all(got[s, k] == default for s, ks in keys.items() for k, _, default in ks if (s, k) not in wanted), got
        values = [GLib.Variant.parse(None, got[k]).unpack() for k in wanted]
        return [GLib.filename_from_uri(v)[0] if "-uri" in k[1] and v else v for k, v in zip(wanted, values)]
    return env, stored, len(wanted)


IMAGES = ["/backdrop/screen0/monitorDP-1/workspace1/last-image", "/backdrop/screen1/monitor0/workspace3/last-image",
          "/backdrop/screen0/monitor0/image-path"]  # (the last the older desktop's)
NOT_IMAGES = {"/backdrop/screen0/monitor0/last-single-image": "/1.png", "/backdrop/screen0/last-image-x": "/2.png"}


def xfce(case, images=IMAGES):  # the real xfconfd, with images of each monitor and workspace and other properties
    daemon(case, "org.xfce.Xfconf", [needs("/usr/lib/*/xfce4/xfconf/xfconfd", "xfconf")],
           XDG_CONFIG_HOME=folder("xfconf-"))
    xfconf = dbus.Interface(dbus.SessionBus().get_object("org.xfce.Xfconf", "/org/xfce/Xfconf"), "org.xfce.Xfconf")
    for name, value in [(p, "/old/%d.png" % i) for i, p in enumerate(images)] + list(NOT_IMAGES.items()):
        xfconf.SetProperty("xfce4-desktop", name, value)

    def stored():
        names = xfconf.GetAllProperties("xfce4-desktop", "/backdrop").keys()
        assert sorted(n for n in names if n.endswith(("/last-image", "/image-path"))) == sorted(images), names
        assert {n: xfconf.GetProperty("xfce4-desktop", n) for n in NOT_IMAGES} == NOT_IMAGES, "another property changed"
        return [str(xfconf.GetProperty("xfce4-desktop", p)) for p in images]
    return env_with(XDG_CURRENT_DESKTOP="XFCE"), stored, len(images)


# A Plasma script run against four stand-in desktops: desktops() gives two, two activities three, one shared.
RUNNER = r"""
const d = [1, 2, 3, 4].map((id) => ({id, writes: [], writeConfig(key, value) {
  this.writes.push([this.wallpaperPlugin, this.currentConfigGroup, key, value]); }}));
const api = {desktops: () => [d[0], d[1]], activities: () => ["a", "b"],
             desktopsForActivity: (id) => (id === "a" ? [d[1], d[2]] : [d[3]])};
new Function(...Object.keys(api), require("fs").readFileSync(0, "utf8"))(...Object.values(api));
console.log(JSON.stringify(d.map((x) => x.writes)));
"""


def plasma(case, answer='ret = ""'):  # a mock plasmashell (answer: its method's code; None: no shell)
    calls = service(case, "org.kde.plasmashell", "/PlasmaShell", "org.kde.PlasmaShell", "evaluateScript", "s", "s",
                    answer)[0] if answer else list

    def stored():  # each desktop's picture, the last script's
        writes = calls() and json.loads(subprocess.check_output([needs("node", "nodejs"), "-e", RUNNER],
                                                                input=calls()[-1][0], text=True, timeout=60))
        image = ["org.kde.image", ["Wallpaper", "org.kde.image", "General"], "Image"]
        assert all([x[:3] for x in w] == [image] for w in writes), "each desktop once, as an image: %s" % writes
        return [GLib.filename_from_uri(w[0][3])[0] for w in writes]
    return env_with(XDG_CURRENT_DESKTOP="KDE"), stored, 4 if answer else 0


def command(program, template, behaviour, desktop, swaysock=None):
    """A program on PATH that records its arguments, each ended by a NUL ({} the picture in the template), then
    behaves as told (told nothing: it must not be reached). No program: PATH holds an empty folder alone."""
    directory = folder("bin-")
    record = pathlib.Path(directory, "args")
    stub(pathlib.Path(directory, program or "x"), 'printf "%%s\\0" "$@" > "%s"\n%s\n' % (record, behaviour))
    before, after = template.split("{}")

    def stored():  # what stands for the picture, or all it was given
        return [record.read_text().removeprefix(before).removesuffix(after)] if record.exists() else []
    path = directory + (":" + os.environ["PATH"]) * bool(program)
    return env_with(PATH=path, XDG_CURRENT_DESKTOP=desktop, SWAYSOCK=swaysock), stored, int(bool(behaviour))


PCMANFM, SWAY, SOCK = "--set-wallpaper\0{}\0", 'output * bg "{}" fill\0', "/run/user/0/sway-ipc.sock"
URIS = [(GNOME, "picture-uri"), (GNOME, "picture-uri-dark")]


class Wallpaper(unittest.TestCase):
    def test_each_desktop_takes_the_picture_where_it_keeps_it_and_one_nothing_reaches_is_left_as_it_was(self):
        rows = [  # (desktop, setup and its arguments), in a folder a careless quoting would break
            ("GNOME, settings daemon", gsettings, "GNOME-Classic:ubuntu", URIS, SCHEMAS, "dconf"),  # (a key file: e2e)
            ("GNOME, no dark key", gsettings, "Budgie", URIS[:1], {GNOME: ["picture-uri", "picture-options"]}),
            ("X-Cinnamon", gsettings, "X-Cinnamon", [(CINNAMON, "picture-uri")]),
            ("MATE", gsettings, "MATE", [(MATE, "picture-filename")]),
            ("XFCE", xfce, self), ("KDE", plasma, self),
            # The list's first desktop known, in any case; before sway's socket.
            ("LXQt", command, "pcmanfm-qt", PCMANFM, "exit 0", "Unknown::lxqt:LXDE", SOCK),
            ("LXDE", command, "pcmanfm", PCMANFM, "exit 0", "Unknown:LXDE:LXQt"),
            ("sway", command, "swaymsg", SWAY, "exit 0", "sway"),
            ("sway by its socket", command, "swaymsg", SWAY, "exit 0", "", SOCK),
            # Nothing reached: no setting changes, and the leftover stays.
            ("sway, but by an empty socket", command, "swaymsg", SWAY, "", "GNOMEX", ""),
            ("a path sway would read otherwise", command, "swaymsg", SWAY, "", "sway"),
            ("keys of other types", gsettings, "GNOME", [], {GNOME: ["picture-uri:as:@as []", "picture-uri-dark:i:0"]}),
            ("MATE without its schema", gsettings, "MATE", [], {GNOME: SCHEMAS[GNOME]}),
            ("an unknown desktop", gsettings, "GNOMEX:LXQt5:Hyprland:", []),
            ("XFCE without image properties", xfce, self, []), ("KDE without a shell", plasma, self, None),
            ("LXQt without its program", command, None, PCMANFM, "", "LXQt"),
        ]
        for label, setup, *args in rows:
            with self.subTest(label):
                self.doCleanups()  # the last row's daemons and mocks go
                env, stored, slots = setup(*args)
                before, bitmap = stored(), new_bitmap(TAME if label.startswith("sway") else AWKWARD)
                leftover = [os.path.join(os.path.dirname(bitmap), LEFTOVER)]
                for day in (1, 1, 2):  # the same bitmap keeps its name; the next day's gets a new one, and the old goes
                    if day == 2:
                        rewrite(bitmap, b"BM day 2", 1700086400)
                    self.assertLess(once(env, "wallpaper " + bitmap), 8000 if slots else 3000)
                    shown = beside(bitmap)
                    self.assertTrue(os.path.samefile(*shown, bitmap) if slots else shown == leftover, shown)
                    self.assertEqual(stored(), shown * slots or before)
                os.remove(bitmap)  # no bitmap: the desktop keeps the picture it shows
                once(env, "wallpaper " + bitmap)
                self.assertEqual((stored(), beside(bitmap)), (shown * slots or before, shown))

    def test_a_desktop_that_does_not_answer_holds_no_run_and_nothing_piles_up(self):
        # No clear answer: the desktop may show the new name or the one before, so both stay, and no more (the
        # first day's name has nines); a process that lives on keeps no child and gains no thread with each request.
        rows = [
            ("a command that fails", 3, command, "pcmanfm", PCMANFM, "exit 3", "LXDE"),
            ("a command that hangs", 2, command, "pcmanfm", PCMANFM, "exec sleep 60", "LXDE"),
            ("a shell that does not answer", 2, plasma, self, "import time\ntime.sleep(30)\nret = ''"),
            ("a settings daemon that does not answer", 2, self.silent_dconf),
        ]
        for label, days, setup, *args in rows:
            with self.subTest(label):
                bitmap, probe = new_bitmap(), Probe(setup(*args)[0], self)
                for day in range(1, days + 1):
                    rewrite(bitmap, b"BM day %d" % day, 1699900000 + day * 86400)
                    self.assertLess(probe.command("wallpaper " + bitmap, timeout=30), 8000)
                    children, threads = probe.load()
                    first = threads if day == 1 else first
                    contents = [pathlib.Path(name).read_bytes() for name in beside(bitmap)]
                    self.assertEqual((children, contents), ([], [b"BM day %d" % n for n in (day - 1, day) if n]))
                self.assertLessEqual(probe.load()[1], first)

    def silent_dconf(self):  # the settings daemon's name, taken by one that never answers (the real one: later tests)
        service(self, "ca.desrt.dconf", "/ca/desrt/dconf/Writer/user", "ca.desrt.dconf.Writer", "Change", "ay", "s",
                "import time\ntime.sleep(30)\nret = ''")
        return gsettings("GNOME", URIS, SCHEMAS, "dconf")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:], verbosity=2)
