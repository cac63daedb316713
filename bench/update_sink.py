"""A stand-in game server for the client benchmark: accepts connections on 127.0.0.1, reads
everything the client sends, and timestamps each complete 4-byte position update and keeps its x.

The timestamps use time.monotonic(), the clock the benchmark driver reads too, so "updates
between t1 and t2" and "exec to first update" need no clock conversion. Run alone it prints
the update rate every second: python3 bench/update_sink.py [port]
"""

import bisect
import socket
import sys
import threading
import time


class Connection:
    """Updates received on one connection. times grows only at the end, so readers can take a
    snapshot with len() while the reader thread appends."""

    def __init__(self):
        self.times = []
        self.xs = []  # the x of each update, appended before its time
        self.byte_count = 0
        self.closed = False

    def count_between(self, t1, t2):
        times = self.times[:]
        return bisect.bisect_right(times, t2) - bisect.bisect_right(times, t1)

    def xs_between(self, t1, t2):
        """The x of every update that arrived in [t1, t2]."""
        times = self.times[:]
        return self.xs[bisect.bisect_left(times, t1):bisect.bisect_right(times, t2)]

    def intervals_between(self, t1, t2):
        """Gaps in seconds between consecutive updates that both arrived in [t1, t2]."""
        inside = [t for t in self.times[:] if t1 <= t <= t2]
        return [b - a for a, b in zip(inside, inside[1:])]


class Sink:
    def __init__(self, port=0):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.connections = []
        self._arrived = threading.Condition()
        self._stopping = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self._stopping:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            record = Connection()
            with self._arrived:
                self.connections.append(record)
                self._arrived.notify_all()
            threading.Thread(target=self._read, args=(conn, record), daemon=True).start()

    @staticmethod
    def _read(conn, record):
        # Bytes left over from the previous read: TCP may split or merge the 4-byte segments.
        pending = b""
        with conn:
            while True:
                try:
                    data = conn.recv(65536)
                except OSError:
                    break
                if not data:
                    break
                now = time.monotonic()
                record.byte_count += len(data)
                pending += data
                whole = len(pending) - len(pending) % 4
                record.xs.extend(int.from_bytes(pending[i:i + 4], "big", signed=True) for i in range(0, whole, 4))
                record.times.extend([now] * (whole // 4))
                pending = pending[whole:]
        record.closed = True

    def next_connection(self, after, timeout):
        """The first connection accepted after the sink held `after` connections."""
        deadline = time.monotonic() + timeout
        with self._arrived:
            while len(self.connections) <= after:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._arrived.wait(left)
            return self.connections[after]

    def close(self):
        self._stopping = True
        self.listener.close()


def main():
    sink = Sink(int(sys.argv[1]) if len(sys.argv) > 1 else 1337)
    print("listening on 127.0.0.1:%d" % sink.port, flush=True)
    seen = 0
    try:
        while True:
            time.sleep(1)
            total = sum(len(c.times) for c in sink.connections)
            print("%d updates/s" % (total - seen), flush=True)
            seen = total
    except KeyboardInterrupt:
        sink.close()


if __name__ == "__main__":
    main()
