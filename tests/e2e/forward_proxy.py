"""A small forward HTTP proxy for loopback, for the tests that run the program
on a network reached only through a proxy.

It takes requests in absolute form ("GET http://img.test/x HTTP/1.1"), keeps
each request line, and hands every request to one upstream service (the local
image service), whatever host the request names: the tests give the program a
host that does not resolve, so only a request sent through the proxy can
reach the service. One request per connection: the answer goes back with
"Connection: close". A silent proxy accepts connections and never answers.
"""
import socket
import threading
import urllib.parse

# Hop-by-hop headers of the client's request that are not passed on.
_HOP = {b"connection", b"proxy-connection", b"keep-alive", b"proxy-authorization", b"te", b"upgrade"}


class ForwardProxy:
    def __init__(self, upstream_port=None, silent=False):
        self.upstream_port = upstream_port
        self.silent = silent
        self.lines = []
        self.accepted = 0
        self._lock = threading.Lock()
        self._held = []
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(32)
        self.port = self._sock.getsockname()[1]
        self.address = f"127.0.0.1:{self.port}"
        self._stopping = False
        threading.Thread(target=self._accept, daemon=True).start()

    def requests(self):
        with self._lock:
            return list(self.lines)

    def stop(self):
        with self._lock:
            self._stopping = True
        try:
            self._sock.close()
        except OSError:
            pass
        with self._lock:
            for c in self._held:
                try:
                    c.close()
                except OSError:
                    pass

    def _accept(self):
        while not self._stopping:
            try:
                client, _ = self._sock.accept()
            except OSError:
                return
            with self._lock:
                self.accepted += 1
                if self._stopping:
                    client.close()
                    return
                if self.silent:
                    self._held.append(client)
                    continue
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        try:
            client.settimeout(60)
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = client.recv(65536)
                if not chunk:
                    return
                head += chunk
            head, _, rest = head.partition(b"\r\n\r\n")
            lines = head.split(b"\r\n")
            line = lines[0].decode("latin-1")
            with self._lock:
                self.lines.append(line)
            method, target, version = line.split(" ", 2)
            url = urllib.parse.urlsplit(target)
            if not url.scheme:
                client.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return
            path = (url.path or "/") + ("?" + url.query if url.query else "")
            out = [f"{method} {path} {version}".encode("latin-1")]
            for h in lines[1:]:
                name = h.split(b":", 1)[0].strip().lower()
                if name not in _HOP:
                    out.append(h)
            out.append(b"Connection: close")
            upstream = socket.create_connection(("127.0.0.1", self.upstream_port), timeout=60)
            try:
                upstream.sendall(b"\r\n".join(out) + b"\r\n\r\n" + rest)
                self._relay(upstream, client)
            finally:
                upstream.close()
        except (OSError, ValueError):
            pass
        finally:
            client.close()

    @staticmethod
    def _relay(upstream, client):
        # The answer's head with its Connection header replaced, then the rest
        # as it comes, until the service closes.
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = upstream.recv(65536)
            if not chunk:
                client.sendall(data)
                return
            data += chunk
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = [h for h in head.split(b"\r\n")
                 if h.split(b":", 1)[0].strip().lower() not in (b"connection", b"keep-alive")]
        client.sendall(b"\r\n".join(lines + [b"Connection: close"]) + b"\r\n\r\n" + rest)
        while True:
            chunk = upstream.recv(65536)
            if not chunk:
                return
            client.sendall(chunk)
