"""Measures the browser version against our server on 127.0.0.1; see tools/web_bench.sh.

Prints one table: the time from the Start click (made as soon as the page is there, so the
program and its files still load) to the first frame, the bytes the page downloads, the CPU of
all of Chromium's processes with the game at the frame cap beside the native client's under
Xvfb (rounds taking turns, so a busier machine shifts both alike), the pass rate with the cap
off, and how many of the tab closes delivered the goodbye. Figures, not a test.
"""

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
from client_bench import cpu_seconds  # noqa: E402
from chromium import FIRST_FRAME, Browser  # noqa: E402
import harness  # noqa: E402
import server_peer  # noqa: E402

GOODBYE = r"^goodbye #(\d+) updates=(\d+) last_x=(-?\d+)$"

# Clicks Start and resolves, in the page's own clock, when the first frame shows: polled every
# 5 ms, so the figure is at most that late.
CLICK_TO_FIRST_FRAME = """new Promise(function (resolve) {
  var started = performance.now();
  document.getElementById('start').click();
  (function look() {
    if (%s) resolve(performance.now() - started); else setTimeout(look, 5);
  })();
})""" % FIRST_FRAME


class Bench:
    def __init__(self, args):
        self.args = args
        self.server = server_peer.start_game_server(args.server, ["--web-root", args.site, "--web-port", "0"])
        port = self.server.wait_for(r"^serving the page at http://127\.0\.0\.1:(\d+)/$").group(1)
        self.url = "http://127.0.0.1:%s/" % port
        self.browser = Browser()
        self.goodbyes = 0  # goodbye lines seen so far

    def close(self):
        self.browser.close()
        self.server.stop()

    def open(self, settings=None, count_bytes=False):
        tab = self.browser.new_tab(self.url + "?name=Bench", count_bytes)
        if settings is not None:
            tab.wait_until("document.body.dataset.state == 'ready'")
            tab.evaluate("FS.writeFile('/config.ini', %r)" % settings)
        else:
            tab.wait_until("document.body && document.body.dataset.state == 'loading'")
        return tab

    def close_and_count_goodbye(self, tab, timeout=5.0):
        """Closes the tab; whether our server logged the goodbye of one more player."""
        tab.close()
        try:
            self.server.wait_for_count(GOODBYE, self.goodbyes + 1, timeout=timeout)
        except AssertionError:
            return False
        self.goodbyes += 1
        return True

    def first_frame(self):
        tab = self.open(count_bytes=True)
        ms = tab.evaluate(CLICK_TO_FIRST_FRAME, user_gesture=True, timeout=60)
        time.sleep(0.5)  # the downloads' last events
        received = tab.received_bytes
        delivered = self.close_and_count_goodbye(tab)
        return ms, received, delivered

    def browser_cpu(self):
        tab = self.open()
        tab.evaluate(CLICK_TO_FIRST_FRAME, user_gesture=True, timeout=60)
        time.sleep(self.args.warmup)
        pids = self.browser.process_ids()
        before = sum(cpu_seconds(pid) or 0 for pid in pids)
        t1 = time.monotonic()
        time.sleep(self.args.measure)
        after = sum(cpu_seconds(pid) or 0 for pid in pids)
        t2 = time.monotonic()
        self.close_and_count_goodbye(tab)
        return (after - before) / (t2 - t1), len(pids)

    def native_cpu(self):
        with harness.Xvfb() as x, harness.Workdir(config=harness.network_config(self.server.port)) as wd:
            game = harness.Process([self.args.client], cwd=wd.path,
                                   env={"DISPLAY": x.name, "SDL_AUDIODRIVER": "dummy", "SDL_VIDEODRIVER": "x11"})
            try:
                x.find_window()
                time.sleep(self.args.warmup)
                c1, x1, t1 = cpu_seconds(game.proc.pid), cpu_seconds(x.proc.pid), time.monotonic()
                time.sleep(self.args.measure)
                c2, x2, t2 = cpu_seconds(game.proc.pid), cpu_seconds(x.proc.pid), time.monotonic()
            finally:
                game.stop()
        return (c2 - c1) / (t2 - t1), (x2 - x1) / (t2 - t1)

    def uncapped(self):
        tab = self.open("[video]\nenable_fps_cap = 0\n")
        tab.evaluate(CLICK_TO_FIRST_FRAME, user_gesture=True, timeout=60)
        t1 = time.monotonic()
        time.sleep(self.args.measure)
        tab.close()
        t2 = time.monotonic()
        line = self.server.wait_for_count(GOODBYE, self.goodbyes + 1, timeout=5)[-1]
        self.goodbyes += 1
        updates = int(line.split()[2].split("=")[1])
        return updates / (t2 - t1)


def spread(values, fmt):
    return (fmt + " (%s to %s)") % (statistics.median(values), fmt % min(values), fmt % max(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--server", required=True)
    parser.add_argument("--client", required=True, help="the native client, for the CPU beside it")
    parser.add_argument("--site", required=True, help="the web build's site/ directory")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--closes", type=int, default=20, help="tab closes to count goodbyes over")
    parser.add_argument("--warmup", type=float, default=2.0)
    parser.add_argument("--measure", type=float, default=10.0)
    args = parser.parse_args()
    args.server, args.client, args.site = map(os.path.abspath, (args.server, args.client, args.site))

    bench = Bench(args)
    try:
        frames, sizes, delivered = [], [], 0
        for _ in range(args.rounds):
            ms, received, ok = bench.first_frame()
            frames.append(ms)
            sizes.append(received)
            delivered += ok
        print("click to first frame: %d rounds done" % args.rounds, flush=True)
        browser_cpu, native_cpu, xvfb_cpu, processes = [], [], [], 0
        for _ in range(args.rounds):
            cpu, processes = bench.browser_cpu()
            browser_cpu.append(cpu)
            cpu, xcpu = bench.native_cpu()
            native_cpu.append(cpu)
            xvfb_cpu.append(xcpu)
            print("CPU round done", flush=True)
        rate = bench.uncapped()
        closes = args.closes
        for _ in range(closes):
            delivered += bench.first_frame()[2]
        closes += args.rounds
    finally:
        bench.close()

    ratios = [b / (n + x) for b, n, x in zip(browser_cpu, native_cpu, xvfb_cpu)]
    print()
    print("| figure | browser | target |")
    print("|---|---|---|")
    print("| Start click to first frame, ms (files still loading at the click) | %s | <= 2000 |" % spread(frames, "%.0f"))
    print("| bytes downloaded for the page | %s | < 3000000 |" % spread(sizes, "%d"))
    print("| CPU s per wall s at the cap, all %d Chromium processes | %s | |" % (processes, spread(browser_cpu, "%.3f")))
    print("| CPU s per wall s at the cap, native client (and Xvfb) | %s (%s) | |"
          % (spread(native_cpu, "%.3f"), spread(xvfb_cpu, "%.3f")))
    print("| browser / (native client + Xvfb), per round | %s | <= 3 |" % spread(ratios, "%.1f"))
    print("| passes per second, cap off | %.0f | |" % rate)
    print("| tab closes that delivered the goodbye | %d of %d | all |" % (delivered, closes))


if __name__ == "__main__":
    main()
