#!/usr/bin/env python3
"""The browser half of tools/play.sh --web on a machine without a display: opens the page in
headless Chromium, starts the game, walks right, down and left, saves a screenshot of the tab,
and closes the tab (the page then says goodbye to the server).
    tools/web_demo.py URL SCREENSHOT.png"""

import os
import sys
import time

from chromium import FIRST_FRAME, Browser  # noqa: E402

KEYS = {"ArrowRight": 39, "ArrowDown": 40, "ArrowLeft": 37}


def main(url, shot):
    with Browser() as browser:
        tab = browser.new_tab(url + "?name=Demo")
        tab.wait_until("document.body.dataset.state == 'ready'", timeout=60)
        tab.evaluate("document.getElementById('start').click()", user_gesture=True)
        tab.wait_until(FIRST_FRAME, timeout=30)
        for key, seconds in (("ArrowRight", 1.5), ("ArrowDown", 1.0), ("ArrowLeft", 0.5)):
            tab.key("keyDown", key, KEYS[key])
            time.sleep(seconds)
            tab.key("keyUp", key, KEYS[key])
        time.sleep(0.3)
        tab.screenshot(shot)
        print("The page says: " + tab.evaluate("document.getElementById('message').textContent"))
        print("Screenshot: " + shot)
        print("The game's log (the browser's console):")
        for line in tab.console:
            print("  " + line)
        tab.close()
        time.sleep(0.5)  # the goodbye's way to the server


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
