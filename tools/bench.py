#!/usr/bin/env python3
"""Measures the built program against the tools that do the same work, and
prints one table (Markdown) for BENCHMARKS.md. Run through ./bench.sh.

Every figure is the median of repeated runs, with the minimum and maximum
beside it so that noise is visible, and every ratio is taken against its
reference measured in the same run, interleaved with it.

  bench.py --build DIR [--windows-exe PATH] [--wine] [--runs N]

Each process is started by GNU time (/usr/bin/time), a small launcher: a
child forked from Python would carry Python's own memory peak across exec.
Wall and CPU time come from wait4 on that launcher (microseconds; the
launcher's own share is a fraction of a millisecond), the peak resident
memory from its report. A process's peak counts the largest of its own and
its waited-for children's, so a chain of processes is read the same way:
times add up, the peak is the largest of theirs.

The whole run is set against two readings of "the same work": the chain
curl (metadata), curl (picture), djpeg -bmp (conversion), run one after
another, and djpeg -bmp alone (the conversion of the same downloaded file,
the chain's last step). Both ratios are printed.

Under Wine (--wine, the windows-release program in the prefix of
tools/wine-setup) only what Wine's own start does not outweigh is timed: the
CPU of the delay, as the difference of two runs that differ in nothing else.
"""
import argparse
import http.server
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
import sample_jpeg  # noqa: E402

META = "/HPImageArchive.aspx?format=js&idx=0&n=1"
UA = "Mozilla/5.0 (Windows NT 6.1; WOW64; Trident/7.0; rv:11.0) like Gecko"


class Sample:
    def __init__(self, wall, cpu, peak_kib, status):
        self.wall, self.cpu, self.peak, self.status = wall, cpu, peak_kib, status


def measure(cmd, env=None, cwd=None):
    """One run of cmd under /usr/bin/time: wall and CPU seconds, peak KiB."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as rep:
        start = time.monotonic()
        p = subprocess.Popen(["/usr/bin/time", "-q", "-f", "%M", "-o", rep.name, *cmd],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, env=env, cwd=cwd)
        _, status, ru = os.wait4(p.pid, 0)
        wall = time.monotonic() - start
        p.returncode = os.waitstatus_to_exitcode(status)
        peak = int(rep.read().strip().splitlines()[-1])
    return Sample(wall, ru.ru_utime + ru.ru_stime, peak, p.returncode)


def chain(samples):
    """Several processes run one after another as one piece of work: times
    add up, memory is the largest peak among them."""
    return Sample(sum(s.wall for s in samples), sum(s.cpu for s in samples),
                  max(s.peak for s in samples), max(s.status for s in samples))


class Stat:
    def __init__(self, values):
        self.values = sorted(values)
        self.med = statistics.median(self.values)
        self.lo, self.hi = self.values[0], self.values[-1]


def fmt_time(st):
    return f"{st.med * 1000:.1f} ms ({st.lo * 1000:.1f}–{st.hi * 1000:.1f})"


def fmt_mem(st):
    return f"{st.med / 1024:.1f} MiB ({st.lo / 1024:.1f}–{st.hi / 1024:.1f})"


def ratio(a, b):
    return f"{a.med / b.med:.2f}" if b.med else "–"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, figure, program, reference, r, target):
        self.rows.append((figure, program, reference, r, target))
        print(f"  {figure}: {program} | {reference} | {r}", file=sys.stderr)

    def markdown(self):
        out = ["| figure | program | reference | ratio | target |", "|---|---|---|---|---|"]
        out += ["| " + " | ".join(r) + " |" for r in self.rows]
        return "\n".join(out)


def target(value, limit, text):
    met = "met" if value is not None and value <= limit else "NOT met"
    return f"{text} ({met})"


def verdict(value, limit):
    return "met" if value is not None and value <= limit else "NOT met"


def compare(table, label, prog_runs, ref_runs, ref_name, time_target=None, mem_target=None, wall=False):
    """Rows for one piece of work: CPU (or wall) and peak memory, each with
    its ratio against the reference."""
    key = "wall" if wall else "cpu"
    p_t, r_t = Stat([getattr(s, key) for s in prog_runs]), Stat([getattr(s, key) for s in ref_runs])
    p_m, r_m = Stat([s.peak for s in prog_runs]), Stat([s.peak for s in ref_runs])
    t_ratio = p_t.med / r_t.med if r_t.med else None
    m_ratio = p_m.med / r_m.med if r_m.med else None
    table.add(f"{label}: {key}", fmt_time(p_t), f"{ref_name}: {fmt_time(r_t)}",
              ratio(p_t, r_t), target(t_ratio, time_target, f"≤ {time_target}") if time_target else "—")
    table.add(f"{label}: peak memory", fmt_mem(p_m), f"{ref_name}: {fmt_mem(r_m)}", ratio(p_m, r_m),
              target(m_ratio, mem_target, f"≤ {mem_target}") if mem_target else "—")


def compare_two(table, label, key, prog_runs, refs, limit=None):
    """One row set against two references (the two readings of the same
    work), refs being (tag, name, runs): each reference with its figure and
    ratio, the target judged under each."""
    fmt = fmt_mem if key == "peak" else fmt_time
    p = Stat([getattr(s, key) for s in prog_runs])
    cells, ratios, judged = [], [], []
    for tag, name, runs in refs:
        r = Stat([getattr(s, key) for s in runs])
        cells.append(f"{name}: {fmt(r)}")
        ratios.append(f"{ratio(p, r)} ({tag})" if len(refs) > 1 else ratio(p, r))
        if limit:
            judged.append(f"{verdict(p.med / r.med if r.med else None, limit)} ({tag})")
    figure = {"peak": "peak memory", "cpu": "CPU", "wall": "wall"}[key]
    table.add(f"{label}: {figure}", fmt(p), "; ".join(cells), "; ".join(ratios),
              f"≤ {limit}: " + ", ".join(judged) if limit else "—")


def interleave(runs, *makers):
    """Runs each maker in turn, `runs` times, so that a slow moment of the
    machine touches the program and its reference alike."""
    results = [[] for _ in makers]
    for _ in range(runs):
        for i, make in enumerate(makers):
            results[i].append(make())
    return results


# ---- the local image service ---------------------------------------------

class Service:
    def __init__(self, binary, folder):
        self.tmp = Path(tempfile.mkdtemp(prefix="pavo-bench-svc-"))
        port_file = self.tmp / "port"
        with open(port_file, "wb") as o:
            self.proc = subprocess.Popen([str(binary), "--port", "0", "--folder", str(folder),
                                          "--max-lifetime", "3600"],
                                         stdin=subprocess.DEVNULL, stdout=o, stderr=subprocess.DEVNULL)
        for _ in range(100):
            text = port_file.read_text().strip()
            if text:
                break
            time.sleep(0.05)
        else:
            raise SystemExit("bench: the image service did not start")
        self.base = f"http://127.0.0.1:{int(text.split()[0])}"

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        shutil.rmtree(self.tmp, ignore_errors=True)


class SilentMetadata(http.server.BaseHTTPRequestHandler):
    """Accepts the metadata request and never answers it; everything else is
    a quick 404, so a run spends its time in the metadata wait alone."""

    def do_GET(self):
        if "HPImageArchive" in self.path:
            time.sleep(20)
            return
        self.send_response(404)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


class ProgramDir:
    def __init__(self, program, base, delay="0"):
        self.tmp = Path(tempfile.mkdtemp(prefix="pavo-bench-"))
        self.dir = self.tmp / "prog"
        (self.tmp / "home" / ".config").mkdir(parents=True)
        self.dir.mkdir()
        self.exe = self.dir / "pavo"
        shutil.copy2(program, self.exe)
        self.write_settings(base, delay)
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("XDG_CURRENT_DESKTOP", "DBUS_SESSION_BUS_ADDRESS", "SWAYSOCK")}
        self.env.update(HOME=str(self.tmp / "home"), XDG_CONFIG_HOME=str(self.tmp / "home" / ".config"),
                        http_proxy="", https_proxy="", all_proxy="", no_proxy="*")

    def write_settings(self, base, delay):
        text = f"[Config]\r\n开机自启动=0\r\n设为壁纸=1\r\n延迟运行={delay}\r\n域名={base}\r\n备用域名=x\r\n"
        (self.dir / "cfg.ini").write_bytes(text.encode("utf-8"))

    def fresh_day(self):
        shutil.rmtree(self.dir / "img", ignore_errors=True)

    def run(self):
        return measure([str(self.exe)], env=self.env, cwd=str(self.tmp))

    def cleanup(self):
        shutil.rmtree(self.tmp, ignore_errors=True)


def today():
    return time.strftime("%Y%m%d")


# ---- the figures -----------------------------------------------------------

def conversion_rows(table, build, pictures, runs, out):
    convert = build / "bench" / "pavo_convert"
    for (w, h), jpeg in pictures.items():
        bmp_p, bmp_r = out / "p.bmp", out / "r.bmp"
        prog, ref = interleave(runs,
                               lambda: measure([str(convert), str(jpeg), str(bmp_p)]),
                               lambda: measure(["djpeg", "-bmp", "-outfile", str(bmp_r), str(jpeg)]))
        if any(s.status for s in prog + ref):
            raise SystemExit(f"bench: the conversion of {w}x{h} failed")
        limits = {1080: (1.1, 1.0), 2160: (1.1, 0.5)}.get(h, (None, None))
        compare(table, f"conversion alone, {w}×{h}", prog, ref, "`djpeg -bmp`", *limits)


def whole_run_rows(table, build, pictures, runs, out):
    program = build / "pavo"
    for (w, h), jpeg in pictures.items():
        folder = out / f"svc-{h}"
        folder.mkdir(exist_ok=True)
        shutil.copy2(jpeg, folder / (today() + ".jpg"))
        svc = Service(build / "tools" / "image_service" / "pavo_image_service", folder)
        pd = ProgramDir(program, svc.base)
        alone = []  # the chain's djpeg, on its own
        try:
            def ours():
                pd.fresh_day()
                s = pd.run()
                if s.status != 0:
                    raise SystemExit(f"bench: the whole run of {w}x{h} ended with {s.status}")
                return s

            def theirs():
                meta, img, bmp = out / "meta.json", out / "img.jpg", out / "img.bmp"
                a = measure(["curl", "-s", "--noproxy", "*", "-H", "If-Modified-Since: 0", "-A", UA,
                             "-o", str(meta), svc.base + META])
                m = re.search(r'url":"([^&]*)&', meta.read_text(encoding="utf-8"))
                b = measure(["curl", "-s", "--noproxy", "*", "-o", str(img), svc.base + m.group(1)])
                c = measure(["djpeg", "-bmp", "-outfile", str(bmp), str(img)])
                if any(s.status for s in (a, b, c)):
                    raise SystemExit(f"bench: the reference chain of {w}x{h} failed")
                alone.append(c)
                return chain([a, b, c])

            prog, ref = interleave(runs, ours, theirs)
        finally:
            pd.cleanup()
            svc.stop()
        cpu_limit, mem_limit = {1080: (1.1, 1.0), 2160: (None, 0.5)}.get(h, (None, None))
        label = f"whole run, delay 0, {w}×{h}"
        refs = [("chain", "`curl`, `curl`, `djpeg -bmp`", ref), ("djpeg alone", "`djpeg -bmp` alone", alone)]
        compare_two(table, label, "cpu", prog, refs, cpu_limit)
        compare_two(table, label, "peak", prog, refs, mem_limit)
        # Wall time too: the run also waits for the service.
        compare_two(table, label, "wall", prog, refs[:1])


def wait_rows(table, build, runs, out):
    program = build / "pavo"
    # The delay: the same quick run (a service that answers 404 at once) with
    # delays of 3 s and 0 s; the difference is what the wait costs.
    folder = out / "svc-empty"
    folder.mkdir(exist_ok=True)
    svc = Service(build / "tools" / "image_service" / "pavo_image_service", folder)
    slow, quick = ProgramDir(program, svc.base + "/mode/404", "3"), ProgramDir(program, svc.base + "/mode/404")
    try:
        s3, s0 = interleave(max(3, runs // 2), slow.run, quick.run)
    finally:
        slow.cleanup(), quick.cleanup(), svc.stop()
    extra = Stat([a.cpu - b.cpu for a, b in zip(s3, s0)])
    waited = Stat([a.wall - b.wall for a, b in zip(s3, s0)])
    share = extra.med / waited.med if waited.med else 0
    table.add("CPU during a 3 s delay", f"{extra.med * 1000:.1f} ms ({extra.lo * 1000:.1f}–{extra.hi * 1000:.1f})",
              f"wait: {waited.med:.2f} s", f"{share * 100:.2f} % of the wait", target(share, 0.01, "< 1 %"))

    # The metadata time-out: a service that takes the request and is silent.
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), SilentMetadata)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    pd = ProgramDir(program, f"http://127.0.0.1:{server.server_address[1]}")
    try:
        runs_t = [pd.run() for _ in range(3)]
    finally:
        pd.cleanup()
        server.shutdown()
    cpu, wall = Stat([s.cpu for s in runs_t]), Stat([s.wall for s in runs_t])
    share = cpu.med / wall.med
    table.add("CPU during the metadata time-out (3 runs)", f"{cpu.med * 1000:.1f} ms ({cpu.lo * 1000:.1f}–{cpu.hi * 1000:.1f})",
              f"run: {wall.med:.2f} s", f"{share * 100:.2f} % of the wait", target(share, 0.01, "< 1 %"))


def done_day_rows(table, build, runs, out):
    pd = ProgramDir(build / "pavo", "http://127.0.0.1:9")
    try:
        (pd.dir / "img").mkdir()
        (pd.dir / "img" / (today() + ".jpg")).write_bytes(b"\xff\xd8\xff" + b"\0" * 300000)
        prog, ref = interleave(max(runs, 15), pd.run, lambda: measure(["/bin/true"]))
    finally:
        pd.cleanup()
    p, r = Stat([s.wall for s in prog]), Stat([s.wall for s in ref])
    table.add("a start on a day already done: wall", fmt_time(p), f"`/bin/true`: {fmt_time(r)}", ratio(p, r),
              target(p.med / r.med, 3, "≤ 3"))
    pm, rm = Stat([s.peak for s in prog]), Stat([s.peak for s in ref])
    table.add("a start on a day already done: peak memory", fmt_mem(pm), f"`/bin/true`: {fmt_mem(rm)}",
              ratio(pm, rm), "—")


def stripped_size(path, strip, out):
    """The size as the package ships it: stripped, like CPack does."""
    copy = out / ("stripped-" + Path(path).name)
    subprocess.run([strip, "-o", str(copy), str(path)], check=True)
    return copy.stat().st_size


def wine_rows(table, build, exe, runs, out):
    """pavo.exe under Wine, in the prefix of tools/wine-setup. A Wine start
    alone takes longer than all the program's own work on its short paths,
    so only the delay is timed: the CPU of a run with a delay of 3 s less
    that of the same run with none. The start on a day already done is set
    beside Wine's start of a program that does nothing, to show by how
    much Wine outweighs it."""
    wine_run = str(ROOT / "tools" / "wine-run")
    folder = out / "svc-wine"
    folder.mkdir(exist_ok=True)
    svc = Service(build / "tools" / "image_service" / "pavo_image_service", folder)
    dirs = []

    def program_dir(delay, done=False):
        d = Path(tempfile.mkdtemp(prefix="pavo-bench-wine-"))
        dirs.append(d)
        shutil.copy2(exe, d / "pavo.exe")
        # The prefix's code page is GBK (936), so the settings are written in it.
        text = (f"[Config]\r\n开机自启动=0\r\n设为壁纸=0\r\n延迟运行={delay}\r\n"
                f"域名={svc.base}/mode/404\r\n备用域名=x\r\n")
        (d / "cfg.ini").write_bytes(text.encode("gbk"))
        if done:
            (d / "img").mkdir()
            (d / "img" / (today() + ".jpg")).write_bytes(b"\xff\xd8\xff" + b"\0" * 300000)
        return lambda: measure([wine_run, str(d / "pavo.exe")], cwd=str(d))

    try:
        slow, quick, done = program_dir("3"), program_dir("0"), program_dir("0", done=True)
        nothing = lambda: measure([wine_run, "cmd", "/c", "exit", "0"], cwd=str(out))
        nothing()  # the prefix's services up before anything is timed
        s3, s0 = interleave(max(3, runs // 2), slow, quick)
        started, bare = interleave(runs, done, nothing)
    finally:
        svc.stop()
        for d in dirs:
            shutil.rmtree(d, ignore_errors=True)
    extra = Stat([a.cpu - b.cpu for a, b in zip(s3, s0)])
    waited = Stat([a.wall - b.wall for a, b in zip(s3, s0)])
    share = extra.med / waited.med if waited.med else 0
    table.add("`pavo.exe` under Wine: CPU during a 3 s delay",
              f"{extra.med * 1000:.1f} ms ({extra.lo * 1000:.1f}–{extra.hi * 1000:.1f})",
              f"wait: {waited.med:.2f} s", f"{share * 100:.2f} % of the wait", target(share, 0.01, "< 1 %"))
    p, r = Stat([s.wall for s in started]), Stat([s.wall for s in bare])
    table.add("`pavo.exe` under Wine: a start on a day already done: wall (Wine's start dominates; not judged)",
              fmt_time(p), f"`wine cmd /c exit 0`: {fmt_time(r)}", ratio(p, r), "—")


def loaded_libraries(build, jpeg, out):
    """The shared libraries one whole run loads, as the dynamic linker
    reports them (LD_DEBUG=files): {name: how it came}, where how is
    "needed" (a dependency of an object already loaded) or "dlopen"."""
    folder = out / "svc-libs"
    folder.mkdir(exist_ok=True)
    shutil.copy2(jpeg, folder / (today() + ".jpg"))
    svc = Service(build / "tools" / "image_service" / "pavo_image_service", folder)
    pd = ProgramDir(build / "pavo", svc.base)
    log = out / "ld-debug"
    try:
        pd.env.update(LD_DEBUG="files", LD_DEBUG_OUTPUT=str(log))
        if pd.run().status != 0:
            raise SystemExit("bench: the whole run under LD_DEBUG failed")
    finally:
        pd.cleanup()
        svc.stop()
    found = {}
    for f in out.glob("ld-debug.*"):
        for line in f.read_text(errors="replace").splitlines():
            m = re.search(r"file=(\S+) \[\d+\];\s+(needed by|dynamically loaded by)", line)
            if m:
                found.setdefault(os.path.basename(m.group(1)), "dlopen" if m.group(2).startswith("dyn") else "needed")
        f.unlink()
    return found


def size_rows(table, build, exe, out, loaded):
    program = build / "pavo"
    libs = [l.split()[0] for l in subprocess.run(["ldd", str(program)], capture_output=True, text=True).stdout
            .splitlines() if "=>" in l or l.strip().startswith("/")]
    size = stripped_size(program, "strip", out)
    table.add("size of `pavo` (release, stripped)", f"{size / 1024:.0f} KiB", "—", "—", "—")
    table.add("shared libraries `pavo` loads at start (`ldd`)", str(len(libs)),
              ", ".join(sorted(os.path.basename(l) for l in libs)), "—", "—")
    at_start = {os.path.basename(l) for l in libs}
    later = sorted(n for n in loaded if n not in at_start)
    opened = sorted(n for n in later if loaded[n] == "dlopen")
    table.add("shared libraries loaded later in a whole run (`LD_DEBUG=files`)", str(len(later)),
              f"opened by the program or its libraries: {', '.join(opened)}; with them: "
              + ", ".join(n for n in later if n not in opened), "—", "—")
    if exe and Path(exe).exists():
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(exe)], capture_output=True, text=True).stdout
        dlls = sorted(set(re.findall(r"DLL Name: (\S+)", dump)), key=str.lower)
        size = stripped_size(exe, "x86_64-w64-mingw32-strip", out)
        table.add("size of `pavo.exe` (release, stripped)", f"{size / 1024:.0f} KiB", "—", "—",
                  target(size / 1048576, 1, "≤ 1 MiB"))
        table.add("DLLs `pavo.exe` imports", str(len(dlls)), ", ".join(dlls), "—", "system DLLs only")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True, type=Path)
    ap.add_argument("--windows-exe")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--wine", action="store_true", help="also time pavo.exe under Wine (tools/wine-setup first)")
    a = ap.parse_args()
    for tool in ("/usr/bin/time", "djpeg", "curl"):
        if not shutil.which(tool):
            raise SystemExit(f"bench: {tool} is missing (./bench.sh installs it)")

    load_before = os.getloadavg()
    out = Path(tempfile.mkdtemp(prefix="pavo-bench-"))
    try:
        print("Drawing the test pictures ...", file=sys.stderr)
        pictures = {}
        for w, h in ((1920, 1080), (3840, 2160)):
            pictures[(w, h)] = sample_jpeg.make_jpeg(out / f"{w}x{h}.jpg", w, h)
        table = Table()
        print("Measuring ...", file=sys.stderr)
        conversion_rows(table, a.build, pictures, a.runs, out)
        whole_run_rows(table, a.build, pictures, a.runs, out)
        wait_rows(table, a.build, a.runs, out)
        done_day_rows(table, a.build, a.runs, out)
        if a.wine:
            wine_rows(table, a.build, a.windows_exe, a.runs, out)
        size_rows(table, a.build, a.windows_exe, out, loaded_libraries(a.build, pictures[(1920, 1080)], out))
    finally:
        shutil.rmtree(out, ignore_errors=True)
    cpu = subprocess.run(["sh", "-c", "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"],
                         capture_output=True, text=True).stdout.strip()
    load = ", ".join(f"{x:.2f}" for x in (load_before[0], os.getloadavg()[0]))
    print(f"Machine: {os.cpu_count()} cores, {cpu}; {time.strftime('%Y-%m-%d')}; "
          f"load average (1 min) before and after: {load}; "
          f"medians of {a.runs} runs (min–max in brackets). Whole runs: no desktop session (no wallpaper "
          f"request), no proxy set.\n")
    print(table.markdown())


if __name__ == "__main__":
    main()
