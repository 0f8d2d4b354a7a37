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


def main():
    unittest.main(argv=parse_args(), verbosity=2)


def windows():
    return _args.platform == "win32"


def today():
    return datetime.date.today().strftime("%Y%m%d")


def settings_encoding():
    return "gbk" if windows() else "utf-8"


class Run:
    def __init__(self, returncode, stdout, stderr, seconds):
        self.returncode, self.stdout, self.stderr, self.seconds = returncode, stdout, stderr, seconds


class ProgramDir:
    """A program directory holding a copy of the program, and (on Linux) a
    private home for the run."""

    def __init__(self, name="pavo"):
        self.tmp = Path(tempfile.mkdtemp(prefix="pavo-e2e-"))
        self.dir = self.tmp / "prog"
        self.dir.mkdir()
        suffix = ".exe" if windows() else ""
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
            for k in ("XDG_CURRENT_DESKTOP", "DBUS_SESSION_BUS_ADDRESS", "SWAYSOCK"):
                env.pop(k, None)
        env.update(extra or {})
        return env

    def run(self, timeout=60, extra_env=None, exe=None):
        exe = exe or self.exe
        cmd = [str(WINE_RUN), str(exe)] if windows() else [str(exe)]
        out, err = self.tmp / "stdout", self.tmp / "stderr"
        start = datetime.datetime.now()
        # Output goes to files: Wine's services may hold a pipe open forever.
        with open(out, "wb") as o, open(err, "wb") as e:
            p = subprocess.run(cmd, cwd=self.tmp, stdin=subprocess.DEVNULL, stdout=o, stderr=e,
                               env=self.env(extra_env), timeout=timeout)
        secs = (datetime.datetime.now() - start).total_seconds()
        return Run(p.returncode, out.read_bytes(), err.read_bytes(), secs)

    # The autostart entry, as the platform stores it.
    def autostart_file(self):
        return self.home / ".config" / "autostart" / (AUTOSTART_NAME + ".desktop")


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
    tmp = Path(tempfile.mkdtemp(prefix="pavo-reg-"))
    try:
        f = tmp / "out.reg"
        _wine("regedit", "/E", _to_windows_path(f), RUN_KEY)
        if not f.exists():
            return {}
        raw = f.read_bytes()
        text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8", "replace")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    values = {}
    joined = text.replace("\\\r\n  ", "").replace("\\\n  ", "")
    for line in joined.splitlines():
        if not line.startswith('"'):
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
