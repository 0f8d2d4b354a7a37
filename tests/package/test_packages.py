"""The download packages of ./release.sh as their users get them: each unpacked and run once, natively, under Wine
(the 32-bit one only has its imports read) and in Debian 11 and 13 roots with only the packages the README names;
each pavo.exe signed (SHA-256) by the certificate --signed-by names, or, without it, not at all.
    python3 tests/package/test_packages.py --dist dist --build build/package-test [--signed-by cert.pem]"""
import argparse
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import harness as h  # noqa: E402
from program import SETTINGS, Config, ProgramDir, Run, debian_root  # noqa: E402
from pictures import jpeg  # noqa: E402
from service import ImageService  # noqa: E402

DOCUMENTS = {"README.md", "LICENSE", "THIRD_PARTY.md"}
# system: (platform, the programs in the package, objdump for a Windows program, runs here)
PACKAGES = {
    "linux-x86_64": ("linux", {"pavo", "pavo_image_service"}, None, True),
    "windows-x64": ("win32", {"pavo.exe"}, "x86_64-w64-mingw32-objdump", True),
    "windows-x86": ("win32", {"pavo.exe"}, "i686-w64-mingw32-objdump", False),
}
# Libraries of every Debian system, which the README need not name.
BASE_PACKAGES = {"libc6", "libstdc++6", "libgcc-s1"}


def run(*cmd):
    return subprocess.check_output(cmd, text=True)


def numbers(version):
    return tuple(int(n) for n in version.split("."))


# DLLs Wine carries that Windows itself does not, of those a compiler may link
# (the run-times of compilers, the Universal C run-time that Windows 7 lacks).
NOT_OF_WINDOWS = re.compile(r"(lib.*|zlib1|ucrtbase|api-ms-win-crt-.*|msvcp\d.*|msvcr\d.*|vcruntime.*)\.dll", re.I)


class Packages(unittest.TestCase):
    def test_each_package_as_its_user_gets_it(self):
        # One package of each system, all of one version, and nothing else.
        names = sorted(f.name for f in Path(ARGS.dist).iterdir())
        version = (re.match(r"pavo-(\d+\.\d+\.\d+(?:\.\d+)?)-", "".join(names)) or [None] * 2)[1]
        packages = {s: Path(ARGS.dist, f"pavo-{version}-{s}.{'zip' if 'windows' in s else 'tar.gz'}") for s in PACKAGES}
        self.assertEqual(names, sorted(f.name for f in packages.values()),
                         f"{ARGS.dist}: not one package of each system, all of one version")
        os.makedirs(ARGS.build, exist_ok=True)
        # The image service the Linux package carries serves every run.
        linux = ProgramDir(self, Config("linux", ARGS.build, None), package=packages["linux-x86_64"]).dir
        service = ImageService(ARGS.build, self, linux / "pavo_image_service")
        service.put_today(jpeg())
        # The Debian packages the README tells a user to install, and the libraries it names.
        readme = (linux / "README.md").read_text("utf-8")
        lines = re.findall(r"\bapt(?:-get)? install\s+([^#\n]*)", readme)
        named = {w for line in lines for w in line.split() if not w.startswith("-")}
        # The library files the README's table names, and the oldest version of each kind (GLIBC: "2.31").
        table = re.search(r"^\| library \|.*\n((?:\|.*\n)+)", readme, re.M)[1]
        libraries = set(re.findall(r"`(lib[\w.+-]*\.so(?:\.\d+)+)`", table))
        oldest = dict(re.findall(r"`([A-Z]+)_(\d+(?:\.\d+)+)`", table))
        # The DLL names of Windows itself, as the test prefix's Wine has them.
        prefix = Path(os.environ.get("WINEPREFIX", ROOT / "build" / "wineprefix"))
        system_dlls = {f.name.lower() for f in (prefix / "drive_c" / "windows" / "system32").glob("*.dll")
                       if not NOT_OF_WINDOWS.fullmatch(f.name)}
        self.assertTrue(system_dlls, f"no Wine prefix at {prefix} (run tools/wine-setup)")
        for system, (platform, programs, objdump, runs) in PACKAGES.items():
            p = ProgramDir(self, Config(platform, ARGS.build, None), package=packages[system])
            with self.subTest(system):  # one folder, its programs and documents in it
                self.assertEqual(p.dir.name, f"pavo-{version}-{system}")
                self.assertEqual({f.name for f in p.dir.iterdir()}, programs | DOCUMENTS)
            for name in programs:
                with self.subTest(f"{system}: {name}"):
                    program = p.dir / name
                    if objdump:  # signed as asked, and only DLLs of Windows
                        check = subprocess.run(["osslsigncode", "verify", "-CAfile", ARGS.signed_by or "/dev/null",
                                                "-in", program], capture_output=True, text=True)
                        self.assertEqual(check.returncode == 0, bool(ARGS.signed_by), check.stdout + check.stderr)
                        for said in ((r"(?m)^Message digest algorithm\s*:\s*SHA256$", "Signature verification: ok")
                                     if ARGS.signed_by else ("No signature found",)):
                            self.assertRegex(check.stdout + check.stderr, said)
                        imports = {d.lower() for d in re.findall(r"DLL Name: (\S+)", run(objdump, "-p", program))}
                        self.assertIn("kernel32.dll", imports)
                        self.assertEqual(imports - system_dlls, set(), f"{name} needs these beside it")
                        continue
                    # Stripped, and needs only the Debian packages (pavo: the libraries) the README names.
                    sections = re.findall(r"\]\s+(\.symtab|\.debug\S*)", run("readelf", "-S", "-W", program))
                    self.assertEqual(sections, [], f"{name} is not stripped")
                    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", run("readelf", "-d", program))
                    self.assertTrue(needed)
                    # Libraries a program opens itself when it needs them (pavo:
                    # libcurl, for the transfers alone) are named in it.
                    opened = {n.decode() for n in re.findall(rb"lib[\w.+-]*?\.so(?:\.\d+)+", program.read_bytes())}
                    if name == "pavo":  # built for every distribution: the README's libraries, no newer versions
                        self.assertEqual((set(needed) | opened) - libraries, set(),
                                         f"{name} needs more than the README names")
                        versions = set(re.findall(r"\b([A-Z]+)_(\d+(?:\.\d+)+)\b", run("objdump", "-T", program)))
                        newer = {f"{k}_{v}" for k, v in versions if k in oldest and numbers(v) > numbers(oldest[k])}
                        self.assertEqual(newer, set(), f"{name} needs versions newer than the README's")
                        self.assertTrue({"GLIBC", "GLIBCXX"} <= {k for k, _ in versions} <= set(oldest) | {"GCC"})
                        continue
                    found = dict(re.findall(r"^\s*(\S+) \(.*x86-64.*\) => (/\S+)", run("ldconfig", "-p"), re.M))
                    found.update(re.findall(r"^\s*(\S+) => (/\S+)", run("ldd", program), re.M))
                    for library in sorted(set(needed) | opened):
                        self.assertIn(library, found, f"{name}: {library} is not found on this system")
                        # Its package, whichever of /lib and /usr/lib it is found in.
                        owner = run("dpkg", "-S", "*" + os.path.realpath(found[library]).removeprefix("/usr"))
                        package = owner.split(":", 1)[0]
                        self.assertTrue(package in named | BASE_PACKAGES,
                                        f"{name} needs {library} of {package}, which the README does not name")
            if runs:
                with self.subTest(f"{system}: a day's run, natively or under Wine"):
                    p.write_settings({**SETTINGS, "域名": service.base})
                    h.check_day(self, p, p.run(), 0, jpeg(), (1920, 1080))
                    self.assertTrue(p.desktop().applied)
        for what, silent in (("Debian 11", False), ("Debian 13", False), ("Debian 11", True)):
            with self.subTest(f"linux-x86_64 in {what}" + ", a name server that never answers" * silent):
                self.run_in_root(what, readme, packages["linux-x86_64"], service, silent)

    def run_in_root(self, what, readme, package, service, silent):
        """The package unpacked into the root of `what` (its README line's packages), its program run there
        by an ordinary user with chroot, against the service outside; silent: the base URL is a name that
        the root's only name server (on loopback) never answers, and the run fails."""
        root = debian_root(what, readme)
        inside = Path(tempfile.mkdtemp(prefix="pavo-pkg-", dir=root / "tmp"))
        self.addCleanup(shutil.rmtree, inside, ignore_errors=True)
        p = ProgramDir(self, Config("linux", ARGS.build, None), package=package)
        p.move_to(inside / p.dir.name)
        p.home = inside / "home"
        (p.home / ".config").mkdir(parents=True)
        base = "http://pavo-images.example:" + str(service.port) if silent else service.base
        p.write_settings({**SETTINGS, "开机自启动": "1", "域名": base})
        settings = p.ini.read_bytes()
        resolv = inside / "resolv.conf"
        if silent:  # a name server on loopback that takes every query and never answers
            server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            server.bind(("127.0.0.2", 53))
            self.addCleanup(server.close)
            self.addCleanup(socket.create_server(("127.0.0.2", 53)).close)
        # The slowest system resolver: each query waits 30 s, five times.
        resolv.write_text(f"nameserver {'127.0.0.2' if silent else '127.0.0.1'}\noptions timeout:30 attempts:5\n")
        subprocess.run(["chown", "-R", "1000:1000", str(inside)], check=True)
        within = "/" + str(p.exe.relative_to(root))
        before = len(service.requests())
        t0 = time.monotonic()
        # A mount namespace of its own: the root's resolver setting and /proc for this run alone.
        done = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-ec",
             'mount --bind "$1" "$2/etc/resolv.conf"; mount -t proc proc "$2/proc"; shift 2; exec chroot "$@"',
             "sh", str(resolv), str(root), "--userspec=1000:1000", str(root), "/usr/bin/env", "-i",
             "PATH=/usr/bin:/bin", "HOME=/" + str(p.home.relative_to(root)), within],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
        r = Run(done.returncode, done.stdout + done.stderr, time.monotonic() - t0, 0, settings, p.day_file())
        h.check_day(self, p, r, int(silent), jpeg(), None if silent else (1920, 1080))
        if not silent:
            self.assertIn(f"Exec={within}\n", p.desktop().entry or "", "no autostart entry")
        else:  # (an empty answer is followed by the download of the base URL, as from any service)
            # The fetch's 10 s and the download's 30 s without progress, not the resolver's 150 s for each.
            self.assertLess(r.seconds, 11 + 30 + 4, "the run outlasted the limits")
            self.assertEqual(len(service.requests()), before)
            self.assertTrue(select.select([server], [], [], 0)[0], "the name was not asked for")


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--dist", default=str(ROOT / "dist"))
    ap.add_argument("--build", type=os.path.abspath, default=str(ROOT / "build" / "package-test"))
    ap.add_argument("--signed-by", help="the certificate (PEM) that signed each pavo.exe")
    ARGS, rest = ap.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
