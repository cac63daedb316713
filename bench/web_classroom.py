"""A classroom behind one NAT: N browsers load the page at once from one address (127.0.0.1)
against our server at its default limits, then every player presses Start and plays.

Each tab gets a browser context of its own, so it has its own connections (up to 6 to the
server, as a browser on another machine would), not a share of one browser's. Prints how many
tabs reached "ready" and how long the slowest took, the refusals the server logged, how many
joined and were heard from, and how many said goodbye when their tab closed. Figures, not a
test.

Run: python3 bench/web_classroom.py SERVER SITE [--tabs 30]
"""

import argparse
import collections
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
from chromium import FIRST_FRAME, Browser  # noqa: E402
import server_peer  # noqa: E402

LIGHT = "[video]\nscreen_width = 160\nscreen_height = 120\nframes_per_second = 10\n"
STATE = "document.body ? document.body.dataset.state : ''"
MESSAGE = "document.getElementById('message') ? document.getElementById('message').textContent : ''"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server")
    parser.add_argument("site")
    parser.add_argument("--tabs", type=int, default=30)
    parser.add_argument("--deadline", type=float, default=120.0, help="seconds to wait for each stage")
    parser.add_argument("--light", action="store_true",
                        help="games at 10 frames a second in 160 x 120, so that more fit one machine")
    parser.add_argument("--start-every", type=float, default=0.5,
                        help="seconds between two players pressing Start (0: all at once)")
    args = parser.parse_args()

    server = server_peer.start_game_server(args.server, web_root=args.site)
    url = "http://127.0.0.1:%d/?name=Pupil" % server.web_port
    browser = Browser()
    try:
        began = time.monotonic()
        tabs = [browser.new_tab(url, own_context=True) for _ in range(args.tabs)]
        ready_at, seen = {}, collections.Counter()
        while len(ready_at) < len(tabs) and time.monotonic() - began < args.deadline:
            for i, tab in enumerate(tabs):
                if i in ready_at:
                    continue
                state = tab.evaluate(STATE)
                if state == "ready":
                    ready_at[i] = time.monotonic() - began
                if state not in ("ready", "loading", ""):
                    seen[(state, tab.evaluate(MESSAGE))] += 1
            time.sleep(0.2)
        messages = collections.Counter(tab.evaluate(MESSAGE) for tab in tabs)
        loading_refusals = len(server.matching(r"^refused "))
        print("loaded: %d ready after %.1f s; %s" % (len(ready_at), time.monotonic() - began, dict(messages)),
              file=sys.stderr)

        for i in ready_at:
            if args.light:
                tabs[i].evaluate("FS.writeFile('/config.ini', %r)" % LIGHT)
            tabs[i].evaluate("setTimeout(function () { document.getElementById('start').click(); }, 0)",
                             user_gesture=True)
            time.sleep(args.start_every)
        framed = 0
        for i in ready_at:
            try:
                tabs[i].wait_until(FIRST_FRAME, timeout=args.deadline)
                framed += 1
            except AssertionError:
                pass
        time.sleep(2)  # every game sends updates for a while
        joined = len(server.matching(r"^joined #\d+ .* websocket$"))
        messages_now = [re.sub(r"\d+", "N", tab.evaluate(MESSAGE)) for tab in tabs]
        heard = set()
        for tab in tabs:
            tab.close()
        try:
            server.wait_for_count(r"^goodbye ", len(ready_at), timeout=20)
        except AssertionError:
            pass
        goodbyes = server.matching(r"^goodbye #\d+ updates=(\d+) ")
        heard = [line for line in goodbyes if not re.search(r"updates=0 ", line)]
        dropped = collections.Counter(
            re.sub(r"^.* reason=", "", line) for line in server.matching(r"^dropped "))
        playing = collections.Counter(tab_message for tab_message in messages_now)
        refusals = collections.Counter(
            re.sub(r"^refused \S+ ", "", line) for line in server.matching(r"^refused "))
    finally:
        browser.close()
        server.stop()
    slowest = max(ready_at.values()) if ready_at else float("nan")
    print("tabs %d, loading at once from 127.0.0.1" % args.tabs)
    print("ready %d of %d, the slowest after %.1f s" % (len(ready_at), len(tabs), slowest))
    print("refusals while loading %d; in all: %s" % (loading_refusals, dict(refusals) or "none"))
    print("page messages at the end of loading: %s" % dict(messages))
    if seen:
        print("states other than loading or ready seen: %s" % dict(seen))
    print("first frame drawn in %d of %d started games" % (framed, len(ready_at)))
    print("players pressed Start %s" % ("%.1f s apart" % args.start_every if args.start_every else "at once"))
    print("page messages while playing: %s" % dict(playing))
    print("joined %d websockets, %d goodbyes (%d with updates); dropped: %s"
          % (joined, len(goodbyes), len(heard), dict(dropped) or "none"))


if __name__ == "__main__":
    main()
