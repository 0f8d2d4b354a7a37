#!/usr/bin/env python3
"""Starts and stops the local image service around the web tests.

  service_fixture.py start --binary PATH --dir DIR [--lifetime S]
  service_fixture.py stop --dir DIR

start runs the service natively on 127.0.0.1 with a free port and the folder
DIR/images, its request log in DIR/requests.log, and leaves DIR/port (the
port) and DIR/pid behind for the test programs (which read them relative to
their working directory). The service stops by itself after its lifetime, so a
run that never reaches stop leaves nothing behind for long. stop ends it.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import time


def read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return ""


def stop(d):
    pid = read(os.path.join(d, "pid"))
    for name in ("port", "pid"):
        try:
            os.remove(os.path.join(d, name))
        except OSError:
            pass
    if not pid.isdigit():
        return
    pid = int(pid)
    # Only our own service: the pid file may be stale and the number reused.
    exe = ""
    try:
        exe = os.readlink(f"/proc/{pid}/exe")
    except OSError:
        return
    if os.path.basename(exe) != "pavo_image_service":
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except OSError:
        return
    for _ in range(50):
        if not os.path.exists(f"/proc/{pid}") or read(f"/proc/{pid}/stat").split(" ")[2:3] == ["Z"]:
            return
        time.sleep(0.1)


def start(binary, d, lifetime):
    if not os.path.isfile(binary) or not os.access(binary, os.X_OK):
        sys.exit(f"FAILED: the image service is not built: {binary} is missing.\n"
                 f"Build the linux preset first (cmake --build --preset linux), or point the "
                 f"CMake cache variable PAVO_IMAGE_SERVICE at the binary.")
    os.makedirs(d, exist_ok=True)
    stop(d)
    images = os.path.join(d, "images")
    shutil.rmtree(images, ignore_errors=True)
    os.makedirs(images)
    out_path = os.path.join(d, "stdout")
    with open(out_path, "w") as out, open(os.path.join(d, "requests.log"), "w") as err:
        # A session of its own and no inherited pipe: ctest must not wait for it.
        proc = subprocess.Popen(
            [binary, "--address", "127.0.0.1", "--port", "0", "--folder", images,
             "--max-lifetime", str(lifetime)],
            stdin=subprocess.DEVNULL, stdout=out, stderr=err, close_fds=True, start_new_session=True)
    deadline = time.monotonic() + 10
    port = ""
    while time.monotonic() < deadline:
        first = read(out_path).split("\n")[0]
        if first.isdigit():
            port = first
            break
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    if not port:
        proc.kill()
        sys.exit(f"FAILED: the image service did not report its port; see {d}/requests.log")
    with open(os.path.join(d, "pid"), "w") as f:
        f.write(f"{proc.pid}\n")
    with open(os.path.join(d, "port"), "w") as f:
        f.write(port + "\n")
    print(f"image service on 127.0.0.1:{port}, pid {proc.pid}, folder {images}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("action", choices=["start", "stop"])
    ap.add_argument("--binary")
    ap.add_argument("--dir", required=True)
    ap.add_argument("--lifetime", type=int, default=300)
    a = ap.parse_args()
    if a.action == "start":
        start(a.binary, a.dir, a.lifetime)
    else:
        stop(a.dir)


if __name__ == "__main__":
    main()
