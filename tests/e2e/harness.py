"""End-to-end harness: runs the real client (and server) the way a player would.

Everything an end-to-end test needs lives here so that no test grows its own copy: a scratch
working directory staged from build/game, a process runner that collects log lines, a virtual
X display (Xvfb) with key presses, window-close requests and screenshots, and a TCP peer on
127.0.0.1 that records the bytes the client sends.

Paths come from the environment that CTest sets (see tests/CMakeLists.txt); run by hand, the
defaults assume a build in ./build.
"""

import os
import queue
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SOURCE_DIR = os.environ.get(
    "BRACKENREACH_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD_DIR = os.path.join(SOURCE_DIR, "build")
CLIENT = os.environ.get("BRACKENREACH_CLIENT", os.path.join(BUILD_DIR, "brackenreach"))
SERVER = os.environ.get("BRACKENREACH_SERVER", os.path.join(BUILD_DIR, "brackenreach-server"))
GAME_DIR = os.environ.get("BRACKENREACH_GAME_DIR", os.path.join(BUILD_DIR, "game"))
X_TOOL = os.environ.get("BRACKENREACH_X_TOOL", os.path.join(BUILD_DIR, "tools", "x_tool"))
# A send() preloaded into the client to cut the stream short once (tests/e2e/short_send.c).
SHORT_SEND = os.environ.get("BRACKENREACH_SHORT_SEND", os.path.join(BUILD_DIR, "tests", "libshort_send.so"))
# A dlclose() preloaded into the client to make its end slow to unload (tests/e2e/slow_unload.c).
SLOW_UNLOAD = os.environ.get("BRACKENREACH_SLOW_UNLOAD", os.path.join(BUILD_DIR, "tests", "libslow_unload.so"))


def preloaded(library, env=None):
    """env (for run_client) with library preloaded into the client; under AddressSanitizer, whose
    runtime must otherwise be the first library loaded, with that check off."""
    env = dict(env or {}, LD_PRELOAD=library)
    asan = env.get("ASAN_OPTIONS", os.environ.get("ASAN_OPTIONS"))
    if asan is not None:
        env["ASAN_OPTIONS"] = asan + ":verify_asan_link_order=0"
    return env
# Screenshots and pictures a run leaves to look at: in the build's own folder, never one that
# another user's or another build's run shares.
ARTIFACTS = os.environ.get("BRACKENREACH_ARTIFACTS", os.path.join(os.path.dirname(os.path.abspath(CLIENT)),
                                                                  "e2e-screenshots"))
if os.path.isdir(os.path.dirname(ARTIFACTS)):  # a benchmark without that build makes no folder
    os.makedirs(ARTIFACTS, exist_ok=True)

# Hang guards only: generous, never used to judge speed.
START_TIMEOUT = 20.0
EXIT_TIMEOUT = 20.0


def wait_until(predicate, what, timeout=START_TIMEOUT, progress=None):
    """Waits until predicate() is true, for timeout seconds. With progress, a function whose value
    changes as long as what is waited for is on its way (Process.progress: a program at work), the
    wait follows it instead of the clock: timeout is then the longest stretch without progress,
    however slowly a busy machine lets the work go on."""
    deadline = time.monotonic() + timeout
    seen = progress() if progress else None
    while not predicate():
        now = time.monotonic()
        if progress is not None:
            current = progress()
            if current != seen:
                seen, deadline = current, now + timeout
        if now >= deadline:
            raise AssertionError("never happened: " + what)
        time.sleep(0.02)


# --- scratch working directory ---

class Workdir:
    """A throw-away copy of build/game (or of game_dir, another build's staged game) for one run;
    files can be dropped or replaced."""

    def __init__(self, config=None, drop=(), files=None, game_dir=None):
        self.path = tempfile.mkdtemp(prefix="brackenreach-")
        game_dir = game_dir or GAME_DIR
        for name in os.listdir(game_dir):
            src = os.path.join(game_dir, name)
            dst = os.path.join(self.path, name)
            (shutil.copytree if os.path.isdir(src) else shutil.copy2)(src, dst)
        for rel in drop:
            target = os.path.join(self.path, rel)
            if os.path.isdir(target) and not os.path.islink(target):
                shutil.rmtree(target)
            elif os.path.lexists(target):
                os.remove(target)
        if config is not None:
            self.write("config.ini", config_text(config) if isinstance(config, dict) else config)
        for rel, data in (files or {}).items():
            self.write(rel, data)

    def write(self, rel, data):
        target = os.path.join(self.path, rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if os.path.isdir(target) and not os.path.islink(target):
            shutil.rmtree(target)
        with open(target, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()


def config_text(sections):
    """{"video": {"screen_width": 800}} -> INI text."""
    lines = []
    for section, keys in sections.items():
        lines.append("[%s]" % section)
        lines.extend("%s = %s" % (k, v) for k, v in keys.items())
    return "\n".join(lines) + "\n"


# --- processes ---

class Process:
    """A child whose standard output is collected line by line as it arrives.

    A line that the program leaves open (written without a line end) shows up once the
    program writes its end or exits, joined with what follows, exactly as a terminal shows it.
    """

    def __init__(self, argv, cwd=None, env=None, ignored_signals=(), blocked_signals=()):
        full_env = dict(os.environ)
        full_env.update(env or {})

        def inherit():  # what a parent hands down: signals ignored (as a shell does for a
            # background job) or blocked
            for sig in ignored_signals:
                signal.signal(sig, signal.SIG_IGN)
            signal.pthread_sigmask(signal.SIG_BLOCK, blocked_signals)

        self.proc = subprocess.Popen(argv, cwd=cwd, env=full_env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                     preexec_fn=inherit if ignored_signals or blocked_signals else None)
        self.lines = []
        self._new = queue.Queue()
        self._stderr = []
        self._reader = threading.Thread(target=self._read, args=(self.proc.stdout, True), daemon=True)
        self._err_reader = threading.Thread(target=self._read, args=(self.proc.stderr, False), daemon=True)
        self._reader.start()
        self._err_reader.start()

    def _read(self, stream, is_stdout):
        for raw in iter(stream.readline, b""):
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            if is_stdout:
                self.lines.append(line)
                self._new.put(line)
            else:
                self._stderr.append(line)

    def wait_for_line(self, predicate, timeout=START_TIMEOUT):
        """Waits until a log line satisfies predicate (a callable or a substring)."""
        test = predicate if callable(predicate) else (lambda l: predicate in l)
        deadline = time.monotonic() + timeout
        seen = 0
        while True:
            for line in self.lines[seen:]:
                if test(line):
                    return line
            seen = len(self.lines)
            left = deadline - time.monotonic()
            if left <= 0 or (self.proc.poll() is not None and self._new.empty()):
                if self.proc.poll() is not None:
                    self._reader.join(2)
                    for line in self.lines[seen:]:
                        if test(line):
                            return line
                raise AssertionError("no line matching %r in %r" % (predicate, self.lines))
            try:
                self._new.get(timeout=min(left, 0.1))
            except queue.Empty:
                pass

    def progress(self):
        """What grows while the program works: its CPU time (in clock ticks, all its threads) and
        the lines it has written (see wait_until)."""
        try:
            with open("/proc/%d/stat" % self.proc.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks = int(fields[11]) + int(fields[12])  # utime, stime
        except (OSError, IndexError, ValueError):
            ticks = None  # ended
        return ticks, len(self.lines)

    def signal(self, sig):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)

    def wait(self, timeout=EXIT_TIMEOUT):
        """Exit status, after the output has been read to the end. Kills on a hang and fails."""
        try:
            code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("process hung; log so far: %r" % (self.lines,))
        self._close_pipes()
        return code

    def _close_pipes(self):
        """Once the readers have met the end of the output, the pipes are closed here rather than
        left to the garbage collector."""
        for reader, pipe in ((self._reader, self.proc.stdout), (self._err_reader, self.proc.stderr)):
            reader.join(5)
            if not reader.is_alive():
                pipe.close()

    def stop(self, timeout=EXIT_TIMEOUT):
        """SIGTERM (SDL turns it into a quit request) and the exit status."""
        self.signal(signal.SIGTERM)
        return self.wait(timeout)

    @property
    def stderr(self):
        return "\n".join(self._stderr)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._close_pipes()


def run_client(workdir, env=None, display=None, ignored_signals=(), blocked_signals=(), wrap=()):
    """Starts the client in workdir: under the dummy drivers, or on an X display if given.
    Audio always goes to SDL's dummy driver (test machines have no sound card). wrap: a command
    that execs the client (such as Netns.wrap()), so the process is still the client."""
    child_env = {"SDL_AUDIODRIVER": "dummy"}
    if display is None:
        child_env["SDL_VIDEODRIVER"] = "dummy"
    else:
        child_env.update(DISPLAY=display.name, SDL_VIDEODRIVER="x11")
    child_env.update(env or {})
    path = workdir.path if isinstance(workdir, Workdir) else workdir
    return Process(list(wrap) + [CLIENT], cwd=path, env=child_env, ignored_signals=ignored_signals,
                   blocked_signals=blocked_signals)


# --- running a suite ---

# The exit status of a suite that skipped rows and failed none: ctest shows its entry as skipped
# (SKIP_RETURN_CODE, tests/CMakeLists.txt), and tools/test.sh names the rows and why.
SKIPPED = 77


def skip_or_fail(why):
    """Skips the row (or the class, from setUpClass) for why, which says how to run it. CI installs
    and runs everything as root: there a skip would hide a broken setup, so it fails."""
    raise (AssertionError if os.environ.get("CI") else unittest.SkipTest)(why)


def main(argv=None, verbosity=2):
    """Runs the script's tests as unittest.main does. A row skipped is named with why on a line of
    its own ("skipped: ROW: WHY"), and the exit status is SKIPPED when rows were skipped and none
    failed: a run that passed only some rows does not pass for all."""
    result = unittest.main(argv=argv, verbosity=verbosity, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    script = os.path.abspath(sys.argv[0])
    entry = "%s_%s" % (os.path.basename(os.path.dirname(script)), os.path.splitext(os.path.basename(script))[0])
    for test, why in result.skipped:
        print("skipped: %s: %s: %s" % (entry, test.id().replace("__main__.", ""), why), flush=True)
    sys.exit(SKIPPED if result.skipped else 0)


# --- network namespaces ---

# Set in the environment of a suite that runs_in_own_namespaces has started again.
_OWN_NAMESPACES = "BRACKENREACH_OWN_NAMESPACES"
_USER_NAMESPACE = ["unshare", "--user", "--map-root-user", "--net", "--mount"]


def run_in_own_namespaces(module):
    """For a suite whose rows make network namespaces: run by a user other than root, where the
    kernel lets any user make a user namespace (unshare -r), the script starts again as the root
    of one of its own, with a network namespace (only its loopback, up) and mount namespace of its
    own beside it: the rows then make their namespaces there as they do as root. /run (for ip
    netns) and /tmp (Xvfb's sockets, Wine's server, scratch folders) are empty ones of its own, so
    nothing it leaves there is seen by, or sees, what root and other users run. module: the
    caller's __name__; nothing happens unless it is the script being run. Called at the top of
    the script, before it makes any scratch file, which the new /tmp would hide; returns at once
    for root and where user namespaces are not allowed (those rows skip, naming why)."""
    if module != "__main__":
        return
    if os.environ.get(_OWN_NAMESPACES) == "1":
        for setup in (["mount", "-t", "tmpfs", "tmpfs", "/run"], ["mount", "-t", "tmpfs", "tmpfs", "/tmp"],
                      ["ip", "link", "set", "lo", "up"]):
            subprocess.run(setup, check=True)
        os.environ[_OWN_NAMESPACES] = "entered"
        tempfile.tempdir = None  # the new /tmp
        return
    if os.geteuid() == 0 or os.environ.get(_OWN_NAMESPACES):
        return
    if subprocess.run(_USER_NAMESPACE + ["true"], capture_output=True).returncode != 0:
        return
    os.environ[_OWN_NAMESPACES] = "1"
    os.execvp(_USER_NAMESPACE[0], _USER_NAMESPACE + ["--", sys.executable] + sys.argv)


def in_own_namespaces():
    """True in a suite that run_in_own_namespaces started again: its root is a normal user, and no
    other user exists there to hand work to (nginx's workers, say)."""
    return os.environ.get(_OWN_NAMESPACES) == "entered"


def namespaces_unavailable():
    """None when this process can make network and mount namespaces, else why not and how to."""
    if shutil.which("ip") is None:
        return "iproute2's ip is not installed (tools/setup.sh test installs it)"
    probe = subprocess.run(["unshare", "--net", "--mount", "true"], capture_output=True, text=True)
    if probe.returncode == 0:
        return None
    if os.geteuid() != 0:
        return ("cannot create namespaces: no user namespace for a user other than root here (a kernel "
                "setting, user.max_user_namespaces or kernel.unprivileged_userns_clone, or a chroot); run the "
                "tests as root")
    if "propagation" in probe.stderr:  # making / private: EINVAL where it is no mount point
        return ("cannot create mount namespaces: / is not a mount point here (a plain chroot?); "
                "bind-mount the chroot's root onto itself (mount --bind DIR DIR) before entering "
                "it, as tools/test_debian13.sh does: " + probe.stderr.strip())
    return "cannot create namespaces as root: " + probe.stderr.strip()


class Netns:
    """A network namespace of this test's own (ip netns add) with its loopback up; deleted, with
    any veth end in it, on close. Traffic to its addresses never leaves the machine."""

    def __init__(self, tag):
        self.name = "brackenreach-%s-%d-%d" % (tag, os.getpid(), threading.get_ident() % 100000)
        subprocess.run(["ip", "netns", "add", self.name], check=True, capture_output=True)
        try:
            self.ip("link", "set", "lo", "up")
        except BaseException:
            self.close()
            raise

    def ip(self, *args):
        subprocess.run(["ip", "-n", self.name] + list(args), check=True, capture_output=True)

    def wrap(self, *setup):
        """A command prefix that runs a program in the namespace, after shell lines setup (run
        in the namespace's own mount namespace, so bind mounts there stay private)."""
        prefix = ["ip", "netns", "exec", self.name]
        if setup:
            prefix += ["sh", "-c", " && ".join(setup + ('exec "$0" "$@"',))]
        return prefix

    def socket(self, kind=socket.SOCK_STREAM):
        """A socket that belongs to the namespace: made on a thread that has entered it."""
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        made = {}

        def enter_and_make():
            try:
                with open("/run/netns/" + self.name) as handle:
                    if libc.setns(handle.fileno(), 0x40000000) != 0:  # CLONE_NEWNET
                        raise OSError(ctypes.get_errno(), "setns")
                made["socket"] = socket.socket(socket.AF_INET, kind)
            except OSError as error:
                made["error"] = error

        worker = threading.Thread(target=enter_and_make)
        worker.start()
        worker.join()
        if "error" in made:
            raise made["error"]
        return made["socket"]

    def close(self):
        subprocess.run(["ip", "netns", "delete", self.name], capture_output=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def veth_pair(a, b, subnet="10.213.7"):
    """Joins namespaces a and b with a veth pair: a is subnet.1, b is subnet.2 (returned), and b's
    end is named "far" (cut it with b.ip("link", "set", "far", "down"))."""
    a.ip("link", "add", "near", "type", "veth", "peer", "name", "far", "netns", b.name)
    a.ip("addr", "add", subnet + ".1/24", "dev", "near")
    b.ip("addr", "add", subnet + ".2/24", "dev", "far")
    a.ip("link", "set", "near", "up")
    b.ip("link", "set", "far", "up")
    return subnet + ".2"


# --- SDL 1.2 runtime ---
# Debian has two: classic SDL 1.2 (1.2.15) and sdl12-compat, SDL 1.2's interface over SDL 2,
# which calls itself 1.2.50 or later. Debian 13 has only sdl12-compat; on Debian 12 it sits beside
# the classic library in a directory of its own, and LD_LIBRARY_PATH selects it.

CLASSIC = "classic"
COMPAT = "sdl12-compat"
COMPAT_DIR = "/usr/lib/x86_64-linux-gnu/sdl12-compat"
_LINKED_VERSION = ("import ctypes, sys\n"
                   "f = ctypes.CDLL(sys.argv[1]).SDL_Linked_Version\n"
                   "f.restype = ctypes.POINTER(ctypes.c_ubyte * 3)\n"
                   "print(*f().contents)\n")
_runtimes_seen = {}


def sdl_runtime(env=None, program=None):
    """CLASSIC or COMPAT: the SDL 1.2 the client (or program) loads when run with env added to
    ours, told by the linked version of the library the dynamic linker picks for it."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    program = program or CLIENT
    key = (program, full_env.get("LD_LIBRARY_PATH"), full_env.get("LD_PRELOAD"))
    if key not in _runtimes_seen:
        ldd = subprocess.run(["ldd", program], env=full_env, check=True, capture_output=True, text=True).stdout
        paths = [line.split("=>")[1].split("(")[0].strip() for line in ldd.splitlines()
                 if line.strip().startswith("libSDL-1.2.so")]
        if not paths or not os.path.exists(paths[0]):
            raise RuntimeError("the client finds no SDL 1.2: %s" % ldd)
        version = subprocess.run([sys.executable, "-c", _LINKED_VERSION, paths[0]], env=full_env, check=True,
                                 capture_output=True, text=True).stdout.split()
        _runtimes_seen[key] = COMPAT if tuple(map(int, version)) >= (1, 2, 50) else CLASSIC
    return _runtimes_seen[key]


def sdl_runtimes(program=None):
    """[(name, env for run_client)] for every SDL 1.2 runtime the client (or program) can use
    here: the one it loads by default, and sdl12-compat beside classic SDL (tools/setup.sh test
    installs it)."""
    runtimes = [(sdl_runtime(program=program), {})]
    compat_env = {"LD_LIBRARY_PATH": COMPAT_DIR}
    if (runtimes[0][0] == CLASSIC and os.path.isdir(COMPAT_DIR)
            and sdl_runtime(compat_env, program) == COMPAT):
        runtimes.append((COMPAT, compat_env))
    for name, env in runtimes:
        if name == COMPAT and "ASAN_OPTIONS" in os.environ:
            # SDL 2 leaves allocations behind in the driver modules it has unloaded by exit;
            # LeakSanitizer can only call them "<unknown module>", which no suppression can
            # match. Leaks in our code show on classic SDL.
            env["ASAN_OPTIONS"] = os.environ["ASAN_OPTIONS"] + ":detect_leaks=0"
    return runtimes


# --- X display ---

class Xvfb:
    """A private virtual X display. -noreset: SDL opens and closes a probe connection first,
    and a server that resets when its last client leaves refuses the real one now and then.
    -displayfd lets Xvfb pick a free display number itself, so parallel tests never race for
    one (a number can be taken without a lock file, by an abstract socket of another namespace).
    dpi: the screen's size in millimetres follows from it."""

    def __init__(self, size="1024x768x24", dpi=None):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", size, "-noreset", "-nolisten", "tcp"]
            + (["-dpi", str(dpi)] if dpi else []),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as announced:
            ready, _, _ = select.select([announced], [], [], START_TIMEOUT)
            number = announced.readline().strip() if ready else ""
        if not number.isdigit():
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.number = int(number)
        self.name = ":%d" % self.number

    def env(self):
        return dict(os.environ, DISPLAY=self.name)

    def run(self, argv, check=True):
        return subprocess.run(argv, env=self.env(), check=check, capture_output=True, text=True, timeout=30)

    def find_window(self, name="Brackenreach", timeout=START_TIMEOUT):
        """Id of the mapped top-level window whose title is exactly name."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            out = self.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % name], check=False).stdout.split()
            if out:
                return int(out[0])
            time.sleep(0.1)
        raise AssertionError("no window named %r appeared" % name)

    def window_title(self, wid):
        return self.run(["xdotool", "getwindowname", str(wid)]).stdout.strip()

    def window_size(self, wid):
        out = self.run(["xwininfo", "-id", str(wid)]).stdout
        fields = dict(l.strip().split(":", 1) for l in out.splitlines() if ":" in l)
        return int(fields["Width"]), int(fields["Height"])

    def close_window(self, wid):
        """What a window manager does when the user clicks the close button."""
        self.run([X_TOOL, "close", str(wid)])

    def focus(self, wid):
        self.run(["xdotool", "windowfocus", "--sync", str(wid)], check=False)

    def key_down(self, key):
        self.run(["xdotool", "keydown", key])

    def key_up(self, key):
        self.run(["xdotool", "keyup", key])

    def screenshot(self, wid, name):
        """Saves the window's pixels as ARTIFACTS/name.png; returns (path, Image)."""
        os.makedirs(ARTIFACTS, exist_ok=True)
        path = os.path.join(ARTIFACTS, name + ".png")
        self.run(["import", "-window", str(wid), path])
        return path, Image.load(path)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Image:
    """Pixels of a picture file, read through ImageMagick: RGB, or RGBA with alpha=True."""

    def __init__(self, width, height, data, channels):
        self.width, self.height, self.data, self.channels = width, height, data, channels

    @classmethod
    def load(cls, path, alpha=False):
        size = subprocess.run(["identify", "-format", "%w %h", path + "[0]"], check=True,
                              capture_output=True, text=True).stdout.split()
        fmt = "rgba:-" if alpha else "rgb:-"
        data = subprocess.run(["convert", path + "[0]", "-depth", "8", fmt], check=True,
                              capture_output=True).stdout
        return cls(int(size[0]), int(size[1]), data, 4 if alpha else 3)

    def pixel(self, x, y):
        """(r, g, b) or (r, g, b, a)."""
        i = self.channels * (y * self.width + x)
        return tuple(self.data[i:i + self.channels])

    def enlarged(self, scale, size=None, corner=(0, 0)):
        """This picture with each pixel a scale x scale square, at corner in a black picture of
        size (by default just as large)."""
        c = self.channels
        width, height = size or (self.width * scale, self.height * scale)
        rows = []
        for y in range(height):
            row = (y - corner[1]) // scale
            line = self.data[c * self.width * row:c * self.width * (row + 1)] if y >= corner[1] else b""
            pixels = b"".join(line[i:i + c] * scale for i in range(0, len(line), c))
            rows.append(bytes(c * corner[0]) + pixels + bytes(c * (width - corner[0]) - len(pixels)))
        return Image(width, height, b"".join(rows), c)

    def crop(self, x, y, w, h):
        start = [self.channels * ((y + r) * self.width + x) for r in range(h)]
        return Image(w, h, b"".join(self.data[i:i + self.channels * w] for i in start), self.channels)

    def bytes_differing(self, other):
        """Bytes of the pixels that differ from other's (each pixel of a size only one has, too)."""
        same = self.data == other.data
        return 0 if same else sum(a != b for a, b in zip(self.data, other.data)) + abs(len(self.data) - len(other.data))

    def region_matches(self, other, at_x, at_y, src_x, src_y, w, h, tolerance=0):
        """Fraction of pixels in a w x h region of self at (at_x, at_y) equal (within tolerance
        per channel) to other's at (src_x, src_y)."""
        same = 0
        for dy in range(h):
            for dx in range(w):
                a = self.pixel(at_x + dx, at_y + dy)[:3]
                b = other.pixel(src_x + dx, src_y + dy)[:3]
                if all(abs(p - q) <= tolerance for p, q in zip(a, b)):
                    same += 1
        return same / float(w * h)


# --- TCP peers on 127.0.0.1 ---

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Sink:
    """A game-server stand-in on 127.0.0.1 that accepts connections and records every byte, and
    when each arrived (time.monotonic(), the clock the tests and the benchmarks read too).

    behaviour: "read" (default) keeps reading; "close" closes each connection at once;
    "close_after" closes after close_after bytes; "reset" resets after close_after bytes;
    "stall" accepts but reads nothing until resume() is called; pause() stops the reading again.
    rcvbuf: a fixed receive buffer (bytes) for accepted connections, so a stall fills in seconds
    instead of the minutes the kernel's self-tuning buffer takes.
    netns: a Netns to listen in, on host (one of its addresses) instead of 127.0.0.1.
    """

    def __init__(self, behaviour="read", close_after=0, port=None, rcvbuf=None, netns=None, host="127.0.0.1"):
        self.behaviour = behaviour
        self.close_after = close_after
        self.listener = netns.socket() if netns else socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if rcvbuf:
            # Set before listen: accepted sockets inherit it and advertise a window to match.
            self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.listener.bind((host, port or 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.connections = []  # one bytearray per accepted connection
        self.closed = []       # per connection: True once the peer closed its side
        self.gone = []         # per connection: True once this side has closed it
        self.arrivals = []     # per connection: (monotonic time, bytes so far) after each read
        self._reading = threading.Event()
        self._reset = threading.Event()  # reset(): every connection is reset at once
        if behaviour != "stall":
            self._reading.set()
        self._stop = threading.Event()
        self._lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        self.listener.settimeout(0.2)
        while not self._stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except (socket.timeout, OSError):
                continue
            with self._lock:
                self.connections.append(bytearray())
                self.closed.append(False)
                self.gone.append(False)
                self.arrivals.append([])
                index = len(self.connections) - 1
            threading.Thread(target=self._serve, args=(conn, index), daemon=True).start()

    def _serve(self, conn, index):
        data = self.connections[index]
        try:
            if self.behaviour == "close":
                conn.close()
                return
            conn.settimeout(0.2)
            while self._reading.wait() and not self._stop.is_set():
                reset = self._reset.is_set()
                if reset or self.behaviour in ("close_after", "reset") and len(data) >= self.close_after:
                    if reset or self.behaviour == "reset":
                        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    conn.close()
                    return
                try:
                    limit = 65536
                    if self.behaviour in ("close_after", "reset"):
                        limit = max(1, self.close_after - len(data))
                    chunk = conn.recv(limit)
                except socket.timeout:
                    continue
                except OSError:
                    break
                if not chunk:
                    self.closed[index] = True
                    break
                with self._lock:
                    data.extend(chunk)
                    self.arrivals[index].append((time.monotonic(), len(data)))
        finally:
            conn.close()
            self.gone[index] = True

    def resume(self):
        self._reading.set()

    def reset(self, index=0):
        """Resets the connections (a reset, not a close: the client's next send fails), and
        returns once connection index is gone; connections accepted later are kept."""
        self._reset.set()
        self._reading.set()
        wait_until(lambda: index < len(self.gone) and self.gone[index], "the connection reset")
        self._reset.clear()

    def pause(self):
        self._reading.clear()

    def send_rate(self, index=0):
        """Bytes a second the connection has brought so far, from its first read to its last."""
        with self._lock:
            arrivals = list(self.arrivals[index]) if index < len(self.arrivals) else []
        if len(arrivals) < 2 or arrivals[-1][0] == arrivals[0][0]:
            return 0.0
        return (arrivals[-1][1] - arrivals[0][1]) / (arrivals[-1][0] - arrivals[0][0])

    def update_times(self, index=0):
        """Arrival time of each complete 4-byte update, in stream order (the goodbye excluded)."""
        with self._lock:
            arrivals = list(self.arrivals[index]) if index < len(self.arrivals) else []
        times, update = [], 0
        for when, size in arrivals:
            while 4 * (update + 1) <= size:
                times.append(when)
                update += 1
        return times

    def updates_between(self, t1, t2, index=0):
        """[(arrival time, x)] of the complete updates of connection index that arrived from t1 to t2."""
        data = self.received(index)
        return [(when, struct.unpack(">i", data[4 * i:4 * i + 4])[0])
                for i, when in enumerate(self.update_times(index)) if t1 <= when <= t2]

    def next_connection(self, after, timeout=START_TIMEOUT):
        """The index of the first connection accepted once the sink held after; None when none came."""
        try:
            wait_until(lambda: len(self.connections) > after, "", timeout)
        except AssertionError:
            return None
        return after

    def received(self, index=0):
        with self._lock:
            return bytes(self.connections[index]) if index < len(self.connections) else b""

    def wait_for_bytes(self, count, index=0, timeout=START_TIMEOUT, progress=None):
        """The bytes of connection index once count have arrived; progress as for wait_until."""
        try:
            wait_until(lambda: len(self.received(index)) >= count, "", timeout, progress)
        except AssertionError:
            raise AssertionError("only %d of %d bytes arrived" % (len(self.received(index)), count)) from None
        return self.received(index)

    def wait_for_close(self, index=0, timeout=EXIT_TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if index < len(self.closed) and self.closed[index]:
                return self.received(index)
            time.sleep(0.02)
        raise AssertionError("the client never closed connection %d" % index)

    def close(self):
        self._stop.set()
        self._reading.set()
        self.listener.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def split_stream(data):
    """(list of x updates, goodbye seen, leftover) of a client stream."""
    if data.endswith(b"exit\0"):
        body, goodbye = data[:-5], True
    else:
        body, goodbye = data, False
    whole = len(body) - len(body) % 4
    xs = [struct.unpack(">i", body[i:i + 4])[0] for i in range(0, whole, 4)]
    return xs, goodbye, body[whole:]


# A host name that never resolves and never reaches the network: the resolver rejects a label
# of 64 letters before any query leaves the machine.
UNRESOLVABLE = "x" * 64 + ".invalid"


def walk_held(sink, press, release, way, arrived=None, guard=15.0):
    """Holds a key or a stick (press(), release()) until the player walked 24 px toward way (+1
    right, -1 left), for way 0 30 passes, or arrived(); the x it stood at, and the xs sent since."""
    x_before, passes = split_stream(sink.received())[0][-1], len(sink.received()) // 4
    press()
    deadline = time.monotonic() + guard  # hang guard: a walk takes 0.2 to 3 s
    while True:
        xs = split_stream(sink.received())[0]
        if arrived() if arrived else (len(xs) > passes + 30 if way == 0 else (xs[-1] - x_before) * way >= 24):
            break
        if time.monotonic() > deadline:
            raise AssertionError("never walked %s: x %d, then %s" % (way, x_before, xs[passes:][-5:]))
        time.sleep(0.05)
    release()
    return x_before, xs[passes:]


def network_config(port, host="127.0.0.1", **extra):
    """A config.ini dict pointing the client at host:port, plus extra sections."""
    cfg = {"network": {"server_ip": host, "server_port": port}}
    for section, keys in extra.items():
        cfg.setdefault(section, {}).update(keys)
    return cfg


def link_bound(name):
    """A limit of the link as net/link_bounds.h defines it (one definition for code and tests)."""
    import re
    with open(os.path.join(SOURCE_DIR, "net", "link_bounds.h")) as header:
        return int(re.search(r"constexpr int %s = (\d+);" % name, header.read()).group(1))


# --- game server ---
# The real brackenreach-server on 127.0.0.1: it is started with --port 0 and the port is read from
# its "listening on" line, so no two runs race for a port. The code lives in server_peer.py, which
# test_server.py shares.

import server_peer  # noqa: E402
from server_peer import GOODBYE, GameServer, encode_updates  # noqa: E402,F401


def start_game_server(args=(), path=None, timeout=START_TIMEOUT):
    """Starts the server; see .port, .lines, .wait_for(pattern) and .join(sock)."""
    return server_peer.start_game_server(path or SERVER, args, timeout=timeout)


def stop_game_server(server, timeout=EXIT_TIMEOUT):
    """Stops the server with SIGTERM and returns every line it printed."""
    return server_peer.stop_game_server(server, timeout=timeout)
