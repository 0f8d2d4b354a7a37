"""The built program in a folder of its own (or a package's) with a private home, natively or under Wine, and its
runs; the roots and disks it may be run in."""
import collections
import datetime
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
import zoneinfo
from pathlib import Path

import wine

AUTOSTART_NAME = "Pavo壁纸"
CAPTION = "Pavo壁纸 - by RZ31"  # the window's
# The settings of a day's run; 域名 is the test's.
SETTINGS = {"开机自启动": "0", "设为壁纸": "1", "延迟运行": "0", "备用域名": "x"}


class Config(collections.namedtuple("Config", "platform build program")):
    """What the tests are given: "linux" or "win32", the build folder, the program file."""
    windows = property(lambda self: self.platform == "win32")


# A run to its end: exit status, output, wall and CPU seconds, the settings file's bytes before it (None where there
# was none), and the day's image: that of the day the run started, or of the day it ended where that one is kept.
Run = collections.namedtuple("Run", "returncode output seconds cpu settings image")
# The stored wallpaper choice, whether it names the bitmap, and the log-on entry (the .reg data on Windows, the file's
# text on Linux; None where there is none).
Desktop = collections.namedtuple("Desktop", "wallpaper applied entry")


def today(tz=None):  # the local date, in the time zone tz where given
    return datetime.datetime.now(tz and zoneinfo.ZoneInfo(tz)).strftime("%Y%m%d")


def wait_until(done, seconds=5, step=0.05):  # done()'s value once true, or its last
    deadline = time.monotonic() + seconds
    while not (value := done()) and time.monotonic() < deadline:
        time.sleep(step)
    return value


def needs(program, package):
    """A program the tests run (a glob for a path), or a failure that names its Debian package; a stand-in
    of the desktop tests (in a folder "installed") counts as missing."""
    found = glob.glob(program) if "*" in program else [p for p in [shutil.which(program)] if p]
    assert found and "/installed/" not in found[0], f"{program} is missing: install the Debian package {package}"
    return found[0]


def need_locale(name):  # generated where the machine lacks it (as root)
    lacks = lambda: subprocess.run(["locale"], env={"LC_ALL": name}, capture_output=True).stderr  # noqa: E731
    if lacks():
        subprocess.run(["localedef", "-i", name.split(".")[0], "-f", "UTF-8", name], capture_output=True)
        assert not lacks(), f"the locale {name} cannot be made (localedef, as root)"


def default_settings(build):  # the base URLs are the build's
    cache = (Path(build) / "CMakeCache.txt").read_text("utf-8")
    url = lambda name: re.search(f"^{name}:[^=]*=(.*)$", cache, re.M)[1]  # noqa: E731
    return ("[Config]\r\n开机自启动=0\r\n设为壁纸=1\r\n延迟运行=6\r\n"
            f"域名={url('PAVO_BASE_URL')}\r\n备用域名={url('PAVO_BACKUP_BASE_URL')}\r\n")


class ProgramDir:
    """The program of cfg in a folder of its own (or a package's), and a private home, for one test."""

    def __init__(self, test, cfg, package=None):
        self.cfg, self.tmp = cfg, Path(tempfile.mkdtemp(prefix="pavo-e2e-"))
        test.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.dir = unpack(package, self.tmp / "download") if package else self.tmp / "prog"
        self.exe = self.dir / ("pavo.exe" if cfg.windows else "pavo")
        if not package:
            self.dir.mkdir()
            shutil.copy2(cfg.program, self.exe)
        self.home = self.tmp / "home"
        (self.home / ".config").mkdir(parents=True)
        self.file_limit = None  # bytes: a full disk without a mount (RLIMIT_FSIZE, SIGXFSZ ignored; Linux)
        self.prefix = []  # a command the program is started through
        self.drive = None  # a Wine drive ("P:") whose root is the program's folder

    def move_to(self, directory):
        shutil.copytree(self.dir, directory, symlinks=True)
        shutil.rmtree(self.dir)
        self.dir, self.exe = directory, directory / self.exe.name

    ini = property(lambda self: self.dir / "cfg.ini")
    img = property(lambda self: self.dir / "img")
    bitmap = property(lambda self: self.dir / "img" / "WallPaper.bmp")
    day_file = lambda self, tz=None: self.img / (today(tz) + ".jpg")  # noqa: E731
    autostart_file = property(lambda self: self.home / ".config" / "autostart" / (AUTOSTART_NAME + ".desktop"))
    keyfile = property(lambda self: self.home / ".config" / "glib-2.0" / "settings" / "keyfile")

    def path(self, f=None):  # a file of the folder (the program by default) as the program names it
        f = Path(f or self.exe)
        if self.drive:
            return self.drive + "\\" + "\\".join(f.relative_to(self.dir).parts)
        return wine.path(f) if self.cfg.windows else str(f)

    def write_settings(self, values):  # in the order given; None leaves a key out
        lines = ["[Config]"] + [f"{k}={v}" for k, v in values.items() if v is not None]
        self.ini.write_bytes(("\r\n".join(lines) + "\r\n").encode("gbk" if self.cfg.windows else "utf-8"))

    def env(self, extra=None):
        # Whatever proxy and desktop session the machine running the tests has are no part of them.
        env = {k: v for k, v in os.environ.items() if k.lower() not in ("http_proxy", "https_proxy", "all_proxy",
               "no_proxy", "dbus_session_bus_address", "swaysock", "xdg_runtime_dir")}
        if not self.cfg.windows:
            # A GNOME desktop whose settings live in a key file of this home.
            env.update(HOME=str(self.home), XDG_CONFIG_HOME=str(self.home / ".config"),
                       XDG_CURRENT_DESKTOP="GNOME", GSETTINGS_BACKEND="keyfile", LC_ALL="C.UTF-8")
        return {**env, **(extra or {})}

    def start(self, extra_env=None, code_page=None, name="run", cmd=None):
        cmd = cmd or [str(wine.RUN)] * self.cfg.windows + [self.path() if self.drive else str(self.exe)]
        if self.file_limit:
            cmd = [sys.executable, "-c", "import os, resource, signal, sys; signal.signal(signal.SIGXFSZ, "
                   "signal.SIG_IGN); resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[1]),) * 2); "
                   "os.execv(sys.argv[2], sys.argv[2:])", str(self.file_limit)] + cmd
        if code_page:
            extra_env = dict(extra_env or {}, PAVO_WINE_LOCALE=wine.LOCALES[code_page])
        # Output goes to a file: Wine's services may hold a pipe open forever.
        with open(self.tmp / (name + ".out"), "wb") as o:
            for _ in range(100):
                try:
                    return subprocess.Popen(self.prefix + cmd, cwd=self.tmp, stdin=subprocess.DEVNULL, stdout=o,
                                            stderr=subprocess.STDOUT, env=self.env(extra_env))
                except OSError as e:
                    # A child forked by another thread while the copy was open for writing.
                    if e.errno != 26:
                        raise
                    time.sleep(0.05)

    def run(self, timeout=120, extra_env=None, code_page=None, name="run", cmd=None):
        t0, tz = time.monotonic(), (extra_env or {}).get("TZ")
        settings, image = self.ini.read_bytes() if self.ini.is_file() else None, self.day_file(tz)
        p = self.start(extra_env, code_page, name, cmd)
        while not (done := os.wait4(p.pid, os.WNOHANG))[0]:
            if time.monotonic() - t0 > timeout:
                self.kill(p)
                raise AssertionError(f"the program still ran after {timeout} s")
            time.sleep(0.02)
        p.returncode = os.waitstatus_to_exitcode(done[1])
        image = image if image.exists() or not self.day_file(tz).exists() else self.day_file(tz)
        return Run(p.returncode, (self.tmp / (name + ".out")).read_bytes(), time.monotonic() - t0,
                   done[2].ru_utime + done[2].ru_stime, settings, image)

    # As a crash would. Under Wine's usual locale tools/wine-run's process becomes the program; under another it
    # stays the program's parent, and the program's own limits end the program.
    def kill(self, proc):
        proc.kill()
        proc.wait(30)

    def pending_files(self):
        return sorted(str(f.relative_to(self.dir)) for f in [*self.dir.glob("*.part-*"), *self.img.glob("*.part-*")])

    def wait_for(self, pattern, proc, timeout=60):
        found = wait_until(lambda: sorted(self.dir.glob(pattern)) or proc.poll() is not None, timeout, 0.005)
        assert found and found is not True, f"no {pattern} within {timeout} s (the program's status: {proc.poll()})"
        return found[0]

    def plant_autostart(self, path):  # an entry naming path, as an earlier copy leaves it
        if self.cfg.windows:
            return wine.reg_import({wine.RUN_KEY: {AUTOSTART_NAME: wine.quote(path)}})
        self.autostart_file.parent.mkdir(parents=True, exist_ok=True)
        self.autostart_file.write_text(f"[Desktop Entry]\nType=Application\nName=x\nExec={path}\n")

    def desktop(self):
        """What the desktop stores (a Desktop), in one registry read under Wine; on Linux GNOME's picture-uri as a
        path, where a second name of the bitmap serves too."""
        if self.cfg.windows:
            keys = wine.registry()
            stored = re.sub(r"\\(.)", r"\1", keys.get(wine.WALLPAPER_KEY.lower(), {}).get("Wallpaper", '""')[1:-1])
            entry = keys.get(wine.RUN_KEY.lower(), {}).get(AUTOSTART_NAME)
            return Desktop(stored, stored == self.path(self.bitmap), entry)
        text = self.keyfile.read_text(encoding="utf-8") if self.keyfile.exists() else ""
        m = re.search(r"^picture-uri='(?:file://)?([^']*)'", text, re.M)
        stored = urllib.parse.unquote(m[1]) if m else ""
        entry = self.autostart_file.read_text(encoding="utf-8") if self.autostart_file.exists() else None
        named = os.path.exists(stored) and self.bitmap.exists() and os.path.samefile(stored, self.bitmap)
        return Desktop(stored, named, entry)


def unpack(package, into):
    shutil.unpack_archive(package, into)
    (top,) = into.iterdir()  # one folder, as its user expects
    return top


def small_disk(test, p, size, leave=0):
    """p moved to a tmpfs of size bytes more than the program, filled (by ./filler) up to about leave
    bytes; the test is skipped where nothing can be mounted."""
    d = Path(tempfile.mkdtemp(prefix="pavo-disk-"))
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={p.exe.stat().st_size + size}", "tmpfs", str(d)],
                          capture_output=True, text=True)
    if done.returncode:
        test.skipTest("a small disk cannot be mounted here: " + done.stderr.strip())
    test.addCleanup(shutil.rmtree, d, ignore_errors=True)
    test.addCleanup(subprocess.run, ["umount", "-l", str(d)], capture_output=True)
    p.move_to(d / "prog")
    st = os.statvfs(d)
    with open(d / "filler", "wb", buffering=0) as f:
        f.write(b"\0" * max(0, st.f_bavail * st.f_frsize - leave))
    return d


def without_proc(test, p):
    """A root of its own for p's program, where /proc is not mounted (the system's /usr and /etc read-only,
    the program's folder at /prog), and the command that starts the program there; the test is skipped where
    no mount namespace can be made."""
    root = p.tmp / "root"
    for d in ("usr", "etc", "prog"):
        (root / d).mkdir(parents=True)
    for link in ("bin", "lib", "lib64"):
        (root / link).symlink_to("usr/" + link)
    done = subprocess.run(["unshare", "--mount", "true"], capture_output=True, text=True)
    if done.returncode:
        test.skipTest("no mount namespace here: " + done.stderr.strip())
    script = ('for d in usr etc; do mount -o bind,ro /$d "$0/$d"; done; mount --bind "$1" "$0/prog"; '
              'exec chroot "$0" "$2"')
    return root, ["unshare", "--mount", "sh", "-ec", script, str(root), str(p.dir), "/prog/" + p.exe.name]


def debian_root(what, readme=None):
    """The root of `what` ("Debian 11") with the packages of the README's apt line for it, made once by
    tools/debian-root (outside the clone); fails, saying why, where it cannot be made."""
    text = readme or (wine.ROOT / "README.md").read_text("utf-8")
    (line,) = re.findall(rf"\bapt install\s+([^#\n]*?)\s*#.*\b{what}\b", text)
    suite = {"Debian 11": "bullseye", "Debian 13": "trixie"}[what]
    made = subprocess.run([str(wine.ROOT / "tools" / "debian-root"), suite, *line.split()], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    if made.returncode:
        raise AssertionError(f"no {what} root: {made.stderr.strip()}")
    return Path(made.stdout.strip())

