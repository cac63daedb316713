"""Measures the client against bench/baseline side by side under Xvfb; see tools/client_bench.sh.

Runs alternate (client, baseline, client, baseline ...) so that a machine that gets busier or
quieter during the benchmark shifts both programs alike; each ratio is taken within one round
and the table shows the median over rounds, with the spread.
"""

import argparse
import itertools
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
from harness import CLASSIC, COMPAT, Sink, Xvfb, sdl_runtimes  # noqa: E402

START_TIMEOUT = 20.0  # hang guard only


def cpu_seconds(pid):
    """CPU time of every live thread of pid, in seconds (schedstat: nanoseconds)."""
    total = 0
    try:
        for tid in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                    total += int(f.read().split()[0])
            except OSError:
                pass  # the thread ended between listing and reading
    except OSError:
        return None
    return total / 1e9


def status_field(pid, name):
    """A number from /proc/PID/status: VmHWM (peak RSS, KiB), Threads ..."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    return None


def setups(client, default_only):
    """[(name, environment)]: every SDL 1.2 runtime the client can use here (the default first),
    and on sdl12-compat also the path SDL 2 takes when the client does not choose (OpenGL)."""
    out = []
    for runtime, env in sdl_runtimes(client)[:1 if default_only else None]:
        out.append((runtime, env))
        if runtime == COMPAT and not default_only:
            out.append((runtime + " via OpenGL", dict(env, SDL_RENDER_DRIVER="opengl")))
    return out


def pixels_differing(a, b):
    """Pixels that differ between two screenshots (compare -metric AE), or None when their sizes
    differ."""
    out = subprocess.run(["compare", "-metric", "AE", a, b, "null:"], capture_output=True, text=True)
    try:
        return int(float(out.stderr.split()[0]))
    except (IndexError, ValueError):
        return None


def read_alloc_counters(path):
    with open(path, "rb") as f:
        data = f.read(40)
    if len(data) < 40:
        return None
    malloc_calls, calloc_calls, realloc_calls, memalign_calls, _free = struct.unpack("<5Q", data)
    return malloc_calls + calloc_calls + realloc_calls + memalign_calls


class Walker:
    """Walks the player right and left in turns of 2.5 s (from x = 400 the camera scrolls all the
    way), so that each frame at the cap differs from the one before: the client shows a frame
    that has not changed more cheaply than one that has, and a player standing still is not the
    only case to measure."""

    def __init__(self, display):
        self.env = dict(os.environ, DISPLAY=display)
        window = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "^Brackenreach$"],
                                env=self.env, capture_output=True, text=True, timeout=START_TIMEOUT).stdout.split()[0]
        subprocess.run(["xdotool", "windowfocus", "--sync", window], env=self.env, check=True, timeout=START_TIMEOUT)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._walk, daemon=True)
        self._thread.start()

    def _walk(self):
        for key in itertools.cycle(("Right", "Left")):
            subprocess.run(["xdotool", "keydown", key], env=self.env, check=True)
            stopped = self._stop.wait(2.5)
            subprocess.run(["xdotool", "keyup", key], env=self.env, check=True)
            if stopped:
                return

    def stop(self):
        self._stop.set()
        self._thread.join()


class PadWalker:
    """Walks the player with a pad's stick, right and left in turns of 2.5 s as Walker does with
    the keys: the stick's x axis full over, written in the Linux joystick protocol (struct
    js_event) into the FIFO that SDL_JOYSTICK_DEVICE names, which classic SDL 1.2 reads as a pad
    of two axes."""

    def __init__(self, device):
        self._device = device
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._walk, daemon=True)
        self._thread.start()

    def _walk(self):
        for value in itertools.cycle((32767, -32767)):
            os.write(self._device, struct.pack("<IhBB", 0, value, 2, 0))
            if self._stop.wait(2.5):
                os.write(self._device, struct.pack("<IhBB", 0, 0, 2, 0))
                return

    def stop(self):
        self._stop.set()
        self._thread.join()


class Bench:
    def __init__(self, build, warmup, measure, fullscreen, scales=(1,), pad=False):
        build = os.path.abspath(build)  # the programs run in scratch working directories
        self.build = build
        self.warmup = warmup
        self.measure = measure
        self.fullscreen = fullscreen
        self.programs = {"client": os.path.join(build, "brackenreach"), "baseline": os.path.join(build, "baseline")}
        self.scales = {}  # program -> screen_scale it runs at (1 when not named)
        self.walking = set()  # programs whose player walks (at the cap only)
        for scale in scales:
            if scale != 1:
                self.programs["client x%d" % scale] = self.programs["client"]
                self.scales["client x%d" % scale] = scale
        if len(scales) > 1:
            for scale in scales:
                name = "client walking" if scale == 1 else "client x%d walking" % scale
                self.programs[name] = self.programs["client"]
                self.scales[name] = scale
                self.walking.add(name)
        # A pad's walk beside the keys' at scale 1: the same passes, the directions from the pad.
        self.pad_walking = set()
        if pad:
            for name in ("client walking", "client pad walking"):
                self.programs[name] = self.programs["client"]
                self.scales[name] = 1
                self.walking.add(name)
            self.pad_walking.add("client pad walking")
        self.counter_lib = os.path.join(build, "liballoc_counter.so")
        self.sink = Sink()
        self.xvfb = Xvfb(size="2048x1536x24" if max(scales) > 1 else "1024x768x24")  # room for 3x
        self.scratch = tempfile.mkdtemp(prefix="brackenreach-bench-")
        self.workdirs = {(cap, scale): self._workdir(cap, scale) for cap in (0, 1) for scale in set(scales) | {1}}
        self.pad_device = None
        if pad:
            path = os.path.join(self.scratch, "js0")
            os.mkfifo(path)
            self.pad_device = (path, os.open(path, os.O_RDWR))  # a reader of its own: opening never waits

    def _workdir(self, cap, scale):
        path = os.path.join(self.scratch, "cap%d-scale%d" % (cap, scale))
        shutil.copytree(os.path.join(self.build, "game"), path)
        with open(os.path.join(path, "config.ini"), "w") as f:
            f.write("[video]\nframes_per_second = 60\nenable_fps_cap = %d\nscreen_fullscreen = %d\nscreen_scale = %d\n"
                    "[network]\nserver_ip = 127.0.0.1\nserver_port = %d\n"
                    % (cap, self.fullscreen, scale, self.sink.port))
        return path

    def close(self):
        self.sink.close()
        self.xvfb.close()
        if self.pad_device:
            os.close(self.pad_device[1])
        shutil.rmtree(self.scratch, ignore_errors=True)

    def screenshot(self, path):
        """The game's window as the player sees it (the whole screen when full screen)."""
        env = dict(os.environ, DISPLAY=self.xvfb.name)
        target = "root"
        if not self.fullscreen:
            target = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Brackenreach$"], env=env,
                                    capture_output=True, text=True).stdout.split()[0]
        subprocess.run(["import", "-window", target, path], env=env, check=True)

    def run(self, program, cap, env=None, count_allocs=False, shot=None):
        """One run: start, wait for the first update, warm up, measure a window, stop; with shot,
        a screenshot to that path after the window."""
        env = dict(os.environ, SDL_AUDIODRIVER="dummy", SDL_VIDEODRIVER="x11", DISPLAY=self.xvfb.name,
                   **(env or {}))
        counter_file = None
        if count_allocs:
            counter_file = os.path.join(self.scratch, "allocs")
            env["LD_PRELOAD"] = self.counter_lib
            env["ALLOC_COUNTER_FILE"] = counter_file
        if program in self.pad_walking:
            env["SDL_JOYSTICK_DEVICE"] = self.pad_device[0]
        before = len(self.sink.connections)
        walker = None
        started = time.monotonic()
        proc = subprocess.Popen([self.programs[program]], cwd=self.workdirs[(cap, self.scales.get(program, 1))], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        try:
            conn = self.sink.next_connection(before, START_TIMEOUT)
            if conn is None:
                raise RuntimeError("%s never connected to the sink" % program)
            try:
                self.sink.wait_for_bytes(4, conn, START_TIMEOUT)
            except AssertionError:
                raise RuntimeError("%s sent no update" % program) from None
            first_update = self.sink.update_times(conn)[0] - started
            if program in self.pad_walking:
                walker = PadWalker(self.pad_device[1])
            elif program in self.walking:
                walker = Walker(self.xvfb.name)
            time.sleep(self.warmup)
            xvfb_pid = self.xvfb.proc.pid
            t1 = time.monotonic()
            cpu1, xcpu1 = cpu_seconds(proc.pid), cpu_seconds(xvfb_pid)
            allocs1, n1 = (read_alloc_counters(counter_file), len(self.sink.update_times(conn))) if count_allocs \
                else (None, None)
            time.sleep(self.measure)
            allocs2, n2 = (read_alloc_counters(counter_file), len(self.sink.update_times(conn))) if count_allocs \
                else (None, None)
            cpu2, xcpu2 = cpu_seconds(proc.pid), cpu_seconds(xvfb_pid)
            t2 = time.monotonic()
            updates = self.sink.updates_between(t1, t2, conn)
            times = [when for when, _ in updates]
            passes = len(updates)
            result = {
                "rate": passes / (t2 - t1),
                # Less sensitive than the rate to other load on the machine: CPU spent, not waited.
                "cpu_per_pass": ((cpu2 - cpu1) + (xcpu2 - xcpu1)) / max(1, passes),
                "cpu": (cpu2 - cpu1) / (t2 - t1),
                "xvfb_cpu": (xcpu2 - xcpu1) / (t2 - t1),
                "first_update": first_update,
                "hwm": status_field(proc.pid, "VmHWM"),
                "threads": status_field(proc.pid, "Threads"),
                "intervals": [b - a for a, b in zip(times, times[1:])],
            }
            xs = [x for _, x in updates]
            if walker is not None and (not xs or max(xs) - min(xs) < 128):
                raise RuntimeError("%s did not walk: x from %s to %s" % (program, min(xs, default=None),
                                                                         max(xs, default=None)))
            if shot:
                self.screenshot(shot)
                result["shot"] = shot
            if count_allocs:
                result["allocs_per_pass"] = (allocs2 - allocs1) / max(1, n2 - n1)
                result["alloc_passes"] = n2 - n1
            return result
        finally:
            if walker is not None:
                walker.stop()
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def median_and_range(values, fmt):
    if not values:
        return "n/a"
    text = fmt % statistics.median(values)
    if len(values) > 1:
        text += " (" + fmt % min(values) + " .. " + fmt % max(values) + ")"
    return text


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(q * (len(ordered) - 1))))]


def plot_pacing(out_dir, pacing):
    if shutil.which("gnuplot") is None:
        return "gnuplot missing: no plot"
    files = {}
    for program, intervals in pacing.items():
        path = os.path.join(out_dir, "pacing_%s.dat" % program)
        ordered = sorted(intervals)
        with open(path, "w") as f:
            for i, v in enumerate(ordered):
                f.write("%.4f %.5f\n" % (v * 1000, (i + 1) / len(ordered)))
        files[program] = path
    png = os.path.join(out_dir, "frame_pacing.png")
    script = "\n".join([
        "set terminal png size 900,520",
        "set output '%s'" % png,
        "set title 'Intervals between updates at the sink, cap 60 (default SDL 1.2)'",
        "set xlabel 'interval (ms)'",
        "set ylabel 'fraction of intervals <= x'",
        "set key bottom right",
        "set grid",
        "set xrange [0:40]",
        "plot " + ", ".join("'%s' using 1:2 with steps lw 2 title '%s'" % (path, program)
                            for program, path in files.items()),
    ])
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return png


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--warmup", type=float, default=1.0, help="seconds after the first update")
    parser.add_argument("--measure", type=float, default=4.0, help="seconds per measuring window")
    parser.add_argument("--no-compat", action="store_true",
                        help="only the SDL 1.2 the programs load by default: no sdl12-compat beside it")
    parser.add_argument("--fullscreen", action="store_true", help="screen_fullscreen = 1")
    parser.add_argument("--client", help="client binary to measure instead of BUILD/brackenreach "
                        "(e.g. one built from an older commit, for a before/after figure)")
    parser.add_argument("--scales", default="1",
                        help="screen_scale values the client also runs at, comma-separated (e.g. 1,2,3); "
                        "each gets rows of its own with its ratio to scale 1, standing and walking at the cap")
    parser.add_argument("--pad", action="store_true",
                        help="also walk with a pad (classic SDL 1.2's joystick device, a FIFO) beside the keys, "
                        "at scale 1: CPU at the cap and heap calls per pass of each")
    parser.add_argument("--before", help="another client binary (one built from an older commit) measured "
                        "beside the client in the same rounds, at its own default settings")
    args = parser.parse_args()

    scales = sorted({int(v) for v in args.scales.split(",")} | {1})
    bench = Bench(args.build, args.warmup, args.measure, 1 if args.fullscreen else 0, scales, args.pad)
    if args.client:
        bench.programs["client"] = os.path.abspath(args.client)
        for name in bench.scales:
            bench.programs[name] = bench.programs["client"]
    if args.before:
        bench.programs["before"] = os.path.abspath(args.before)
    extra = [p for p in bench.programs if p not in ("client", "baseline")]  # compared with the client
    runtimes = setups(bench.programs["client"], args.no_compat)
    base = runtimes[0][0]  # the default runtime: the rows without a runtime's name
    if args.pad and base != CLASSIC:
        parser.error("--pad needs classic SDL 1.2 as the default runtime (its joystick device)")
    progs = ("client", "baseline") + tuple(extra)
    figures = {}  # (runtime, cap, program) -> list of run results

    def record(key, result):
        figures.setdefault(key, []).append(result)

    try:
        for r in range(args.rounds):
            for lib, env in runtimes:
                for cap in (0, 1):
                    for program in progs:
                        if cap == 0 and program in bench.walking:
                            continue  # uncapped, the walk changes the frame once in some 30 passes
                        if program in bench.pad_walking and lib != CLASSIC:
                            continue  # sdl12-compat reads pads through SDL 2, which wants evdev
                        print("round %d/%d: %s, %s, cap %s" % (r + 1, args.rounds, program, lib,
                                                                "60" if cap else "off"),
                              file=sys.stderr, flush=True)
                        shot = None
                        if r == 0 and cap == 1 and program not in bench.walking:
                            shot = os.path.join(bench.build, "shot-%s-%s.png" % (program, lib.replace(" ", "-")))
                        record((lib, cap, program), bench.run(program, cap, env=env, shot=shot))
        allocs = {}
        for program in progs[:2] + tuple(bench.scales):
            print("allocation count: %s" % program, file=sys.stderr, flush=True)
            allocs[program] = bench.run(program, 0, count_allocs=True)
    finally:
        bench.close()

    def series(lib, cap, program, field):
        return [run[field] for run in figures.get((lib, cap, program), [])]

    def ratios(lib, cap, field):
        return [c / b for c, b in zip(series(lib, cap, "client", field), series(lib, cap, "baseline", field)) if b]

    rows = []

    def row(name, lib, cap, field, fmt, scale=1.0, target=""):
        c = [v * scale for v in series(lib, cap, "client", field)]
        b = [v * scale for v in series(lib, cap, "baseline", field)]
        rows.append((name, median_and_range(c, fmt), median_and_range(b, fmt),
                     median_and_range(ratios(lib, cap, field), "%.3f"), target))

    row("passes/s, cap off", base, 0, "rate", "%.0f", target=">= 0.95")
    row("CPU s per wall s, cap 60", base, 1, "cpu", "%.4f", target="<= 1.1")
    row("Xvfb CPU s per wall s, cap 60", base, 1, "xvfb_cpu", "%.4f")
    row("Xvfb CPU s per wall s, cap off", base, 0, "xvfb_cpu", "%.3f")
    row("CPU s per wall s, cap off", base, 0, "cpu", "%.3f")
    row("CPU ms per pass incl. Xvfb, cap off", base, 0, "cpu_per_pass", "%.3f", scale=1000.0)
    row("exec to first update (ms)", base, 1, "first_update", "%.1f", scale=1000.0)
    row("peak RSS VmHWM (KiB), cap 60", base, 1, "hwm", "%.0f")
    row("threads, cap 60", base, 1, "threads", "%.0f")
    row("passes/s, cap 60", base, 1, "rate", "%.2f")
    a_b = allocs["baseline"]
    for program in ("client",) + tuple(bench.scales):
        a_c = allocs[program]
        rows.append(("%sheap calls per pass, cap off" % ("" if program == "client" else program + ": "),
                     "%.3f (%d passes)" % (a_c["allocs_per_pass"], a_c["alloc_passes"]),
                     "%.3f (%d passes)" % (a_b["allocs_per_pass"], a_b["alloc_passes"]), "", "0 from our code"))
    pacing = {}
    for program in progs:
        intervals = [i for run in figures[(base, 1, program)] for i in run["intervals"]]
        pacing[program] = intervals
    for label, q in (("pacing median (ms), cap 60", 0.5), ("pacing p99 (ms), cap 60", 0.99), ("pacing max (ms), cap 60", 1.0)):
        c = percentile(pacing["client"], q) * 1000
        b = percentile(pacing["baseline"], q) * 1000
        rows.append((label, "%.2f" % c, "%.2f" % b, "%.3f" % (c / b), ""))
    reference = figures[(base, 1, "client")][0]["shot"]
    for lib, _ in runtimes:
        prefix = "" if lib == base else lib + ": "
        if lib != base:
            row(prefix + "passes/s, cap off", lib, 0, "rate", "%.0f", target=">= 0.95")
            row(prefix + "CPU s per wall s, cap 60", lib, 1, "cpu", "%.4f", target="<= 1.1")
            row(prefix + "CPU ms per pass incl. Xvfb, cap off", lib, 0, "cpu_per_pass", "%.3f", scale=1000.0)
            row(prefix + "Xvfb CPU s per wall s, cap 60", lib, 1, "xvfb_cpu", "%.4f")
            row(prefix + "exec to first update (ms)", lib, 1, "first_update", "%.1f", scale=1000.0)
            row(prefix + "peak RSS VmHWM (KiB), cap 60", lib, 1, "hwm", "%.0f")
            row(prefix + "threads, cap 60", lib, 1, "threads", "%.0f")
        differing = [pixels_differing(reference, figures[(lib, 1, p)][0]["shot"]) for p in progs[:2]]
        rows.append((prefix + "pixels differing from the %s client's screenshot" % base,
                     str(differing[0]), str(differing[1]), "", "0"))
    for lib, _ in runtimes[1:]:
        for program in progs:
            for name, cap, field, target in (("passes/s, cap off", 0, "rate", ""),
                                             ("CPU, cap 60", 1, "cpu", "<= 1.5"),
                                             ("peak RSS, cap 60", 1, "hwm", "<= 1.3")):
                if (cap == 0 and program in bench.walking) or program in bench.pad_walking:
                    continue
                ours, theirs = series(lib, cap, program, field), series(base, cap, program, field)
                rows.append(("%s: %s/%s %s" % (program, lib, base, name), "", "",
                             median_and_range([b / a for a, b in zip(theirs, ours)], "%.3f"),
                             target if program == "client" and lib == COMPAT else ""))
    # The client at other scales, and the client of before, each against the client in the same
    # round (scale 1): CPU at the cap and the pass rate uncapped. A walking client is set against
    # the client walking at scale 1, and that one against the client standing.
    for program in extra:
        scale = bench.scales.get(program, 1)
        walking = program in bench.walking
        against = "client walking" if walking and (scale != 1 or program in bench.pad_walking) else "client"
        for lib, _ in runtimes:
            if program in bench.pad_walking and lib != CLASSIC:
                continue
            prefix = "" if lib == base else lib + ": "
            for name, cap, field, fmt, target in (
                    ("passes/s, cap off", 0, "rate", "%.0f", ""),
                    ("CPU s per wall s, cap 60", 1, "cpu", "%.4f",
                     {"before": "noise", "client walking": ""}.get(program, {2: "<= 1.5", 3: "<= 2"}.get(scale, ""))),
                    ("Xvfb CPU s per wall s, cap 60", 1, "xvfb_cpu", "%.4f", "")):
                if cap == 0 and walking:
                    continue
                ours = series(lib, cap, program, field)
                theirs = series(lib, cap, against, field)
                rows.append(("%s%s: %s (ratio: to the %s)" % (prefix, program, name, against),
                             median_and_range(ours, fmt), "",
                             median_and_range([o / c for o, c in zip(ours, theirs) if c], "%.3f"), target))
    png = plot_pacing(args.build, pacing)

    header = ("figure", "client", "baseline", "client/baseline", "target")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(5)]
    line = "| " + " | ".join("%-*s" % (w, h) for w, h in zip(widths, header)) + " |"
    print("Client vs baseline: %d alternating rounds, %.1f s warm-up, %.1f s windows; median (min .. max); %s; "
          "runtimes: %s" % (args.rounds, args.warmup, args.measure, "full screen" if args.fullscreen else "windowed",
                            ", ".join(lib for lib, _ in runtimes)))
    print(line)
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print("| " + " | ".join("%-*s" % (w, v) for w, v in zip(widths, r)) + " |")
    print("frame pacing plot: %s" % png)


if __name__ == "__main__":
    main()
