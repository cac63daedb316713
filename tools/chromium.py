"""Debian's Chromium, headless, driven over the DevTools protocol through a pipe.

Chromium started with --remote-debugging-pipe reads protocol commands from its descriptor 3 and
writes answers and events to its descriptor 4, each message JSON ended by a NUL byte: no port,
no npm, nothing but the standard library. One Chromium per Browser, with a fresh profile; one tab
per Tab. Used by tools/play.sh --web (through tools/web_demo.py), the browser tests and the web
benchmark.
"""

import base64
import fcntl
import json
import os
import queue
import shutil
import subprocess
import tempfile
import threading
import time

CHROMIUM = os.environ.get("BRACKENREACH_CHROMIUM", shutil.which("chromium") or "/usr/bin/chromium")

# Headless as root on a machine whose network is closed: no sandbox (it refuses root), no GPU,
# a fresh profile, and none of the background traffic a desktop profile makes.
FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--no-first-run", "--no-default-browser-check", "--disable-extensions",
         "--window-size=1024,768", "--mute-audio"]

# True once the game's first frame is on the canvas (the page's canvas is opaque from the start,
# so its pixels cannot tell): the count of frames the page drew there.
# A page script standing in for navigator.getGamepads before the page runs: one pad of the
# Gamepad API's standard layout (D-pad buttons 12 to 15, left stick axes 0 and 1), window.pad,
# listed while window.padPlugged is true.
PAD = ("window.padPlugged = true; window.pad = {id: 'Stand-in pad', index: 0, connected: true,"
       " mapping: 'standard', timestamp: 0, axes: [0, 0, 0, 0], buttons: Array.from({length: 17},"
       " function () { return {pressed: false, touched: false, value: 0}; })};"
       " navigator.getGamepads = function () { return padPlugged ? [pad] : [null]; };")
FIRST_FRAME = "!!(window.Module && Module.frames && Module.frames.drawn > 0)"

# Hang guard for one command, never a measure of speed.
COMMAND_TIMEOUT = 30.0


class ProtocolError(RuntimeError):
    pass


class Browser:
    """A Chromium process; close() ends it and removes its profile."""

    def __init__(self, extra_flags=()):
        self.profile = tempfile.mkdtemp(prefix="brackenreach-chromium-")
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()
        # Copies well above 4, so that placing them at 3 and 4 cannot overwrite one another.
        child_in = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD_CLOEXEC, 10)
        child_out = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD_CLOEXEC, 10)

        def place_pipes():
            os.dup2(child_in, 3)
            os.dup2(child_out, 4)

        argv = [CHROMIUM] + FLAGS + ["--user-data-dir=" + self.profile] + list(extra_flags) + ["about:blank"]
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, preexec_fn=place_pipes, pass_fds=(3, 4))
        for fd in (to_browser_r, from_browser_w, child_in, child_out):
            os.close(fd)
        self._next_id = 0
        self._lock = threading.Lock()
        self._waiting = {}        # command id -> Queue for its answer
        self._listeners = []      # (session id, callback(method, params))
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        pending = b""
        with os.fdopen(self._from_browser, "rb", buffering=0) as stream:
            while True:
                chunk = stream.read(65536)
                if not chunk:
                    break
                pending += chunk
                while b"\0" in pending:
                    raw, pending = pending.split(b"\0", 1)
                    self._dispatch(json.loads(raw))
        with self._lock:
            for answer in self._waiting.values():
                answer.put({"error": {"message": "Chromium closed the pipe"}})

    def _dispatch(self, message):
        if "id" in message:
            with self._lock:
                answer = self._waiting.pop(message["id"], None)
            if answer is not None:
                answer.put(message)
            return
        for session, callback in list(self._listeners):
            if message.get("sessionId") == session:
                callback(message["method"], message.get("params", {}))

    def send(self, method, params=None, session=None, timeout=COMMAND_TIMEOUT):
        """The result of one protocol command; ProtocolError if Chromium refused it."""
        answer = queue.Queue()
        with self._lock:
            self._next_id += 1
            command = {"id": self._next_id, "method": method, "params": params or {}}
            if session:
                command["sessionId"] = session
            self._waiting[self._next_id] = answer
            os.write(self._to_browser, json.dumps(command).encode() + b"\0")
        try:
            message = answer.get(timeout=timeout)
        except queue.Empty:
            raise ProtocolError("no answer to %s within %s s" % (method, timeout))
        if "error" in message:
            raise ProtocolError("%s: %s" % (method, message["error"].get("message")))
        return message.get("result", {})

    def listen(self, session, callback):
        self._listeners.append((session, callback))

    def new_tab(self, url, count_bytes=False, own_context=False):
        """own_context: the tab gets a browser context of its own (its own cookies, cache and
        connections), as a tab on another machine would have."""
        return Tab(self, url, count_bytes, own_context)

    def process_ids(self):
        """Chromium's own process and all of its descendants (renderer, GPU, network ...)."""
        found = {self.proc.pid}
        changed = True
        while changed:
            changed = False
            for entry in os.listdir("/proc"):
                if not entry.isdigit() or int(entry) in found:
                    continue
                try:
                    with open("/proc/%s/stat" % entry) as stat:
                        parent = int(stat.read().rsplit(")", 1)[1].split()[1])
                except (OSError, ValueError, IndexError):
                    continue
                if parent in found:
                    found.add(int(entry))
                    changed = True
        return sorted(found)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.send("Browser.close", timeout=5)
            except ProtocolError:
                pass
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        try:
            os.close(self._to_browser)
        except OSError:
            pass
        self._reader.join(5)
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Tab:
    """One page: its console lines, script evaluation, key presses and closing."""

    def __init__(self, browser, url, count_bytes=False, own_context=False):
        """count_bytes: the page's downloads are counted (received_bytes) and never cached."""
        self.browser = browser
        self.received_bytes = 0    # with count_bytes: bytes of every response, headers included
        self.closed = False
        self.console = []          # the page's console.log lines (the program's log), in order
        self.warnings = []         # its other console lines and uncaught exceptions
        self._changed = threading.Condition()
        where = {"url": "about:blank"}
        if own_context:
            where["browserContextId"] = browser.send("Target.createBrowserContext")["browserContextId"]
        self.target = browser.send("Target.createTarget", where)["targetId"]
        self.session = browser.send("Target.attachToTarget", {"targetId": self.target, "flatten": True})["sessionId"]
        browser.listen(self.session, self._event)
        self.send("Runtime.enable")
        self.send("Page.enable")
        if count_bytes:
            self.send("Network.enable")
            self.send("Network.setCacheDisabled", {"cacheDisabled": True})
        self.send("Page.navigate", {"url": url})

    def _event(self, method, params):
        if method == "Runtime.consoleAPICalled":
            text = " ".join(str(arg.get("value", arg.get("description", ""))) for arg in params.get("args", []))
            with self._changed:
                (self.console if params.get("type") == "log" else self.warnings).append(text)
                self._changed.notify_all()
        elif method == "Network.loadingFinished":
            self.received_bytes += int(params.get("encodedDataLength", 0))
        elif method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            text = details.get("exception", {}).get("description") or details.get("text", "")
            with self._changed:
                self.warnings.append("exception: " + text)
                self._changed.notify_all()

    def send(self, method, params=None, timeout=COMMAND_TIMEOUT):
        return self.browser.send(method, params, session=self.session, timeout=timeout)

    def evaluate(self, expression, user_gesture=False, timeout=COMMAND_TIMEOUT):
        """The value of a JavaScript expression in the page (promises awaited)."""
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True, "userGesture": user_gesture},
                           timeout=timeout)
        if "exceptionDetails" in result:
            raise ProtocolError("%s: %s" % (expression, result["exceptionDetails"].get("text")))
        return result["result"].get("value")

    def wait_until(self, expression, timeout=20.0, interval=0.02):
        """Polls a JavaScript expression until it is truthy; returns its value. An expression that
        throws (the page is still loading) counts as false."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                value = self.evaluate(expression)
            except ProtocolError:
                value = None
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError("%r still false after %s s; console: %r" % (expression, timeout, self.console))
            time.sleep(interval)

    def wait_for_console(self, predicate, timeout=20.0):
        """The first console line that satisfies predicate (a callable or a substring)."""
        test = predicate if callable(predicate) else (lambda line: predicate in line)
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for line in self.console:
                    if test(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no console line matching %r in %r" % (predicate, self.console))
                self._changed.wait(left)

    def key(self, kind, key="ArrowRight", code=39):
        """kind "keyDown" or "keyUp", as the keyboard sends it to the focused element."""
        self.send("Input.dispatchKeyEvent", {"type": kind, "key": key, "code": key,
                                             "windowsVirtualKeyCode": code, "nativeVirtualKeyCode": code})

    def canvas_png(self, path):
        """Saves the canvas's exact pixels (toDataURL) as a PNG file at path."""
        data = self.evaluate("document.getElementById('canvas').toDataURL('image/png')")
        with open(path, "wb") as f:
            f.write(base64.b64decode(data.split(",", 1)[1]))
        return path

    def screenshot(self, path, element=None, margin=0):
        """Saves what the tab shows, page and all or only the box of the element with that id
        (and margin CSS pixels around it), as a PNG file at path."""
        params = {"format": "png"}
        if element:
            box = self.evaluate("(function (r) { return [r.left + scrollX, r.top + scrollY, r.width, r.height]; })"
                                "(document.getElementById(%r).getBoundingClientRect())" % element)
            box = [box[0] - margin, box[1] - margin, box[2] + 2 * margin, box[3] + 2 * margin]
            params["clip"] = dict(zip(("x", "y", "width", "height"), box), scale=1)
        data = self.send("Page.captureScreenshot", params)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
        return path

    def close(self):
        """Closes the tab as a player does: the page's pagehide and unload handlers run. Once."""
        if not self.closed:
            self.closed = True
            self.browser.send("Target.closeTarget", {"targetId": self.target})
