"""Measures the Windows build under Wine beside the native client; see tools/win_bench.sh.

Prints one table: CPU per wall second at the frame cap of the .exe's own process, of it with
Wine's processes of the prefix (wineserver, winedevice.exe, explorer.exe ...), and of the native
client, rounds taking turns on one Xvfb so a busier machine shifts both alike; each platform's
start to first update at a recording peer; the pass rate with the cap off (updates the peer got
per second); the installer's and the zip's sizes; and once, with the largest map SDL 1.2 holds
(16383 x 32767 pixels), how long each takes to show its window and to load the map. Figures, not
a test.
"""

import argparse
import glob
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
from client_bench import cpu_seconds  # noqa: E402
import harness  # noqa: E402
from test_faults import png  # noqa: E402


def prefix_processes(prefix):
    """Every live process that runs in the Wine prefix (its environment names it)."""
    wanted = ("WINEPREFIX=%s" % prefix).encode()
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/environ" % entry, "rb") as f:
                    if wanted in f.read().split(b"\0"):
                        pids.append(int(entry))
            except OSError:
                pass
    return pids


class Bench:
    def __init__(self, args):
        self.args = args
        self.x = harness.Xvfb()

    def close(self):
        self.x.close()

    def launch(self, platform, config=None, files=None):
        """The game started in a scratch directory: (process, directory, when it started)."""
        wd = harness.Workdir(config=config, files=files, game_dir=self.args.game if platform == "windows" else None)
        env = {"DISPLAY": self.x.name, "SDL_AUDIODRIVER": "dummy"}
        if platform == "windows":
            argv = [self.args.wine, self.args.prefix, os.path.join(wd.path, "brackenreach.exe")]
        else:
            argv = [self.args.client]
            env["SDL_VIDEODRIVER"] = "x11"
        began = time.monotonic()
        return harness.Process(argv, cwd=wd.path, env=env), wd, began

    def start(self, platform, sink, cap=1):
        game, wd, began = self.launch(platform, harness.network_config(sink.port, video={"enable_fps_cap": cap}))
        sink.wait_for_bytes(4, timeout=60)
        return game, wd, (time.monotonic() - began) * 1000

    def end(self, game, wd):
        self.x.close_window(self.x.find_window())
        game.wait()
        wd.cleanup()

    def capped(self, platform):
        """(ms to the first update, the game's CPU, the game's and the prefix's processes' CPU,
        the prefix's process count), CPU in seconds per wall second."""
        with harness.Sink() as sink:
            game, wd, first = self.start(platform, sink)
            time.sleep(self.args.warmup)
            pids = [game.proc.pid]
            if platform == "windows":  # Wine rewrites the game's own environment: not found by it
                pids += [p for p in prefix_processes(self.args.prefix) if p != game.proc.pid]
            before = [cpu_seconds(p) or 0 for p in pids]
            t1 = time.monotonic()
            time.sleep(self.args.measure)
            after = [cpu_seconds(p) or 0 for p in pids]
            t2 = time.monotonic()
            own = (after[0] - before[0]) / (t2 - t1)
            everything = (sum(after) - sum(before)) / (t2 - t1)
            self.end(game, wd)
        return first, own, everything, len(pids)

    def largest_map(self, platform, picture):
        """Seconds from start to the window shown and to the map loaded."""
        game, wd, began = self.launch(platform, files={"img/background3.png": picture})
        shown = loaded = None
        while (shown is None or loaded is None) and time.monotonic() - began < 300:
            if shown is None and self.x.run(["xdotool", "search", "--onlyvisible", "--name", "^Brackenreach$"],
                                            check=False).stdout.strip():
                shown = time.monotonic() - began
            if loaded is None and any(l.endswith("background3.png ... done") for l in game.lines):
                loaded = time.monotonic() - began
            time.sleep(0.05)
        self.end(game, wd)
        return shown, loaded

    def uncapped(self, platform):
        with harness.Sink() as sink:
            game, wd, _ = self.start(platform, sink, cap=0)
            time.sleep(self.args.warmup)
            b1, t1 = len(sink.received()), time.monotonic()
            time.sleep(self.args.measure)
            b2, t2 = len(sink.received()), time.monotonic()
            self.end(game, wd)
        return (b2 - b1) / 4 / (t2 - t1)


def spread(values, fmt):
    return (fmt + " (%s to %s)") % (statistics.median(values), fmt % min(values), fmt % max(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, help="the Windows build directory")
    parser.add_argument("--client", required=True, help="the native client")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--warmup", type=float, default=2.0)
    parser.add_argument("--measure", type=float, default=10.0)
    parser.add_argument("--no-largest-map", dest="largest_map", action="store_false",
                        help="skip the largest map (about a minute, 4 GB of memory a platform)")
    args = parser.parse_args()
    args.build, args.client = os.path.abspath(args.build), os.path.abspath(args.client)
    args.game = os.path.join(args.build, "game")
    args.prefix = os.path.realpath(os.path.join(args.build, "wine"))  # as the helper names it
    args.wine = os.path.join(os.path.dirname(HERE), "tools", "wine_prefix.sh")

    bench = Bench(args)
    figures = {p: {"first": [], "own": [], "all": [], "rate": []} for p in ("windows", "linux")}
    processes = 0
    try:
        for _ in range(args.rounds):
            for platform in ("windows", "linux"):
                first, own, everything, count = bench.capped(platform)
                figures[platform]["first"].append(first)
                figures[platform]["own"].append(own)
                figures[platform]["all"].append(everything)
                processes = max(processes, count) if platform == "windows" else processes
                figures[platform]["rate"].append(bench.uncapped(platform))
            print("round done", flush=True)
        largest = {}
        if args.largest_map:
            picture = png(16383, 32767)
            largest = {p: bench.largest_map(p, picture) for p in ("windows", "linux")}
    finally:
        bench.close()

    win, lin = figures["windows"], figures["linux"]
    own_ratio = [w / n for w, n in zip(win["own"], lin["own"])]
    all_ratio = [w / n for w, n in zip(win["all"], lin["own"])]
    print()
    print("| figure | Windows build under Wine | native client | Windows / native | target |")
    print("|---|---|---|---|---|")
    print("| CPU s per wall s at the cap 60, the game's process | %s | %s | %s | <= 1.5 |"
          % (spread(win["own"], "%.4f"), spread(lin["own"], "%.4f"), spread(own_ratio, "%.2f")))
    print("| ... with Wine's %d processes of the prefix | %s | | %s | |"
          % (processes, spread(win["all"], "%.4f"), spread(all_ratio, "%.2f")))
    print("| start to first update, ms | %s | %s | | |" % (spread(win["first"], "%.0f"), spread(lin["first"], "%.0f")))
    print("| passes per second, cap off | %s | %s | | |" % (spread(win["rate"], "%.0f"), spread(lin["rate"], "%.0f")))
    if largest:
        seconds = ["never" if v is None else "%.1f" % v for v in largest["windows"] + largest["linux"]]
        print("| largest map (16383 x 32767): window shown, map loaded, s | %s, %s | %s, %s | | |" % tuple(seconds))
    for kind in ("exe", "zip"):
        for path in glob.glob(os.path.join(args.build, "brackenreach-*-win64.%s" % kind)):
            print("| %s | %.2f MB | | | |" % (os.path.basename(path), os.path.getsize(path) / 1e6))


if __name__ == "__main__":
    main()
