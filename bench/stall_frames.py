"""Frames the client draws a second while the server falls behind (figures, not a test).

The client runs in a network namespace of its own whose TCP buffers are 4 KiB, so a server that
does not keep up fills them at once, as the network-fault table's stalled server does. The
server stops reading from the start, or with --read BYTES --every MS reads that much that often.
bench/flip_counter.c, preloaded, counts the client's frames; the run prints them second by
second with the client's log. Needs root (ip netns).

    python3 bench/stall_frames.py --client build/brackenreach --counter build-bench/libflip_counter.so
"""

import argparse
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "e2e"))
import harness  # noqa: E402
from harness import Netns, Workdir, network_config, run_client  # noqa: E402


def slow_server(ns, read, every_ms, stop):
    """A listener in ns that accepts one client and reads read bytes every every_ms (0: never)."""
    listener = ns.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)

    def serve():
        conn, _ = listener.accept()
        conn.settimeout(0.05)
        with conn:
            while not stop.is_set():
                if read:
                    try:
                        if not conn.recv(read):
                            return
                    except socket.timeout:
                        pass
                time.sleep(every_ms / 1000.0)

    threading.Thread(target=serve, daemon=True).start()
    return listener


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--client", required=True)
    parser.add_argument("--counter", required=True, help="libflip_counter.so")
    parser.add_argument("--seconds", type=float, default=12.0)
    parser.add_argument("--cap", type=int, default=0, help="enable_fps_cap (default 0: uncapped)")
    parser.add_argument("--read", type=int, default=0, help="bytes the server reads at a time (0: none)")
    parser.add_argument("--every", type=int, default=100, help="ms between the server's reads")
    args = parser.parse_args()
    harness.CLIENT = os.path.abspath(args.client)
    stop = threading.Event()
    with Netns("frames") as ns, tempfile.NamedTemporaryFile("r") as counts:
        subprocess.run(ns.wrap() + ["sh", "-c", "echo 4096 4096 4096 > /proc/sys/net/ipv4/tcp_wmem"], check=True)
        listener = slow_server(ns, args.read, args.every, stop)
        config = network_config(listener.getsockname()[1], video={"enable_fps_cap": args.cap})
        with Workdir(config=config) as wd:
            env = {"LD_PRELOAD": os.path.abspath(args.counter), "FLIP_COUNTER_FILE": counts.name}
            game = run_client(wd, wrap=ns.wrap(), env=env)
            try:
                time.sleep(args.seconds)
                status = game.stop()
            finally:
                game.kill()
                stop.set()
                listener.close()
        frames = [line.split()[1] for line in counts.read().splitlines()]
    print("exit status %d; log after start-up:" % status)
    for line in game.lines[5:]:
        print("  " + line)
    print("frames drawn in each second: " + " ".join(frames))


if __name__ == "__main__":
    main()
