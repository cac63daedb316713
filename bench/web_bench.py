"""Measures the browser version against our server on 127.0.0.1; see tools/web_bench.sh.

Prints one table: the time from the Start click (made as soon as the page is there, so the
program and its files still load) to the first frame, the bytes the page downloads, the CPU of
all of Chromium's processes with the game at the frame cap beside the native client's under
Xvfb, first with the player standing still, then walking (rounds taking turns, so a busier
machine shifts both alike), how many frames the page drew onto its canvas in each, the pass
rate with the cap off, and how many of the tab closes delivered the goodbye. Figures, not a
test.
"""

import argparse
import os
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
from client_bench import cpu_seconds  # noqa: E402
from chromium import FIRST_FRAME, PAD, Browser  # noqa: E402
import harness  # noqa: E402
import server_peer  # noqa: E402

GOODBYE = r"^goodbye #(\d+) updates=(\d+) last_x=(-?\d+)$"
TURN = 2.0  # seconds a walk goes one way before it turns: 256 px, well inside the map from x 400

# Clicks Start and resolves, in the page's own clock, when the first frame shows: polled every
# 5 ms, so the figure is at most that late.
CLICK_TO_FIRST_FRAME = """new Promise(function (resolve) {
  var started = performance.now();
  document.getElementById('start').click();
  (function look() {
    if (%s) resolve(performance.now() - started); else setTimeout(look, 5);
  })();
})""" % FIRST_FRAME


class Walker:
    """Holds the right arrow, then the left, TURN seconds each, until stopped."""

    def __init__(self, press, release):
        self.press, self.release = press, release
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.walk, daemon=True)
        self.thread.start()

    def walk(self):
        turn = 0
        while not self.stopping.is_set():
            key = ("Right", "Left")[turn % 2]
            self.press(key)
            self.stopping.wait(TURN)
            self.release(key)
            turn += 1

    def stop(self):
        self.stopping.set()
        self.thread.join()


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

    def still_then_walking(self, groups, press, release, frames=None):
        """Standing still, then walking (right and left in turns), each after a warm-up: per
        phase, the CPU s per wall s of each group of processes ({name: pids}), and with frames
        (a callable: the frames drawn so far) the frames drawn a second as "frames"."""
        return [self.phase(groups, None, None, frames), self.phase(groups, press, release, frames)]

    def phase(self, groups, press, release, frames=None):
        """One phase of still_then_walking: walking with press and release, or standing (None)."""
        walker = Walker(press, release) if press else None
        try:
            time.sleep(self.args.warmup)
            before = self.sample(groups, frames)
            time.sleep(self.args.measure)
            after = self.sample(groups, frames)
        finally:
            if walker:
                walker.stop()
        seconds = after["wall"] - before["wall"]
        return {name: (after[name] - before[name]) / seconds for name in after if name != "wall"}

    @staticmethod
    def sample(groups, frames):
        taken = {name: sum(cpu_seconds(pid) or 0 for pid in pids) for name, pids in groups.items()}
        if frames:
            drawn = frames()
            taken["frames"] = drawn if drawn >= 0 else float("nan")  # a build that draws every frame
        taken["wall"] = time.monotonic()
        return taken

    def browser_cpu(self):
        tab = self.open()
        tab.evaluate(CLICK_TO_FIRST_FRAME, user_gesture=True, timeout=60)
        pids = self.browser.process_ids()
        codes = {"Right": 39, "Left": 37}
        phases = self.still_then_walking(
            {"browser": pids}, lambda key: tab.key("keyDown", "Arrow" + key, codes[key]),
            lambda key: tab.key("keyUp", "Arrow" + key, codes[key]),
            lambda: tab.evaluate("Module.frames ? Module.frames.drawn : -1"))
        self.close_and_count_goodbye(tab)
        return phases, len(pids)

    def input_cpu(self):
        """Chromium's CPU walking the same walk by the keys, by a finger (touch emulated; held
        right or left of the character) and by a pad's stick (a page script standing in for
        navigator.getGamepads), in turns in one tab: {"keys" | "finger" | "pad": the phase's
        figures (CPU s per wall s and frames drawn a second, as in still_then_walking)}."""
        tab = self.open()
        tab.send("Page.addScriptToEvaluateOnNewDocument", {"source": PAD})
        tab.send("Emulation.setTouchEmulationEnabled", {"enabled": True, "maxTouchPoints": 5})
        tab.send("Page.reload")
        tab.wait_until("document.body && document.body.dataset.state == 'ready'")
        tab.evaluate(CLICK_TO_FIRST_FRAME, user_gesture=True, timeout=60)
        groups = {"browser": self.browser.process_ids()}
        codes = {"Right": 39, "Left": 37}
        at = {"Right": 620, "Left": 20}

        def finger(key):
            box = tab.evaluate("(function (r) { return [r.left, r.top, r.width / 640, r.height / 480]; })"
                               "(document.getElementById('canvas').getBoundingClientRect())")
            tab.send("Input.dispatchTouchEvent", {"type": "touchStart", "touchPoints": [
                {"x": box[0] + at[key] * box[2], "y": box[1] + 240 * box[3], "id": 1}]})

        ways = {"keys": (lambda key: tab.key("keyDown", "Arrow" + key, codes[key]),
                         lambda key: tab.key("keyUp", "Arrow" + key, codes[key])),
                "finger": (finger, lambda key: tab.send("Input.dispatchTouchEvent",
                                                        {"type": "touchEnd", "touchPoints": []})),
                "pad": (lambda key: tab.evaluate("pad.axes = [%d, 0, 0, 0]" % (1 if key == "Right" else -1)),
                        lambda key: tab.evaluate("pad.axes = [0, 0, 0, 0]"))}
        drawn = lambda: tab.evaluate("Module.frames.drawn")  # noqa: E731
        figures = {way: self.phase(groups, *ways[way], frames=drawn) for way in ways}
        self.close_and_count_goodbye(tab)
        return figures

    def native_cpu(self):
        with harness.Xvfb() as x, harness.Workdir(config=harness.network_config(self.server.port)) as wd:
            game = harness.Process([self.args.client], cwd=wd.path,
                                   env={"DISPLAY": x.name, "SDL_AUDIODRIVER": "dummy", "SDL_VIDEODRIVER": "x11"})
            try:
                x.focus(x.find_window())
                return self.still_then_walking({"client": [game.proc.pid], "xvfb": [x.proc.pid]},
                                               x.key_down, x.key_up)
            finally:
                game.stop()

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
        browser, native, processes, inputs = [], [], 0, []
        for _ in range(args.rounds):
            phases, processes = bench.browser_cpu()
            browser.append(phases)
            native.append(bench.native_cpu())
            inputs.append(bench.input_cpu())
            print("CPU round done", flush=True)
        rate = bench.uncapped()
        closes = args.closes
        for _ in range(closes):
            delivered += bench.first_frame()[2]
        closes += args.rounds
    finally:
        bench.close()

    print()
    print("| figure | browser | target |")
    print("|---|---|---|")
    print("| Start click to first frame, ms (files still loading at the click) | %s | <= 2000 |" % spread(frames, "%.0f"))
    print("| bytes downloaded for the page | %s | < 3000000 |" % spread(sizes, "%d"))
    for phase, name, target in ((0, "standing still", 1.5), (1, "walking", 3)):
        cpu = [b[phase]["browser"] for b in browser]
        client = [n[phase]["client"] for n in native]
        xvfb = [n[phase]["xvfb"] for n in native]
        ratios = [b / (n + x) for b, n, x in zip(cpu, client, xvfb)]
        print("| %s: CPU s per wall s at the cap, all %d Chromium processes | %s | |"
              % (name, processes, spread(cpu, "%.3f")))
        print("| %s: CPU s per wall s at the cap, native client (and Xvfb) | %s (%s) | |"
              % (name, spread(client, "%.3f"), spread(xvfb, "%.3f")))
        print("| %s: browser / (native client + Xvfb), per round | %s | <= %g |" % (name, spread(ratios, "%.2f"), target))
        print("| %s: frames drawn onto the canvas a second | %s | |"
              % (name, spread([b[phase]["frames"] for b in browser], "%.1f")))
    for way in ("keys", "finger", "pad"):
        print("| walking by %s: frames drawn onto the canvas a second | %s | |"
              % (way, spread([i[way]["frames"] for i in inputs], "%.1f")))
    for way in ("finger", "pad"):
        print("| walking by %s / walking by keys, Chromium's CPU at the cap, per round | %s | about 1 |"
              % (way, spread([i[way]["browser"] / i["keys"]["browser"] for i in inputs], "%.2f")))
    print("| passes per second, cap off | %.0f | |" % rate)
    print("| tab closes that delivered the goodbye | %d of %d | all |" % (delivered, closes))


if __name__ == "__main__":
    main()
