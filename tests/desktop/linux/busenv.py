"""Shared helpers of the Linux desktop tests.

Each test script runs inside a private session bus with a home of its own:
enter_private_session() starts the script again under dbus-run-session, with
HOME and the XDG directories in a temporary folder, so neither the bus nor a
service it starts (the settings daemons) touches the user's own settings.
"""

import argparse
import os
import queue
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

CAPTION = "Pavo壁纸 - by RZ31"

# Desktop variables of the machine running the tests are never passed on.
_DESKTOP_VARIABLES = ("XDG_CURRENT_DESKTOP", "SWAYSOCK", "GSETTINGS_BACKEND", "GSETTINGS_SCHEMA_DIR",
                      "DESKTOP_SESSION", "XDG_SESSION_DESKTOP")


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--icon", default="")
    args, rest = parser.parse_known_args()
    sys.argv[1:] = rest
    return args


def enter_private_session():
    if os.environ.get("PAVO_PRIVATE_SESSION") == "1":
        return
    if not shutil.which("dbus-run-session"):
        sys.exit("dbus-run-session is missing (Debian package dbus-daemon or dbus)")
    root = tempfile.mkdtemp(prefix="pavo-session-")
    env = {k: v for k, v in os.environ.items() if k not in _DESKTOP_VARIABLES and k != "DBUS_SESSION_BUS_ADDRESS"}
    for name in ("home", "config", "data", "cache", "runtime"):
        os.mkdir(os.path.join(root, name), 0o700)
    env.update(HOME=os.path.join(root, "home"), XDG_CONFIG_HOME=os.path.join(root, "config"),
               XDG_DATA_HOME=os.path.join(root, "data"), XDG_CACHE_HOME=os.path.join(root, "cache"),
               XDG_RUNTIME_DIR=os.path.join(root, "runtime"), PAVO_PRIVATE_SESSION="1", PAVO_SESSION_ROOT=root)
    try:
        rc = subprocess.call(["dbus-run-session", "--", sys.executable] + sys.argv, env=env)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    sys.exit(rc)


def probe_env(**changes):
    """The environment for a probe: this session's, with changes (None unsets)."""
    env = {k: v for k, v in os.environ.items() if k not in _DESKTOP_VARIABLES}
    for key, value in changes.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def run_wallpaper(probe, path, env, timeout=60):
    """Runs `probe wallpaper PATH`; returns (milliseconds, output)."""
    start = time.monotonic()
    done = subprocess.run([probe, "wallpaper", path], env=env, capture_output=True, text=True, timeout=timeout)
    elapsed = (time.monotonic() - start) * 1000
    if done.returncode != 0 or not done.stdout.startswith("done"):
        raise AssertionError("probe failed (%d): %s %s" % (done.returncode, done.stdout, done.stderr))
    return elapsed, done.stdout


class Probe:
    """`probe serve`: commands on its standard input, answers read back."""

    def __init__(self, probe, env):
        self.process = subprocess.Popen([probe, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                                        text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.pid = int(self.expect("pid ").split()[1])

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def send(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def expect(self, prefix, timeout=20):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no answer starting with %r from the probe" % prefix)
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise AssertionError("the probe ended while %r was awaited" % prefix)
            if line.startswith(prefix):
                return line

    def command(self, line, answer, timeout=20):
        self.send(line)
        return self.expect(answer, timeout)

    def close(self):
        if self.process.poll() is None:
            try:
                self.send("exit")
                self.process.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        for pipe in (self.process.stdin, self.process.stdout):
            try:
                pipe.close()
            except OSError:
                pass
        return self.process.returncode


def field(line, name):
    for part in line.split():
        if part.startswith(name + "="):
            return int(part[len(name) + 1:])
    raise AssertionError("no %s in %r" % (name, line))


def make_image_dir(parent, name="img"):
    """An image directory holding a bitmap; returns the bitmap's path."""
    directory = os.path.join(parent, name)
    os.makedirs(directory, exist_ok=True)
    bitmap = os.path.join(directory, "WallPaper.bmp")
    rewrite_bitmap(bitmap, b"BM first day", 1700000000)
    return bitmap


def rewrite_bitmap(bitmap, content, mtime):
    """Writes the bitmap as the conversion does: beside it, then renamed."""
    part = bitmap + ".new"
    with open(part, "wb") as f:
        f.write(content)
    os.utime(part, (mtime, mtime))
    os.replace(part, bitmap)


def shown_names(bitmap):
    """The second names beside the bitmap, sorted."""
    directory = os.path.dirname(bitmap)
    return sorted(os.path.join(directory, n) for n in os.listdir(directory)
                  if n.startswith("WallPaper-") and n.endswith(".bmp"))


def assert_shows_bitmap(case, shown, bitmap):
    """shown is the one second name of the bitmap, the same file."""
    case.assertEqual(shown_names(bitmap), [shown])
    case.assertTrue(os.path.samefile(shown, bitmap), "%s is not the bitmap" % shown)


class SilentBus:
    """A socket that accepts connections and never says a word."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "silent-bus")
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(self.path)
        self.server.listen(8)
        self.clients = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.server.accept()
            except OSError:
                return
            self.clients.append(client)

    @property
    def address(self):
        return "unix:path=" + self.path

    def close(self):
        self.server.close()
        for c in self.clients:
            c.close()


def is_socket(path):
    try:
        return stat.S_ISSOCK(os.stat(path).st_mode)
    except OSError:
        return False
