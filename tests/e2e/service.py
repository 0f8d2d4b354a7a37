"""The local image service on loopback and its misbehaviours, and a relay of our own in front of it."""
import collections
import hashlib
import re
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import urllib.parse
from pathlib import Path

import wine
from pictures import CACHE
from program import today, wait_until

Request = collections.namedtuple("Request", "line headers")
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


class ImageService:
    """The service, serving the JPEG files of a folder (until test's end, where given); the binary is the
    Linux build's, also for the Windows tests."""

    def __init__(self, build, test=None, binary=None, directory=None):
        if not binary:
            binary = next((f for b in (Path(build), Path(build).parent / "linux")
                           if (f := b / "tools" / "image_service" / "pavo_image_service").exists()), None)
            assert binary, "the image service is not built (build the linux preset first)"
        self.own_tmp = directory is None  # a folder of its own goes with it
        self.tmp = Path(directory or tempfile.mkdtemp(prefix="pavo-svc-"))
        self.folder, self.log = self.tmp / "images", self.tmp / "requests.log"
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder.mkdir(parents=True)
        with open(self.log, "wb") as e:
            self.proc = subprocess.Popen([str(binary), "--port", "0", "--folder", str(self.folder), "--max-lifetime",
                                          "600"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=e,
                                         start_new_session=True)
        self.port = int(self.proc.stdout.readline())  # its first line; none where it did not start
        self.base = f"http://127.0.0.1:{self.port}"
        if test:
            test.addCleanup(self.stop)

    def put_today(self, data):  # the day's picture, under the day's name (self.day)
        self.day = today()
        (self.folder / (self.day + ".jpg")).write_bytes(data)

    def requests(self):
        found = re.findall(r"^\[[\d.]+\] (.*)\n((?:.+\n)*)\n", self.log.read_text("utf-8", "replace"), re.M)
        return [Request(line, re.findall(r"^(.*?): (.*)$", headers, re.M)) for line, headers in found
                if not line.startswith("SENT ")]

    def sent(self, timeout=10):
        """The bytes the endless answers sent, each once its connection ended."""
        return [int(n) for n in wait_until(lambda: re.findall(r"^\[[\d.]+\] SENT (\d+)$",
                                                             self.log.read_text("utf-8", "replace"), re.M), timeout)]

    def stop(self):
        self.proc.kill()
        self.proc.communicate()
        if self.own_tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)


def test_authority():
    """A certificate for localhost that is its own authority, made once for the tests: its file and its key's (PEM)."""
    done = CACHE / "localhost"
    if not done.exists():  # made beside, then renamed: tables in other processes may make it at once
        done.parent.mkdir(parents=True, exist_ok=True)
        d = Path(tempfile.mkdtemp(prefix="localhost-", dir=done.parent))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                        "/CN=localhost", "-addext", "subjectAltName=DNS:localhost", "-keyout", "key.pem", "-out",
                        "cert.pem"], capture_output=True, check=True, cwd=d)
        try:
            d.rename(done)
        except OSError:  # another's came first
            shutil.rmtree(d)
    return done / "cert.pem", done / "key.pem"


def trust(test, windows):
    """test_authority trusted for the program's runs: in the user's root store of the test prefix; on Linux in the
    system's bundle as a private mount of the program's own (the machine's stays as it is); the runs' command prefix."""
    ca_pem = test_authority()[0]
    if windows:
        der = ssl.PEM_cert_to_DER_cert(ca_pem.read_text())
        key = wine.ROOT_STORE + "\\" + hashlib.sha1(der).hexdigest().upper()
        # The store's serialised form: the certificate as its one property (id 32, encoding 1).
        blob = struct.pack("<III", 32, 1, len(der)) + der
        wine.reg_import({key: {"Blob": "hex:" + ",".join(f"{b:02x}" for b in blob)}})
        test.addCleanup(wine.wine, "reg", "delete", key.replace("HKEY_CURRENT_USER", "HKCU"), "/f")
        return []
    bundle = Path(tempfile.mkdtemp(prefix="pavo-ca-")) / "bundle.crt"
    test.addCleanup(shutil.rmtree, bundle.parent, ignore_errors=True)
    bundle.write_bytes(Path(SYSTEM_BUNDLE).read_bytes() + ca_pem.read_bytes())
    return ["unshare", "-m", "sh", "-c", f'mount --bind "{bundle}" {SYSTEM_BUNDLE} && exec "$0" "$@"']


class Relay:
    """In front of the image service, a forward proxy or the server itself, that keeps every request line. kind
    "https": TLS for localhost with test_authority's certificate (trusted only where trust() makes it so);
    "password": a proxy that asks for one; "SOCKS": a SOCKS 5 proxy, keeping the address asked for. Until test's end."""

    def __init__(self, test, upstream_port=None, kind=None):
        self.upstream_port, self.lines, self._tls = upstream_port, [], None
        self.password, self.socks = kind == "password", kind == "SOCKS"
        if kind == "https":
            self._tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._tls.load_cert_chain(*test_authority())
        self._sock = socket.create_server(("127.0.0.1", 0))
        test.addCleanup(self._sock.close)
        self.port = self._sock.getsockname()[1]
        self.address = f"127.0.0.1:{self.port}"
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self._sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        try:
            if self._tls:
                client = self._tls.wrap_socket(client, server_side=True)
            client.settimeout(60)
            if self.socks:  # no password asked; then the server itself
                client.recv(257)  # the client's greeting
                client.sendall(b"\x05\x00")
                ask = client.recv(262)  # a name (type 3) or an address, then the port
                self.lines.append("SOCKS " + (ask[5:5 + ask[4]].decode() if ask[3] == 3 else "an address"))
                client.sendall(b"\x05\x00\x00\x01" + bytes(6))
            head = client.makefile("rb")  # its lines up to the blank one (or the end)
            lines = list(iter(lambda: head.readline().rstrip(b"\r\n") or None, None))
            self.lines.append(lines[0].decode("latin-1"))
            if self.password:
                client.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                               b"realm=\"office\"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return
            method, target, version = lines[0].split(b" ", 2)
            url = urllib.parse.urlsplit(target)
            out = [b" ".join((method, (url.path or b"/") + (b"?" + url.query if url.query else b""), version))] + [
                h for h in lines[1:] if h.split(b":")[0].strip().lower() not in
                (b"connection", b"proxy-connection", b"keep-alive", b"proxy-authorization")]
            with socket.create_connection(("127.0.0.1", self.upstream_port), timeout=60) as up:
                up.sendall(b"\r\n".join(out + [b"Connection: close"]) + b"\r\n\r\n")
                client.sendall(up.makefile("rb").read())
        except (OSError, ValueError, IndexError):  # (IndexError: a request cut short)
            pass
        finally:
            client.close()
