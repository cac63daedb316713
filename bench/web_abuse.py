"""Web and WebSocket abuse against brackenreach-server on 127.0.0.1 while 10 TCP and 10 WebSocket
players send 60 updates a second for 8 s: dribbled requests, bad requests, text frames, garbage
frames, oversized messages and ping floods, each kind from loopback addresses of its own, and page
loads. Prints what each kind got, whether every player's updates were counted, and the server's
memory and CPU. Figures, not a test (docs/reliability.md).

    python3 bench/web_abuse.py build-bench/brackenreach-server
"""
import collections
import os
import random
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import server_peer as sp  # noqa: E402

SECONDS = 8
site = tempfile.TemporaryDirectory()
for name, data in [("index.html", b"<!doctype html>\n"), ("brackenreach.wasm", os.urandom(100000))]:
    with open(os.path.join(site.name, name), "wb") as out:
        out.write(data)
s = sp.start_game_server(sys.argv[1], ["--max-clients", "2000"], web_root=site.name)
pid = s.process.pid
def rss():
    for l in open(f"/proc/{pid}/status"):
        if l.startswith("VmRSS"): return int(l.split()[1])
def cpu():
    f = open(f"/proc/{pid}/stat").read().rsplit(")",1)[1].split()
    return (int(f[11]) + int(f[12])) / os.sysconf("SC_CLK_TCK")
base = rss(); peak=[base]; c0 = cpu()
players = [(False, s.connect(source=f"127.0.2.{i+1}")) for i in range(10)] + \
          [(True, s.connect_websocket(source=f"127.0.3.{i+1}")) for i in range(10)]
ids = [s.join(p) for _, p in players]
stop = time.monotonic() + SECONDS
counts = {k: 0 for k in ["dribblers", "bad_requests", "ws_text", "ws_garbage", "ws_big", "pings", "page_loads"]}
answers = {}
def good():
    t0 = time.monotonic(); n = 0
    while time.monotonic() < stop:
        n += 1
        for ws, p in players:
            d = sp.encode_updates([n]); p.sendall(sp.websocket_messages(d) if ws else d)
        time.sleep(max(0, t0 + n/60 - time.monotonic()))
    for ws, p in players:
        p.sendall(sp.websocket_messages(sp.GOODBYE, 5) if ws else sp.GOODBYE)
    counts["sent"] = n
def dribble(k):
    socks = []
    for i in range(25):
        try:
            x = s.connect(web=True, source=f"127.0.4.{k*25+i+1}"); x.sendall(b"GET / HTTP/1.1\r\n"); socks.append(x); counts["dribblers"] += 1
        except OSError: pass
    while time.monotonic() < stop:
        for x in socks:
            try: x.sendall(b"X")
            except OSError: pass
        time.sleep(0.5)
def bad():
    rng = random.Random(3); reqs = [b"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc", b"GET /../etc/passwd HTTP/1.1\r\nHost: a\r\n\r\n",
        b"GET / HTTP/1.1\r\nHost: a\r\nX: " + b"a"*9000 + b"\r\n\r\n", None]
    while time.monotonic() < stop:
        r = rng.choice(reqs) or bytes(rng.randrange(256) for _ in range(300))
        try:
            with s.connect(web=True, source="127.0.5.1") as x:
                x.sendall(r); st, _ = sp.read_http_head(x); answers[st] = answers.get(st, 0) + 1
        except OSError: answers["reset"] = answers.get("reset", 0) + 1
        counts["bad_requests"] += 1
def page():
    while time.monotonic() < stop:
        with s.connect(web=True, source="127.0.5.2") as x:
            x.sendall(b"GET /brackenreach.wasm HTTP/1.1\r\nHost: a\r\n\r\n"); sp.read_http_head(x)
            got = 0
            while got < 100000: got += len(x.recv(65536))
        counts["page_loads"] += 1
def ws_abuse(kind, src):
    while time.monotonic() < stop:
        try:
            with s.connect_websocket(source=src) as x:
                if kind == "ws_text": x.sendall(sp.websocket_frame(b"hi"*100, opcode=1))
                elif kind == "ws_garbage": x.sendall(os.urandom(2000))
                elif kind == "ws_big": x.sendall(sp.websocket_frame(bytes(200000)))
                elif kind == "pings":
                    for _ in range(2000): x.sendall(sp.websocket_frame(b"p", opcode=9))
                    counts["pings"] += 1999
                sp.websocket_close_code(x, 3)
            counts[kind] += 1
        except OSError: pass
def sample():
    while time.monotonic() < stop + 1:
        peak[0] = max(peak[0], rss()); time.sleep(0.05)
ts = [threading.Thread(target=f, args=a) for f, a in [(good, ()), (dribble, (0,)), (dribble, (1,)), (bad, ()), (page, ()),
      (ws_abuse, ("ws_text", "127.0.6.1")), (ws_abuse, ("ws_garbage", "127.0.6.2")), (ws_abuse, ("ws_big", "127.0.6.3")), (ws_abuse, ("pings", "127.0.6.4")), (sample, ())]]
for t in ts: t.start()
for t in ts: t.join(60)
ok = 0
for cid in ids:
    try: s.wait_for(rf"^goodbye #{cid} updates={counts['sent']} last_x={counts['sent']}$", timeout=10); ok += 1
    except AssertionError: pass
c1 = cpu()
st, lines = s.stop()
print("counts", counts, "answers", answers)
print(f"players_ok={ok}/20 updates_each={counts['sent']} rss_base_kib={base} rss_peak_kib={peak[0]} cpu_s={c1-c0:.2f} exit={st}")
print(lines[-1])
print(collections.Counter(l.split(" reason=")[1] for l in lines if l.startswith("dropped") and " reason=" in l))
