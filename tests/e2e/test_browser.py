"""The web build in Debian's headless Chromium, served by our own server: the first frame against
the desktop client's, the walk as the server decodes it, the picture kept while the player stands
and shown again when anything changes it, the goodbye when the tab closes, and the offline game
when the server is gone."""

import os
import re
import shutil
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
# The DevTools client is the demo's and the benchmark's too: it lives with the tools.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from harness import (ARTIFACTS, SOURCE_DIR, Image, Workdir, Xvfb, link_bound, network_config,  # noqa: E402
                     run_client, start_game_server, stop_game_server)
from chromium import CHROMIUM, FIRST_FRAME, PAD  # noqa: E402
from harness import main, skip_or_fail  # noqa: E402

SITE = os.environ.get("BRACKENREACH_WEB_SITE", os.path.join(SOURCE_DIR, "build-web", "site"))
PLAYER = (400, 300)
MAP = (1280, 960)
GOODBYE = r"^goodbye #(\d+) updates=(\d+) last_x=(\d+)$"
# The pictures the page packs, as the web build staged them beside the site.
PICTURES = os.path.join(os.path.dirname(os.path.abspath(SITE)), "game", "img")


def camera_at(player, size):
    """The view's top-left corner in the map: centred on the 32 px sprite, inside the map."""
    return [max(0, min(p + 16 - w // 2, m - w)) for p, w, m in zip(player, size, MAP)]


def in_label_box(x, y, sprite):
    """Whether (x, y) may hold the name label, which the browser draws with its own text code."""
    return sprite[0] - 60 <= x < sprite[0] + 92 and sprite[1] - 32 <= y < sprite[1]


def why_not_runnable():
    if not os.path.exists(os.path.join(SITE, "index.html")):
        return ("no web build at %s (tools/test.sh builds it; by hand: "
                "emcmake cmake -S . -B build-web && cmake --build build-web)" % SITE)
    if not os.access(CHROMIUM, os.X_OK):
        return "Debian's chromium is not installed (tools/setup.sh test installs it)"
    return None


def start_web_server(site=SITE, port=0, args=()):
    """Our server with the page; returns (server, the page's address)."""
    server = start_game_server(["--web-root", site, "--web-port", str(port), *args])
    port = server.wait_for(r"^serving the page at http://127\.0\.0\.1:(\d+)/$").group(1)
    return server, "http://127.0.0.1:%s/" % port


def retry_pause(tab, condition="true"):
    """The seconds of the pause that the page's message announces before it loads again, once
    condition holds in the page."""
    return int(tab.wait_until("%s && (/trying again in (\\d+) s/.exec(document.getElementById('message')"
                              ".textContent) || [])[1]" % condition))


class BrowserTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        why = why_not_runnable()
        if why:
            skip_or_fail(why)
        from chromium import Browser
        cls.browser = Browser()

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()

    def open_game(self, url, settings=None, name="Tester"):
        """A tab with the page loaded; settings (INI text) replace config.ini before Start."""
        tab = self.browser.new_tab(url + "?name=" + name)
        self.addCleanup(tab.close)
        tab.wait_until("document.body.dataset.state == 'ready'")
        if settings is not None:
            tab.evaluate("FS.writeFile('/config.ini', %r)" % settings)
        return tab

    def start(self, tab):
        tab.evaluate("document.getElementById('start').click()", user_gesture=True)
        tab.wait_until(FIRST_FRAME)

    def test_first_frame_equals_the_desktop_clients(self):
        # The label may differ (the browser draws the text); the map and the sprite may not.
        for size in ((640, 480), (320, 240)):
            with self.subTest(size=size):
                video = {"screen_width": size[0], "screen_height": size[1]}
                server, url = start_web_server()
                try:
                    desktop = self.desktop_first_frame(server.port, video, size)
                    tab = self.open_game(url, "[video]\nscreen_width = %d\nscreen_height = %d\n" % size)
                    self.start(tab)
                    # SDL draws on the page's opaque, desynchronized context (docs/performance.md).
                    self.assertEqual([False, True], tab.evaluate(
                        "[document.getElementById('canvas').getContext('2d').getContextAttributes()]"
                        ".map(a => [a.alpha, a.desynchronized])[0]"))
                    path = tab.canvas_png(os.path.join(ARTIFACTS, "browser-first-frame-%dx%d.png" % size))
                    print("screenshot:", path)
                    tab.close()
                finally:
                    stop_game_server(server)
                web = Image.load(path)
                self.assertEqual(size, (web.width, web.height))
                camera = camera_at(PLAYER, size)
                sprite = (PLAYER[0] - camera[0], PLAYER[1] - camera[1])
                differing = [(x, y) for y in range(size[1]) for x in range(size[0])
                             if not in_label_box(x, y, sprite) and web.pixel(x, y) != desktop.pixel(x, y)]
                self.assertEqual([], differing[:10], "%d pixels differ" % len(differing))

    def desktop_first_frame(self, port, video, size):
        with Xvfb() as x, Workdir(config=network_config(port, video=video)) as wd:
            game = run_client(wd, display=x)
            self.addCleanup(game.kill)
            wid = x.find_window()
            game.wait_for_line("Loading image: img/background3.png ... done")
            time.sleep(0.3)
            _, shot = x.screenshot(wid, "desktop-first-frame-%dx%d" % size)
            x.close_window(wid)
            self.assertEqual(0, game.wait())
        return shot

    def test_holding_right_walks_128_pixels_a_second_and_closing_the_tab_says_goodbye(self):
        # The cap off, the frame loop never sleeps: the page must still show frames and take keys.
        for cap in (1, 0):
            with self.subTest(enable_fps_cap=cap):
                server, url = start_web_server()
                try:
                    tab = self.open_game(url, "[video]\nenable_fps_cap = %d\n" % cap)
                    self.start(tab)
                    server.wait_for(r"^joined #\d+ 127\.0\.0\.1:\d+ websocket$")
                    held = self.hold_right(tab, 2.5)
                    time.sleep(0.3)
                    tab.close()
                    goodbye = server.wait_for(GOODBYE, timeout=10)
                    # The page may run a pass after it said goodbye: nothing may follow it.
                    left = server.wait_for(r"^left #\d+ after_goodbye=(\d+) ", timeout=10)
                finally:
                    lines = stop_game_server(server)
                self.assertEqual("0", left.group(1), lines)
                walked = int(goodbye.group(3)) - PLAYER[0]
                print("cap %d: %d px in %.3f s, %s updates" % (cap, walked, held, goodbye.group(2)))
                self.assertGreater(walked / held, 115, lines)
                self.assertLess(walked / held, 141, lines)

    def test_the_canvas_is_enlarged_by_whole_device_pixels(self):
        # The canvas keeps the game's size and CSS enlarges it: what the browser composites must
        # be the canvas's own pixels, each a square of whole device pixels. auto follows the
        # device scale factor, no larger than the window holds, and follows the window as it is
        # resized. Row: screen_scale, device scale factor, viewport (CSS pixels), scale expected.
        rows = (("2", 1, (1400, 1200), 2), ("3", 1, (2000, 1700), 3), ("auto", 1, (2000, 1700), 1),
                ("auto", 1.5, (1400, 1100), 2), ("auto", 2, (1024, 768), 2), ("auto", 3, (1024, 768), 3),
                ("auto", 2, (400, 400), 1))
        server, url = start_web_server()
        try:
            for setting, ratio, viewport, scale in rows:
                with self.subTest(screen_scale=setting, device_scale_factor=ratio, viewport=viewport):
                    tab = self.open_game(url, "[video]\nscreen_scale = %s\n" % setting)
                    metrics = {"width": 1024, "height": 768, "deviceScaleFactor": ratio, "mobile": False}
                    tab.send("Emulation.setDeviceMetricsOverride", metrics)
                    self.start(tab)
                    # Resized once the game runs: the page must follow.
                    metrics.update(width=viewport[0], height=viewport[1])
                    tab.send("Emulation.setDeviceMetricsOverride", metrics)
                    tab.wait_until("document.body.dataset.scale == '%d'" % scale)
                    name = "browser-scale-%s-%s-%dx%d" % ((setting, ratio) + viewport)
                    canvas = Image.load(tab.canvas_png(os.path.join(ARTIFACTS, name + "-canvas.png")))
                    # The box the shot takes may start between device pixels, where the page
                    # never puts the picture: a CSS pixel around it, and the picture in there.
                    path = tab.screenshot(os.path.join(ARTIFACTS, name + ".png"), element="canvas", margin=1)
                    print("screenshot:", path)
                    shown = Image.load(path)
                    tab.close()
                    want = canvas.enlarged(scale)
                    self.assertTrue(any(shown.crop(dx, dy, want.width, want.height).data == want.data
                                        for dx in range(shown.width - want.width + 1)
                                        for dy in range(shown.height - want.height + 1)),
                                    "the screen does not show the canvas enlarged, every pixel")
        finally:
            stop_game_server(server)

    def hold_right(self, tab, seconds, key="ArrowRight", code=39, meanwhile=lambda: None):
        """Holds the right arrow (or key) for at least seconds, running meanwhile once it is down;
        the time it was held on the page's own clock, from the key's press to its release as the
        page handled them (the game's keyboard state changes there), however late a busy machine
        delivered either."""
        tab.evaluate("window.keyTimes = []; if (!window.keyTimesKept) { window.keyTimesKept = true;"
                     " ['keydown', 'keyup'].forEach(function (kind) { window.addEventListener(kind,"
                     " function (e) { window.keyTimes.push([e.type, e.key, performance.now()]); }, true); }); }")
        tab.key("keyDown", key, code)
        meanwhile()
        tab.wait_until("window.keyTimes.length && performance.now() - window.keyTimes[0][2] >= %d"
                       % (seconds * 1000), timeout=seconds + 20)
        tab.key("keyUp", key, code)
        times = tab.wait_until("(function (t) { return t.length >= 2 && t[0][0] == 'keydown' && t[1][0] == 'keyup'"
                               " && t[0][1] == %r && t[1][1] == %r && t; })(window.keyTimes)" % (key, key))
        return (times[1][2] - times[0][2]) / 1000.0

    def test_a_websocket_that_holds_its_sends_is_waited_for_then_given_up(self):
        # Chromium's own buffers took over 17 KB from a peer that stopped reading without its
        # bufferedAmount moving from 0, so a stalled server would take minutes to show there: the
        # page's WebSocket is made to report them full instead. First for a moment that ends 20 ms
        # after the game first asks, on a timer of the page's, which runs only if the game's wait
        # lets the browser run; then for good.
        server, url = start_web_server()
        try:
            tab = self.open_game(url)
            tab.evaluate("(function () { var real = Object.getOwnPropertyDescriptor(WebSocket.prototype,"
                         " 'bufferedAmount').get; window.heldBack = 0; window.briefly = false;"
                         " Object.defineProperty(WebSocket.prototype, 'bufferedAmount', {configurable: true,"
                         " get: function () { if (window.briefly) { window.briefly = false;"
                         " setTimeout(function () { window.heldBack = 0; }, 20); }"
                         " return real.call(this) + window.heldBack; }}); })()")
            self.start(tab)
            server.wait_for(r"^joined #\d+ 127\.0\.0\.1:\d+ websocket$")
            tab.evaluate("window.heldBack = 1 << 20; window.briefly = true")
            tab.wait_until("window.heldBack == 0")
            time.sleep(0.5)
            self.assertEqual([], [line for line in tab.console if line.startswith("SDLNet_TCP_Send")])

            held = time.monotonic()
            tab.evaluate("window.heldBack = 1 << 20")
            line = tab.wait_for_console("SDLNet_TCP_Send: ")
            after = time.monotonic() - held
            print("browser: given up %.2f s after the WebSocket filled: %s" % (after, line))
            self.assertRegex(line, r"^SDLNet_TCP_Send: Server (took no data for 250 ms|fell behind for 1000 ms); "
                                   r"reconnecting$")
            self.assertLess(after, link_bound("stall_limit_ms") / 1000.0 + 3.0)
            # Frames go on: the walk moves the view.
            tab.evaluate("window.before = document.getElementById('canvas').toDataURL()")
            self.hold_right(tab, 0.5)
            tab.wait_until("document.getElementById('canvas').toDataURL() != window.before", timeout=10)
        finally:
            stop_game_server(server)

    def test_the_picture_kept_while_standing_is_shown_again_when_anything_changes_it(self):
        # While the player stands, the page leaves the canvas alone. After a walk right (the map
        # scrolls under the sprite), a walk left into the map's corner (only the sprite and its
        # label move), or someone else clearing or drawing on the canvas, or a lost context
        # restored blank, the canvas must show the player where the server last heard, and the
        # server must get an update every pass. The walk right goes on until the camera is past x
        # 320, where the map is drawn from further left than the canvas's width.
        rows = (("walk right", ("ArrowRight", 39), None, 1),
                ("walk left", ("ArrowLeft", 37), None, -1),
                ("context lost and restored", None, "c.dispatchEvent(new Event('contextlost'));"
                 " CanvasRenderingContext2D.prototype.clearRect.call(c.getContext('2d'), 0, 0, c.width, c.height);"
                 " c.dispatchEvent(new Event('contextrestored'))", 0),
                ("canvas cleared", None, "c.getContext('2d').clearRect(0, 0, c.width, c.height)", 0),
                ("canvas narrowed", None, "c.width = 320", 0),
                ("canvas drawn over", None, "var b = document.createElement('canvas');"
                 " b.getContext('2d').fillRect(0, 0, 99, 99); c.getContext('2d').drawImage(b, 0, 0)", 0))
        kept = "Module.frames.kept >= %d"
        for name, key, script, direction in rows:
            with self.subTest(name):
                server, url = start_web_server()
                try:
                    tab = self.open_game(url)
                    self.start(tab)
                    kept_before = tab.wait_until(kept % 10 + " && Module.frames.kept")
                    if key:
                        self.hold_right(tab, 2.4 if direction > 0 else 1.6, *key)
                    else:
                        tab.evaluate("(function (c) { %s; })(document.getElementById('canvas'))" % script)
                    # Standing again, long enough for passes to be kept after the last drawn one.
                    tab.wait_until(kept % (kept_before + 10))
                    passes = tab.evaluate("Module.frames.drawn + Module.frames.kept")
                    path = tab.canvas_png(os.path.join(ARTIFACTS, "browser-kept-%s.png" % name.replace(" ", "-")))
                    # What the page shows, which reaches the screen by a path of its own.
                    shown = tab.screenshot(os.path.join(ARTIFACTS, "browser-kept-%s-screen.png"
                                                        % name.replace(" ", "-")), element="canvas")
                    tab.close()
                    goodbye = server.wait_for(GOODBYE, timeout=10)
                finally:
                    lines = stop_game_server(server)
                x = int(goodbye.group(3))
                self.assertGreaterEqual(int(goodbye.group(2)), passes, lines)
                if direction > 0:
                    self.assertGreater(camera_at((x, PLAYER[1]), (640, 480))[0], 320, lines)
                elif direction:
                    self.assertGreater(PLAYER[0] - x, 150, lines)
                else:
                    self.assertEqual(PLAYER[0], x, lines)
                shot = Image.load(path)
                self.assertEqual((320 if name == "canvas narrowed" else 640, 480), (shot.width, shot.height))
                self.assert_shows_player_at(shot, (x, PLAYER[1]))
                screen = Image.load(shown)
                self.assertEqual((shot.width, shot.height), (screen.width, screen.height))
                differing = sum(shot.data[i:i + 3] != screen.data[i:i + 3] for i in range(0, len(shot.data), 3))
                self.assertEqual(0, differing, "pixels on the screen that differ from the canvas")

    def test_a_finger_or_a_pad_walks_on_a_phone(self):
        # A phone held either way, touch on, and a pad the page's Gamepad API stands in for, which
        # appears only after the game has started (as a browser lists a pad once a button is
        # pressed). Each row is a list of steps: what the finger, the pad or a key does, then whether the
        # player then walks (each pass draws a new picture) or stands (the picture is kept). The
        # finger goes to game pixels, placed on the canvas from the rectangle it has at the time;
        # the character's middle stays at (320, 240) while the camera follows it. A second finger
        # adds nothing (right and left together would cancel) and walks once the first lifts.
        # Each row ends with the player walked right, then up to the map's top edge, at (x, 0).
        right, left, above = (600, 240), (40, 240), (320, 5)
        touch_rows = [("touchStart", [(right, 1)], "walks"), ("touchStart", [(right, 1), (left, 2)], "walks"),
                      ("touchEnd", [(left, 2)], "walks"), ("touchCancel", [], "stands"),
                      ("touchStart", [(above, 1)], "walks"), ("touchMove", [(above, 1)], "stands"), ("touchEnd", [], "stands")]
        pad_rows = [("pad", "padPlugged = true; pad.buttons[15].pressed = true", "walks"),
                    ("pad", "pad.buttons[15].pressed = false; pad.axes = [0.2, -0.15, 0, 0]", "stands"),
                    ("pad", "pad.axes = [0.95, 0.05, 0, 0]", "walks"),
                    ("pad", "pad.axes = [0, 0, 0, 0]; pad.buttons[12].pressed = true", "walks"), ("pad", "", "stands")]
        # Keys Emscripten numbers apart from SDL 1.2, bound in [controls]: each walks, then stands.
        bound = [("CapsLock", 20), ("NumLock", 144), ("ScrollLock", 145), ("-", 189), ("=", 187), ("9", 105),
                 ("F2", 113), ("ContextMenu", 93), (".", 110)]
        key_rows = [(kind, key, then) for key in bound for kind, then in (("keyDown", "walks"), ("keyUp", "stands"))]
        key_rows += [(kind, ("8", 104), then) for kind, then in (("keyDown", "walks"), ("keyDown", "stands"))]
        keys = "[controls]\nright = Caps Lock, Numlock, Scroll Lock, -, =, [9], F2, Menu\nleft = [.]\nup = [8]\n"
        rows = (("finger, portrait", (390, 844), touch_rows, None), ("finger, landscape", (844, 390), touch_rows, None),
                ("pad", (1024, 768), pad_rows, None), ("keys", (1024, 768), key_rows, keys))
        for name, (width, height), steps, settings in rows:
            with self.subTest(name):
                server, url = start_web_server()
                try:
                    tab = self.open_game(url)
                    tab.send("Page.addScriptToEvaluateOnNewDocument", {"source": PAD.replace("= true", "= false", 1)})
                    tab.send("Emulation.setDeviceMetricsOverride", {"width": width, "height": height,
                                                                    "deviceScaleFactor": 3, "mobile": width < 1000})
                    tab.send("Emulation.setTouchEmulationEnabled", {"enabled": True, "maxTouchPoints": 5})
                    tab.send("Page.reload")
                    tab.wait_until("document.body.dataset.state == 'ready'")
                    if settings:
                        tab.evaluate("FS.writeFile('/config.ini', %r)" % settings)
                    self.start(tab)
                    for kind, act, then in steps:
                        frames = tab.evaluate("window.last = null; [Module.frames.drawn, Module.frames.kept]")
                        if kind == "pad":
                            tab.evaluate(act)
                        elif kind.startswith("key"):
                            tab.key(kind, *act)
                        else:
                            points = [tab.evaluate("(function (c, r) { return [r.left + %d * r.width / c.width,"
                                                   " r.top + %d * r.height / c.height]; })(document.getElementById('canvas'),"
                                                   " document.getElementById('canvas').getBoundingClientRect())" % at)
                                      + [i] for at, i in act]
                            tab.send("Input.dispatchTouchEvent", {"type": kind, "touchPoints": [
                                {"x": x, "y": y, "id": i} for x, y, i in points]})
                        if then == "walks":
                            tab.wait_until("Module.frames.drawn >= %d" % (frames[0] + 40))
                        else:  # some passes may still finish the walk: standing is ten kept in a row
                            tab.wait_until("(function (f) { var now = [f.drawn, f.kept];"
                                           " var still = window.last && now[0] == last[0] && now[1] >= last[1] + 10;"
                                           " if (!window.last || now[0] != last[0]) window.last = now; return still; })"
                                           "(Module.frames)")
                    if kind == "pad":
                        tab.wait_for_console("Using gamepad: Stand-in pad")
                    path = tab.canvas_png(os.path.join(ARTIFACTS, "browser-%s.png" % name.replace(", ", "-")))
                    tab.close()
                    goodbye = server.wait_for(GOODBYE, timeout=10)
                finally:
                    stop_game_server(server)
                x = int(goodbye.group(3))
                self.assertGreater(x, PLAYER[0] + 24)
                self.assert_shows_player_at(Image.load(path), (x, 0))

    def assert_shows_player_at(self, shot, player, window=(640, 480)):
        """The canvas is the map seen from the camera over player, the sprite on it (its alpha
        is 0 or 255), outside the label's box."""
        size = (shot.width, shot.height)
        camera = camera_at(player, window)
        sprite_at = (player[0] - camera[0], player[1] - camera[1])
        background = Image.load(os.path.join(PICTURES, "background3.png"))
        sprite = Image.load(os.path.join(PICTURES, "player2.png"), alpha=True)
        differing = []
        for y in range(size[1]):
            for x in range(size[0]):
                if in_label_box(x, y, sprite_at):
                    continue
                want = background.pixel(x + camera[0], y + camera[1])
                sx, sy = x - sprite_at[0], y - sprite_at[1]
                if 0 <= sx < sprite.width and 0 <= sy < sprite.height and sprite.pixel(sx, sy)[3]:
                    want = sprite.pixel(sx, sy)[:3]
                if shot.pixel(x, y) != want:
                    differing.append((x, y))
        self.assertEqual([], differing[:10], "%d pixels differ from the player at %s" % (len(differing), player))

    def test_a_page_that_did_not_load_in_full_says_so_and_tries_again(self):
        # What a busy server's 503 does to the file, a failed download, or a file spoilt on the way
        # (the runtime aborts): the page must not end the game it never started, must wait longer
        # each time, and loads again once the server has it all.
        # Each row: the file missing (None) or served spoilt, and what the message must begin with.
        rows = (("brackenreach.data", None, ""), ("brackenreach.wasm", None, ""), ("brackenreach.js", None, ""),
                ("brackenreach.wasm", b"\0asm\x02\0\0\0", "The game could not be loaded "))  # the runtime aborts
        for missing, spoilt, said in rows:
            with self.subTest(missing=missing, spoilt=spoilt), tempfile.TemporaryDirectory() as partial:
                for name in os.listdir(SITE):
                    if name != missing:
                        shutil.copy(os.path.join(SITE, name), partial)
                if spoilt:
                    with open(os.path.join(partial, missing), "wb") as f:
                        f.write(spoilt)
                server, url = start_web_server(partial)
                try:
                    tab = self.browser.new_tab(url + "?name=Again")
                    self.addCleanup(tab.close)
                    # From the first reload on, the pauses' random share is pinned at its middle:
                    # the pause must grow from try to try.
                    tab.send("Page.addScriptToEvaluateOnNewDocument",
                             {"source": "Math.random = function () { return 0.5; };"})
                    first = retry_pause(tab)
                    tab.evaluate("window.tried = true")  # gone with the page: the next pause is the reload's
                    second = retry_pause(tab, "!window.tried")
                    print("%s %s: trying again in %d s, then in %d s" % (missing, "spoilt" if spoilt else "missing",
                                                                          first, second))
                    self.assertGreater(second, first)
                    self.assertTrue(tab.evaluate("document.getElementById('message').textContent").startswith(said))
                finally:
                    stop_game_server(server)
                server, _ = start_web_server(port=int(url.rsplit(":", 1)[1].strip("/")))
                try:
                    tab.wait_until("document.body.dataset.state == 'ready'", timeout=40)
                    self.assertEqual("Again", tab.evaluate("document.getElementById('name').value"))
                finally:
                    stop_game_server(server)
        # The runtime used to end itself when the audio preloader's 10 s timer fired.
        time.sleep(11)
        self.assertEqual(["ready", ""], tab.evaluate(
            "[document.body.dataset.state, document.getElementById('message').textContent]"))

    def test_a_busy_servers_refusal_is_tried_again_keeping_the_name(self):
        # A classroom pressing Start at once: the server takes two from this address and refuses
        # the third with 1013; that game plays on, tries again after growing pauses without
        # leaving the page, and gets in once a place is free.
        server, url = start_web_server(args=("--max-per-address", "2"))
        try:
            light = "[video]\nscreen_width = 160\nscreen_height = 120\nframes_per_second = 10\n"
            tabs = [self.open_game(url, light, name="Pupil%d" % i) for i in range(3)]
            for tab in tabs:
                tab.evaluate("document.getElementById('start').click()", user_gesture=True)
            server.wait_for(r"^refused 127\.0\.0\.1:\d+ reason=address_limit max_per_address=2 "
                            r"websocket$", timeout=20)
            busy = "/is busy.*: playing on, reconnecting/.test(document.getElementById('message').textContent)"
            deadline = time.monotonic() + 20
            refused = []
            while not refused and time.monotonic() < deadline:
                refused = [tab for tab in tabs if tab.evaluate(busy)]
                time.sleep(0.1)
            self.assertEqual(1, len(refused), "one page should say it tries again")
            refused[0].evaluate("window.samePage = true")  # gone if the page loads again
            name = refused[0].evaluate("document.getElementById('name').value")
            next(tab for tab in tabs if tab is not refused[0]).close()  # a place comes free
            server.wait_for(GOODBYE, timeout=10)
            refused[0].wait_until("window.samePage && document.body.dataset.state == 'running' && "
                                  "/^Playing again on/.test(document.getElementById('message').textContent)",
                                  timeout=40)
            self.assertEqual(name, refused[0].evaluate("document.getElementById('name').value"))
        finally:
            stop_game_server(server)

    def test_the_link_comes_back_after_a_server_restart(self):
        # The server stopped while the player walks, started again on the same port: the page says
        # "reconnecting", then that it plays again; the new connection's goodbye has the walk.
        message = "document.getElementById('message').textContent"
        server, url = start_web_server()
        port = int(url.rsplit(":", 1)[1].strip("/"))
        try:
            tab = self.open_game(url)
            self.start(tab)
            server.wait_for(r"^joined #\d+ 127\.0\.0\.1:\d+ websocket$")
            stopped = []

            def restart():
                time.sleep(0.3)
                stopped.extend(stop_game_server(server))
                tab.wait_until("/: playing on, reconnecting \\.\\.\\.$/.test(%s)" % message)

            held = self.hold_right(tab, 1.0, meanwhile=restart)
            server, _ = start_web_server(port=port)
            server.wait_for(r"^joined #\d+ 127\.0\.0\.1:\d+ websocket$", timeout=40)
            tab.wait_until("/^Playing again on /.test(%s)" % message)
            tab.wait_for_console("Reconnected to server ")
            tab.close()
            goodbye = server.wait_for(GOODBYE, timeout=10)
        finally:
            lines = stop_game_server(server)
        before = int(re.search(r"^dropped #\d+ updates=\d+ last_x=(\d+) ", "\n".join(stopped), re.M).group(1))
        after = int(goodbye.group(3))
        print("browser: server restarted while walking: x %d before, %d after; %s" % (before, after, tab.console[-2:]))
        self.assertGreater(after, before, "the walk went on while the server was away")
        self.assertTrue(115 < (after - PLAYER[0]) / held < 141, (after, held, lines))
        self.assertIn("Reconnected to server 127.0.0.1 on port %d" % port, tab.console)

    def test_with_the_server_gone_the_game_goes_on_offline(self):
        # refused: nothing listens any more; silent: something accepts and never answers (the connect
        # deadline ends the wait); 0.0.0.0: the page's settings name no server, refused before any socket.
        # The page says what the game does then: it keeps trying a server it could not reach.
        opened = "SDLNet_TCP_Open: Couldn't connect to remote host"
        trying = "cannot be reached: playing on, reconnecting"
        rows = (("refused", opened, trying), ("silent", opened + ": timed out, no answer within 5000 ms", trying),
                ("0.0.0.0", 'server_ip "0.0.0.0" cannot name one server (0.0.0.0 is the unspecified address): '
                            'playing offline', "playing offline"))
        for kind, failure, said in rows:
            with self.subTest(server=kind):
                server, url = start_web_server()
                tab = self.open_game(url)
                stop_game_server(server)
                port = int(url.rsplit(":", 1)[1].strip("/"))
                with socket.socket() as silent:
                    if kind == "silent":
                        silent.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                        silent.bind(("127.0.0.1", port))
                        silent.listen(8)
                    if kind == "0.0.0.0":
                        tab.evaluate("FS.writeFile = (write => (path, text) => write(path, text.replace("
                                     "/server_ip = .*/g, 'server_ip = 0.0.0.0')))(FS.writeFile)")
                    self.start(tab)
                    line = tab.wait_for_console(failure.split(" ")[0])
                self.assertEqual(failure, line)
                self.assertIn("Loading image: img/background3.png ... done", tab.console)
                self.assertIn(said, tab.evaluate("document.getElementById('message').textContent"))
                tab.close()


if __name__ == "__main__":
    main()
