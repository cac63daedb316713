"""A WebSocket that floods pings and never reads, against brackenreach-server on 127.0.0.1: the
handshake, one update, then masked 125-byte pings from a socket with a 4 KiB receive buffer,
never reading, until the server stops reading them. Prints when the server's idle timeout dropped it, how long its socket
stayed open after that, the server's descriptors and the socket's kernel memory (ss -tm) before
and after, whether a page load from the same address then gets in, and how long SIGTERM takes
with a second such peer connected. Figures, not a test (docs/reliability.md).

    python3 bench/ping_flood.py build-bench/brackenreach-server [--idle-timeout 5]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import server_peer as sp  # noqa: E402


def flooder(server, source="127.0.0.1"):
    """Joins with a 4 KiB receive buffer, sends one update and floods pings until the server stops
    reading them (or 20 s)."""
    sock = server.connect_websocket(source=source, rcvbuf=4096)
    cid = server.join(sock)
    sock.sendall(sp.websocket_messages(sp.encode_updates([1])))
    start = time.monotonic()
    stuck = sp.flood_pings_unread(sock)
    return sock, cid, f"{'stopped reading' if stuck else 'still reading'} after {time.monotonic() - start:.1f} s"


def kernel_bytes(port, local):
    """rmem + wmem of the server's side of the connection to local, or None when it is gone."""
    out = subprocess.run(["ss", "-tmnH", "state", "all", f"( sport = :{port} and dport = :{local} )"],
                         capture_output=True, text=True).stdout
    match = re.search(r"skmem:\(r(\d+),rb\d+,t(\d+)", out)
    return int(match.group(1)) + int(match.group(2)) if match else None


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server")
    parser.add_argument("--idle-timeout", default="5")
    args = parser.parse_args()
    site = tempfile.TemporaryDirectory()
    with open(os.path.join(site.name, "index.html"), "wb") as out:
        out.write(b"<!doctype html>\n")
    server = sp.start_game_server(args.server, ["--idle-timeout", args.idle_timeout,
                                                "--max-per-address", "1"], web_root=site.name)
    pid = server.process.pid
    base = descriptors(pid)
    sock, cid, flood = flooder(server)
    local = sock.getsockname()[1]
    print(f"pings: the server {flood}; server descriptors {base} before, {descriptors(pid)} with it; "
          f"kernel memory {kernel_bytes(server.web_port, local)} bytes")
    server.wait_for(rf"^dropped #{cid} .*reason=idle_timeout", timeout=float(args.idle_timeout) + 30)
    dropped = time.monotonic()
    print(f"dropped by the idle timeout: kernel memory {kernel_bytes(server.web_port, local)} bytes")
    while kernel_bytes(server.web_port, local) is not None and time.monotonic() < dropped + 40:
        time.sleep(0.05)
    gone = kernel_bytes(server.web_port, local) is None
    print(f"socket {'closed' if gone else 'still open'} {time.monotonic() - dropped:.2f} s after "
          f"the drop; server descriptors {descriptors(pid)}")
    try:
        with server.connect(web=True) as page:
            page.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            status, _ = sp.read_http_head(page)
    except OSError:
        status = None
    print(f"a page load from the same address then: {status or 'refused'}")
    sock.close()

    second, _, _ = flooder(server, "127.0.0.2")
    start = time.monotonic()
    server.process.terminate()
    try:
        server.process.wait(30)
        print(f"SIGTERM with a flooder connected: exited {time.monotonic() - start:.2f} s later")
    except subprocess.TimeoutExpired:
        print("SIGTERM with a flooder connected: still running 30 s later")
    server.kill()
    second.close()


if __name__ == "__main__":
    main()
