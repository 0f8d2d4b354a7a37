"""What the Linux desktop tests share. Each script runs on a private session
bus with a home of its own (enter() starts it again under dbus-run-session),
so neither the bus nor a daemon it starts touches the user's own settings.
The probe (probe.cpp) drives the program's desktop code as the run does."""
import argparse
import json
import os
import queue
import subprocess
import sys
import tempfile
import threading
import time

CAPTION = "Pavo壁纸 - by RZ31"
_DESKTOP = ("XDG_CURRENT_DESKTOP", "SWAYSOCK", "GSETTINGS_BACKEND", "GSETTINGS_SCHEMA_DIR", "DBUS_SESSION_BUS_ADDRESS")
# Files beside the bitmap that only look like its second names: no tidying may
# touch them. A second name's leftover (.part) goes once the desktop answers.
LOOK_ALIKES = ["WallPaper-notes.bmp", "WallPaper-12.jpg", "WallPaper-.bmp", "Other-12.bmp", "WallPaper-12.bmp.bak"]
LEFTOVER = "WallPaper-1600000000000000000.bmp.part"


def enter():
    """The arguments (--probe, --icon); first runs the script again in a private session."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--icon", default="")
    argv = list(sys.argv)
    args, sys.argv[1:] = parser.parse_known_args()
    if os.environ.get("PAVO_SESSION_ROOT"):
        return args
    root = tempfile.mkdtemp(prefix="pavo-session-")
    env = {k: v for k, v in os.environ.items() if k not in _DESKTOP}
    for name in ("home", "config", "data", "cache", "runtime"):
        os.mkdir(os.path.join(root, name), 0o700)
        env["HOME" if name == "home" else "XDG_%s_%s" % (name.upper(), "DIR" if name == "runtime" else "HOME")] = \
            os.path.join(root, name)
    try:
        rc = subprocess.call(["dbus-run-session", "--", sys.executable] + argv, env=dict(env, PAVO_SESSION_ROOT=root))
    finally:
        subprocess.call(["rm", "-rf", root])
    sys.exit(rc)


def folder(prefix):
    return tempfile.mkdtemp(prefix=prefix, dir=os.environ["PAVO_SESSION_ROOT"])


def env_with(**changes):
    """This session's environment with changes (None unsets)."""
    env = {k: v for k, v in os.environ.items() if k not in _DESKTOP[:4]}
    env.update(changes)
    return {k: v for k, v in env.items() if v is not None}


def rewrite(bitmap, content, mtime):
    """Writes the bitmap as the conversion does: beside it, then renamed."""
    with open(bitmap + ".new", "wb") as f:
        f.write(content)
    os.utime(bitmap + ".new", (mtime, mtime))
    os.replace(bitmap + ".new", bitmap)


def new_bitmap(name="img"):
    directory = os.path.join(folder("case-"), name)
    os.makedirs(directory)
    for other in LOOK_ALIKES + [LEFTOVER]:
        open(os.path.join(directory, other), "w").close()
    rewrite(os.path.join(directory, "WallPaper.bmp"), b"BM day 1", 1700000000)
    return os.path.join(directory, "WallPaper.bmp")


def beside(bitmap):
    """What lies beside the bitmap but the look-alikes (which must all be there), sorted."""
    names = os.listdir(os.path.dirname(bitmap))
    assert all(n in names for n in LOOK_ALIKES), names
    return sorted(os.path.join(os.path.dirname(bitmap), n) for n in names if n not in LOOK_ALIKES + ["WallPaper.bmp"])


class Probe:
    """A probe that lives on; its answers are read back by a thread."""

    def __init__(self, probe, env):
        self.process = subprocess.Popen([probe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True)
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=lambda: [self.lines.put(l.strip()) for l in self.process.stdout])
        self.reader.start()
        self.pid = int(self.lines.get(timeout=20).split()[1])

    def command(self, line, timeout=20):
        """The answer's milliseconds (or the status line)."""
        if line.startswith("wallpaper "):
            line = "wallpaper " + line[10:].encode().hex()
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        answer = self.lines.get(timeout=timeout)
        return answer if answer.startswith("status") else int(answer.split("ms=")[1])

    def children(self):
        found = []
        for task in os.listdir("/proc/%d/task" % self.pid):
            with open("/proc/%d/task/%s/children" % (self.pid, task)) as f:
                found += f.read().split()
        return found

    def threads(self):
        with open("/proc/%d/status" % self.pid) as status:
            return [int(s.split()[1]) for s in status if s.startswith("Threads:")][0]

    def close(self):
        self.process.stdin.close()  # its input's end ends it at once, as the run ends
        rc = self.process.wait(timeout=10)
        self.reader.join()
        self.process.stdout.close()
        return rc


def once(probe, env, line):
    """One command in a probe of its own, which then ends at once as the run
    does; the answer's milliseconds."""
    p = Probe(probe, env)
    try:
        return p.command(line)
    finally:
        assert p.close() == 0


def service(case, *described):
    """A mock D-Bus service of one method (see mock_service.py; code that
    sleeps never answers): the method's calls so far, and its end."""
    import dbus
    template = os.path.join(os.path.dirname(__file__), "mock_service.py")
    described += ("",) * (7 - len(described))
    process = subprocess.Popen([sys.executable, "-m", "dbusmock", "-t", template], stdout=subprocess.DEVNULL,
                               env=dict(os.environ, PAVO_MOCK=json.dumps(described)))
    stop = lambda: process.poll() is None and (process.terminate(), process.wait())  # noqa: E731
    case.addCleanup(stop)
    assert wait_until(lambda: dbus.SessionBus().name_has_owner(described[0]), 20), described
    mock = dbus.Interface(dbus.SessionBus().get_object(described[0], described[1]), "org.freedesktop.DBus.Mock")
    return lambda: [[str(a) for a in c[2]] for c in mock.GetCalls() if c[1] == described[3]], stop


def wait_until(done, seconds=5):
    deadline = time.monotonic() + seconds
    while not done() and time.monotonic() < deadline:
        time.sleep(0.05)
    return done()
