"""Frames the client draws a second while the server falls behind, or is gone and the client
reconnects (figures, not a test).

The client runs in a network namespace of its own whose TCP buffers are 4 KiB, so a server that
does not keep up fills them at once, as the network-fault table's stalled server does. The
server stops reading from the start, or with --read BYTES --every MS reads that much that often.
With --gone S it reads everything for S seconds, then goes: nothing listens there any more (the
tries are refused), or with --drop a listener whose accept queue is full takes the port (each
try waits for an answer until the connect deadline). bench/flip_counter.c, preloaded, counts
the client's frames; the run prints them second by second with the client's log, and with
--gone the mean before and after the server went, in the same run. Frames a second follow the
machine's load; --instructions runs the client under callgrind instead, counting only inside the
frame loop, and prints the instructions a pass took before and after the server went (a dump
when it goes splits the two), which no other load changes. Needs root (ip netns).

    python3 bench/stall_frames.py --client build/brackenreach --counter build-bench/libflip_counter.so
    python3 bench/stall_frames.py --client build/brackenreach --counter build/libflip_counter.so --gone 6 --drop
    python3 bench/stall_frames.py --client build/brackenreach --counter build/libflip_counter.so --gone 20 \
        --seconds 40 --instructions
"""

import argparse
import glob
import os
import re
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


def vanishing_server(ns, after, drop, stop, on_gone=lambda: None):
    """A listener in ns that reads all of one client, and after `after` seconds closes both (then
    calls on_gone); with drop, a listener with a full accept queue then takes its port."""
    listener = ns.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    port = listener.getsockname()[1]
    held = []

    def serve():
        conn, _ = listener.accept()
        conn.settimeout(0.05)
        began = time.monotonic()
        with conn:
            while not stop.is_set() and time.monotonic() - began < after:
                try:
                    conn.recv(65536)
                except socket.timeout:
                    pass
            listener.close()
        on_gone()
        if drop:
            full = ns.socket()
            full.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            full.bind(("127.0.0.1", port))
            full.listen(0)
            filler = ns.socket()
            filler.connect(("127.0.0.1", port))  # takes the queue's one place
            held.extend((full, filler))

    threading.Thread(target=serve, daemon=True).start()
    return listener, port, held


def instructions_per_pass(path):
    """(instructions, passes) in one callgrind dump: its total, and its calls of SDL_Flip."""
    names, total, passes, flip = {}, 0, 0, False
    with open(path) as dump:
        for line in dump:
            if line.startswith("totals:"):
                total = int(line.split()[1])
            named = re.match(r"c?fn=\((\d+)\)(?: (.*))?", line)
            if named:
                if named.group(2):
                    names[named.group(1)] = named.group(2)
                flip = line.startswith("cfn=") and names.get(named.group(1)) == "SDL_Flip"
            elif flip and line.startswith("calls="):
                passes += int(line.split("=")[1].split()[0])
                flip = False
    return total, passes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--client", required=True)
    parser.add_argument("--counter", required=True, help="libflip_counter.so")
    parser.add_argument("--seconds", type=float, default=12.0)
    parser.add_argument("--cap", type=int, default=0, help="enable_fps_cap (default 0: uncapped)")
    parser.add_argument("--read", type=int, default=0, help="bytes the server reads at a time (0: none)")
    parser.add_argument("--every", type=int, default=100, help="ms between the server's reads")
    parser.add_argument("--gone", type=float, default=0, help="seconds after which the server goes (0: never)")
    parser.add_argument("--drop", action="store_true", help="with --gone: the tries' SYNs are dropped")
    parser.add_argument("--instructions", action="store_true", help="with --gone: instructions a pass, by callgrind")
    args = parser.parse_args()
    harness.CLIENT = os.path.abspath(args.client)
    stop = threading.Event()
    with Netns("frames") as ns, tempfile.NamedTemporaryFile("r") as counts:
        if not args.gone:  # a server that reads everything must not be outrun by an uncapped client
            subprocess.run(ns.wrap() + ["sh", "-c", "echo 4096 4096 4096 > /proc/sys/net/ipv4/tcp_wmem"], check=True)
        held = []
        out = os.path.join(tempfile.gettempdir(), "stall_frames.%d.callgrind" % os.getpid())
        valgrind = ["valgrind", "--tool=callgrind", "--toggle-collect=run_frame_loop(Player&)",
                    "--callgrind-out-file=" + out] if args.instructions else []
        game = None

        def split_dump():
            if valgrind:
                subprocess.run(["callgrind_control", "--dump", str(game.proc.pid)], capture_output=True)

        if args.gone:
            listener, port, held = vanishing_server(ns, args.gone, args.drop, stop, split_dump)
        else:
            listener = slow_server(ns, args.read, args.every, stop)
            port = listener.getsockname()[1]
        config = network_config(port, video={"enable_fps_cap": args.cap})
        with Workdir(config=config) as wd:
            env = {"LD_PRELOAD": os.path.abspath(args.counter), "FLIP_COUNTER_FILE": counts.name}
            game = run_client(wd, wrap=ns.wrap() + valgrind, env=env)
            try:
                time.sleep(args.seconds)
                status = game.stop()
            finally:
                game.kill()
                stop.set()
                for sock in [listener] + held:
                    sock.close()
        frames = [int(line.split()[1]) for line in counts.read().splitlines()]
    print("exit status %d; log after start-up:" % status)
    for line in game.lines[5:]:
        print("  " + line)
    print("frames drawn in each second: " + " ".join(map(str, frames)))
    if valgrind:
        dumps = sorted(glob.glob(out + "*"), key=os.path.getmtime)
        parts = [instructions_per_pass(path) for path in dumps]
        for path in dumps:
            os.remove(path)
        if len(parts) == 2 and all(passes for _, passes in parts):
            (before, passes_before), (after, passes_after) = parts
            print("instructions a pass: %.0f with the server (%d passes), %.0f while reconnecting (%s, %d passes), "
                  "%.2f times" % (before / passes_before, passes_before, after / passes_after,
                                  "SYNs dropped" if args.drop else "refused", passes_after,
                                  after * passes_before / (before * passes_after)))
        else:
            print("callgrind dumps: %r" % parts)
    elif args.gone:
        # The first second holds start-up, the one the server went in both kinds of pass.
        went = int(args.gone)
        before, after = frames[1:went], frames[went + 1:-1]
        if before and after:
            print("frames a second: %.0f with the server, %.0f while reconnecting (%s), %.2f times"
                  % (sum(before) / len(before), sum(after) / len(after),
                     "SYNs dropped" if args.drop else "refused", sum(after) / len(after) / (sum(before) / len(before))))


if __name__ == "__main__":
    main()
