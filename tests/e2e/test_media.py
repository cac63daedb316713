"""Pictures and music that are missing, as a player who lost a file would meet them."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Sink, Workdir, network_config, run_client  # noqa: E402
from harness import main  # noqa: E402


class MissingAssetsTest(unittest.TestCase):
    def test_missing_music_ends_with_status_1_and_no_clean_up(self):
        with Sink() as server, Workdir(config=network_config(server.port), drop=["audio/softworld.wav"]) as wd:
            game = run_client(wd)
            status = game.wait()
            self.assertEqual(1, status)
            self.assertEqual("Loading image: img/background3.png ... done", game.lines[-1])
            self.assertNotIn("Cleaning up ...", game.lines)
            # The first pass stops before its position update: nothing, not even a goodbye.
            self.assertEqual(b"", server.received())

    def test_missing_background_leaves_its_line_open_and_the_game_runs(self):
        with Sink() as server, Workdir(config=network_config(server.port), drop=["img/background3.png"]) as wd:
            game = run_client(wd)
            try:
                server.wait_for_bytes(4 * 10)  # ten passes: the game is running
                self.assertEqual(0, game.stop())
            finally:
                game.kill()
            self.assertEqual(["Loading image: img/player2.png ... done",
                              "Loading image: img/background3.png ... Cleaning up ..."], game.lines[-2:])

    def test_missing_sprite_and_font_still_run(self):
        for dropped in (["img/player2.png"], ["calibri.ttf"], ["img", "calibri.ttf"]):
            with self.subTest(dropped=dropped), Sink() as server, \
                    Workdir(config=network_config(server.port), drop=dropped) as wd:
                game = run_client(wd)
                try:
                    server.wait_for_bytes(4 * 10)
                    self.assertEqual(0, game.stop())
                finally:
                    game.kill()
                self.assertTrue(game.lines[-1].endswith("Cleaning up ..."), game.lines)


if __name__ == "__main__":
    main()
