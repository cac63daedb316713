"""The ways a hostile peer used to keep other players out, each against brackenreach-server on
loopback at its default limits, with the figures an operator would ask for: how many of a
player's tries from another address got in, the server's peak descriptors, and how long SIGTERM
took with the hostile peer still at it. Figures, not a test (docs/reliability.md); the test
tables run each case small.

    python3 bench/hostile_cases.py SERVER [--case NAME] [--seconds 8]

Cases: refused_handshakes, page_slots, slow_reader, one_56, close_blocked, key_x, code_5000,
server_header, log_flood.
"""

import argparse
import os
import resource
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import server_peer as sp  # noqa: E402

SITE = tempfile.TemporaryDirectory()
for name, data in [("index.html", b"<!doctype html>\n"), ("brackenreach.data", os.urandom(4 << 20))]:
    with open(os.path.join(SITE.name, name), "wb") as out:
        out.write(data)
KEY = "dGhlIHNhbXBsZSBub25jZQ=="


def descriptors(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return 0


class Sampler(threading.Thread):
    """The server's peak descriptor count, sampled every 20 ms."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak, self.done = pid, 0, threading.Event()
        self.start()

    def run(self):
        while not self.done.is_set():
            self.peak = max(self.peak, descriptors(self.pid))
            time.sleep(0.02)


def player_tries(server, until, source="127.0.0.1", every=0.25, websocket=False, headers=()):
    """A player trying to join every `every` s until `until`: (joined, tried)."""
    joined = tried = 0
    while time.monotonic() < until:
        tried += 1
        try:
            if websocket:
                sock = server.connect_websocket(source=source, headers=headers)
            else:
                sock = server.connect(source=source)
            with sock:
                sock.sendall(sp.websocket_messages(sp.encode_updates([1])) if websocket
                             else sp.encode_updates([1]))
                sock.settimeout(0.2)
                try:
                    gone = sock.recv(64) == b"" if not websocket else sock.recv(64) != b""
                except socket.timeout:
                    gone = False
                except OSError:
                    gone = True
                joined += 0 if gone else 1
        except (OSError, ConnectionError):
            pass
        time.sleep(every)
    return joined, tried


def soft_1024():
    """The server as a service starts it: a soft descriptor limit of 1024."""
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))


def timed_stop(server):
    began = time.monotonic()
    status, lines = server.stop(timeout=30)
    return time.monotonic() - began, lines


def case_refused_handshakes(server_path, seconds):
    server = sp.start_game_server(server_path, web_root=SITE.name, preexec_fn=soft_1024)
    sampler = Sampler(server.process.pid)
    held = [server.connect(source="127.0.0.2") for _ in range(32)]
    for sock in held:
        sock.sendall(b"\x00")
    request = sp.websocket_request(KEY)
    until = time.monotonic() + seconds
    opened = []

    def flood():
        while time.monotonic() < until:
            try:
                sock = server.connect(source="127.0.0.2", web=True)
                sock.sendall(request)  # and never reads the 101 nor answers the close
                opened.append(sock)
            except OSError:
                pass
            while len(opened) > 900:
                opened.pop(0).close()
            time.sleep(1 / 300)

    worker = threading.Thread(target=flood, daemon=True)
    worker.start()
    joined, tried = player_tries(server, until)
    worker.join()
    took, lines = timed_stop(server)
    sampler.done.set()
    for sock in held + opened:
        sock.close()
    refusal_lines = sum(1 for line in lines if line.startswith("refused "))
    print(f"refused_handshakes: player joined {joined} of {tried}; handshakes {len(opened)}; "
          f"peak descriptors {sampler.peak}; stop {took:.2f} s; refusal lines {refusal_lines}; "
          f"{lines[-1]}")


def case_page_slots(server_path, seconds):
    server = sp.start_game_server(server_path, web_root=SITE.name)
    sampler = Sampler(server.process.pid)
    head = b"HEAD / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    until = time.monotonic() + seconds
    holders = []
    for address in ("127.0.0.2", "127.0.0.3", "127.0.0.4"):
        for _ in range(96):
            try:
                sock = server.connect(source=address, web=True)
                sock.sendall(head + head[:1])
                holders.append(sock)
            except OSError:
                pass

    def keep_busy():
        while time.monotonic() < until:
            for sock in list(holders):
                try:
                    sock.setblocking(False)
                    sock.recv(65536)
                    sock.sendall(head[1:] + head[:1])
                except BlockingIOError:
                    pass
                except OSError:
                    holders.remove(sock)
            time.sleep(4)

    worker = threading.Thread(target=keep_busy, daemon=True)
    worker.start()
    ok = tried = 0
    while time.monotonic() < until:
        tried += 1
        try:
            with server.connect(source="127.0.0.5", web=True) as sock:
                sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                ok += sp.read_http_head(sock)[0] == 200
        except (OSError, ConnectionError):
            pass
        time.sleep(1)
    worker.join()
    took, lines = timed_stop(server)
    sampler.done.set()
    print(f"page_slots: page from a fourth address 200 on {ok} of {tried}; holders {len(holders)}; "
          f"peak descriptors {sampler.peak}; stop {took:.2f} s")


def case_slow_reader(server_path, seconds):
    server = sp.start_game_server(server_path, web_root=SITE.name)
    baseline = descriptors(server.process.pid)
    sock = server.connect(source="127.0.0.2", web=True, rcvbuf=4096)
    sock.sendall(b"GET /brackenreach.data HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    began = time.monotonic()
    got, cut, next_read = 0, None, began
    sock.settimeout(0.1)
    # The server's socket, not this one, tells: the kernel may hold what it had sent.
    while time.monotonic() - began < max(seconds, 40) and cut is None:
        if time.monotonic() >= next_read:
            next_read += 5
            try:
                got += len(sock.recv(256))
            except (socket.timeout, OSError):
                pass
        if descriptors(server.process.pid) <= baseline:
            cut = time.monotonic() - began
        time.sleep(0.1)
    time.sleep(max(0.0, 20 - (time.monotonic() - began)))
    port = sock.getsockname()[1]
    queued = subprocess.run(["ss", "-tnH", "state", "all", f"( dport = :{port} )"],
                            capture_output=True, text=True).stdout.split()
    sock.close()
    timed_stop(server)
    print(f"slow_reader: {got} bytes read; " +
          (f"the server closed it after {cut:.1f} s" if cut else f"still served after {time.monotonic() - began:.0f} s") +
          f"; at 20 s the kernel still sends it {queued[2] if len(queued) > 2 else 0} bytes")


def case_one_56(server_path, seconds):
    server = sp.start_game_server(server_path, ["--trusted-proxy", "127.0.0.1"], web_root=SITE.name)
    held = []
    for net in range(8):
        for n in range(32):
            try:
                sock = server.connect_websocket(
                    headers=(f"X-Forwarded-For: 2001:db8:0:{net:x}::{n + 1:x}",))
                sock.sendall(sp.websocket_messages(b"\x00"))
                held.append(sock)
            except (OSError, ConnectionError):
                pass
    time.sleep(0.5)
    until = time.monotonic() + seconds
    results = {}
    for what, kwargs in [("a ninth /64 of that /56", dict(websocket=True, headers=("X-Forwarded-For: 2001:db8:0:9::1",))),
                         ("another subscriber", dict(websocket=True, headers=("X-Forwarded-For: 2001:db8:1::1",))),
                         ("127.0.0.3", dict(source="127.0.0.3"))]:
        results[what] = player_tries(server, min(until, time.monotonic() + seconds / 3), **kwargs)
    timed_stop(server)
    for sock in held:
        sock.close()
    print(f"one_56: handshakes from 8 /64s of one /56 {len(held)}; " + "; ".join(f"{w} joined {j} of {t}" for w, (j, t) in results.items()))


def case_close_blocked(server_path, seconds):
    server = sp.start_game_server(server_path, web_root=SITE.name)
    socks = []
    for source in ("127.0.0.2", "127.0.0.3"):
        sock = server.connect_websocket(source=source, rcvbuf=4096)
        sock.sendall(sp.websocket_messages(sp.encode_updates([1])))
        sp.flood_pings_unread(sock)
        socks.append(sock)
    took, _ = timed_stop(server)
    for sock in socks:
        sock.close()
    print(f"close_blocked: SIGTERM to exit {took:.2f} s")


def handshake_answer(server, request, after=b""):
    with server.connect(web=True) as sock:
        sock.sendall(request)
        status, headers = sp.read_http_head(sock)
        code = None
        if status == 101 and after:
            sock.sendall(after)
            code = sp.websocket_close_code(sock)
        return status, headers, code


def case_small(server_path, seconds):
    server = sp.start_game_server(server_path, web_root=SITE.name)
    status, _, _ = handshake_answer(server, sp.websocket_request("x"))
    print(f"key_x: Sec-WebSocket-Key: x answered {status}")
    close_5000 = sp.websocket_frame(struct.pack(">H", 5000), opcode=0x8)
    status, headers, code = handshake_answer(server, sp.websocket_request(KEY), close_5000)
    print(f"code_5000: answered with close code {code}")
    print(f"server_header: the 101's Server header: {headers.get('server')!r}")
    sp.stop_game_server(server)


def case_log_flood(server_path, seconds):
    server = sp.start_game_server(server_path, ["--max-per-address", "1"])
    hold = server.connect(source="127.0.0.2")
    hold.sendall(b"\x00")
    until = time.monotonic() + seconds
    tries = 0
    while time.monotonic() < until:
        try:
            server.connect(source="127.0.0.2").close()
            tries += 1
        except OSError:
            pass
        time.sleep(0.001)
    time.sleep(1.5)
    _, lines = timed_stop(server)
    hold.close()
    refused = [line for line in lines if line.startswith("refused ")]
    print(f"log_flood: {tries} refused connections in {seconds} s gave {len(refused)} lines; {lines[-1]}")


CASES = {"refused_handshakes": case_refused_handshakes, "page_slots": case_page_slots,
         "slow_reader": case_slow_reader, "one_56": case_one_56, "close_blocked": case_close_blocked,
         "small": case_small, "log_flood": case_log_flood}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server")
    parser.add_argument("--case", action="append", choices=sorted(CASES))
    parser.add_argument("--seconds", type=float, default=8)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    for name in args.case or list(CASES):
        CASES[name](args.server, args.seconds)


if __name__ == "__main__":
    main()
