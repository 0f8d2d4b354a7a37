"""The shared test support: the built program in a folder of its own
(natively, or under Wine), the local image service and its misbehaviours, a
relay in front of it (forward proxy, reset, TLS), the test prefix's registry
(through .reg files: Chinese text never travels on a Wine command line), and
tables. `harness.py serve --build DIR -- COMMAND...` runs COMMAND beside the
service (its port in ./service/port, pictures in ./service/images)."""
import argparse
import collections
import concurrent.futures
import datetime
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
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WINE_RUN = ROOT / "tools" / "wine-run"
RUN_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run"
WALLPAPER_KEY = r"HKEY_CURRENT_USER\Control Panel\Desktop"
AUTOSTART_NAME = "Pavo壁纸"
META = "/HPImageArchive.aspx?format=js&idx=0&n=1"
UA = "Mozilla/5.0 (Windows NT 6.1; WOW64; Trident/7.0; rv:11.0) like Gecko"
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


def build_setting(name):
    """A cache variable of the build under test (the default base URLs)."""
    for line in (Path(_args.build) / "CMakeCache.txt").read_text(encoding="utf-8").splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    raise KeyError(name)


def default_settings():
    return ("[Config]\r\n开机自启动=0\r\n设为壁纸=1\r\n延迟运行=6\r\n"
            f"域名={build_setting('PAVO_BASE_URL')}\r\n备用域名={build_setting('PAVO_BACKUP_BASE_URL')}\r\n")


# Wine's ANSI code page follows the locale it runs in (tools/wine-run).
WINE_LOCALES = {936: "zh_CN.UTF-8", 1252: "en_US.UTF-8", 932: "ja_JP.UTF-8"}


Run = collections.namedtuple("Run", "returncode output seconds cpu")


class ProgramDir:
    """A copy of the program in a folder of its own (or the one folder a
    package unpacks into), and a private home for its runs."""

    def __init__(self, package=None):
        self.tmp = Path(tempfile.mkdtemp(prefix="pavo-e2e-"))
        name = "pavo.exe" if windows() else "pavo"
        self.dir = unpack(package, self.tmp / "download") if package else self.tmp / "prog"
        self.exe = self.dir / name
        if not package:
            self.dir.mkdir()
            shutil.copy2(_args.program, self.exe)
        self.home = self.tmp / "home"
        (self.home / ".config").mkdir(parents=True)

    def cleanup(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def move_to(self, directory):
        """Moves the program's folder, with all it holds, to directory (new)."""
        shutil.copytree(self.dir, directory, symlinks=True)
        shutil.rmtree(self.dir)
        self.dir, self.exe = directory, directory / self.exe.name

    ini = property(lambda self: self.dir / "cfg.ini")
    img = property(lambda self: self.dir / "img")
    bitmap = property(lambda self: self.dir / "img" / "WallPaper.bmp")
    today_file = property(lambda self: self.dir / "img" / (today() + ".jpg"))

    def write_settings(self, values):
        """A settings file with the given keys, in the order given (None: left out)."""
        lines = ["[Config]"] + [f"{k}={v}" for k, v in values.items() if v is not None]
        self.ini.write_bytes(("\r\n".join(lines) + "\r\n").encode(settings_encoding()))

    def env(self, extra=None):
        env = dict(os.environ)
        if not windows():
            for k in ("DBUS_SESSION_BUS_ADDRESS", "SWAYSOCK", "XDG_RUNTIME_DIR"):
                env.pop(k, None)
            # A GNOME desktop whose settings live in a key file of this home.
            env.update(HOME=str(self.home), XDG_CONFIG_HOME=str(self.home / ".config"),
                       XDG_CURRENT_DESKTOP="GNOME", GSETTINGS_BACKEND="keyfile")
        env.update(extra or {})
        return env

    def start(self, extra_env=None, code_page=None, name="run"):
        """A start that goes on while the test does other things."""
        cmd = ([str(WINE_RUN)] if windows() else []) + [str(self.exe)]
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

    def run(self, timeout=120, extra_env=None, code_page=None, name="run"):
        """One start, to its end: exit status, output, wall and CPU seconds."""
        t0 = time.monotonic()
        p = self.start(extra_env, code_page, name)
        while True:
            pid, status, usage = os.wait4(p.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() - t0 > timeout:
                self.kill(p)
                raise AssertionError(f"the program still ran after {timeout} s")
            time.sleep(0.02)
        p.returncode = os.waitstatus_to_exitcode(status)
        return Run(p.returncode, (self.tmp / (name + ".out")).read_bytes(),
                   time.monotonic() - t0, usage.ru_utime + usage.ru_stime)

    def kill(self, proc):
        """Kills a start as a crash or a power cut would: SIGKILL, no chance
        to clean up. Under Wine the program is the process whose first
        argument is its own path."""
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
        """The program's pending files left in its folder and in img."""
        names = [p.name for p in self.dir.iterdir()]
        if self.img.is_dir():
            names += ["img/" + p.name for p in self.img.iterdir()]
        return sorted(n for n in names if ".part-" in n)

    def wait_for(self, pattern, proc, timeout=60):
        """Waits until a file named like pattern (a glob in the program's
        folder) is there; returns its path."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = sorted(self.dir.glob(pattern))
            if found:
                return found[0]
            if proc.poll() is not None:
                raise AssertionError(f"the program ended ({proc.returncode}) before {pattern} appeared")
            time.sleep(0.005)
        raise AssertionError(f"no {pattern} within {timeout} s")

    def autostart_file(self):
        return self.home / ".config" / "autostart" / (AUTOSTART_NAME + ".desktop")

    def autostart_entry(self):
        """The autostart entry as the platform keeps it, or None."""
        if windows():
            return reg_values(RUN_KEY).get(AUTOSTART_NAME)
        f = self.autostart_file()
        return ("file", f.read_text(encoding="utf-8")) if f.exists() else None


def unpack(package, into):
    """Unpacks a download as its user would (tar keeps the modes); returns the
    one folder it holds, and fails when it holds anything else at its top."""
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


def small_disk(test, size):
    """A directory on a file system of its own of size bytes (a tmpfs), gone
    after the test; the test is skipped where nothing can be mounted."""
    d = Path(tempfile.mkdtemp(prefix="pavo-disk-"))
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(d)],
                          capture_output=True, text=True)
    if done.returncode:
        test.skipTest("a small disk cannot be mounted here: " + done.stderr.strip())
    test.addCleanup(shutil.rmtree, d, ignore_errors=True)
    test.addCleanup(subprocess.run, ["umount", "-l", str(d)], capture_output=True)
    return d


def fill(directory, leave=0):
    """Fills the disk of directory up to about leave free bytes."""
    st = os.statvfs(directory)
    with open(directory / "filler", "wb", buffering=0) as f:
        f.write(b"\0" * max(0, st.f_bavail * st.f_frsize - leave))


# --- The Windows registry of the test prefix, through .reg files -----------

def wine(*args, timeout=60):
    with tempfile.TemporaryFile() as o:
        subprocess.run([str(WINE_RUN), *args], stdin=subprocess.DEVNULL, stdout=o, stderr=subprocess.STDOUT,
                       timeout=timeout, check=False)


def windows_path(p):
    return "Z:" + str(p).replace("/", "\\") if windows() else str(p)


def reg_import(text):
    """Imports a .reg text (written as UTF-16, so any name survives)."""
    with tempfile.TemporaryDirectory(prefix="pavo-reg-") as tmp:
        f = Path(tmp) / "in.reg"
        f.write_bytes(("Windows Registry Editor Version 5.00\r\n\r\n" + text.replace("\n", "\r\n")).encode("utf-16"))
        wine("regedit", "/S", windows_path(f))


def reg_quote(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_values(key):
    """The values of one registry key: {name: (kind, text)}, kind in the .reg
    notation: "sz", "dword", "hex", "hex(7)", ..."""
    with tempfile.TemporaryDirectory(prefix="pavo-reg-") as tmp:
        f = Path(tmp) / "out.reg"
        wine("regedit", "/E", windows_path(f), key)
        raw = f.read_bytes() if f.exists() else b""
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8", "replace")
    values, section = {}, None
    for line in text.replace("\\\r\n  ", "").replace("\\\n  ", "").splitlines():
        if line.startswith("["):
            section = line.strip("[]")
        # Only the key itself, not its subkeys.
        elif line.startswith('"') and section and section.lower() == key.lower():
            m = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)', line)
            name, data = re.sub(r"\\(.)", r"\1", m.group(1)), m.group(2)
            if data.startswith('"'):
                values[name] = ("sz", re.sub(r"\\(.)", r"\1", data[1:-1]))
            elif data.startswith("dword:"):
                values[name] = ("dword", str(int(data[6:], 16)))
            else:
                values[name] = tuple(data.split(":", 1))
    return values


def set_autostart(kind_and_data):
    """Sets the entry: ("sz", text) | ("dword", n) | ("hex", "01,02") | None."""
    if kind_and_data is None:
        value = "-"
    elif kind_and_data[0] == "sz":
        value = reg_quote(kind_and_data[1])
    elif kind_and_data[0] == "dword":
        value = "dword:%08x" % int(kind_and_data[1])
    else:
        value = ":".join(kind_and_data)
    reg_import(f"[{RUN_KEY}]\n{reg_quote(AUTOSTART_NAME)}={value}\n")


def _gnome_keyfile(program_dir):
    return program_dir.home / ".config" / "glib-2.0" / "settings" / "keyfile"


def wallpaper_setting(program_dir):
    """The wallpaper choice as the desktop stores it ("" when none): on
    Windows the registry value, on Linux the GNOME picture-uri as a path."""
    if windows():
        return reg_values(WALLPAPER_KEY).get("Wallpaper", ("", ""))[1]
    f = _gnome_keyfile(program_dir)
    m = re.search(r"^picture-uri='(?:file://)?([^']*)'", f.read_text(encoding="utf-8") if f.exists() else "", re.M)
    return urllib.parse.unquote(m.group(1)) if m else ""


def set_wallpaper_setting(program_dir, text):
    if windows():
        reg_import(f"[{WALLPAPER_KEY}]\n\"Wallpaper\"={reg_quote(text)}\n")
    else:
        f = _gnome_keyfile(program_dir)
        f.parent.mkdir(parents=True, exist_ok=True)
        f.write_text(f"[org/gnome/desktop/background]\npicture-uri='{text}'\n", encoding="utf-8")


def wallpaper_names(program_dir):
    """Whether the stored wallpaper choice names the bitmap file (on Linux a
    second name of the same file may serve, so desktops see a new name)."""
    stored = wallpaper_setting(program_dir)
    if windows():
        return stored == windows_path(program_dir.bitmap)
    try:
        return os.path.samefile(stored, program_dir.bitmap)
    except OSError:
        return False


# --- Pictures ---------------------------------------------------------------

def _cached(name, make):
    """A file made once per build directory."""
    f = Path(_args.build) / "e2e-cache" / name
    if not f.exists():
        f.parent.mkdir(exist_ok=True)
        tmp = f.with_suffix(f".{threading.get_ident()}.tmp")
        make(tmp)
        tmp.replace(f)
    return f.read_bytes()


def jpeg(width=1920, height=1080, seed=1, *options):
    """A JPEG of our own drawing (cjpeg options: "-progressive", "-grayscale")."""
    sys.path.insert(0, str(ROOT / "tools"))
    import sample_jpeg
    return _cached(f"{width}x{height}-{seed}{''.join(options)}.jpg",
                   lambda f: sample_jpeg.make_jpeg(str(f), width, height, seed, extra=options))


def cmyk_jpeg():
    small = jpeg(320, 200, 4)
    return _cached("cmyk.jpg", lambda f: subprocess.run(["convert", "jpg:-", "-colorspace", "CMYK", f"jpg:{f}"],
                                                         input=small, check=True))


def claiming(data, width, height):
    """The JPEG with its frame header claiming another size."""
    at = re.search(b"\xff[\xc0-\xc2]", data).start()
    return data[:at + 5] + struct.pack(">HH", height, width) + data[at + 9:]


def large_jpeg(width=8000, height=6000):
    """A picture whose conversion takes a while (a bitmap of 144 MB) but
    whose JPEG stays small: a few noisy rows over and over."""
    import random
    rnd = random.Random(7)
    rows = [bytes(max(0, min(255, c + rnd.randint(-12, 12)))
                  for x in range(width) for c in ((x * 255) // width, 128, 255 - (x * 255) // width))
            for _ in range(16)]

    def make(f):
        ppm = b"P6\n%d %d\n255\n" % (width, height) + b"".join(rows[(y * 7 + y // 16) % 16] for y in range(height))
        with open(f, "wb") as out:
            subprocess.run(["cjpeg", "-quality", "85"], input=ppm, stdout=out, check=True)
    return _cached(f"large-{width}x{height}.jpg", make)


def bmp_size(data):
    """Width and height of a Windows bitmap, checked whole: its header's
    length is the file's."""
    assert data[:2] == b"BM" and struct.unpack("<I", data[2:6])[0] == len(data), "not a whole bitmap"
    w, h = struct.unpack("<ii", data[18:26])
    return w, abs(h)


def tiny_bmp():
    """A 1 x 1 bitmap, the wallpaper of an earlier day."""
    return b"BM" + struct.pack("<IHHIIiiHHIIiiII", 58, 0, 0, 54, 40, 1, 1, 1, 24, 0, 4, 0, 0, 0, 0) + b"\x10\x20\x30\0"


# --- The local image service and a relay in front of it ---------------------

def service_binary():
    """The image service is built natively, in the Linux build."""
    build = Path(_args.build)
    for cand in (build / "tools" / "image_service" / "pavo_image_service",
                 build.parent / "linux" / "tools" / "image_service" / "pavo_image_service"):
        if cand.exists():
            return cand
    raise FileNotFoundError("the image service is not built (build the linux preset first)")


class Request:
    def __init__(self, time, line, headers):
        self.time, self.line, self.headers = float(time), line, [tuple(h.split(": ", 1)) for h in headers]

    def header(self, name):
        """The values the request carries for name."""
        return [v for k, v in self.headers if k.lower() == name.lower()]


class ImageService:
    """The local image service on loopback, serving the JPEG files of a folder."""

    def __init__(self, binary=None, directory=None):
        self.own_tmp = directory is None  # a folder of its own goes with it
        self.tmp = Path(directory or tempfile.mkdtemp(prefix="pavo-svc-"))
        self.folder, self.log = self.tmp / "images", self.tmp / "requests.log"
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder.mkdir(parents=True)
        out = self.tmp / "stdout"
        with open(out, "wb") as o, open(self.log, "wb") as e:
            self.proc = subprocess.Popen([str(binary or service_binary()), "--port", "0", "--folder",
                                          str(self.folder), "--max-lifetime", "600"],
                                         stdin=subprocess.DEVNULL, stdout=o, stderr=e, start_new_session=True)
        deadline = time.monotonic() + 10
        while not out.read_text().strip():
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("the image service did not start")
            time.sleep(0.01)
        self.port = int(out.read_text().split()[0])
        self.base = f"http://127.0.0.1:{self.port}"

    def put_today(self, data):
        (self.folder / (today() + ".jpg")).write_bytes(data)

    def requests(self, token=""):
        """The logged requests whose request line holds token."""
        found = re.findall(r"^\[([\d.]+)\] (.*)\n((?:.+\n)*)\n", self.log.read_text("utf-8", "replace"), re.M)
        return [Request(t, line, headers.splitlines()) for t, line, headers in found if token in line]

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        if self.own_tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)


class Relay:
    """A relay on loopback in front of the image service: a forward proxy
    (requests in absolute form, "GET http://img.test/x HTTP/1.1", whatever
    host they name) or the server itself (origin form). It keeps every
    request line. silent: accepts and never answers; reset: sends half a
    picture's body, then resets the connection; tls: speaks TLS with a
    self-signed certificate."""

    def __init__(self, upstream_port=None, silent=False, reset=False, tls=False):
        self.upstream_port, self.silent, self.reset = upstream_port, silent, reset
        self.lines, self.accepted, self._held = [], 0, []
        self._tls = None
        if tls:
            d = Path(tempfile.mkdtemp(prefix="pavo-tls-"))
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                            "/CN=127.0.0.1", "-keyout", str(d / "k"), "-out", str(d / "c")], capture_output=True,
                           check=True)
            self._tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._tls.load_cert_chain(d / "c", d / "k")
            shutil.rmtree(d)
        self._sock = socket.create_server(("127.0.0.1", 0))
        self.port = self._sock.getsockname()[1]
        self.address = f"127.0.0.1:{self.port}"
        threading.Thread(target=self._accept, daemon=True).start()

    def stop(self):
        for s in [self._sock] + self._held:
            s.close()

    def _accept(self):
        while True:
            try:
                client, _ = self._sock.accept()
            except OSError:
                return
            self.accepted += 1
            if self.silent:
                self._held.append(client)
            else:
                threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        try:
            if self._tls:
                client = self._tls.wrap_socket(client, server_side=True)
            client.settimeout(60)
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = client.recv(65536)
                if not chunk:
                    return
                head += chunk
            head, _, rest = head.partition(b"\r\n\r\n")
            lines = head.split(b"\r\n")
            self.lines.append(lines[0].decode("latin-1"))
            method, target, version = lines[0].split(b" ", 2)
            url = urllib.parse.urlsplit(target)
            path = (url.path or b"/") + (b"?" + url.query if url.query else b"")
            out = [b" ".join((method, path, version))] + [
                h for h in lines[1:] if h.split(b":")[0].strip().lower() not in
                (b"connection", b"proxy-connection", b"keep-alive", b"proxy-authorization")]
            with socket.create_connection(("127.0.0.1", self.upstream_port), timeout=60) as up:
                up.sendall(b"\r\n".join(out + [b"Connection: close"]) + b"\r\n\r\n" + rest)
                self._answer(up, client)
        except (OSError, ValueError):
            pass
        finally:
            client.close()

    def _answer(self, up, client):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = up.recv(65536)
            if not chunk:
                return client.sendall(data)
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        lines = [h for h in head.split(b"\r\n") if h.split(b":")[0].strip().lower() not in (b"connection",
                                                                                              b"keep-alive")]
        m = re.search(rb"content-length: *(\d+)", head, re.I)
        cut = int(m.group(1)) // 2 if self.reset and m and b"image/jpeg" in head else None
        client.sendall(b"\r\n".join(lines + [b"Connection: close"]) + b"\r\n\r\n")
        while True:
            if cut is not None and len(body) >= cut:
                client.sendall(body[:cut])
                # Closing with SO_LINGER 0 sends a reset instead of an end.
                client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return
            client.sendall(body)
            cut = cut and cut - len(body)
            body = up.recv(65536)
            if not body:
                return


# --- Checks and tables --------------------------------------------------------

def check_final_names(test, p, served=()):
    """Nothing under a final name is half written: the settings file, when
    there, holds its section; today's image, when a file, is one of the
    pictures served whole; the bitmap, when a file, is as long as its header
    says. And no pending file is left."""
    if p.ini.is_file():
        raw = p.ini.read_bytes()
        test.assertTrue(b"[Config]" in raw or "[Config]".encode("utf-16-le") in raw, "half a settings file")
    if p.today_file.is_file():
        test.assertIn(p.today_file.read_bytes(), list(served), "today's image is not a whole picture")
    if p.bitmap.is_file():
        bmp_size(p.bitmap.read_bytes())
    test.assertEqual(p.pending_files(), [])


def table(test, rows, check, workers=4):
    """Runs check(row) for every row (a tuple whose first item names it), up
    to workers at once, and reports each row as a subtest."""
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
