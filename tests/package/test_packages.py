"""The download packages of ./release.sh, each unpacked into a fresh folder
and its program run once, natively and under Wine (the 32-bit one only has
its imports read: no 32-bit Wine here). Each pavo.exe carries an Authenticode
signature (SHA-256) of the certificate --signed-by names, or, without it, none.
    python3 tests/package/test_packages.py --dist dist --build build/package-test [--signed-by cert.pem]"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import harness as h  # noqa: E402

DOCUMENTS = {"README.md", "LICENSE", "THIRD_PARTY.md"}
# system: (platform, the programs in the package, objdump for a Windows program, runs here)
PACKAGES = {
    "linux-x86_64": ("linux", {"pavo", "pavo_image_service"}, None, True),
    "windows-x64": ("win32", {"pavo.exe"}, "x86_64-w64-mingw32-objdump", True),
    "windows-x86": ("win32", {"pavo.exe"}, "i686-w64-mingw32-objdump", False),
}
# Libraries of every Debian system, which the README need not name.
BASE_PACKAGES = {"libc6", "libstdc++6", "libgcc-s1"}

ARGS = None


def find_packages():
    """{system: path}, one package of each system, all of one version, and nothing else."""
    names = sorted(f.name for f in Path(ARGS.dist).iterdir())
    version = re.match(r"pavo-(\d+\.\d+\.\d+(?:\.\d+)?)-", names[0] if names else "")
    systems = sorted(PACKAGES)
    if names != [f"pavo-{version and version[1]}-{s}.{'zip' if 'windows' in s else 'tar.gz'}" for s in systems]:
        raise AssertionError(f"{ARGS.dist} holds {names}: not one package of each system, all of one version")
    return dict(zip(systems, (Path(ARGS.dist) / n for n in names))), version[1]


def run(*cmd):
    return subprocess.check_output(cmd, text=True)


def debian_package(library_path):
    real = os.path.realpath(library_path)
    for candidate in (library_path, real, "/usr" + library_path, real.replace("/usr/lib/", "/lib/", 1)):
        done = subprocess.run(["dpkg", "-S", candidate], capture_output=True, text=True)
        if done.returncode == 0:
            return done.stdout.split(":", 1)[0].strip()
    raise AssertionError(f"{library_path} belongs to no Debian package")


# DLLs Wine carries that Windows itself does not, of those a compiler may link
# (the run-times of compilers, the Universal C run-time that Windows 7 lacks).
NOT_OF_WINDOWS = re.compile(r"(lib.*|zlib1|ucrtbase|api-ms-win-crt-.*|msvcp\d.*|msvcr\d.*|vcruntime.*)\.dll", re.I)


class Packages(unittest.TestCase):
    def test_each_package_as_its_user_gets_it(self):
        packages, version = find_packages()
        os.makedirs(ARGS.build, exist_ok=True)
        # The image service the Linux package carries serves every run.
        h.configure("linux", ARGS.build)
        tmp = Path(tempfile.mkdtemp(prefix="pavo-pkg-"))
        self.addCleanup(shutil.rmtree, tmp, ignore_errors=True)
        service = h.ImageService(binary=h.unpack(packages["linux-x86_64"], tmp) / "pavo_image_service")
        self.addCleanup(service.stop)
        service.put_today(h.jpeg())
        # The DLL names of Windows itself, as the test prefix's Wine has them.
        prefix = Path(os.environ.get("WINEPREFIX", ROOT / "build" / "wineprefix"))
        system_dlls = {f.name.lower() for f in (prefix / "drive_c" / "windows" / "system32").glob("*.dll")
                       if not NOT_OF_WINDOWS.fullmatch(f.name)}
        self.assertTrue(system_dlls, f"no Wine prefix at {prefix} (run tools/wine-setup)")
        for system, (platform, programs, objdump, runs) in PACKAGES.items():
            h.configure(platform, ARGS.build)
            p = h.ProgramDir(self, package=packages[system])
            with self.subTest(system):  # one folder, its programs and documents in it
                self.assertEqual(p.dir.name, f"pavo-{version}-{system}")
                self.assertEqual({f.name for f in p.dir.iterdir()}, programs | DOCUMENTS)
            # The Debian packages the README tells a user to install.
            lines = re.findall(r"\bapt(?:-get)? install\s+(.*)$", (p.dir / "README.md").read_text("utf-8"), re.M)
            named = {w for line in lines for w in line.split() if not w.startswith("-")}
            for name in programs:
                with self.subTest(f"{system}: {name}"):
                    program = p.dir / name
                    if objdump:  # signed as asked, and only DLLs of Windows
                        check = subprocess.run(["osslsigncode", "verify", "-CAfile", ARGS.signed_by or "/dev/null",
                                                "-in", program], capture_output=True, text=True)
                        if ARGS.signed_by:
                            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
                            self.assertRegex(check.stdout, r"(?m)^Message digest algorithm\s*:\s*SHA256$")
                            self.assertIn("Signature verification: ok", check.stdout)
                        else:
                            self.assertIn("No signature found", check.stdout + check.stderr)
                        imports = re.findall(r"DLL Name: (\S+)", run(objdump, "-p", program))
                        self.assertIn("kernel32.dll", {d.lower() for d in imports})
                        for dll in imports:
                            self.assertTrue(dll.lower() in system_dlls, f"{name} needs {dll} beside it")
                        continue
                    # Stripped, and needs only the Debian packages the README names.
                    sections = set(re.findall(r"\]\s+(\.\S+)", run("readelf", "-S", "-W", program)))
                    self.assertEqual({n for n in sections if n == ".symtab" or n.startswith(".debug")}, set(),
                                     f"{name} is not stripped")
                    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", run("readelf", "-d", program))
                    self.assertTrue(needed)
                    # Libraries a program opens itself when it needs them (pavo:
                    # libcurl, for the transfers alone) are named in it.
                    opened = {n.decode() for n in re.findall(rb"lib[\w.+-]*?\.so(?:\.\d+)+", program.read_bytes())}
                    found = dict(re.findall(r"^\s*(\S+) \(.*x86-64.*\) => (/\S+)", run("ldconfig", "-p"), re.M))
                    found.update(re.findall(r"^\s*(\S+) => (/\S+)", run("ldd", program), re.M))
                    for library in sorted(set(needed) | opened):
                        self.assertIn(library, found, f"{name}: {library} is not found on this system")
                        package = debian_package(found[library])
                        self.assertTrue(package in named | BASE_PACKAGES,
                                        f"{name} needs {library} of {package}, which the README does not name")
            if runs:
                with self.subTest(f"{system}: a day's run, natively or under Wine"):
                    p.write_settings({**h.SETTINGS, "域名": service.base})
                    h.check_day(self, p, p.run(), 0, h.jpeg(), (1920, 1080))
                    self.assertIs(h.wallpaper(p), True)


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--dist", default=str(ROOT / "dist"))
    ap.add_argument("--build", type=os.path.abspath, default=str(ROOT / "build" / "package-test"))
    ap.add_argument("--signed-by", help="the certificate (PEM) that signed each pavo.exe")
    ARGS, rest = ap.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
