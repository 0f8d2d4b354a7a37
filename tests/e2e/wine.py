"""Wine and the test prefix's registry, through .reg files in UTF-16 (Chinese text never travels on a Wine command
line). Values are written and read in the .reg notation: '"text"', "dword:00000001", "hex:01,02"; "-" deletes."""
import os
import re
import subprocess
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
RUN = ROOT / "tools" / "wine-run"
PREFIX = Path(os.environ.get("WINEPREFIX", ROOT / "build" / "wineprefix"))
RUN_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run"
WALLPAPER_KEY = r"HKEY_CURRENT_USER\Control Panel\Desktop"
INTERNET_SETTINGS = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
ROOT_STORE = r"HKEY_CURRENT_USER\Software\Microsoft\SystemCertificates\Root\Certificates"
NO_PROXY = {INTERNET_SETTINGS: {"ProxyEnable": "dword:00000000", "ProxyServer": "-"}}
# Wine's ANSI code page follows the locale it runs in (tools/wine-run).
LOCALES = {936: "zh_CN.UTF-8", 1252: "en_US.UTF-8", 932: "ja_JP.UTF-8"}


def wine(*args):
    subprocess.run([str(RUN), *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def path(p):  # a file's name under Wine, on its drive Z:
    return "Z:" + str(p).replace("/", "\\")


def quote(s):
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_import(keys):  # {key: {name: data}}
    text = "".join(f"\n[{key}]\n" + "".join(f"{quote(n)}={v}\n" for n, v in values.items())
                   for key, values in keys.items())
    with tempfile.TemporaryDirectory(prefix="pavo-reg-") as tmp:
        f = Path(tmp) / "in.reg"
        f.write_bytes(("Windows Registry Editor Version 5.00\r\n" + text.replace("\n", "\r\n")).encode("utf-16"))
        wine("regedit", "/S", path(f))


def registry():
    """The keys of HKEY_CURRENT_USER, in one read: {key in lower case: {name: data}}."""
    with tempfile.TemporaryDirectory(prefix="pavo-reg-") as tmp:
        f = Path(tmp) / "out.reg"
        wine("regedit", "/E", path(f), "HKEY_CURRENT_USER")
        raw = f.read_bytes() if f.exists() else b""
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8", "replace")
    return {key.lower(): {re.sub(r"\\(.)", r"\1", m[1]): m[2] for m in re.finditer(r'^"((?:[^"\\]|\\.)*)"=(.*)$',
                                                                                  values, re.M)}
            for key, values in re.findall(r"^\[(.*)\]$((?:\n[^[\n].*)*)", re.sub(r"\\\r?\n  |\r", "", text), re.M)}

