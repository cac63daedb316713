"""Fault matrix: the real client against broken servers, broken assets and broken settings.

Every row runs the client under SDL's dummy drivers and checks that it neither crashes nor
hangs, that its whole log is what a player should see for that fault, and its exit status.
Rows run a few at a time in threads; each run is bounded by the harness's hang guards.
"""

import os
import random
import re
import socket
import struct
import sys
import time
import unittest
import zlib
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (COMPAT, GAME_DIR, START_TIMEOUT, UNRESOLVABLE, Sink, Workdir,  # noqa: E402
                     free_port, link_bound, network_config, run_client, sdl_runtimes, split_stream, wait_until)
from harness import main  # noqa: E402

WORKERS = 4
PASSES = 10  # position updates to see before quitting: the game is running

SPRITE = "img/player2.png"
BACKGROUND = "img/background3.png"
MUSIC = "audio/softworld.wav"
FONT = "calibri.ttf"



def png(width, height, rgb=(0, 128, 0)):
    """A plain RGB PNG of one colour, streamed through zlib so 8000 x 8000 stays cheap."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    row = b"\x00" + bytes(rgb) * width
    packer = zlib.compressobj(9)
    pixels = b"".join(packer.compress(row) for _ in range(height)) + packer.flush()
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", pixels) + chunk(b"IEND", b"")


def game_file(rel):
    with open(os.path.join(GAME_DIR, rel), "rb") as f:
        return f.read()


# --- rows ---

class Case:
    """One fault and what the player should see.

    init: "ok", "audio_refused" (no video line) or "video_refused".
    video: the (width, height, bpp) the log reports, as atoi reads them.
    link: "ok", "open_fail", "resolve_fail", "refused", or "either" (defaults: localhost:1337 may be taken).
    broken_images: pictures whose "Loading image" line stays open.
    end: "quit" (SIGTERM, clean-up, 0) or "music" (status 1 on the first pass, nothing sent).
    warning, scale_line: the settings' line on a value they cannot use; the window's scale's line.
    server: Sink behaviour, or "refuse" (nothing listening) or None (not pointed at us).
    env: what run_client adds to the environment: the SDL 1.2 runtime the row runs on.
    """

    def __init__(self, name, settings=None, config_text=None, files=None, drop=(), config_dir=False,
                 server="read", host="127.0.0.1", port=None, init="ok", video=(640, 480, 32),
                 link="ok", broken_images=(), end="quit", send_fails=False, warning=None, scale_line=None):
        self.name = name
        self.settings = settings or {}
        self.config_text = config_text
        self.files = files or {}
        self.drop = drop
        self.config_dir = config_dir
        self.server = server
        self.host = host
        self.port = port
        self.init = init
        self.video = video
        self.link = link
        self.broken_images = broken_images
        self.end = end
        self.send_fails = send_fails
        self.warning = warning
        self.scale_line = scale_line
        self.port_from_sink = False
        self.env = {}


def expected_pattern(case, port):
    """A regular expression for the client's whole standard output."""
    out = [re.escape("Loading config file: config.ini\n")]
    if case.warning:
        out.append(re.escape(case.warning + "\n"))
    out.append(re.escape("Config loaded!\nInitializing ...\n"))
    if case.init == "audio_refused":
        out.append(re.escape("Error while initializing!\n"))
        return "".join(out)
    out.append(re.escape("Using video mode: %dx%d at %d bits per pixel\n" % case.video))
    if case.init == "video_refused":
        out.append(re.escape("Error while initializing!\n"))
        return "".join(out)
    if case.scale_line:
        out.append(re.escape(case.scale_line + "\n"))
    out.append(re.escape("Connecting to server %s on port %d\n" % (case.host, port)))
    out.append({
        "ok": re.escape("Connected successfully!\n"),
        "open_fail": r"SDLNet_TCP_Open: [^\n]*\n",
        "resolve_fail": r"SDLNet_ResolveHost: [^\n]*\n",
        "refused": re.escape('server_ip "%s" cannot name one server (' % case.host) + r"[^\n]*\): playing offline\n",
        # Default settings aim at localhost:1337: something may listen there, and a machine
        # without an /etc/hosts entry for localhost does not even resolve it.
        "either": r"(Connected successfully!|SDLNet_TCP_Open: [^\n]*|SDLNet_ResolveHost: [^\n]*)\n",
    }[case.link])
    for picture in (SPRITE, BACKGROUND):
        out.append(re.escape("Loading image: %s ... " % picture))
        if picture not in case.broken_images:
            out.append(re.escape("done\n"))
    if case.server == "stall":
        # The server given up, as it happens. The link then tries again, and the stalled server
        # takes the new connection too (its buffers may fill again before the quit, or the
        # goodbye goes there): what the link says of it is the link table's to check.
        out.append(r"SDLNet_TCP_Send: [^\n]*; reconnecting\n")
        out.append(r"((SDLNet_TCP_Send|Reconnected to server|Still reconnecting)[^\n]*\n)*")
    if case.end == "quit":
        if case.send_fails and case.server != "stall":
            out.append(r"SDLNet_TCP_Send: [^\n]*\n")
        out.append(re.escape("Cleaning up ...\n"))
    return "".join(out)


def matches_log(pattern, lines):
    # The harness splits on line ends; a line the program left open at exit has none.
    text = "\n".join(lines)
    return re.fullmatch(pattern, text + "\n") or re.fullmatch(pattern, text)


# Each numeric key, the text written for it, and the value atoi gives (glibc: strtol, then int).
NUMERIC_KEYS = [
    ("video", "screen_width"), ("video", "screen_height"), ("video", "screen_bpp"),
    ("video", "screen_fullscreen"), ("video", "frames_per_second"), ("video", "enable_fps_cap"),
    ("audio", "audio_frequency"), ("audio", "audio_channels"), ("audio", "audio_chunksize"),
    ("map", "map_width"), ("map", "map_height"), ("network", "server_port"),
]
NUMBERS = [("", 0), ("abc", 0), ("-7", -7), ("0", 0), ("2147483647", 2147483647),
           ("2147483648", -2147483648), ("99999999999999999999", -1)]


def numeric_case(section, key, text, value, compat):
    name = "%s=%r" % (key, text)
    case = Case(name, settings={section: {key: text}})
    if key in ("screen_width", "screen_height", "screen_bpp"):
        w, h, bpp = 640, 480, 32
        if key == "screen_width":
            w = value
        elif key == "screen_height":
            h = value
        else:
            bpp = value
        case.video = (w, h, bpp)
        # 0 is "the desktop's" size: classic SDL's dummy driver has none and refuses it,
        # sdl12-compat's has one. Depth 0 both have.
        if value != 0 or (key != "screen_bpp" and not compat):
            case.init = "video_refused"
    elif key in ("audio_frequency", "audio_channels", "audio_chunksize"):
        # 0 (an empty or non-numeric key too) is SDL's default and plays. A rate the mixer cannot
        # convert the music to is refused, as is anything negative; SDL takes 1, 2, 4 or 6
        # channels (as a byte: 2147483647 is 255). A buffer is 16 bits of sample frames:
        # 2147483647 becomes 65535, which plays.
        plays = value == 0 or (key == "audio_chunksize" and value > 0)
        if not plays:
            case.init = "audio_refused"
    elif key == "screen_fullscreen" and value != 0 and compat:
        # sdl12-compat's dummy driver has a desktop, of 1024 x 768: full screen keeps its mode.
        case.scale_line = "Screen scale: 1, 640x480 shown at 1024x768 full screen"
    elif key == "server_port":
        if value < 0:
            # Narrowed to 16 bits: written as the sink's port minus 65536, it lands there.
            case.port_from_sink = True
        else:
            # 0, and 65535 that the large values narrow to: nothing listens there.
            case.port = value
            case.link = "open_fail"
            case.server = "refuse"
    return case


def numeric_cases(compat):
    rows = [numeric_case(s, k, t, v, compat) for s, k in NUMERIC_KEYS for t, v in NUMBERS]
    # The mixer rates at either side of what the music can be converted from and to.
    for rate, plays in ((1, False), (7999, False), (8000, True), (192000, True), (192001, False)):
        rows.append(Case("audio_frequency=%d" % rate, settings={"audio": {"audio_frequency": rate}},
                         init="ok" if plays else "audio_refused"))
    return rows


def asset_cases():
    sprite = game_file(SPRITE)
    background = game_file(BACKGROUND)
    music = game_file(MUSIC)
    font = game_file(FONT)
    text = b"This is not a picture, a sound or a font.\n" * 20
    huge = png(8000, 8000)
    odd = png(64, 48, (200, 40, 40))
    rows = []
    for picture, real in ((SPRITE, sprite), (BACKGROUND, background)):
        rows += [
            Case("%s missing" % picture, drop=[picture], broken_images=[picture]),
            Case("%s empty" % picture, files={picture: b""}, broken_images=[picture]),
            Case("%s truncated" % picture, files={picture: real[:len(real) // 2]}, broken_images=[picture]),
            Case("%s is text" % picture, files={picture: text}, broken_images=[picture]),
            Case("%s is 8000x8000" % picture, files={picture: huge}),
            Case("%s is 64x48" % picture, files={picture: odd}),
        ]
    rows += [
        Case("music missing", drop=[MUSIC], end="music"),
        Case("music empty", files={MUSIC: b""}, end="music"),
        Case("music truncated", files={MUSIC: music[:len(music) // 2]}),
        Case("music is a PNG", files={MUSIC: sprite}, end="music"),
        Case("music is text", files={MUSIC: text}, end="music"),
        Case("font missing", drop=[FONT]),
        Case("font empty", files={FONT: b""}),
        Case("font truncated", files={FONT: font[:len(font) // 2]}),
        Case("font is a PNG", files={FONT: sprite}),
        Case("font is text", files={FONT: text}),
    ]
    return rows


def config_file_cases():
    garbage = random.Random(20240601).randbytes(64 * 1024)
    filler = "".join("; filler line %07d so that the file is large\n" % i for i in range(220000))
    assert len(filler) > 10 * 1024 * 1024
    rows = [
        # Defaults point at localhost:1337, which may or may not have a server on this machine.
        Case("config empty", config_text="", server=None, host="localhost", port=1337, link="either"),
        Case("config binary garbage", config_text=garbage, server=None, host="localhost", port=1337,
             link="either"),
        Case("config.ini is a directory", config_dir=True, server=None, host="localhost", port=1337,
             link="either"),
        Case("config 10 MB", config_text=filler + "[network]\nserver_ip = 127.0.0.1\nserver_port = {port}\n"),
        Case("config 10 MB value", config_text="[network]\nserver_ip = 127.0.0.1\nserver_port = {port}\n"
             "[map]\nmap_width = " + "7" * (10 * 1024 * 1024) + "\n"),
        Case("username of 10000 letters", settings={"network": {"username": "W" * 10000}}),
        Case("username of 10000 mixed", settings={"network": {"username": "Zoë" * 3334}}),
        Case("username with invalid UTF-8",
             config_text=b"[network]\nserver_ip = 127.0.0.1\nserver_port = {port}\n"
                         b"username = ab\xff\xfe\xc3(\xe2\x82cd\xf0\x9f\x98\n"),
        Case("username ends in a cut UTF-8 sequence",
             config_text=b"[network]\nserver_ip = 127.0.0.1\nserver_port = {port}\nusername = Zo\xc3\n"),
    ]
    # A scale the game cannot use is 1, with a line saying so; so is auto on the dummy drivers.
    rows += [Case("screen_scale=%r" % text, settings={"video": {"screen_scale": text}}, warning=(
        'config.ini: screen_scale "%s" is not auto or a whole number from 1 to 8; using 1' % text)) for text in ("9", "big")]
    return rows + [Case("screen_scale=auto", settings={"video": {"screen_scale": "auto"}}),
                   Case("screen_scale=3", settings={"video": {"screen_scale": 3}},
                        scale_line="Screen scale: 3, 640x480 shown in a 1920x1440 window")]


def server_cases():
    return [
        Case("server refuses", server="refuse", link="open_fail"),
        Case("server closes at once", server="close", send_fails=True),
        Case("server closes after a few updates", server="close_after", send_fails=True),
        Case("server resets the connection", server="reset", send_fails=True),
        Case("server host does not resolve", server="refuse", host=UNRESOLVABLE, link="resolve_fail"),
        # Uncapped and without the map a pass takes microseconds: the buffers fill in seconds,
        # and the client gives the server up.
        Case("server stops reading", server="stall", settings={"video": {"enable_fps_cap": 0}},
             drop=[BACKGROUND], broken_images=[BACKGROUND], send_fails=True),
    ]


# --- one run ---

def client_socket_states(server_port):
    """TCP states (hex, as in /proc/net/tcp) of sockets whose far end is 127.0.0.1:server_port.
    TIME_WAIT (06) is left out: the client's socket never enters it here (the far end closes
    first), but an earlier connection to a sink that had the same port may linger in it."""
    states = []
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            _, remote_port = fields[2].split(":")
            if int(remote_port, 16) == server_port and fields[3] != "06":
                states.append(fields[3])
    return states


def queued_bytes(server_port):
    """Bytes waiting on the loopback connections to server_port: the client's send queues plus
    the server's receive queues."""
    total = 0
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            local_port = int(fields[1].split(":")[1], 16)
            remote_port = int(fields[2].split(":")[1], 16)
            tx, rx = (int(v, 16) for v in fields[4].split(":"))
            if remote_port == server_port:
                # A SYN or FIN not yet acknowledged counts as a byte of the send queue: a try
                # connecting (SYN_SENT) or a given-up connection closing with data queued.
                total += tx - (1 if tx > 0 and fields[3] in ("02", "04", "09", "0B") else 0)
            elif local_port == server_port and fields[3] == "01":
                total += rx
    return total


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def run_case(case):
    """Runs one row; returns a short note, raises AssertionError on a wrong outcome."""
    sink = None
    if case.server not in (None, "refuse"):
        sink = Sink(case.server, close_after=4 * 5, rcvbuf=4096 if case.server == "stall" else None)
    try:
        target = sink.port if sink else free_port()
        port = case.port if case.port is not None else target  # as the log shows it
        settings = case.settings
        if case.port_from_sink:
            port = target - 65536
            settings = {"network": {"server_port": port}}
        config = case.config_text
        if isinstance(config, bytes):
            config = config.replace(b"{port}", str(target).encode())
        elif isinstance(config, str):
            config = config.replace("{port}", str(target))
        elif case.server is not None:
            config = network_config(target, host=case.host, **settings)
        drop = list(case.drop) + (["config.ini"] if case.config_dir else [])
        with Workdir(config=config, files=case.files, drop=drop) as wd:
            if case.config_dir:
                os.mkdir(os.path.join(wd.path, "config.ini"))
            if case.server == "stall":
                return run_stall(case, wd, sink)
            return run_plain(case, wd, sink, port)
    finally:
        if sink:
            sink.close()


def run_plain(case, wd, sink, port):
    game = run_client(wd, env=case.env)
    try:
        if case.init != "ok" or case.end == "music":
            status = game.wait()
        else:
            # A picture of 8000 x 8000 takes many seconds to load on a busy machine: the waits
            # last as long as the game is at work.
            if case.link == "ok" and case.server == "read":
                sink.wait_for_bytes(4 * PASSES, progress=game.progress)
            elif case.server in ("close_after", "reset"):
                sink.wait_for_bytes(sink.close_after, progress=game.progress)
            else:
                game.wait_for_line("Loading image: %s ... " % BACKGROUND)
                time.sleep(0.5)  # a few passes with no one to send to
            if case.send_fails:
                # Once the far end has reset the socket, the next send fails for sure. The game
                # then plays on past the stall bound: sends that fail at once are no stall, and a
                # loaded machine's slow SIGTERM must not turn them into one.
                wait_until(lambda: not client_socket_states(sink.port), "the client's socket to close")
                time.sleep(1.2 * link_bound("stall_limit_ms") / 1000.0)
            check(game.proc.poll() is None, "ended early: %r %s" % (game.lines, game.stderr))
            status = game.stop()
    finally:
        game.kill()
    check(status >= 0, "killed by signal %d; log %r; stderr %s" % (-status, game.lines, game.stderr[-2000:]))
    want = 1 if case.init == "ok" and case.end == "music" else 0
    check(status == want, "exit status %d, expected %d; log %r" % (status, want, game.lines))
    pattern = expected_pattern(case, port)
    check(matches_log(pattern, game.lines), "log %r does not match %r" % (game.lines, pattern))
    if sink is not None and case.init == "ok" and case.server == "read" and case.link == "ok":
        if case.end == "music":
            check(sink.received() == b"", "music failure still sent %r" % sink.received()[:40])
        else:
            xs, goodbye, rest = split_stream(sink.wait_for_close())
            check(goodbye and rest == b"" and len(xs) >= PASSES and set(xs) == {400},
                  "stream: %d updates %r, goodbye %s, leftover %r" % (len(xs), set(xs), goodbye, rest))
    return "exit %d" % status


def run_stall(case, wd, sink):
    game = run_client(wd, env=case.env)
    try:
        # Once the buffers are full the client waits a moment for room, then gives the server up
        # and sends nothing more: the queue stops growing while the game runs on. How long the
        # kernel's self-tuned buffers take to fill depends on how fast a loaded machine lets the
        # client send: the wait lasts as long as the queue grows, and only a queue that stands
        # still for the hang guard without a give-up fails.
        last = [-1, time.monotonic()]

        def gave_up():
            queued = queued_bytes(sink.port)
            if queued != last[0]:
                last[:] = [queued, time.monotonic()]
            return queued > 0 and time.monotonic() - last[1] > 1.0

        while game.proc.poll() is None and not gave_up():
            check(time.monotonic() - last[1] < START_TIMEOUT, "the client never gave the server up")
            time.sleep(0.02)
        check(game.proc.poll() is None, "ended while stalled: %r" % game.lines)
        check(sink.received() == b"", "the stalled server read something")
        in_flight = queued_bytes(sink.port)
        asked = time.monotonic()
        status = game.stop()
        quit_after = time.monotonic() - asked
    finally:
        game.kill()
    sink.resume()
    check(status == 0, "exit status %d; log %r; %s" % (status, game.lines, game.stderr[-2000:]))
    check(matches_log(expected_pattern(case, sink.port), game.lines), "log %r" % game.lines)
    check(any("SDLNet_TCP_Send: Server took no data" in l for l in game.lines), "log %r" % game.lines)
    # The given-up connection carries whole updates and no goodbye; the link's later tries went
    # to the same stalled server, and each of their streams is whole too, the goodbye at most at
    # the end of the last. Nothing that was queued at the quit request is lost.
    streams = [sink.wait_for_close(i) for i in range(len(sink.connections))]
    for index, data in enumerate(streams):
        xs, goodbye, rest = split_stream(data)
        check(rest == b"" and set(xs) <= {400} and (not goodbye or 0 < index == len(streams) - 1),
              "stream %d of %d: %d bytes, %d updates %r, goodbye %s, leftover %r"
              % (index, len(streams), len(data), len(xs), set(xs), goodbye, rest))
    arrived = sum(len(data) for data in streams)
    check(len(split_stream(streams[0])[0]) > 0 and arrived >= in_flight,
          "%d bytes arrived of %d queued" % (arrived, in_flight))
    return "%d bytes were queued on %d connections when it gave up; SIGTERM ended it %.2f s later" % (
        in_flight, len(streams), quit_after)


def all_cases():
    """Every row on every SDL 1.2 runtime here: they differ where the libraries differ."""
    cases = []
    for runtime, env in sdl_runtimes():
        rows = server_cases() + numeric_cases(runtime == COMPAT) + asset_cases() + config_file_cases()
        if runtime == COMPAT:
            # Its dummy driver draws a few hundred passes a second: the kernel's self-tuned send
            # buffer (megabytes) would take many minutes to fill.
            rows = [c for c in rows if c.server != "stall"]
        for row in rows:
            row.name = "%s: %s" % (runtime, row.name)
            row.env = env
        cases += rows
    return cases


class FaultMatrixTest(unittest.TestCase):
    def test_fault_matrix(self):
        cases = all_cases()
        names = [c.name for c in cases]
        self.assertEqual(len(names), len(set(names)), "row names must be unique")
        results = {}
        # Large ports narrow to 65535: hold it bound (not listening) so those rows are refused.
        guard = socket.socket()
        try:
            guard.bind(("127.0.0.1", 65535))
        except OSError:
            pass

        def run(case):
            try:
                results[case.name] = (True, run_case(case))
            except Exception as error:  # noqa: BLE001 - every failure is reported per row
                results[case.name] = (False, "%s: %s" % (type(error).__name__, error))

        with ThreadPoolExecutor(max_workers=WORKERS) as pool:
            list(pool.map(run, cases))
        guard.close()
        failed = [n for n in names if not results[n][0]]
        print("fault matrix: %d cases, %d failed" % (len(cases), len(failed)))
        for name in names:
            ok, note = results[name]
            if not ok or os.environ.get("FAULTS_VERBOSE"):
                print("  %s %s: %s" % ("ok  " if ok else "FAIL", name, note[:3000]))
        for name in names:
            with self.subTest(case=name):
                self.assertTrue(results[name][0], results[name][1])


if __name__ == "__main__":
    main()
