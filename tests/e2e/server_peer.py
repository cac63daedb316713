"""Runs the Brackenreach game server for end-to-end tests and plays scripted clients against it.

The server is started on 127.0.0.1 with --port 0 and the port is read from its "listening on"
line, so parallel runs never race for a port. Its stdout is read line by line in a background
thread; every wait has a timeout so a broken server fails a test instead of hanging it.
Standard library only.
"""

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


class GameServer:
    """A running brackenreach-server and every line it has printed so far."""

    # listen: the options that put it on a free port of 127.0.0.1; empty when args say where.
    def __init__(self, path, args=(), preexec_fn=None, timeout=DEFAULT_TIMEOUT,
                 listen=("--host", "127.0.0.1", "--port", "0")):
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
        try:
            match = self.wait_for(r"^listening on 127\.0\.0\.1:(\d+)$", timeout=timeout)
        except AssertionError:
            self.kill()
            raise
        self.port = int(match.group(1))

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

    def connect(self, timeout=DEFAULT_TIMEOUT):
        """A client socket connected to the server, with a hang guard on every call."""
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock

    def join(self, sock, timeout=DEFAULT_TIMEOUT):
        """The connection id the server gave this client socket, from its "joined" line."""
        port = sock.getsockname()[1]
        match = self.wait_for(rf"^joined #(\d+) 127\.0\.0\.1:{port}$", timeout=timeout)
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


def start_game_server(path=None, args=(), preexec_fn=None, timeout=DEFAULT_TIMEOUT):
    """Starts the server on a free port of 127.0.0.1; see GameServer.port and .lines."""
    return GameServer(server_path(path), args, preexec_fn=preexec_fn, timeout=timeout)


def stop_game_server(server, timeout=DEFAULT_TIMEOUT):
    """Stops the server with SIGTERM and returns every line it printed."""
    _, lines = server.stop(timeout=timeout)
    return lines
