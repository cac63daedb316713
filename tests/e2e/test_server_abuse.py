"""brackenreach-server under abuse, cheap enough for every test run (about 10 s): 500 idle
connections, a 20 MB flood, byte-at-a-time writers, random garbage and abrupt resets, all at once,
while 10 well-behaved clients at 60 updates a second must each lose no update, the server's
memory must stay bounded per connection, and SIGTERM must still give the summary. Meanwhile one
address (127.0.0.2) opens connections as fast as it can, and a player from another must still
get in. Each kind of peer comes from addresses of its own, as real clients would, so that the
per-address limits refuse only that one address.

tools/server_bench.sh runs the heavier version (3000 idle, 100 MB) with bench/server_load.

Run: python3 tests/e2e/test_server_abuse.py (set BRACKENREACH_SERVER).
"""

import os
import random
import re
import resource
import socket
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import start_game_server, stop_game_server  # noqa: E402
from harness import main  # noqa: E402
from server_peer import GOODBYE, encode_updates  # noqa: E402

IDLE = 500
GOOD = 10
SLOW = 3
FLOOD_BYTES = 20 * 1024 * 1024
RUN_SECONDS = 5.0
# Each connection holds a fixed 4 KiB read buffer plus its socket, timer and bookkeeping (about
# 5 KiB measured). 16 KiB each for every connection open at once, plus 4 MiB for the allocator,
# is generous for that yet below the flood's 20 MB: a server that buffered what it had not
# decoded yet, or kept memory per update, would cross it.
BYTES_PER_CONNECTION = 16 * 1024
SLACK_BYTES = 4 * 1024 * 1024


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def uses_asan(pid):
    """AddressSanitizer keeps freed memory in quarantine, so RSS says nothing about leaks there."""
    with open(f"/proc/{pid}/maps") as maps:
        return "libasan" in maps.read()


def reset_close(sock):
    """Closes with an RST instead of a FIN."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class Abuse(unittest.TestCase):
    def setUp(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        need = 2 * (IDLE + 200)  # this process and the server, which inherits the limit
        if soft < need:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(need, hard), hard))
        if resource.getrlimit(resource.RLIMIT_NOFILE)[0] < need:
            self.skipTest(f"needs {need} file descriptors: raise the hard limit (ulimit -Hn as root) and run it again")

    def test_good_clients_lose_nothing_while_others_abuse_the_server(self):
        # The idle connections never send, and must stay open for the whole run.
        server = start_game_server(["--max-clients", str(IDLE + 200), "--idle-timeout", "60",
                                    "--first-byte-timeout", "60"])
        self.addCleanup(server.kill)
        pid = server.process.pid
        baseline = rss_kib(pid)
        peak = [baseline]
        sampling = threading.Event()

        def sample():
            while not sampling.is_set():
                peak[0] = max(peak[0], rss_kib(pid))
                time.sleep(0.05)

        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()

        # 8 to an address: the most silent connections one address may hold.
        idle = [server.connect(source=f"127.0.1.{i // 8 + 1}") for i in range(IDLE)]
        for sock in idle:
            self.addCleanup(sock.close)
        server.wait_for_count(r"^joined ", IDLE, timeout=20)

        good = [server.connect(source=f"127.0.2.{i + 1}") for i in range(GOOD)]
        slow = [server.connect(source="127.0.3.1") for _ in range(SLOW)]
        flood = server.connect(timeout=30, source="127.0.3.2")
        for sock in good + slow + [flood]:
            self.addCleanup(sock.close)
        good_ids = [server.join(sock) for sock in good]
        slow_ids = [server.join(sock) for sock in slow]
        flood_id = server.join(flood)

        stop_at = time.monotonic() + RUN_SECONDS
        errors = []
        counts = {"garbage": 0, "reset": 0, "one address": 0}

        def guarded(work):
            def run():
                try:
                    work()
                except Exception as error:  # reported by the main thread
                    errors.append(f"{work.__name__}: {error!r}")
            return threading.Thread(target=run, daemon=True)

        frames = int(RUN_SECONDS * 60)

        def play_good():
            # x counts up from 1, so the goodbye's last_x must equal the update count.
            start = time.monotonic()
            for frame in range(1, frames + 1):
                for sock in good:
                    sock.sendall(struct.pack(">i", frame))
                time.sleep(max(0.0, start + frame / 60 - time.monotonic()))
            for sock in good:
                sock.sendall(GOODBYE)

        def play_flood():
            block = encode_updates(range(16384))  # 64 KiB, last x 16383
            for _ in range(FLOOD_BYTES // len(block)):
                flood.sendall(block)
            flood.sendall(GOODBYE)

        slow_stream = encode_updates([7, -8, 9]) + GOODBYE

        def play_slow():
            for i in range(len(slow_stream)):
                for sock in slow:
                    sock.sendall(slow_stream[i : i + 1])
                time.sleep(0.2)

        def play_garbage():
            rng = random.Random(11)
            while time.monotonic() < stop_at:
                with server.connect(source="127.0.3.3") as sock:
                    try:
                        sock.sendall(rng.randbytes(rng.randrange(1, 16384)))
                    except OSError:
                        pass  # the server may close on a stray "exit"; that is its right
                    counts["garbage"] += 1
                    if rng.random() < 0.5:
                        reset_close(sock)
                time.sleep(0.02)  # bounds the churn, and the ports it leaves in TIME_WAIT

        def play_resets():
            while time.monotonic() < stop_at:
                sock = server.connect(source="127.0.3.4")
                sock.sendall(encode_updates([1, 2]) + b"\x00\x00")
                reset_close(sock)
                counts["reset"] += 1
                time.sleep(0.02)

        late = []

        def play_one_address():
            # Holds as many connections as it is let, and opens another as soon as one closes.
            held = []
            while time.monotonic() < stop_at:
                sock = server.connect(source="127.0.0.2")
                counts["one address"] += 1
                if len(held) % 2:
                    sock.sendall(b"\x00")  # one that spoke: held to the idle timeout
                held.append(sock)
                for old in [h for h in held if h.fileno() >= 0]:
                    old.setblocking(False)
                    try:
                        if old.recv(1) == b"":
                            old.close()  # refused or closed: make room for another
                    except BlockingIOError:
                        pass
                    except OSError:
                        old.close()
                held = [h for h in held if h.fileno() >= 0]
                if len(held) > 64:
                    held.pop(0).close()
                if not late and time.monotonic() > stop_at - RUN_SECONDS / 2:
                    late.append(server.connect())  # a player from another address, meanwhile
                time.sleep(0.002)
            for sock in held:
                sock.close()

        players = [guarded(w) for w in (play_good, play_flood, play_slow, play_garbage, play_resets,
                                         play_one_address)]
        for player in players:
            player.start()
        for player in players:
            player.join(60)
        self.assertFalse(any(p.is_alive() for p in players), "a peer hung")
        self.assertEqual([], errors)
        self.assertGreater(counts["garbage"], 10)
        self.assertGreater(counts["reset"], 10)
        self.assertEqual(1, len(late), "the late player never tried")
        self.addCleanup(late[0].close)
        late_id = server.join(late[0])
        late[0].sendall(encode_updates([5]) + GOODBYE)
        server.wait_for(rf"^goodbye #{late_id} updates=1 last_x=5$")

        for cid in good_ids:
            server.wait_for(rf"^goodbye #{cid} updates={frames} last_x={frames}$", timeout=15)
        for cid in slow_ids:
            server.wait_for(rf"^goodbye #{cid} updates=3 last_x=9$", timeout=15)
        server.wait_for(
            rf"^goodbye #{flood_id} updates={FLOOD_BYTES // 4} last_x=16383$", timeout=30
        )
        sampling.set()
        sampler.join(5)
        at_peak = IDLE + GOOD + SLOW + 1 + 2 + 32 + 1  # garbage, reset, one address, late
        bound_kib = baseline + (at_peak * BYTES_PER_CONNECTION + SLACK_BYTES) // 1024
        if not uses_asan(pid):
            self.assertLess(
                peak[0], bound_kib, f"VmRSS peaked at {peak[0]} KiB from a {baseline} KiB start"
            )

        lines = stop_game_server(server)
        refused = [line for line in lines if line.startswith("refused")]
        # At most a line a second for the address; the summary counts every refusal.
        count = sum(int((re.search(r" repeated=(\d+) ", line) or [0, 1])[1]) for line in refused)
        self.assertRegex(
            lines[-1], rf"^stopped: clients=\d+ updates=\d+ goodbyes=\d+ dropped=\d+ refused={count}$"
        )
        self.assertGreater(len(refused), 0, "the one address was never refused")
        self.assertLessEqual(len(refused), 4 * RUN_SECONDS)
        self.assertEqual([], [line for line in refused if not re.match(
            r"^refused 127\.0\.0\.2(:\d+| repeated=\d+) reason=(address|silent)_limit ", line)])
        joined = [re.match(r"^joined #(\d+) ([\d.]+):(\d+)$", line) for line in lines]
        joined = [m for m in joined if m]
        ended = [re.match(r"^(?:goodbye|dropped) #(\d+) ", line) for line in lines]
        ended = [m.group(1) for m in ended if m]
        self.assertEqual(sorted(m.group(1) for m in joined), sorted(ended), "one end each")
        # Churned peers reuse ports later; the idle ones joined first.
        id_of_peer = {}
        for match in joined:
            id_of_peer.setdefault((match.group(2), int(match.group(3))), match.group(1))
        shutdown = set(lines)
        for sock in idle:
            cid = id_of_peer[sock.getsockname()[:2]]
            self.assertIn(f"dropped #{cid} updates=0 last_x=none partial=0 reason=shutdown", shutdown)


if __name__ == "__main__":
    main(verbosity=1)
