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

Request = collections.namedtuple("Request", "time line headers")
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
        found = re.findall(r"^\[([\d.]+)\] (.*)\n((?:.+\n)*)\n", self.log.read_text("utf-8", "replace"), re.M)
        return [Request(float(t), line, re.findall(r"^(.*?): (.*)$", headers, re.M))
                for t, line, headers in found if not line.startswith("SENT ")]

    def sent(self, timeout=10):
        """The bytes the endless answers sent, each once its connection ended."""
        return [int(n) for n in wait_until(lambda: re.findall(r"^\[[\d.]+\] SENT (\d+)$",
                                                             self.log.read_text("utf-8", "replace"), re.M), timeout)]

    def stop(self):
        self.proc.kill()
        self.proc.communicate()
        if self.own_tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)


def _receive(sock, until=None):
    data = b""
    while not (until and until in data):
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def test_authority():
    """A certificate authority made for the tests, and a certificate of it for
    localhost: the authority's file (PEM), the server's chain and key files."""
    done = CACHE / "authority"
    if not done.exists():  # made beside, then renamed: tables in other processes may make it at once
        done.parent.mkdir(parents=True, exist_ok=True)
        d = Path(tempfile.mkdtemp(prefix="authority-", dir=done.parent))
        sh = lambda *a: subprocess.run(["openssl", *a], capture_output=True, check=True, cwd=d)  # noqa: E731
        sh("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj", "/CN=Pavo test authority",
           "-keyout", "ca.key", "-out", "ca.pem", "-addext", "basicConstraints=critical,CA:TRUE",
           "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        sh("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "29", "-subj", "/CN=localhost", "-CA", "ca.pem",
           "-CAkey", "ca.key", "-keyout", "key.pem", "-out", "leaf.pem", "-addext", "subjectAltName=DNS:localhost",
           "-addext", "basicConstraints=CA:FALSE", "-addext", "extendedKeyUsage=serverAuth")
        (d / "chain.pem").write_bytes((d / "leaf.pem").read_bytes() + (d / "ca.pem").read_bytes())
        try:
            d.rename(done)
        except OSError:  # another's came first
            shutil.rmtree(d)
    return done / "ca.pem", done / "chain.pem", done / "key.pem"


def trust(test, windows):
    """The authority trusted for the program's runs: in the user's root store of the test prefix; on Linux in the
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
    """In front of the image service, a forward proxy or the server itself, that keeps every request line. kind "reset":
    half a picture, then a reset; "https": TLS for localhost with a certificate of test_authority (trusted only where
    trust() makes it so); "password": a proxy that asks for one; "SOCKS": a SOCKS 5 proxy, keeping the address asked
    for. Until test's end."""

    def __init__(self, test, upstream_port=None, kind=None):
        self.upstream_port, self.lines, self._tls = upstream_port, [], None
        self.reset, self.password, self.socks = kind == "reset", kind == "password", kind == "SOCKS"
        if kind == "https":
            self._tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._tls.load_cert_chain(*test_authority()[1:])
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
            head, end, rest = _receive(client, b"\r\n\r\n").partition(b"\r\n\r\n")
            if not end:
                return
            lines = head.split(b"\r\n")
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
                up.sendall(b"\r\n".join(out + [b"Connection: close"]) + b"\r\n\r\n" + rest)
                answer = _receive(up)
            head, _, body = answer.partition(b"\r\n\r\n")
            if self.reset and b"image/jpeg" in head:
                client.sendall(answer[:len(head) + 4 + len(body) // 2])
                # Closing with SO_LINGER 0 sends a reset instead of an end.
                client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                client.sendall(answer)
        except (OSError, ValueError, IndexError):  # (IndexError: a SOCKS request cut short)
            pass
        finally:
            client.close()
