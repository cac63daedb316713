"""Every window-close request must end the game, capped or not, on either SDL 1.2 runtime.

A close is sent the way a window manager sends it (WM_DELETE_WINDOW) and the game must say
goodbye, clean up and exit 0. Kinds of run, the first two repeated to catch an intermittent loss:

- plain: the close comes at a different moment each time (as the window maps, a little later,
  while an arrow key is held, twice in a row);
- burst: the client is held still (SIGSTOP, as a long pass on a busy machine would) while the
  mouse sweeps across the window, then the close follows. On the next pass SDL takes every one
  of those events at once; its queue holds 127, and a close that did not fit used to be dropped;
- chord: Alt+F4 closes in full screen (classic SDL keeps it from the window manager); in a
  window it is the window manager's, and the game runs on;
- destroyed, display gone (xkill's way, the X server killed): status 1, still with the goodbye;
  both with the unloads at the process's end made slow (sdl12-compat unloads SDL 2 there).
"""

import contextlib
import os
import signal
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (EXIT_TIMEOUT, SLOW_UNLOAD, X_TOOL, Sink, Workdir, Xvfb, network_config, preloaded,  # noqa: E402
                     run_client, sdl_runtimes, split_stream)
from harness import main  # noqa: E402

RUNTIMES = sdl_runtimes()

MOTIONS = 1000   # well past SDL's 127-event queue
KINDS = [("plain", 10), ("burst", 10), ("chord", 2), ("destroyed", 1), ("display gone", 1)]  # runs each
RUNS = sum(runs for _, runs in KINDS)  # per runtime and cap setting


def plain_variant(i):
    """(delay before the close in seconds, None: as soon as the window maps, before the first
    pass; hold Right during it; close twice)."""
    delays = (None, 0.0, 0.3, 1.0, 3.0)
    return delays[i % len(delays)], i % 3 == 1, i % 4 == 3


def sweep_args(count):
    args = ["xdotool"]
    for k in range(count):
        args += ["mousemove", str(10 + k % 300), str(10 + (k * 7) % 300)]
    return args


def one_run(x, env, capped, kind, i):
    """Closes the window once; returns None when the game ended properly, else what went wrong."""
    full_screen = kind == "chord" and i == 0
    config = network_config(0, video={"enable_fps_cap": 1 if capped else 0, "screen_fullscreen": int(full_screen)})
    with Sink() as sink, contextlib.ExitStack() as own:
        if kind == "display gone":
            x = own.enter_context(Xvfb())
        if kind in ("destroyed", "display gone"):
            # Slow to unload as the process ends: SDL's threads must have stopped before then.
            env = preloaded(SLOW_UNLOAD, env)
        config["network"]["server_port"] = sink.port
        with Workdir(config=config) as wd:
            game = run_client(wd, env=env, display=x)
            try:
                wid = x.find_window()
                held = False
                if kind == "plain":
                    delay, held, twice = plain_variant(i)
                    if delay is not None:
                        sink.wait_for_bytes(4)  # the loop runs
                    if held:
                        x.focus(wid)
                        x.key_down("Right")
                    time.sleep(delay or 0)
                    x.close_window(wid)
                    if twice:
                        # The first may already have ended the game and taken the window along.
                        x.run([X_TOOL, "close", str(wid)], check=False)
                elif kind == "chord":
                    x.focus(wid)
                    x.run(["xdotool", "key", "alt+F4"])
                    if not full_screen:
                        sink.wait_for_bytes(len(sink.received()) + 40)  # it plays on
                        x.close_window(wid)
                elif kind == "destroyed":
                    sink.wait_for_bytes(4)
                    x.run(["xdotool", "windowclose", str(wid)])
                elif kind == "display gone":
                    sink.wait_for_bytes(4)
                    x.close()
                else:
                    sink.wait_for_bytes(4)
                    game.proc.send_signal(signal.SIGSTOP)
                    try:
                        x.run(sweep_args(MOTIONS))
                        x.close_window(wid)
                    finally:
                        game.proc.send_signal(signal.SIGCONT)
                try:
                    status = game.proc.wait(timeout=EXIT_TIMEOUT)
                except subprocess.TimeoutExpired:
                    game.stop()  # SIGTERM still ends it: the close alone was lost
                    return "close request lost (ended only by SIGTERM)"
                finally:
                    if held:
                        x.key_up("Right")
                game.wait()
            finally:
                game.kill()
            x_error = kind in ("destroyed", "display gone")
            if status != (1 if x_error else 0):
                return "exit status %d, stderr %s" % (status, game.stderr[-500:])
            if not game.lines or (game.lines[-1] == "Cleaning up ...") == x_error:
                return "log ends %r" % game.lines[-2:]
            _, goodbye, rest = split_stream(sink.wait_for_close())
            if not goodbye or rest:
                return "no goodbye (leftover %r)" % rest
    return None


class WindowCloseTest(unittest.TestCase):
    def test_every_close_request_ends_the_game(self):
        results = []  # (runtime, capped, kind, run, problem)
        lock = threading.Lock()

        def runtime_worker(name, env):
            with Xvfb() as x:
                for capped in (True, False):
                    for kind, runs in KINDS:
                        for i in range(runs):
                            try:
                                problem = one_run(x, env, capped, kind, i)
                            except Exception as error:  # noqa: BLE001 - reported with the run
                                problem = "%s: %s" % (type(error).__name__, error)
                            with lock:
                                results.append((name, capped, kind, i, problem))

        threads = [threading.Thread(target=runtime_worker, args=r) for r in RUNTIMES]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

        lost = [r for r in results if r[4] is not None]
        print("window close: %d runs (%s), %d failed" %
              (len(results), ", ".join(n for n, _ in RUNTIMES), len(lost)))
        for name, capped, kind, i, problem in lost:
            print("  %s %s %s #%d: %s" % (name, "capped" if capped else "uncapped", kind, i, problem))
        self.assertEqual(len(RUNTIMES) * 2 * RUNS, len(results))
        self.assertEqual([], lost)


if __name__ == "__main__":
    main()
