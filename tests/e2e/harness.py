"""The shared test support: the built program in a folder of its own (natively
or under Wine), the local image service and its misbehaviours, a relay in
front of it, the test prefix's registry, and tables. `harness.py serve --build
DIR -- COMMAND...` runs COMMAND beside the service (port in ./service/port)."""
import argparse
import collections
import concurrent.futures
import ctypes
import datetime
import hashlib
import operator
import os
import re
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import zoneinfo
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WINE_RUN = ROOT / "tools" / "wine-run"
RUN_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run"
WALLPAPER_KEY = r"HKEY_CURRENT_USER\Control Panel\Desktop"
INTERNET_SETTINGS = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
AUTOSTART_NAME = "Pavo壁纸"
CAPTION = "Pavo壁纸 - by RZ31"  # the window's
META = "/HPImageArchive.aspx?format=js&idx=0&n=1"
UA = "Mozilla/5.0 (Windows NT 6.1; WOW64; Trident/7.0; rv:11.0) like Gecko"
# Wine's ANSI code page follows the locale it runs in (tools/wine-run).
WINE_LOCALES = {936: "zh_CN.UTF-8", 1252: "en_US.UTF-8", 932: "ja_JP.UTF-8"}
# The settings of a day's run; 域名 is the test's.
SETTINGS = {"开机自启动": "0", "设为壁纸": "1", "延迟运行": "0", "备用域名": "x"}
_args = None


def configure(platform, build, program=None):
    global _args
    _args = argparse.Namespace(program=program, platform=platform, build=build)
    if windows():  # a table killed in a row may have left the shared prefix with the user's proxy set
        reg_import(INTERNET_SETTINGS, {"ProxyEnable": "dword:00000000", "ProxyServer": "-"})


def main():
    ap = argparse.ArgumentParser()
    for option in ("--program", "--platform", "--build"):
        ap.add_argument(option, required=True)
    a, rest = ap.parse_known_args()
    configure(a.platform, a.build, a.program)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


def windows():
    return _args.platform == "win32"


def today(tz=None):  # the local date, in the time zone tz where given
    return datetime.datetime.now(tz and zoneinfo.ZoneInfo(tz)).strftime("%Y%m%d")


def default_settings():  # the base URLs are the build's
    cache = (Path(_args.build) / "CMakeCache.txt").read_text("utf-8")
    url = lambda name: re.search(f"^{name}:[^=]*=(.*)$", cache, re.M)[1]
    return ("[Config]\r\n开机自启动=0\r\n设为壁纸=1\r\n延迟运行=6\r\n"
            f"域名={url('PAVO_BASE_URL')}\r\n备用域名={url('PAVO_BACKUP_BASE_URL')}\r\n")


def need_locale(name):  # generated where the machine lacks it (as root)
    have = lambda: name.lower().replace("utf-8", "utf8") in subprocess.run(  # noqa: E731
        ["locale", "-a"], capture_output=True, text=True).stdout.lower().split()
    if not have():
        done = subprocess.run(["localedef", "-i", name.split(".")[0], "-f", "UTF-8", name], capture_output=True,
                              text=True)
        assert have(), f"the locale {name} cannot be made: {done.stderr}"


def wait_until(done, seconds, step=0.05):  # done()'s value once true, or its last
    deadline = time.monotonic() + seconds
    while not (value := done()) and time.monotonic() < deadline:
        time.sleep(step)
    return value


def needs(program, package):  # a program the tests run, or a failure that names its Debian package
    assert shutil.which(program), f"{program} is missing: install the Debian package {package}"
    return program


Run = collections.namedtuple("Run", "returncode output seconds cpu")


class ProgramDir:
    """The program in a folder of its own (or a package's), and a private home, for one test."""

    def __init__(self, test, package=None):
        self.tmp = Path(tempfile.mkdtemp(prefix="pavo-e2e-"))
        test.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.dir = unpack(package, self.tmp / "download") if package else self.tmp / "prog"
        self.exe = self.dir / ("pavo.exe" if windows() else "pavo")
        if not package:
            self.dir.mkdir()
            shutil.copy2(_args.program, self.exe)
        self.home = self.tmp / "home"
        (self.home / ".config").mkdir(parents=True)
        self.days = [today()]
        self.file_limit = None  # bytes: a full disk without a mount (RLIMIT_FSIZE, SIGXFSZ ignored; Linux)
        self.prefix = []  # a command the program is started through

    def move_to(self, directory):
        shutil.copytree(self.dir, directory, symlinks=True)
        shutil.rmtree(self.dir)
        self.dir, self.exe = directory, directory / self.exe.name

    ini = property(lambda self: self.dir / "cfg.ini")
    img = property(lambda self: self.dir / "img")
    bitmap = property(lambda self: self.dir / "img" / "WallPaper.bmp")
    # The day of the last run's start, or of its end where it spanned midnight.
    today_file = property(lambda self: next((f for f in self.day_files() if f.exists()), self.day_files()[0]))
    day_files = lambda self: [self.img / (day + ".jpg") for day in self.days]  # noqa: E731
    autostart_file = property(lambda self: self.home / ".config" / "autostart" / (AUTOSTART_NAME + ".desktop"))
    keyfile = property(lambda self: self.home / ".config" / "glib-2.0" / "settings" / "keyfile")

    def write_settings(self, values):  # in the order given; None leaves a key out
        lines = ["[Config]"] + [f"{k}={v}" for k, v in values.items() if v is not None]
        self.ini.write_bytes(("\r\n".join(lines) + "\r\n").encode("gbk" if windows() else "utf-8"))

    def env(self, extra=None):
        # Whatever proxy and desktop session the machine running the tests has are no part of them.
        env = {k: v for k, v in os.environ.items() if k.lower() not in ("http_proxy", "https_proxy", "all_proxy",
               "no_proxy", "dbus_session_bus_address", "swaysock", "xdg_runtime_dir")}
        if not windows():
            # A GNOME desktop whose settings live in a key file of this home.
            env.update(HOME=str(self.home), XDG_CONFIG_HOME=str(self.home / ".config"),
                       XDG_CURRENT_DESKTOP="GNOME", GSETTINGS_BACKEND="keyfile", LC_ALL="C.UTF-8")
        return {**env, **(extra or {})}

    def start(self, extra_env=None, code_page=None, name="run", cmd=None):
        cmd = cmd or ([str(WINE_RUN), windows_path(self.exe)] if self.dir in _drives else
               [str(WINE_RUN)] * windows() + [str(self.exe)])
        if self.file_limit:
            cmd = [sys.executable, "-c", "import os, resource, signal, sys; signal.signal(signal.SIGXFSZ, "
                   "signal.SIG_IGN); resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[1]),) * 2); "
                   "os.execv(sys.argv[2], sys.argv[2:])", str(self.file_limit)] + cmd
        cmd = self.prefix + cmd
        if code_page:
            extra_env = dict(extra_env or {}, PAVO_WINE_LOCALE=WINE_LOCALES[code_page])
        # Output goes to a file: Wine's services may hold a pipe open forever.
        with open(self.tmp / (name + ".out"), "wb") as o:
            for _ in range(100):
                try:
                    return subprocess.Popen(cmd, cwd=self.tmp, stdin=subprocess.DEVNULL, stdout=o,
                                            stderr=subprocess.STDOUT, env=self.env(extra_env))
                except OSError as e:
                    # A child forked by another thread while the copy was open for writing.
                    if e.errno != 26:
                        raise
                    time.sleep(0.05)

    def run(self, timeout=120, extra_env=None, code_page=None, name="run", cmd=None):
        """One start, to its end: exit status, output, wall and CPU seconds."""
        t0, tz = time.monotonic(), (extra_env or {}).get("TZ")
        self.settings_before = self.ini.read_bytes() if self.ini.is_file() else None
        self.days = [today(tz)]
        p = self.start(extra_env, code_page, name, cmd)
        while not (done := os.wait4(p.pid, os.WNOHANG))[0]:
            if time.monotonic() - t0 > timeout:
                self.kill(p)
                raise AssertionError(f"the program still ran after {timeout} s")
            time.sleep(0.02)
        self.days += {today(tz)} - set(self.days)
        p.returncode = os.waitstatus_to_exitcode(done[1])
        return Run(p.returncode, (self.tmp / (name + ".out")).read_bytes(),
                   time.monotonic() - t0, done[2].ru_utime + done[2].ru_stime)

    def kill(self, proc):
        """As a crash would; under Wine the program is the process named by its path."""
        if windows():
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    if Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")[0] == str(self.exe).encode():
                        os.kill(int(pid), 9)
                except OSError:
                    pass
        else:
            proc.kill()
        proc.wait(30)

    def pending_files(self):
        return sorted(str(f.relative_to(self.dir)) for f in [*self.dir.glob("*.part-*"), *self.img.glob("*.part-*")])

    def wait_for(self, pattern, proc, timeout=60):
        found = wait_until(lambda: sorted(self.dir.glob(pattern)) or proc.poll() is not None, timeout, 0.005)
        assert found and found is not True, f"no {pattern} within {timeout} s (the program's status: {proc.poll()})"
        return found[0]

    def plant_autostart(self, path):  # an entry naming path, as an earlier copy leaves it
        if windows():
            return set_autostart(reg_quote(path))
        self.autostart_file.parent.mkdir(parents=True, exist_ok=True)
        self.autostart_file.write_text(f"[Desktop Entry]\nType=Application\nName=x\nExec={path}\n")

    def autostart_entry(self):  # on Windows the .reg data, on Linux the file's text; or None
        if windows():
            return reg_values(RUN_KEY).get(AUTOSTART_NAME)
        return self.autostart_file.read_text(encoding="utf-8") if self.autostart_file.exists() else None


def windows_of(program_dir, seconds):
    """Under Wine, starts listing the top-level windows of the program's process
    for seconds; the result: the set of (visible, class, title) seen."""
    out = program_dir.tmp / "windows.out"
    with open(out, "wb") as o:
        lister = subprocess.Popen([str(WINE_RUN), str(Path(_args.build) / "tests" / "e2e" / "windows_of.exe"),
                                   windows_path(program_dir.exe), str(seconds)], stdin=subprocess.DEVNULL, stdout=o,
                                  stderr=subprocess.DEVNULL)
    time.sleep(1)  # looking before the program starts
    return lambda: lister.wait(seconds + 30) == 0 and {
        tuple(line.split("\t")) for line in out.read_text("utf-8").splitlines()}


def debian_root(what, readme=None):
    """The root of `what` ("Debian 11") with the packages of the README's apt line for it, made once by
    tools/debian-root (outside the clone); fails, saying why, where it cannot be made."""
    text = readme or (ROOT / "README.md").read_text("utf-8")
    (line,) = re.findall(rf"\bapt install\s+([^#\n]*?)\s*#.*\b{what}\b", text)
    suite = {"Debian 11": "bullseye", "Debian 13": "trixie"}[what]
    made = subprocess.run([str(ROOT / "tools" / "debian-root"), suite, *line.split()], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    if made.returncode:
        raise AssertionError(f"no {what} root: {made.stderr.strip()}")
    return Path(made.stdout.strip())


def library_from(root, name, into):
    """The library file `name` of a Debian root linked into the folder `into`, with every library
    it needs that this system lacks, for LD_LIBRARY_PATH."""
    here = set(re.findall(r"^\s*(\S+) \(", subprocess.check_output(["ldconfig", "-p"], text=True), re.M))
    todo = [name]
    while todo:
        name = todo.pop()
        if (into / name).exists():
            continue
        (path,) = [d / name for d in (root / "usr/lib/x86_64-linux-gnu", root / "lib/x86_64-linux-gnu")
                   if (d / name).exists()][:1]
        (into / name).symlink_to(path.resolve())  # (Debian's library links are relative)
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]",
                            subprocess.check_output(["readelf", "-d", str(path.resolve())], text=True))
        todo += [n for n in needed if n not in here]


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


# --- The Windows registry of the test prefix, through .reg files in UTF-16 --
# (Chinese text never travels on a Wine command line.) Values are written and
# read in the .reg notation: '"text"', "dword:00000001", "hex:01,02"; "-" deletes.

def wine(*args):
    subprocess.run([str(WINE_RUN), *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


_drives = {}  # folder: the Wine drive letter that stands for it


def windows_path(p):
    if not windows():
        return str(p)
    drive = next(((d, letter) for d, letter in _drives.items() if Path(p).is_relative_to(d)), None)
    inside = drive and Path(p).relative_to(drive[0]).parts
    return drive[1] + "\\" + "\\".join(inside) if drive else "Z:" + str(p).replace("/", "\\")


def map_drive(test, letter, folder):
    """A drive of the test prefix (as "P:") that is folder, until the test's end."""
    link = Path(os.environ.get("WINEPREFIX", ROOT / "build" / "wineprefix"), "dosdevices", letter.lower())
    link.unlink(missing_ok=True)
    link.symlink_to(folder)
    _drives[Path(folder)] = letter
    test.addCleanup(lambda: (_drives.pop(Path(folder)), link.unlink(missing_ok=True)))


def reg_quote(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_import(key, values):
    text = f"[{key}]\n" + "".join(f"{reg_quote(n)}={v}\n" for n, v in values.items())
    with tempfile.TemporaryDirectory(prefix="pavo-reg-") as tmp:
        f = Path(tmp) / "in.reg"
        f.write_bytes(("Windows Registry Editor Version 5.00\r\n\r\n" + text.replace("\n", "\r\n")).encode("utf-16"))
        wine("regedit", "/S", windows_path(f))


def reg_values(key):  # {name: data} of the key itself, not its subkeys
    with tempfile.TemporaryDirectory(prefix="pavo-reg-") as tmp:
        f = Path(tmp) / "out.reg"
        wine("regedit", "/E", windows_path(f), key)
        raw = f.read_bytes() if f.exists() else b""
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8", "replace")
    section = re.search(rf"^\[{re.escape(key)}\]$((?:\n[^[\n].*)*)", re.sub(r"\\\r?\n  |\r", "", text), re.M | re.I)
    return {re.sub(r"\\(.)", r"\1", m[1]): m[2]
            for m in re.finditer(r'^"((?:[^"\\]|\\.)*)"=(.*)$', section[1] if section else "", re.M)}


def set_autostart(data="-"):
    reg_import(RUN_KEY, {AUTOSTART_NAME: data})


def wallpaper(program_dir):
    """True when the stored wallpaper choice names the bitmap (on Linux a second
    name of the same file may serve), else the choice: the registry value on
    Windows, on Linux GNOME's picture-uri as a path ("" when none)."""
    if windows():
        stored = re.sub(r"\\(.)", r"\1", reg_values(WALLPAPER_KEY).get("Wallpaper", '""')[1:-1])
        return stored == windows_path(program_dir.bitmap) or stored
    text = program_dir.keyfile.read_text(encoding="utf-8") if program_dir.keyfile.exists() else ""
    m = re.search(r"^picture-uri='(?:file://)?([^']*)'", text, re.M)
    stored = urllib.parse.unquote(m[1]) if m else ""
    return os.path.exists(stored) and program_dir.bitmap.exists() and os.path.samefile(stored, program_dir.bitmap) \
        or stored


def jpeg(width=1920, height=1080, seed=1, *options):
    """A JPEG of our own drawing (cjpeg options: "-progressive", "-grayscale"), drawn once for the build."""
    f = Path(_args.build) / "e2e-cache" / f"{width}x{height}-{seed}{''.join(options)}.jpg"
    if not f.exists():
        sys.path.insert(0, str(ROOT / "tools"))
        import sample_jpeg
        f.parent.mkdir(exist_ok=True)
        tmp = f.with_suffix(f".{threading.get_ident()}.tmp")
        sample_jpeg.make_jpeg(str(tmp), width, height, seed, extra=options)
        tmp.replace(f)
    return f.read_bytes()


def segment(code, payload):  # a JPEG segment: its marker, its length and what it holds
    return bytes([0xFF, code]) + struct.pack(">H", len(payload) + 2) + payload


def padded(data, n=300000):
    return data + b"\0" * (n - len(data))


def cmyk_jpeg():
    return subprocess.run(["convert", "jpg:-", "-colorspace", "CMYK", "jpg:-"], input=jpeg(320, 200, 4),
                          capture_output=True, check=True).stdout


def large_jpeg():
    """A JPEG of under 1 MB whose bitmap (8000 x 6000, 144 MB) takes a while to write."""
    row = bytes(c for x in range(8000) for c in (x * 255 // 8000, 128, 255 - x * 255 // 8000))
    return subprocess.run(["cjpeg"], input=b"P6\n8000 6000\n255\n" + row * 6000, capture_output=True, check=True).stdout


def bmp_size(data):
    """Width and height of a Windows bitmap whose header's length is the file's."""
    assert data[:2] == b"BM" and struct.unpack("<I", data[2:6])[0] == len(data), "not a whole bitmap"
    w, h = struct.unpack("<ii", data[18:26])
    return w, abs(h)


def check_pixels(test, data, jpeg):
    """The bitmap is djpeg's of the picture: its header but for the two fields
    djpeg leaves at 0 (the data's size, here exact, and the resolution), zero
    padding, and pixels near its (decoders differ a little at subsampled
    colour's edges; a row or channel out of place moves them by far more)."""
    ref = subprocess.run([needs("djpeg", "libjpeg-turbo-progs"), "-bmp", "-rgb"], input=jpeg, capture_output=True,
                         check=True).stdout
    test.assertEqual((data[:34], data[46:54], struct.unpack("<I", data[34:38])[0]),
                     (ref[:34], ref[46:54], len(data) - 54), "another header")
    w, h = bmp_size(data)
    width, stride = w * 3, (w * 3 + 3) // 4 * 4
    pad = bytes(stride - width)
    test.assertTrue(all(data[54 + y * stride + width:54 + (y + 1) * stride] == pad for y in range(h)), "padding")
    off = 0 if data == ref else sum(map(abs, map(operator.sub, data[54:], ref[54:])))
    test.assertLessEqual(off / (len(data) - 54), 2.5, "the pixels differ")


# A 1 x 1 bitmap, the wallpaper of an earlier day.
EARLIER = b"BM" + struct.pack("<IHHIIiiHHIIiiII", 58, 0, 0, 54, 40, 1, 1, 1, 24, 0, 4, 0, 0, 0, 0) + b"\x10\x20\x30\0"


def service_binary():  # the Linux build's, also for the Windows tests
    for build in (Path(_args.build), Path(_args.build).parent / "linux"):
        if (found := build / "tools" / "image_service" / "pavo_image_service").exists():
            return found
    raise FileNotFoundError("the image service is not built (build the linux preset first)")


Request = collections.namedtuple("Request", "time line headers")


class ImageService:
    """The local image service on loopback, serving the JPEG files of a folder (until test's end, where given)."""

    def __init__(self, binary=None, directory=None, test=None):
        self.own_tmp = directory is None  # a folder of its own goes with it
        self.tmp = Path(directory or tempfile.mkdtemp(prefix="pavo-svc-"))
        self.folder, self.log = self.tmp / "images", self.tmp / "requests.log"
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder.mkdir(parents=True)
        with open(self.log, "wb") as e:
            self.proc = subprocess.Popen([str(binary or service_binary()), "--port", "0", "--folder",
                                          str(self.folder), "--max-lifetime", "600"], stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=e, start_new_session=True)
        self.port = int(self.proc.stdout.readline())  # its first line; none where it did not start
        self.base = f"http://127.0.0.1:{self.port}"
        if test:
            test.addCleanup(self.stop)

    def put_today(self, data):
        (self.folder / (today() + ".jpg")).write_bytes(data)

    def requests(self, token=""):
        found = re.findall(r"^\[([\d.]+)\] (.*)\n((?:.+\n)*)\n", self.log.read_text("utf-8", "replace"), re.M)
        return [Request(float(t), line, re.findall(r"^(.*?): (.*)$", headers, re.M))
                for t, line, headers in found if token in line and not line.startswith("SENT ")]

    def sent(self, timeout=10):
        """The bytes the endless answers sent, each once its connection ended."""
        return [int(n) for n in wait_until(lambda: re.findall(r"^\[[\d.]+\] SENT (\d+)$",
                                                             self.log.read_text("utf-8", "replace"), re.M), timeout)]

    def stop(self):
        self.proc.kill()
        self.proc.communicate()
        if self.own_tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)


def earlier_day(test, picture, path="", over=None):
    """A program folder that has run on an earlier day, its settings (SETTINGS and
    over: "{base}", "{port}" name the service) pointing at path on a service of its own."""
    svc, p = ImageService(test=test), ProgramDir(test)
    svc.put_today(picture)
    p.img.mkdir()
    p.bitmap.write_bytes(EARLIER)
    values = {**SETTINGS, "域名": "{base}" + path, **(over or {})}
    p.write_settings({k: v and v.format(base=svc.base, port=svc.port) for k, v in values.items()})
    return svc, p


def _receive(sock, until=None):
    data = b""
    while not (until and until in data):
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def test_authority(build):
    """A certificate authority made for the build, and a certificate of it for
    localhost: the authority's file (PEM), the server's chain and key files."""
    done = Path(build) / "e2e-cache" / "authority"
    if not done.exists():  # made beside, then renamed: tables in other processes may make it at once
        done.parent.mkdir(parents=True, exist_ok=True)
        d = Path(tempfile.mkdtemp(prefix="authority-", dir=done.parent))
        sh = lambda *a: subprocess.run(["openssl", *a], capture_output=True, check=True, cwd=d)
        sh("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj", "/CN=Pavo test authority",
           "-keyout", "ca.key", "-out", "ca.pem", "-addext", "basicConstraints=critical,CA:TRUE",
           "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        sh("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout", "key.pem", "-out", "csr")
        (d / "ext").write_text("subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
        sh("x509", "-req", "-in", "csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days", "29",
           "-out", "leaf.pem", "-extfile", "ext")
        (d / "chain.pem").write_bytes((d / "leaf.pem").read_bytes() + (d / "ca.pem").read_bytes())
        try:
            d.rename(done)
        except OSError:  # another's came first
            shutil.rmtree(d)
    return done / "ca.pem", done / "chain.pem", done / "key.pem"


ROOT_STORE = r"HKEY_CURRENT_USER\Software\Microsoft\SystemCertificates\Root\Certificates"


def trust(test, ca_pem):
    """The authority trusted for the program's runs: in the user's root store of
    the test prefix; on Linux in the system's bundle as a private mount of the
    program's own (the machine's stays as it is). The command that starts it."""
    if windows():
        der = ssl.PEM_cert_to_DER_cert(ca_pem.read_text())
        key = ROOT_STORE + "\\" + hashlib.sha1(der).hexdigest().upper()
        # The store's serialised form: the certificate as its one property (id 32, encoding 1).
        reg_import(key, {"Blob": "hex:" + ",".join(f"{b:02x}" for b in struct.pack("<III", 32, 1, len(der)) + der)})
        test.addCleanup(wine, "reg", "delete", key.replace("HKEY_CURRENT_USER", "HKCU"), "/f")
        return []
    bundle = Path(tempfile.mkdtemp(prefix="pavo-ca-")) / "bundle.crt"
    test.addCleanup(shutil.rmtree, bundle.parent, ignore_errors=True)
    bundle.write_bytes(Path(SYSTEM_BUNDLE).read_bytes() + ca_pem.read_bytes())
    return ["unshare", "-m", "sh", "-c", f'mount --bind "{bundle}" {SYSTEM_BUNDLE} && exec "$0" "$@"']


SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


class NameWatch:
    """Every name that appears in a directory (created or renamed into it) while the watch runs."""

    def __init__(self, directory):
        libc = ctypes.CDLL(None, use_errno=True)
        self._fd = libc.inotify_init1(os.O_NONBLOCK)
        if self._fd < 0 or libc.inotify_add_watch(self._fd, str(directory).encode(), 0x100 | 0x80) < 0:
            raise OSError(ctypes.get_errno(), "inotify")
        self.names = set()

    def stop(self):
        try:
            while data := os.read(self._fd, 65536):
                at = 0
                while at < len(data):
                    _, _, _, length = struct.unpack_from("iIII", data, at)
                    self.names.add(data[at + 16:at + 16 + length].rstrip(b"\0").decode("utf-8", "replace"))
                    at += 16 + length
        except BlockingIOError:
            pass
        os.close(self._fd)
        return self.names


class Relay:
    """In front of the image service, a forward proxy or the server itself, that
    keeps every request line. kind "reset": half a picture, then a reset;
    "authority": TLS for localhost with a certificate of test_authority (trusted
    only where trust() makes it so); "password": a proxy that asks for one. Until test's end."""

    def __init__(self, test, upstream_port, kind=None):
        self.upstream_port, self.lines, self._tls = upstream_port, [], None
        self.reset, self.password = kind == "reset", kind == "password"
        if kind == "authority":
            self._tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._tls.load_cert_chain(*test_authority(_args.build)[1:])
        self._sock = socket.create_server(("127.0.0.1", 0))
        test.addCleanup(self._sock.close)
        self.port = self._sock.getsockname()[1]
        self.address = f"127.0.0.1:{self.port}"
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self._sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        try:
            if self._tls:
                client = self._tls.wrap_socket(client, server_side=True)
            client.settimeout(60)
            head, end, rest = _receive(client, b"\r\n\r\n").partition(b"\r\n\r\n")
            if not end:
                return
            lines = head.split(b"\r\n")
            self.lines.append(lines[0].decode("latin-1"))
            if self.password:
                client.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                               b"realm=\"office\"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return
            method, target, version = lines[0].split(b" ", 2)
            url = urllib.parse.urlsplit(target)
            out = [b" ".join((method, (url.path or b"/") + (b"?" + url.query if url.query else b""), version))] + [
                h for h in lines[1:] if h.split(b":")[0].strip().lower() not in
                (b"connection", b"proxy-connection", b"keep-alive", b"proxy-authorization")]
            with socket.create_connection(("127.0.0.1", self.upstream_port), timeout=60) as up:
                up.sendall(b"\r\n".join(out + [b"Connection: close"]) + b"\r\n\r\n" + rest)
                answer = _receive(up)
            head, _, body = answer.partition(b"\r\n\r\n")
            if self.reset and b"image/jpeg" in head:
                client.sendall(answer[:len(head) + 4 + len(body) // 2])
                # Closing with SO_LINGER 0 sends a reset instead of an end.
                client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                client.sendall(answer)
        except (OSError, ValueError):
            pass
        finally:
            client.close()


def check_day(test, p, r, exit, served, bitmap=EARLIER):
    """What a day's run r must leave: its exit status and no output; today's
    image, the picture served, exactly when it succeeded; the settings as
    they were; the bitmap (bytes, the size of the picture served as the
    decoder gives it, "dir" or None for any) whole; and no pending file."""
    test.assertEqual((r.returncode, r.output), (exit, b""))
    test.assertEqual(p.today_file.is_file() and p.today_file.read_bytes(), exit == 0 and served)
    test.assertEqual(p.ini.read_bytes() if p.ini.is_file() else None, p.settings_before, "the settings changed")
    if p.bitmap.is_file():
        bmp_size(p.bitmap.read_bytes())
    if bitmap == "dir":
        test.assertTrue(p.bitmap.is_dir())
    elif isinstance(bitmap, bytes):
        test.assertEqual(p.bitmap.read_bytes(), bitmap, "the earlier bitmap changed")
    elif bitmap:
        test.assertEqual(bmp_size(p.bitmap.read_bytes()), bitmap)
        check_pixels(test, p.bitmap.read_bytes(), served)
    test.assertEqual(p.pending_files(), [])


def table(test, rows, check, workers=4):
    """check(row) for every row, a subtest named by its first item, up to workers at once."""
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        for row, done in [(row, pool.submit(check, row)) for row in rows]:
            with test.subTest(row[0]):
                done.result()


def serve(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("command", nargs="+")
    a = ap.parse_args(argv)
    configure("linux", a.build)
    svc = ImageService(directory=Path("service").resolve())
    (svc.tmp / "port").write_text(f"{svc.port}\n")
    try:
        return subprocess.run(a.command, stdin=subprocess.DEVNULL).returncode
    finally:
        svc.stop()


if __name__ == "__main__" and sys.argv[1:2] == ["serve"]:
    sys.exit(serve(sys.argv[2:]))
