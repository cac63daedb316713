"""Start-up and shut-down of the real client: the log, the exit status, the window."""

import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Sink, Workdir, Xvfb, network_config, run_client, split_stream  # noqa: E402
from harness import main  # noqa: E402

NORMAL_LOG = [
    "Loading config file: config.ini",
    "Config loaded!",
    "Initializing ...",
    "Using video mode: 640x480 at 32 bits per pixel",
    "Connecting to server 127.0.0.1 on port {port}",
    "Connected successfully!",
    "Loading image: img/player2.png ... done",
    "Loading image: img/background3.png ... done",
    "Cleaning up ...",
]


class StartupTest(unittest.TestCase):
    def run_until_quit(self, workdir, **kw):
        game = run_client(workdir, **kw)
        try:
            game.wait_for_line("Loading image: img/background3.png")
            return game.lines, game.stop()
        finally:
            game.kill()

    def test_normal_run_logs_every_step_in_order(self):
        with Sink() as server, Workdir(config=network_config(server.port)) as wd:
            lines, status = self.run_until_quit(wd)
            self.assertEqual([l.format(port=server.port) for l in NORMAL_LOG], lines)
            self.assertEqual(0, status)

    def test_no_config_file_runs_on_defaults(self):
        with Workdir(drop=["config.ini"]) as wd:
            lines, status = self.run_until_quit(wd)
        self.assertEqual(0, status)
        self.assertEqual(["Loading config file: config.ini", "Config loaded!", "Initializing ...",
                          "Using video mode: 640x480 at 32 bits per pixel",
                          "Connecting to server localhost on port 1337"], lines[:5])
        self.assertEqual("Cleaning up ...", lines[-1])

    def test_failed_start_up_ends_quietly_with_status_0(self):
        # Each row: settings, then the log's last lines (None: only the final message).
        rows = [
            ({"video": {"screen_bpp": 7}}, "Using video mode: 640x480 at 7 bits per pixel"),
            ({"video": {"screen_bpp": 15}}, "Using video mode: 640x480 at 15 bits per pixel"),
            ({"video": {"screen_width": -1}}, "Using video mode: -1x480 at 32 bits per pixel"),
            ({"video": {"screen_width": 65536}}, "Using video mode: 65536x480 at 32 bits per pixel"),
            ({"video": {"screen_width": 40000, "screen_height": 40000, "screen_bpp": 24}},
             "Using video mode: 40000x40000 at 24 bits per pixel"),
            ({"audio": {"audio_frequency": -1}}, "Initializing ..."),
            ({"audio": {"audio_channels": -1}}, "Initializing ..."),
            ({"audio": {"audio_chunksize": -1024}}, "Initializing ..."),
        ]
        for config, before in rows:
            with self.subTest(config=config), Workdir(config=config) as wd:
                game = run_client(wd)
                status = game.wait()
                self.assertEqual(0, status, game.stderr)
                self.assertEqual([before, "Error while initializing!"], game.lines[-2:])
                self.assertNotIn("Cleaning up ...", game.lines)

    def test_ignored_sigint_stays_ignored_and_sigterm_still_quits(self):
        with Sink() as server, Workdir(config=network_config(server.port)) as wd:
            game = run_client(wd, ignored_signals=(signal.SIGINT,))
            try:
                game.wait_for_line("Loading image: img/background3.png")
                sent = len(server.wait_for_bytes(4 * 5))
                game.signal(signal.SIGINT)
                server.wait_for_bytes(sent + 4 * 30)  # still running, many passes later
                self.assertIsNone(game.proc.poll())
                self.assertEqual(0, game.stop())
            finally:
                game.kill()
            self.assertEqual("Cleaning up ...", game.lines[-1])
            self.assertTrue(split_stream(server.wait_for_close())[1], "said goodbye")

    def test_frame_cap_without_a_rate_runs_uncapped(self):
        with Workdir(config={"video": {"frames_per_second": 0, "enable_fps_cap": 1}}) as wd:
            lines, status = self.run_until_quit(wd)
        self.assertEqual(0, status)
        self.assertEqual("Cleaning up ...", lines[-1])


class WindowTest(unittest.TestCase):
    def test_window_has_caption_and_size_and_closes_on_request(self):
        with Xvfb() as x, Workdir(config={"video": {"screen_width": 800, "screen_height": 600}}) as wd:
            game = run_client(wd, display=x)
            try:
                wid = x.find_window()
                self.assertEqual("Brackenreach", x.window_title(wid))
                self.assertEqual((800, 600), x.window_size(wid))
                x.close_window(wid)
                self.assertEqual(0, game.wait())
                self.assertEqual("Cleaning up ...", game.lines[-1])
            finally:
                game.kill()

    def test_oversized_window_is_refused_not_killed_by_x(self):
        with Xvfb() as x, Workdir(config={"video": {"screen_width": 65536}}) as wd:
            game = run_client(wd, display=x)
            self.assertEqual(0, game.wait())
            self.assertEqual("Error while initializing!", game.lines[-1])
            self.assertNotIn("X Error", game.stderr)


if __name__ == "__main__":
    main()
