"""Runs the Brackenreach game server for end-to-end tests and plays scripted clients against it.

The server is started on 127.0.0.1 with --port 0 and the port is read from its "listening on"
line, so parallel runs never race for a port. Its stdout is read line by line in a background
thread; every wait has a timeout so a broken server fails a test instead of hanging it.
Standard library only.
"""

import base64
import hashlib
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import time

GOODBYE = b"exit\x00"
DEFAULT_TIMEOUT = 5.0


def server_path(explicit=None):
    """The server binary: an explicit path, else $BRACKENREACH_SERVER."""
    path = explicit or os.environ.get("BRACKENREACH_SERVER")
    if not path:
        raise RuntimeError("no server binary: pass --server PATH or set BRACKENREACH_SERVER")
    if not os.access(path, os.X_OK):
        raise RuntimeError(f"server binary is not executable: {path}")
    return path


def encode_updates(xs):
    """The client's position updates: each x as a 4-byte big-endian signed integer."""
    return b"".join(struct.pack(">i", x) for x in xs)


# --- a minimal WebSocket client (RFC 6455), as the browser game's Emscripten sockets speak it ---

def websocket_request(key, path="/", protocol="binary", headers=()):
    """An opening handshake's bytes; protocol None offers no subprotocol; headers: more lines."""
    lines = ["GET " + path + " HTTP/1.1", "Host: 127.0.0.1", "Upgrade: websocket",
             "Connection: Upgrade", f"Sec-WebSocket-Key: {key}", "Sec-WebSocket-Version: 13"]
    if protocol:
        lines.append(f"Sec-WebSocket-Protocol: {protocol}")
    lines += headers
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


def read_http_head(sock):
    """Status code and lower-cased headers of the response the server sends first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(1)  # byte by byte: nothing after the head may be consumed
        if not chunk:
            raise ConnectionError(f"closed during the response head: {data!r}")
        data += chunk
    lines = data.decode("latin-1").split("\r\n")
    headers = dict(line.split(": ", 1) for line in lines[1:] if ": " in line)
    return int(lines[0].split()[1]), {k.lower(): v for k, v in headers.items()}


def websocket_handshake(sock, protocol="binary", headers=()):
    """Upgrades a connected socket; returns the response's headers, after checking the accept key
    and that the subprotocol is the one offered (or none when none was)."""
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall(websocket_request(key, "/", protocol, headers))
    status, headers = read_http_head(sock)
    if status != 101:
        raise ConnectionError(f"handshake answered {status}")
    digest = hashlib.sha1((key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest()
    if headers.get("sec-websocket-accept") != base64.b64encode(digest).decode():
        raise ConnectionError(f"wrong Sec-WebSocket-Accept in {headers}")
    if headers.get("sec-websocket-protocol") != protocol:
        raise ConnectionError(f"subprotocol {headers.get('sec-websocket-protocol')!r}, offered {protocol!r}")
    return headers


def websocket_frame(payload, opcode=0x2, fin=True, masked=True):
    """One frame as a client sends it: binary (0x2) by default, masked with a random key."""
    size = len(payload)
    head = bytes([(0x80 if fin else 0) | opcode])
    bit = 0x80 if masked else 0
    if size < 126:
        head += bytes([bit | size])
    elif size < 65536:
        head += bytes([bit | 126]) + struct.pack(">H", size)
    else:
        head += bytes([bit | 127]) + struct.pack(">Q", size)
    if not masked:
        return head + payload
    key = os.urandom(4)
    mask = (key * (size // 4 + 1))[:size]
    return head + key + (int.from_bytes(payload, "big") ^ int.from_bytes(mask, "big")).to_bytes(size, "big")


def websocket_messages(data, size=4):
    """data as binary messages of size bytes, as the browser game sends each update."""
    return b"".join(websocket_frame(data[i : i + size]) for i in range(0, len(data), size))


def flood_pings_unread(sock, limit=20.0):
    """Sends masked 125-byte pings and never reads their pongs until the server stops reading
    (a send waits half a second) or closes; False if it still read everything after limit s."""
    pings = b"".join(websocket_frame(bytes(125), opcode=0x9) for _ in range(500))
    sock.settimeout(0.5)
    end = time.monotonic() + limit
    try:
        while time.monotonic() < end:
            sock.sendall(pings)
        return False
    except (socket.timeout, ConnectionError):
        return True
    finally:
        sock.settimeout(DEFAULT_TIMEOUT)


def websocket_close_code(sock, timeout=DEFAULT_TIMEOUT):
    """Reads the server's frames until its close frame, answers it as a browser does (a close
    frame, then the end of the stream) and returns its status code; None when the connection
    ended without one."""
    sock.settimeout(timeout)
    data = b""
    while True:
        while len(data) >= 2:
            size, at = data[1] & 0x7F, 2
            if size == 126:
                size, at = struct.unpack(">H", data[2:4])[0], 4
            elif size == 127:
                size, at = struct.unpack(">Q", data[2:10])[0], 10
            if len(data) < at + size:
                break
            if data[0] & 0x0F == 0x8:
                payload = data[at : at + size]
                try:
                    sock.sendall(websocket_frame(payload[:2], opcode=0x8))
                    sock.shutdown(socket.SHUT_WR)
                except OSError:
                    pass  # the server may have closed already
                return struct.unpack(">H", payload[:2])[0] if len(payload) >= 2 else None
            data = data[at + size :]
        try:
            chunk = sock.recv(4096)
        except ConnectionResetError:
            return None
        if not chunk:
            return None
        data += chunk


class GameServer:
    """A running brackenreach-server and every line it has printed so far."""

    # listen: the options that put it on a free port of 127.0.0.1; empty when args say where.
    # web_root: also serve that directory and WebSockets on a free port (.web_port).
    def __init__(self, path, args=(), preexec_fn=None, timeout=DEFAULT_TIMEOUT,
                 listen=("--host", "127.0.0.1", "--port", "0"), web_root=None):
        if web_root:
            args = ("--web-root", web_root, "--web-port", "0", *args)
        self.lines = []
        self.stderr_text = ""
        self._changed = threading.Condition()
        self._stdout_closed = False
        self.process = subprocess.Popen(
            [path, *listen, *args],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            preexec_fn=preexec_fn,
        )
        self._readers = [
            threading.Thread(target=self._read_stdout, daemon=True),
            threading.Thread(target=self._read_stderr, daemon=True),
        ]
        for reader in self._readers:
            reader.start()
        # A server that never says where it serves is killed here: no caller holds it yet.
        try:
            match = self.wait_for(r"^listening on (127\.0\.0\.1|0\.0\.0\.0|\[::\]):(\d+)$",
                                  timeout=timeout)
            # On "::" (--host ::), IPv4 clients arrive as IPv4-mapped IPv6 addresses.
            self.dual_stack = match.group(1) == "[::]"
            self.port = int(match.group(2))
            self.web_port = None
            if web_root:
                # At 127.0.0.1, or on every address of a wildcard --host.
                match = self.wait_for(r"^serving the page (?:at http://127\.0\.0\.1:(\d+)/|on .*, port (\d+) )",
                                      timeout=timeout)
                self.web_port = int(match.group(1) or match.group(2))
        except AssertionError:
            self.kill()
            raise

    def _read_stdout(self):
        for line in self.process.stdout:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._stdout_closed = True
            self._changed.notify_all()

    def _read_stderr(self):
        self.stderr_text = self.process.stderr.read()

    def wait_for(self, pattern, timeout=DEFAULT_TIMEOUT, start=0):
        """The match of the first line at index >= start that matches pattern (re.search)."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._changed:
            index = start
            while True:
                while index < len(self.lines):
                    match = regex.search(self.lines[index])
                    if match:
                        return match
                    index += 1
                remaining = deadline - time.monotonic()
                if self._stdout_closed or remaining <= 0:
                    why = "server stdout closed" if self._stdout_closed else f"{timeout} s passed"
                    raise AssertionError(
                        f"no line matching {pattern!r} ({why}); lines so far:\n"
                        + "\n".join(self.lines)
                    )
                self._changed.wait(remaining)

    def wait_for_count(self, pattern, count, timeout=DEFAULT_TIMEOUT):
        """Waits until at least count lines match pattern (re.search); returns them."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = [line for line in self.lines if regex.search(line)]
                remaining = deadline - time.monotonic()
                if len(found) >= count:
                    return found
                if self._stdout_closed or remaining <= 0:
                    raise AssertionError(
                        f"{len(found)} of {count} lines matching {pattern!r}; lines so far:\n"
                        + "\n".join(self.lines)
                    )
                self._changed.wait(remaining)

    def matching(self, pattern):
        """Every line so far that matches pattern (re.search)."""
        regex = re.compile(pattern)
        with self._changed:
            return [line for line in self.lines if regex.search(line)]

    def connect(self, timeout=DEFAULT_TIMEOUT, source="127.0.0.1", web=False, rcvbuf=None):
        """A client socket connected to the server (its web port with web), from the loopback
        address source (with a receive buffer of rcvbuf bytes), with a hang guard on every call."""
        port = self.web_port if web else self.port
        sock = socket.socket()
        try:
            sock.settimeout(timeout)
            if rcvbuf:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
            sock.bind((source, 0))
            sock.connect(("127.0.0.1", port))
        except BaseException:
            sock.close()
            raise
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock

    def connect_websocket(self, timeout=DEFAULT_TIMEOUT, source="127.0.0.1", headers=(),
                          protocol="binary", rcvbuf=None):
        """A game connection over a WebSocket, its handshake done."""
        sock = self.connect(timeout, source, web=True, rcvbuf=rcvbuf)
        try:
            websocket_handshake(sock, protocol, headers)
        except BaseException:
            sock.close()
            raise
        return sock

    def peer_text(self, sock):
        """How the server's lines name this client socket."""
        address, port = sock.getsockname()[:2]
        return f"[::ffff:{address}]:{port}" if self.dual_stack else f"{address}:{port}"

    def join(self, sock, timeout=DEFAULT_TIMEOUT):
        """The connection id the server gave this client socket, from its "joined" line."""
        kind = " websocket" if sock.getpeername()[1] == self.web_port else ""
        match = self.wait_for(rf"^joined #(\d+) {re.escape(self.peer_text(sock))}{kind}$",
                              timeout=timeout)
        return int(match.group(1))

    def stop(self, sig=signal.SIGTERM, timeout=DEFAULT_TIMEOUT):
        """Signals the server, waits for it, and returns (exit status, every stdout line)."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            status = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"server did not exit within {timeout} s of {sig!r}")
        self._close_pipes(timeout)
        return status, list(self.lines)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._close_pipes(DEFAULT_TIMEOUT)

    def _close_pipes(self, timeout):
        for reader in self._readers:
            reader.join(timeout)
        for pipe in (self.process.stdout, self.process.stderr):
            if not pipe.closed and not any(r.is_alive() for r in self._readers):
                pipe.close()


def start_game_server(path=None, args=(), preexec_fn=None, timeout=DEFAULT_TIMEOUT, web_root=None,
                      host="127.0.0.1"):
    """Starts the server on a free port of host; see GameServer.port and .lines."""
    return GameServer(server_path(path), args, preexec_fn=preexec_fn, timeout=timeout,
                      listen=("--host", host, "--port", "0"), web_root=web_root)


def stop_game_server(server, timeout=DEFAULT_TIMEOUT):
    """Stops the server with SIGTERM and returns every line it printed."""
    _, lines = server.stop(timeout=timeout)
    return lines
