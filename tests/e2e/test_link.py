"""The client's stream to the game server, checked byte for byte by a peer on 127.0.0.1."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (UNRESOLVABLE, Sink, Workdir, free_port, network_config, run_client, split_stream,  # noqa: E402
                     start_game_server, stop_game_server)


def play(config, until_bytes=40, sink=None):
    """Runs the client until sink has until_bytes (or ten passes' time), then quits it."""
    with Workdir(config=config) as wd:
        game = run_client(wd)
        try:
            if sink is not None and until_bytes:
                sink.wait_for_bytes(until_bytes)
            else:
                game.wait_for_line("Loading image: img/background3.png")
            status = game.stop()
        finally:
            game.kill()
        return game, status


class LinkTest(unittest.TestCase):
    def test_idle_player_sends_400_every_pass_then_exit_and_zero(self):
        with Sink() as server:
            game, status = play(network_config(server.port), sink=server)
            data = server.wait_for_close()
        self.assertEqual(0, status)
        self.assertEqual(b"exit\0", data[-5:])
        self.assertEqual(0, (len(data) - 5) % 4, "4 x N + 5 bytes")
        xs, goodbye, rest = split_stream(data)
        self.assertTrue(goodbye)
        self.assertEqual(b"", rest)
        self.assertGreaterEqual(len(xs), 10)
        self.assertEqual({400}, set(xs))
        self.assertEqual(b"\x00\x00\x01\x90", data[:4])
        self.assertNotIn("SDLNet_TCP_Send", "\n".join(game.lines))

    def test_port_is_narrowed_to_16_bits_but_logged_as_configured(self):
        with Sink() as server:
            configured = 65536 + server.port
            game, status = play(network_config(configured), sink=server)
            self.assertEqual(b"exit\0", server.wait_for_close()[-5:])
        self.assertEqual(0, status)
        self.assertIn("Connecting to server 127.0.0.1 on port %d" % configured, game.lines)
        self.assertIn("Connected successfully!", game.lines)

    def test_no_server_logs_the_failure_and_the_game_goes_on_silently(self):
        rows = [
            (network_config(free_port()), "SDLNet_TCP_Open: "),
            (network_config(1337, host=UNRESOLVABLE), "SDLNet_ResolveHost: "),
        ]
        for config, failure in rows:
            with self.subTest(failure=failure):
                game, status = play(config)
                self.assertEqual(0, status)
                failed = [l for l in game.lines if l.startswith(failure)]
                self.assertEqual(1, len(failed), game.lines)
                self.assertNotIn("Connected successfully!", game.lines)
                # Updates and goodbye have nowhere to go and are skipped without a word.
                self.assertNotIn("SDLNet_TCP_Send", "\n".join(game.lines))
                self.assertEqual("Cleaning up ...", game.lines[-1])

    def test_server_gone_mid_game_does_not_end_the_game(self):
        for behaviour in ("close_after", "reset"):
            with self.subTest(behaviour=behaviour), Sink(behaviour, close_after=40) as server:
                with Workdir(config=network_config(server.port)) as wd:
                    game = run_client(wd)
                    try:
                        server.wait_for_bytes(40)
                        # Keep playing well past the loss, then quit.
                        game.wait_for_line("Loading image: img/background3.png")
                        import time
                        time.sleep(1.0)
                        self.assertIsNone(game.proc.poll(), "the client ended with the server")
                        status = game.stop()
                    finally:
                        game.kill()
                self.assertEqual(0, status)
                self.assertTrue(any(l.startswith("SDLNet_TCP_Send: ") for l in game.lines), game.lines)
                self.assertEqual("Cleaning up ...", game.lines[-1])


class AgainstOurServerTest(unittest.TestCase):
    def test_two_clients_each_say_goodbye_with_their_updates(self):
        server = start_game_server()
        try:
            games = []
            for _ in range(2):
                wd = Workdir(config=network_config(server.port))
                self.addCleanup(wd.cleanup)
                games.append(run_client(wd))
            for game in games:
                self.addCleanup(game.kill)
                game.wait_for_line("Loading image: img/background3.png")
            server.wait_for_count(r"^joined #\d+ 127\.0\.0\.1:", 2)
            for game in games:
                self.assertEqual(0, game.stop())
            goodbyes = server.wait_for_count(r"^goodbye #\d+ updates=\d+ last_x=400$", 2)
        finally:
            lines = stop_game_server(server)
        self.assertEqual(2, len(goodbyes), lines)
        self.assertEqual([], [l for l in lines if l.startswith("dropped")])
        for line in goodbyes:
            self.assertGreater(int(line.split("updates=")[1].split()[0]), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
