"""Runs the built program as a user would: in a program directory of its own,
natively for Linux and under Wine for Windows, and looks at what it left.

Every test gets a fresh program directory (and on Linux a fresh home, so the
autostart entry of the user running the tests is never touched). Texts that
hold Chinese characters never travel on a Wine command line: they go through
files (.reg files for the registry).
"""
import argparse
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WINE_RUN = ROOT / "tools" / "wine-run"
RUN_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run"
AUTOSTART_NAME = "Pavo壁纸"
KEYS = ["开机自启动", "设为壁纸", "延迟运行", "域名", "备用域名"]

_args = None


def parse_args():
    global _args
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--platform", required=True, choices=["linux", "win32"])
    ap.add_argument("--build", required=True)
    _args, rest = ap.parse_known_args()
    return [sys.argv[0]] + rest


def configure(platform, build, program=None):
    """For a script that runs the programs of more than one platform in turn."""
    global _args
    _args = argparse.Namespace(program=program, platform=platform, build=build)


def main():
    unittest.main(argv=parse_args(), verbosity=2)


def windows():
    return _args.platform == "win32"


def today():
    return datetime.date.today().strftime("%Y%m%d")


def settings_encoding():
    return "gbk" if windows() else "utf-8"


# Wine's ANSI code page follows the locale it runs in (tools/wine-run).
WINE_LOCALES = {936: "zh_CN.UTF-8", 1252: "en_US.UTF-8", 932: "ja_JP.UTF-8"}


def code_page_env(code_page):
    return {"PAVO_WINE_LOCALE": WINE_LOCALES[code_page]} if code_page else {}


DEFAULT_SETTINGS = ("[Config]\r\n开机自启动=0\r\n设为壁纸=1\r\n延迟运行=6\r\n"
                    "域名=https://www.image-service.invalid\r\n"
                    "备用域名=https://backup.image-service.invalid\r\n")


class Run:
    def __init__(self, returncode, stdout, stderr, seconds):
        self.returncode, self.stdout, self.stderr, self.seconds = returncode, stdout, stderr, seconds


class ProgramDir:
    """A program directory holding a copy of the program, and (on Linux) a
    private home for the run. Given a package (a .zip or .tar.gz download),
    the program directory is the one folder the package unpacks into."""

    def __init__(self, name="pavo", package=None):
        self.tmp = Path(tempfile.mkdtemp(prefix="pavo-e2e-"))
        suffix = ".exe" if windows() else ""
        if package:
            self.dir = unpack(package, self.tmp / "download")
            self.exe = self.dir / (name + suffix)
        else:
            self.dir = self.tmp / "prog"
            self.dir.mkdir()
            self.exe = self.dir / (name + suffix)
            shutil.copy2(_args.program, self.exe)
        self.home = self.tmp / "home"
        (self.home / ".config").mkdir(parents=True)

    def cleanup(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    @property
    def ini(self):
        return self.dir / "cfg.ini"

    @property
    def img(self):
        return self.dir / "img"

    @property
    def today_file(self):
        return self.img / (today() + ".jpg")

    def write_settings(self, values, raw_lines=None):
        """A settings file with the given keys (in the order given)."""
        lines = ["[Config]"] + [f"{k}={v}" for k, v in values.items()] + (raw_lines or [])
        self.ini.write_bytes(("\r\n".join(lines) + "\r\n").encode(settings_encoding()))

    def env(self, extra=None):
        env = dict(os.environ)
        if not windows():
            env["HOME"] = str(self.home)
            env["XDG_CONFIG_HOME"] = str(self.home / ".config")
            for k in ("XDG_CURRENT_DESKTOP", "DBUS_SESSION_BUS_ADDRESS", "SWAYSOCK", "XDG_RUNTIME_DIR"):
                env.pop(k, None)
            # A GNOME desktop whose settings live in a key file of this home.
            env["XDG_CURRENT_DESKTOP"] = "GNOME"
            env["GSETTINGS_BACKEND"] = "keyfile"
        env.update(extra or {})
        return env

    def run(self, timeout=60, extra_env=None, exe=None, code_page=None):
        """One start, to its end. code_page chooses the Windows system's
        (936 unless given)."""
        exe = exe or self.exe
        cmd = [str(WINE_RUN), str(exe)] if windows() else [str(exe)]
        out, err = self.tmp / "stdout", self.tmp / "stderr"
        start = datetime.datetime.now()
        # Output goes to files: Wine's services may hold a pipe open forever.
        with open(out, "wb") as o, open(err, "wb") as e:
            p = subprocess.run(cmd, cwd=self.tmp, stdin=subprocess.DEVNULL, stdout=o, stderr=e,
                               env=self.env({**(extra_env or {}), **code_page_env(code_page)}), timeout=timeout)
        secs = (datetime.datetime.now() - start).total_seconds()
        return Run(p.returncode, out.read_bytes(), err.read_bytes(), secs)

    def start(self, name="started"):
        """A start that goes on while the test does other things; end it
        with kill() or wait for it."""
        cmd = [str(WINE_RUN), str(self.exe)] if windows() else [str(self.exe)]
        # Output goes to files: Wine's services may hold a pipe open forever.
        with open(self.tmp / (name + ".out"), "wb") as o:
            return subprocess.Popen(cmd, cwd=self.tmp, stdin=subprocess.DEVNULL, stdout=o,
                                    stderr=subprocess.STDOUT, env=self.env())

    def kill(self, proc):
        """Kills a start as a crash or a power cut would: SIGKILL, no chance
        to clean up. Under Wine the program is the process whose first
        argument is its own path."""
        if windows():
            for pid in os.listdir("/proc"):
                if not pid.isdigit():
                    continue
                try:
                    argv0 = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")[0]
                except OSError:
                    continue
                if argv0 == str(self.exe).encode():
                    try:
                        os.kill(int(pid), 9)
                    except ProcessLookupError:
                        pass
        else:
            proc.kill()
        proc.wait(30)

    def pending_files(self):
        """What pending files of the program are left, in its folder and in img."""
        names = [p.name for p in self.dir.iterdir()]
        if self.img.is_dir():
            names += ["img/" + p.name for p in self.img.iterdir()]
        return sorted(n for n in names if ".part-" in n)

    def wait_for_pending(self, pattern, proc, timeout=60):
        """Waits until a pending file named like pattern (a glob in the
        program's folder) is there; returns its path."""
        deadline = datetime.datetime.now() + datetime.timedelta(seconds=timeout)
        while datetime.datetime.now() < deadline:
            found = sorted(self.dir.glob(pattern))
            if found:
                return found[0]
            if proc.poll() is not None:
                raise AssertionError(f"the program ended ({proc.returncode}) before {pattern} appeared")
            time.sleep(0.005)
        raise AssertionError(f"no {pattern} within {timeout} s")

    # The autostart entry, as the platform stores it.
    def autostart_file(self):
        return self.home / ".config" / "autostart" / (AUTOSTART_NAME + ".desktop")


def unpack(package, into):
    """Unpacks a download as its user would (tar for a .tar.gz, keeping the
    modes) into a new folder; returns the one folder it holds, and fails when
    the package holds anything else at its top."""
    into = Path(into)
    into.mkdir(parents=True)
    if str(package).endswith(".zip"):
        import zipfile
        with zipfile.ZipFile(package) as z:
            z.extractall(into)
    else:
        subprocess.run(["tar", "-xzf", str(package), "-C", str(into)], check=True)
    top = list(into.iterdir())
    if len(top) != 1 or not top[0].is_dir():
        raise AssertionError(f"{package} unpacks into {sorted(p.name for p in top)}, not one folder")
    return top[0]


# --- The Windows registry of the test prefix, through .reg files -----------

def _wine(*args, timeout=60):
    tmp = Path(tempfile.mkdtemp(prefix="pavo-reg-"))
    try:
        with open(tmp / "o", "wb") as o:
            subprocess.run([str(WINE_RUN), *args], stdin=subprocess.DEVNULL, stdout=o,
                           stderr=subprocess.STDOUT, timeout=timeout, check=False)
        return (tmp / "o").read_bytes()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def _to_windows_path(p):
    return "Z:" + str(p).replace("/", "\\")


def reg_import(text):
    """Imports a .reg text (written as UTF-16, so any name survives)."""
    tmp = Path(tempfile.mkdtemp(prefix="pavo-reg-"))
    try:
        f = tmp / "in.reg"
        f.write_bytes(("Windows Registry Editor Version 5.00\r\n\r\n" + text.replace("\n", "\r\n"))
                      .encode("utf-16"))
        _wine("regedit", "/S", _to_windows_path(f))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def reg_quote(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def run_values():
    """The values under the current user's Run key: {name: (kind, text)}.
    kind is the .reg notation: "sz", "dword", "hex", "hex(7)", ..."""
    return reg_values(RUN_KEY)


def reg_values(key):
    """The values of one registry key: {name: (kind, text)}."""
    tmp = Path(tempfile.mkdtemp(prefix="pavo-reg-"))
    try:
        f = tmp / "out.reg"
        _wine("regedit", "/E", _to_windows_path(f), key)
        if not f.exists():
            return {}
        raw = f.read_bytes()
        text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8", "replace")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    values = {}
    section = None
    joined = text.replace("\\\r\n  ", "").replace("\\\n  ", "")
    for line in joined.splitlines():
        if line.startswith("["):
            section = line.strip("[]")
            continue
        # Only the key itself, not its subkeys.
        if not line.startswith('"') or section is None or section.lower() != key.lower():
            continue
        name, _, data = _split_reg_line(line)
        if data.startswith('"'):
            values[name] = ("sz", data[1:-1].replace('\\"', '"').replace("\\\\", "\\"))
        elif data.startswith("dword:"):
            values[name] = ("dword", str(int(data[6:], 16)))
        else:
            kind, _, body = data.partition(":")
            values[name] = (kind, body)
    return values


def _split_reg_line(line):
    i, name = 1, []
    while line[i] != '"':
        if line[i] == "\\":
            i += 1
        name.append(line[i])
        i += 1
    return "".join(name), "=", line[i + 2:]


def set_autostart(kind_and_data):
    """Sets the entry: ("sz", text) | ("dword", n) | ("hex", "01,02") | None."""
    if kind_and_data is None:
        reg_import(f"[{RUN_KEY}]\n{reg_quote(AUTOSTART_NAME)}=-\n")
        return
    kind, data = kind_and_data
    if kind == "sz":
        value = reg_quote(data)
    elif kind == "dword":
        value = "dword:%08x" % int(data)
    else:
        value = f"{kind}:{data}"
    reg_import(f"[{RUN_KEY}]\n{reg_quote(AUTOSTART_NAME)}={value}\n")


def autostart_entry():
    return run_values().get(AUTOSTART_NAME)


WALLPAPER_KEY = r"HKEY_CURRENT_USER\Control Panel\Desktop"


def _gnome_keyfile(program_dir):
    return program_dir.home / ".config" / "glib-2.0" / "settings" / "keyfile"


def wallpaper_setting(program_dir):
    """The wallpaper choice as the desktop stores it ("" when none): on
    Windows the registry value, on Linux the GNOME picture-uri as a path."""
    if windows():
        v = reg_values(WALLPAPER_KEY).get("Wallpaper")
        return v[1] if v else ""
    f = _gnome_keyfile(program_dir)
    if not f.exists():
        return ""
    import urllib.parse
    section = None
    for line in f.read_text(encoding="utf-8").splitlines():
        if line.startswith("["):
            section = line.strip("[]")
        elif section == "org/gnome/desktop/background" and line.startswith("picture-uri="):
            uri = line.split("=", 1)[1].strip().strip("'")
            if uri.startswith("file://"):
                return urllib.parse.unquote(uri[len("file://"):])
            return uri
    return ""


def set_wallpaper_setting(program_dir, text):
    if windows():
        reg_import(f"[{WALLPAPER_KEY}]\n\"Wallpaper\"={reg_quote(text)}\n")
    else:
        f = _gnome_keyfile(program_dir)
        f.parent.mkdir(parents=True, exist_ok=True)
        f.write_text(f"[org/gnome/desktop/background]\npicture-uri='{text}'\n", encoding="utf-8")


def wallpaper_names(program_dir, bitmap):
    """Whether the stored wallpaper choice names the bitmap file (on Linux a
    second name of the same file may serve, so desktops see a new name)."""
    stored = wallpaper_setting(program_dir)
    if windows():
        return stored == windows_path(bitmap)
    try:
        return os.path.samefile(stored, bitmap)
    except OSError:
        return False


def windows_path(p):
    return _to_windows_path(p) if windows() else str(p)


# --- The local image service ------------------------------------------------

def _cache_dir():
    d = Path(_args.build) / "e2e-cache"
    d.mkdir(exist_ok=True)
    return d


def sample_jpeg(width=1920, height=1080, seed=1):
    """A JPEG of our own drawing, made once per build directory."""
    f = _cache_dir() / f"sample-{width}x{height}-{seed}.jpg"
    if not f.exists():
        sys.path.insert(0, str(ROOT / "tools"))
        import sample_jpeg as sj
        tmp = f.with_suffix(".tmp")
        sj.make_jpeg(str(tmp), width, height, seed)
        tmp.rename(f)
    return f


def large_jpeg(width=8000, height=6000, seed=7):
    """A picture whose conversion takes a while (a bitmap of 144 MB at the
    default size) but whose JPEG stays small: a few rows with noise, over
    and over. Made once per build directory."""
    f = _cache_dir() / f"large-{width}x{height}-{seed}.jpg"
    if not f.exists():
        import random
        rnd = random.Random(seed)
        rows = []
        for _ in range(16):
            row = bytearray(width * 3)
            for x in range(width):
                v, n = (x * 255) // width, rnd.randint(-12, 12)
                row[3 * x:3 * x + 3] = bytes(max(0, min(255, c + n)) for c in (v, 128, 255 - v))
            rows.append(bytes(row))
        ppm = b"P6\n%d %d\n255\n" % (width, height) + b"".join(rows[(y * 7 + y // 16) % 16] for y in range(height))
        tmp = f.with_suffix(".tmp")
        with open(tmp, "wb") as out:
            subprocess.run(["cjpeg", "-quality", "85"], input=ppm, stdout=out, check=True)
        tmp.rename(f)
    return f


def service_binary():
    """The image service is built natively, in the Linux build."""
    build = Path(_args.build)
    for cand in (build / "tools" / "image_service" / "pavo_image_service",
                 build.parent / "linux" / "tools" / "image_service" / "pavo_image_service"):
        if cand.exists():
            return cand
    raise FileNotFoundError("the image service is not built (build the linux preset first)")


class ImageService:
    """The local image service on loopback, serving the JPEG files of a folder."""

    def __init__(self, binary=None):
        self.tmp = Path(tempfile.mkdtemp(prefix="pavo-svc-"))
        self.folder = self.tmp / "images"
        self.folder.mkdir()
        self.log = self.tmp / "requests.log"
        out = self.tmp / "port"
        with open(out, "wb") as o, open(self.log, "wb") as e:
            self.proc = subprocess.Popen(
                [str(binary or service_binary()), "--port", "0", "--folder", str(self.folder), "--max-lifetime", "600"],
                stdin=subprocess.DEVNULL, stdout=o, stderr=e)
        deadline = datetime.datetime.now() + datetime.timedelta(seconds=10)
        while datetime.datetime.now() < deadline:
            text = out.read_text().strip()
            if text:
                self.port = int(text.split()[0])
                break
        else:
            raise RuntimeError("the image service did not start")
        self.base = f"http://127.0.0.1:{self.port}"

    def put_today(self, data):
        (self.folder / (today() + ".jpg")).write_bytes(data)

    def requests(self):
        return self.log.read_text(encoding="utf-8", errors="replace")

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        shutil.rmtree(self.tmp, ignore_errors=True)


def check_final_names(test, program_dir, served=()):
    """Nothing under a final name is half written: the settings file, when
    there, holds its section; today's image, when there, is one of the
    pictures served whole; the bitmap, when there, is as long as its header
    says."""
    ini = program_dir.ini
    if ini.exists():
        raw = ini.read_bytes()
        text = raw[2:].decode("utf-16-le") if raw[:2] == b"\xff\xfe" else raw.decode("gb18030", "replace")
        test.assertIn("[Config]", text, "half a settings file")
    if program_dir.today_file.is_file():
        test.assertIn(program_dir.today_file.read_bytes(), list(served), "today's image is not a whole picture")
    bmp = program_dir.img / "WallPaper.bmp"
    if bmp.exists():
        import struct
        data = bmp.read_bytes()
        test.assertEqual(data[:2], b"BM")
        test.assertEqual(struct.unpack("<I", data[2:6])[0], len(data), "half a bitmap")


def bmp_size(path):
    """Width and height of a Windows bitmap file."""
    import struct
    head = Path(path).read_bytes()[:26]
    assert head[:2] == b"BM", "not a bitmap"
    w, h = struct.unpack("<ii", head[18:26])
    return w, abs(h)
