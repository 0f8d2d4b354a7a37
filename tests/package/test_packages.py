"""The download packages of ./release.sh (dist/), each unpacked into a fresh
folder and its program run once against the local image service, natively
and under Wine (the Wine prefix of tools/wine-setup); the 32-bit Windows one
is only unpacked and its imports read (no 32-bit Wine here).
    python3 tests/package/test_packages.py --dist dist --build build/package-test
"""
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
    """{system: path}, one package of each system, all of one version."""
    found = {}
    for f in sorted(Path(ARGS.dist).iterdir()):
        m = re.fullmatch(r"pavo-(\d+\.\d+\.\d+(?:\.\d+)?)-(.+?)\.(zip|tar\.gz)", f.name)
        if not m or m[2] not in PACKAGES or (m[3] == "zip") != m[2].startswith("windows") or m[2] in found:
            raise AssertionError(f"{f.name} in {ARGS.dist} is no package of ours, or a second one")
        found[m[2]] = (f, m[1])
    versions = {v for _, v in found.values()}
    if set(found) != set(PACKAGES) or len(versions) != 1:
        raise AssertionError(f"packages {sorted(found)} of versions {sorted(versions)}")
    return {k: f for k, (f, _) in found.items()}, versions.pop()


def run(*cmd):
    return subprocess.check_output(cmd, text=True)


def debian_package(library_path):
    """The Debian package a library file belongs to."""
    real = os.path.realpath(library_path)
    for candidate in (library_path, real, "/usr" + library_path, real.replace("/usr/lib/", "/lib/", 1)):
        done = subprocess.run(["dpkg", "-S", candidate], capture_output=True, text=True)
        if done.returncode == 0:
            return done.stdout.split(":", 1)[0].strip()
    raise AssertionError(f"{library_path} belongs to no Debian package")


def readme_packages(readme):
    """The Debian packages the README tells a user to install."""
    names = set()
    for line in readme.read_text(encoding="utf-8").splitlines():
        m = re.search(r"\bapt(?:-get)? install\s+(.*)$", line)
        if m:
            names.update(w for w in m.group(1).split() if not w.startswith("-"))
    return names


# Wine carries DLLs that Windows itself does not: compilers' run-times (of
# MinGW, the Visual C++ and DirectX redistributables, the Universal C run-time
# that Windows 7 lacks) and zlib. Such a DLL would have to come with the
# program.
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
        platform = PACKAGES[system][0]
        h.configure(platform, ARGS.build)
        p = h.ProgramDir(package=self.packages[system])
        self.addCleanup(p.cleanup)
        return p

    def test_each_package_is_one_folder_with_the_programs_and_the_documents(self):
        for system, (_, programs, _, _) in PACKAGES.items():
            with self.subTest(system):
                p = self.unpacked(system)
                self.assertEqual(p.dir.name, f"pavo-{self.version}-{system}")
                self.assertEqual({f.name for f in p.dir.iterdir()}, programs | DOCUMENTS)
                for name in programs:
                    if system.startswith("linux"):
                        self.assertTrue(os.access(p.dir / name, os.X_OK), f"{name} is not executable")
                self.assertIn("Pavo壁纸 contributors", (p.dir / "LICENSE").read_text(encoding="utf-8"))

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
                found = dict(re.findall(r"^\s*(\S+) => (/\S+)", run("ldd", program), re.M))
                # Libraries a program opens itself when it needs them (pavo:
                # libcurl, for the transfers alone) are named in it.
                cache = dict(re.findall(r"^\s*(\S+) \(.*x86-64.*\) => (/\S+)", run("ldconfig", "-p"), re.M))
                opened = {n.decode() for n in re.findall(rb"lib[\w.+-]*?\.so(?:\.\d+)+", Path(program).read_bytes())}
                for library in opened - set(needed):
                    self.assertIn(library, cache, f"{name} opens {library}, which is not found on this system")
                    found[library] = cache[library]
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
                p.write_settings({"开机自启动": "0", "设为壁纸": "1", "延迟运行": "0",
                                  "域名": service.base, "备用域名": service.base})
                done = p.run(timeout=120)
                self.assertEqual((done.returncode, done.output), (0, b""))
                self.assertEqual(p.today_file.read_bytes(), h.jpeg())
                self.assertEqual(h.bmp_size(p.bitmap.read_bytes()), (1920, 1080))
                self.assertTrue(h.wallpaper_names(p), h.wallpaper_setting(p))


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
