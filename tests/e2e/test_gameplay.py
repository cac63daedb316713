"""The game on a real X display: what the player sees and how the arrow keys move them, on
every SDL 1.2 runtime here (sdl12-compat draws and reads the keyboard through SDL 2)."""

import itertools
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (CLASSIC, COMPAT, GAME_DIR, X_TOOL, Image, Sink, Workdir, Xvfb, network_config,  # noqa: E402
                     run_client, sdl_runtimes, split_stream, start_game_server, stop_game_server, walk_held)
from harness import main  # noqa: E402

PLAYER = (400, 300)
MAP = (1280, 960)
SCREEN = (1024, 768)  # Xvfb's: what a window size of 0 x 0 gets


def camera_for(window):
    """The camera's corner for the player at PLAYER in a window of that size: centred on the
    sprite, clamped to the map."""
    return tuple(max(0, min(p + 16 - w // 2, m - w)) for p, w, m in zip(PLAYER, window, MAP))


class GameplayTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.map = Image.load(os.path.join(GAME_DIR, "img", "background3.png"))
        cls.sprite = Image.load(os.path.join(GAME_DIR, "img", "player2.png"), alpha=True)

    def start(self, x, config=None, env=None):
        server = Sink()
        self.addCleanup(server.close)
        wd = Workdir(config=network_config(server.port, **(config or {})))
        self.addCleanup(wd.cleanup)
        game = run_client(wd, env=env, display=x)
        self.addCleanup(game.kill)
        wid = x.find_window()
        server.wait_for_bytes(4 * 5)
        return server, game, wid

    def test_first_frame_shows_map_sprite_and_label_where_the_camera_puts_them(self):
        # On sdl12-compat the client presents in software (OpenGL would be Mesa's, on the CPU),
        # unless the user chose a render driver: the same pixels either way. A window size of
        # 0 x 0 is the desktop's, and the view follows the window it got.
        runs = []
        for runtime, env in sdl_runtimes():
            runs.append((runtime, env, False, (640, 480)))
            runs.append((runtime, env, False, (0, 0)))
            if runtime == COMPAT:
                runs.append((runtime + "-opengl", dict(env, SDL_RENDER_DRIVER="opengl"), True, (640, 480)))
        for name, env, opengl, size in runs:
            with self.subTest(runtime=name, size=size):
                self.check_first_frame(name, env, opengl, size)

    def test_a_scale_shows_the_same_frame_each_pixel_a_square(self):
        # Scale 1 is the frame the table above checks pixel by pixel. Every other way of showing
        # it must show that very frame, each pixel a square of whole screen pixels: screen_scale
        # 2 and 3; auto, from the screen's size in millimetres (Xvfb's -dpi) or the desktop's
        # Xft.dpi, no larger than the work area holds; full screen on a larger desktop, in its
        # own mode, the picture centred at the largest whole scale, black around it. Row: name,
        # screen_scale (None: full screen), Xvfb's size and -dpi, a property of its root window,
        # the scale expected, what happens before the screenshot (shot_at). sdl12-compat's linear
        # scaling, asked for, must never show.
        large, auto = (2048, 1536), "auto"
        rows = [("2", 2, large, None, None, 2, None), ("3", 3, large, None, None, 3, None),
                ("auto at -dpi 192", auto, large, 192, None, 2, None), ("auto at -dpi 288", auto, large, 288, None, 3, None),
                ("auto at Xft.dpi 192", auto, large, 96, ("RESOURCE_MANAGER", "8s", "Xft.hinting:\t1\nXft.dpi:\t192\n"), 2, None),
                ("auto in a work area too narrow", auto, large, 192, ("_NET_WORKAREA", "32c", "0, 0, 1200, 1500"), 1, None),
                ("auto at -dpi 288 on a small screen", auto, SCREEN, 288, None, 1, None),
                ("2, covered and uncovered", 2, large, None, None, 2, "cover"),
                ("3, walked to the map's edge", 3, large, None, None, 3, "walk"),
                ("2 at 8 bits per pixel", 2, large, None, None, 2, "8 bits"),
                ("full screen", None, (1920, 1080), None, None, 2, None)]
        for runtime, env in sdl_runtimes():
            references = {then: self.shot_at(runtime, env, {}, large, None, None, False, "reference" + ("" if then is None else " " + then), then)
                          for then in (None, "walk", "8 bits")}
            references["cover"] = references[None]
            runs = [(runtime, env) + row for row in rows]
            if runtime == COMPAT:
                env = dict(env, SDL12COMPAT_SCALE_METHOD="linear")
                runs += [(runtime + "-linear", env) + row for row in (rows[0], rows[-1])]
            for name, env, label, setting, size, dpi, root, scale, then in runs:
                with self.subTest(runtime=name, row=label):
                    full = setting is None
                    video = {"screen_fullscreen": 1} if full else {"screen_scale": setting}
                    shot = self.shot_at(name, env, video, size, dpi, root, full, label, then)
                    corner = ((size[0] - 640 * scale) // 2, (size[1] - 480 * scale) // 2) if full else (0, 0)
                    want = references[then].enlarged(scale, full and size, corner)
                    self.assertEqual((want.width, want.height), (shot.width, shot.height))
                    self.assertEqual(0, shot.bytes_differing(want), "bytes differing from the frame enlarged")

    def shot_at(self, runtime, env, video, size, dpi, root, whole_screen, label, then=None):
        """A screenshot of the game: of its window, or the whole screen. then None: standing at
        PLAYER; "cover": another window laid over it and taken away first; "walk": walked left
        into the map's edge first, so that at the end only the sprite's rows change; "8 bits": a
        window of 8 bits per pixel (a palette), standing."""
        with Xvfb(size="%dx%dx24" % size, dpi=dpi) as x:
            if root:
                x.run(["xprop", "-root", "-f", root[0], root[1], "-set", root[0], root[2]])
            if then == "8 bits":
                video = dict(video, screen_bpp=8)
            server, game, wid = self.start(x, {"video": video}, env=env)
            if then == "cover":
                x.run([X_TOOL, "cover", str(wid)])
            if then == "walk":
                x.focus(wid)
                x.key_down("Left")
                deadline = time.monotonic() + 20  # hang guard: the walk takes about 3.1 s
                while split_stream(server.received())[0][-1] != 0:
                    self.assertLess(time.monotonic(), deadline, "never reached the map's edge")
                    time.sleep(0.05)
                x.key_up("Left")
            server.wait_for_bytes(len(server.received()) + 4 * 3)  # passes drawn since, however busy the machine
            time.sleep(0.3)
            path, shot = x.screenshot("root" if whole_screen else wid, "scaled-%s-%s" % (runtime, label.replace(" ", "-")))
            print("screenshot:", path)
            x.close_window(wid)
            self.assertEqual(0, game.wait())
            xs, goodbye, rest = split_stream(server.wait_for_close())
            self.assertEqual((400, True, b""), (xs[0], goodbye, rest))
            if then == "walk":
                self.assertEqual(0, xs[-1])
            else:
                self.assertEqual({400}, set(xs))
        return shot

    def check_first_frame(self, name, env, opengl, size):
        window = size if size != (0, 0) else SCREEN
        camera = camera_for(window)
        with Xvfb(size="%dx%dx24" % SCREEN) as x:
            video = {"screen_width": size[0], "screen_height": size[1]}
            server, game, wid = self.start(x, {"video": video}, env=env)
            time.sleep(0.3)
            with open("/proc/%d/maps" % game.proc.pid) as maps:
                self.assertEqual(opengl, "/libGL" in maps.read(), "OpenGL loaded")
            path, shot = x.screenshot(wid, "first-frame-%s-%dx%d" % ((name,) + window))
            print("screenshot:", path)
            self.assertEqual(window, (shot.width, shot.height))

            # Outside the sprite and label, every pixel is the map's, shifted by the camera.
            sx, sy = PLAYER[0] - camera[0], PLAYER[1] - camera[1]
            label_box = (sx - 60, sy - 32, sx + 92, sy)
            differing = []
            for y in range(0, window[1], 3):
                for x_ in range(0, window[0], 3):
                    in_sprite = sx <= x_ < sx + 32 and sy <= y < sy + 32
                    in_label = label_box[0] <= x_ < label_box[2] and label_box[1] <= y < label_box[3]
                    if not in_sprite and not in_label and shot.pixel(x_, y) != self.map.pixel(x_ + camera[0], y + camera[1]):
                        differing.append((x_, y))
            self.assertEqual([], differing[:10])

            # The sprite: its opaque pixels over the map, its transparent ones leave the map.
            for y in range(32):
                for x_ in range(32):
                    r, g, b, a = self.sprite.pixel(x_, y)
                    want = (r, g, b) if a == 255 else self.map.pixel(sx + x_ + camera[0], sy + y + camera[1])
                    self.assertEqual(want, shot.pixel(sx + x_, sy + y), (x_, y))

            # The label: white glyph pixels centred on the sprite's middle, 16 pixels above its top.
            white = [(x_, y) for y in range(label_box[1], label_box[3]) for x_ in range(label_box[0], label_box[2])
                     if shot.pixel(x_, y) == (255, 255, 255)
                     and self.map.pixel(x_ + camera[0], y + camera[1]) != (255, 255, 255)]
            self.assertTrue(white, "no label pixels")
            xs = [p[0] for p in white]
            ys = [p[1] for p in white]
            self.assertAlmostEqual(sx + 16, (min(xs) + max(xs)) / 2.0, delta=3)
            self.assertAlmostEqual(sy - 16, (min(ys) + max(ys)) / 2.0, delta=4)

            x.close_window(wid)
            self.assertEqual(0, game.wait())
            xs_sent, goodbye, rest = split_stream(server.wait_for_close())
            self.assertTrue(goodbye)
            self.assertEqual({400}, set(xs_sent))

    def test_holding_right_walks_128_pixels_a_second_capped_or_not(self):
        # switcher: a second into the walk another client grabs the keyboard, as a window
        # manager's Alt+Tab switcher does, and Right is let go while it holds it; the release
        # goes to the grabber, so the walk must stop at the grab. Once the switcher has gone, a
        # second walk of a second must go as far as any.
        rows = [(runtime, env, cap, False) for (runtime, env), cap in itertools.product(sdl_runtimes(), (1, 0))]
        rows += [(runtime, env, 1, True) for runtime, env in sdl_runtimes()]
        for runtime, env, cap, switcher in rows:
            with self.subTest(runtime=runtime, enable_fps_cap=cap, switcher=switcher), Xvfb() as x:
                server, game, wid = self.start(x, {"video": {"enable_fps_cap": cap}}, env)
                x.focus(wid)
                x.key_down("Right")
                time.sleep(1.0 if switcher else 2.0)
                if switcher:
                    with subprocess.Popen([X_TOOL, "grab"], env=x.env(), stdin=subprocess.PIPE,
                                          stdout=subprocess.PIPE, text=True) as grab:
                        self.assertEqual("grabbed\n", grab.stdout.readline())
                        at_grab = split_stream(server.received())[0][-1]
                        x.key_up("Right")
                        time.sleep(1.0)
                        grab.stdin.close()
                    time.sleep(0.3)
                    at_release = split_stream(server.received())[0][-1]
                    x.focus(wid)
                    x.key_down("Right")
                    time.sleep(1.0)
                x.key_up("Right")
                time.sleep(0.3)
                x.close_window(wid)
                self.assertEqual(0, game.wait())
                xs, goodbye, _ = split_stream(server.wait_for_close())
                times = server.update_times()[:len(xs)]
                self.assertTrue(goodbye)
                self.assertEqual(400, xs[0])
                self.assertTrue(all(a <= b for a, b in zip(xs, xs[1:])), "x never decreases")
                stops = [400, xs[-1]]
                if switcher:
                    # A second more of walking is 128 px; a pass or two may still go by.
                    self.assertLess(at_release - at_grab, 32, "walked on while the keyboard was grabbed")
                    stops.insert(1, at_release)
                # Speed over each walk as the server saw it: from the last update where it began
                # to the first where it stopped. The client scales each step by the time it
                # measured, so this holds however fast the passes ran or however late a key came.
                for walk, (begun, stopped) in enumerate(zip(stops, stops[1:])):
                    start = max(i for i, v in enumerate(xs) if v == begun)
                    end = min(i for i, v in enumerate(xs) if v == stopped)
                    self.assertGreater(end - start, 10, "walk %d took a handful of passes at least" % walk)
                    speed = (xs[end] - xs[start]) / (times[end] - times[start])
                    print("%s, cap %d%s, walk %d: %.1f px/s over %d passes"
                          % (runtime, cap, ", switcher" if switcher else "", walk, speed, end - start))
                    self.assertGreater(speed, 115, (walk, xs[end] - xs[start], times[end] - times[start]))
                    self.assertLess(speed, 141, (walk, xs[end] - xs[start], times[end] - times[start]))

    def test_wasd_and_keys_bound_in_controls_walk(self):
        # Row: the [controls] section, then each key held in turn (xdotool's name) and where it
        # walks: +1 right, -1 left, 0 nowhere (held for 30 passes), "top" up to the map's top edge,
        # seen on the screen as the sprite drawn in the window's top row.
        rows = [({}, [("d", 1), ("a", -1), ("Left", -1), ("w", "top")]),
                ({"right": "Z, Left Shift", "up": "Page Up"}, [("d", 0), ("z", 1), ("Shift_L", 1), ("w", 0),
                                                                ("Prior", "top")])]
        for (runtime, env), (controls, keys) in itertools.product(sdl_runtimes(), rows):
            with self.subTest(runtime=runtime, controls=controls), Xvfb() as x:
                server, game, wid = self.start(x, {"controls": controls}, env)
                x.focus(wid)
                for key, way in keys:
                    top = way == "top" and (lambda: self.sprite_drawn_at(x.screenshot(wid, "keys-%s-%s" % (runtime, key))[1], 304, 0))
                    x_before, xs = walk_held(server, lambda: x.key_down(key), lambda: x.key_up(key), way, top)
                    if way in (0, "top"):
                        self.assertEqual({x_before}, set(xs), "%s walked sideways" % key)
                x.close_window(wid)
                self.assertEqual(0, game.wait())

    def test_a_pad_walks_with_its_stick_beyond_the_dead_zone(self):
        # Classic SDL 1.2 reads the device SDL_JOYSTICK_DEVICE names as the Linux joystick protocol
        # (struct js_event): a FIFO written so is a pad of two axes, no hat (sdl12-compat's SDL 2
        # wants evdev). Row: the stick's x and y, and the way walked (0: none for 30 passes).
        rows = [(20000, 0, 1), (5000, -4000, 0), (-32767, 0, -1), (-20000, -20000, -1), (0, 0, 0)]
        runtime, env = sdl_runtimes()[0]
        if runtime != CLASSIC:
            self.skipTest("the joystick device is classic SDL 1.2's")
        with tempfile.TemporaryDirectory() as scratch:
            device = os.path.join(scratch, "js0")
            os.mkfifo(device)
            pad = os.open(device, os.O_RDWR)  # a reader of its own: opening never waits
            self.addCleanup(os.close, pad)
            server = Sink()
            self.addCleanup(server.close)
            with Workdir(config=network_config(server.port)) as wd:
                game = run_client(wd, env=dict(env, SDL_JOYSTICK_DEVICE=device))
                self.addCleanup(game.kill)
                game.wait_for_line(lambda line: line == "Using gamepad: " + device)
                server.wait_for_bytes(4 * 5)
                for ax, ay, way in rows:
                    stick = struct.pack("<IhBB", 0, ax, 2, 0) + struct.pack("<IhBB", 0, ay, 2, 1)
                    _, xs = walk_held(server, lambda: os.write(pad, stick), lambda: None, way)
                    if way == 0:
                        # A pass or two may still finish the step before the stick came to rest.
                        self.assertLessEqual(len(set(xs[3:])), 1, (ax, ay))
                game.signal(signal.SIGTERM)
                self.assertEqual(0, game.wait())

    def sprite_drawn_at(self, shot, sx, sy):
        return all(shot.pixel(sx + i, sy + j) == self.sprite.pixel(i, j)[:3]
                   for j in range(32) for i in range(32) if self.sprite.pixel(i, j)[3] == 255)

    def test_our_server_sees_the_walk_and_the_goodbye(self):
        server = start_game_server()
        try:
            with Xvfb() as x, Workdir(config=network_config(server.port)) as wd:
                game = run_client(wd, display=x)
                self.addCleanup(game.kill)
                wid = x.find_window()
                server.wait_for(r"^joined #")
                x.focus(wid)
                x.key_down("Right")
                time.sleep(1.0)
                x.key_up("Right")
                x.close_window(wid)
                self.assertEqual(0, game.wait())
                line = server.wait_for(r"^goodbye #\d+ updates=(\d+) last_x=(\d+)$")
        finally:
            stop_game_server(server)
        self.assertGreater(int(line.group(1)), 0)
        self.assertGreater(int(line.group(2)), 400 + 64)


if __name__ == "__main__":
    main()
