"""The download packages of ./release.sh, each unpacked into a fresh folder
and its program run once, natively and under Wine (the 32-bit one only has
its imports read: no 32-bit Wine here).
    python3 tests/package/test_packages.py --dist dist --build build/package-test"""
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
    """{system: path}, one package of each system, and their one version."""
    found = [re.fullmatch(r"pavo-(\d+\.\d+\.\d+(?:\.\d+)?)-(.+?)\.(zip|tar\.gz)", f.name) or f.name
             for f in sorted(Path(ARGS.dist).iterdir())]
    if any(isinstance(m, str) or (m[3] == "zip") != m[2].startswith("windows") for m in found) \
            or sorted(m[2] for m in found) != sorted(PACKAGES) or len({m[1] for m in found}) != 1:
        raise AssertionError(f"{ARGS.dist} holds {sorted(f.name for f in Path(ARGS.dist).iterdir())}: not one "
                             "package of each system, all of one version")
    return {m[2]: Path(ARGS.dist) / m[0] for m in found}, found[0][1]


def run(*cmd):
    return subprocess.check_output(cmd, text=True)


def debian_package(library_path):
    real = os.path.realpath(library_path)
    for candidate in (library_path, real, "/usr" + library_path, real.replace("/usr/lib/", "/lib/", 1)):
        done = subprocess.run(["dpkg", "-S", candidate], capture_output=True, text=True)
        if done.returncode == 0:
            return done.stdout.split(":", 1)[0].strip()
    raise AssertionError(f"{library_path} belongs to no Debian package")


def readme_packages(readme):
    """The Debian packages the README tells a user to install."""
    lines = re.findall(r"\bapt(?:-get)? install\s+(.*)$", readme.read_text(encoding="utf-8"), re.M)
    return {w for line in lines for w in line.split() if not w.startswith("-")}


# DLLs Wine carries that Windows itself does not (run-times of compilers and
# redistributables, the Universal C run-time that Windows 7 lacks, zlib).
NOT_OF_WINDOWS = re.compile(r"(lib.*|zlib1|ucrtbase|api-ms-win-crt-.*|msvcp\d.*|msvcr\d.*|vcruntime.*|vcomp.*"
                            r"|concrt.*|atl\d+|msvcm\d+|d3dx.*|d3dcompiler_.*|xinput1_[123]|xaudio2_[0-7]"
                            r"|x3daudio.*|xactengine.*|xapofx.*)\.dll", re.I)


def windows_system_dlls():
    """The DLL names of Windows itself, as the test prefix's Wine has them."""
    prefix = Path(os.environ.get("WINEPREFIX", ROOT / "build" / "wineprefix"))
    system32 = prefix / "drive_c" / "windows" / "system32"
    names = {p.name.lower() for p in system32.glob("*.dll") if not NOT_OF_WINDOWS.fullmatch(p.name)}
    if not names:
        raise AssertionError(f"no Wine prefix at {prefix} (run tools/wine-setup)")
    return names


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.packages, cls.version = find_packages()
        os.makedirs(ARGS.build, exist_ok=True)
        # The image service the Linux package carries serves every run.
        h.configure("linux", ARGS.build)
        cls.linux = h.unpack(cls.packages["linux-x86_64"], Path(tempfile.mkdtemp(prefix="pavo-pkg-")) / "svc")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.linux.parent.parent, ignore_errors=True)

    def unpacked(self, system):
        """The package unpacked, with its programs (executable) and documents in one folder."""
        platform, programs = PACKAGES[system][:2]
        h.configure(platform, ARGS.build)
        p = h.ProgramDir(self, package=self.packages[system])
        self.assertEqual(p.dir.name, f"pavo-{self.version}-{system}")
        self.assertEqual({f.name for f in p.dir.iterdir()}, programs | DOCUMENTS)
        self.assertTrue(platform == "win32" or all(os.access(p.dir / name, os.X_OK) for name in programs))
        return p

    def test_the_linux_programs_are_stripped_and_need_only_the_packages_the_readme_names(self):
        p = self.unpacked("linux-x86_64")
        named = readme_packages(p.dir / "README.md")
        self.assertTrue(named, "the README names no Debian packages")
        for name in PACKAGES["linux-x86_64"][1]:
            with self.subTest(name):
                program = str(p.dir / name)
                sections = set(re.findall(r"\]\s+(\.\S+)", run("readelf", "-S", "-W", program)))
                self.assertEqual({n for n in sections if n == ".symtab" or n.startswith(".debug")}, set(),
                                 f"{name} is not stripped")
                needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", run("readelf", "-d", program))
                self.assertTrue(needed)
                # Libraries a program opens itself when it needs them (pavo:
                # libcurl, for the transfers alone) are named in it.
                opened = {n.decode() for n in re.findall(rb"lib[\w.+-]*?\.so(?:\.\d+)+", Path(program).read_bytes())}
                found = {**dict(re.findall(r"^\s*(\S+) \(.*x86-64.*\) => (/\S+)", run("ldconfig", "-p"), re.M)),
                         **dict(re.findall(r"^\s*(\S+) => (/\S+)", run("ldd", program), re.M))}
                for library in sorted(set(needed) | opened):
                    self.assertIn(library, found, f"{name}: {library} is not found on this system")
                    package = debian_package(found[library])
                    self.assertTrue(package in named | BASE_PACKAGES,
                                    f"{name} needs {library} of {package}, which the README does not name")

    def test_the_windows_programs_import_only_dlls_of_windows(self):
        system_dlls = windows_system_dlls()
        for system, (_, _, objdump, _) in PACKAGES.items():
            if not objdump:
                continue
            with self.subTest(system):
                p = self.unpacked(system)
                imports = re.findall(r"DLL Name: (\S+)", run(objdump, "-p", str(p.exe)))
                self.assertIn("kernel32.dll", {d.lower() for d in imports})
                for dll in imports:
                    self.assertTrue(dll.lower() in system_dlls, f"{system}: pavo.exe needs {dll} beside it")

    def test_the_unpacked_program_takes_the_days_picture(self):
        service = h.ImageService(binary=self.linux / "pavo_image_service")
        self.addCleanup(service.stop)
        service.put_today(h.jpeg())
        for system, (_, _, _, runs) in PACKAGES.items():
            if not runs:
                continue
            with self.subTest(system):
                p = self.unpacked(system)
                p.write_settings({**h.SETTINGS, "域名": service.base})
                h.check_day(self, p, p.run(), 0, h.jpeg(), (1920, 1080))
                self.assertIs(h.wallpaper(p), True)


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--dist", default=str(ROOT / "dist"))
    ap.add_argument("--build", default=str(ROOT / "build" / "package-test"))
    ARGS, rest = ap.parse_known_args()
    ARGS.build = os.path.abspath(ARGS.build)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
