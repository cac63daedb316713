#!/usr/bin/env bash
# Sets up, builds and plays Brackenreach against our own game server on 127.0.0.1:1337.
#
# With a display, the game opens in a window: walk with the arrow keys, close the window to
# quit. Without one (a server, a container, CI), it runs a short demo under Xvfb instead:
# walks the character with scripted key presses, saves a screenshot and closes the window.
# Either way the server is stopped afterwards and what it saw is printed.
#
# tools/play.sh --web plays in the browser instead: builds the browser version too, has the
# server serve its page on 127.0.0.1:8080 (BRACKENREACH_WEB_PORT) and prints the address to
# open, then serves until Ctrl-C. Without a display it opens the page in headless Chromium,
# walks, saves a screenshot and closes the tab.
#
# tools/play.sh --windows plays the Windows build under Wine instead (tools/build_windows.sh
# builds it into build-windows/game/, WINDOWS_BUILD_DIR moves it; Wine's prefix is made in
# build-windows/wine), with the same demo when there is no display.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
web=0
windows=0
case "${1:-}" in
  --web) web=1 ;;
  --windows) windows=1 ;;
esac

tools/setup.sh
build=${BUILD_DIR:-build}
# A new build directory leaves the tests out: a player asked for none, and tools/setup.sh did not
# install what they need (tools/test.sh turns them on, in the same build).
tests=()
if [ ! -f "$build/CMakeCache.txt" ]; then
  tests=(-DBRACKENREACH_TESTS=OFF)
fi
cmake -S . -B "$build" ${tests[@]+"${tests[@]}"} >/dev/null
cmake --build "$build" -j"$(nproc)"
web_args=()
if [ "$web" = 1 ]; then
  tools/build_web.sh
  web_args=(--web-root "$root/${WEB_BUILD_DIR:-build-web}/site" --web-port "${BRACKENREACH_WEB_PORT:-8080}")
fi
game_dir=$build/game
client=("$root/$build/brackenreach")
shot_dir="$root/$build/screenshots"
if [ "$windows" = 1 ]; then
  tools/build_windows.sh
  windows_build=${WINDOWS_BUILD_DIR:-build-windows}
  game_dir=$windows_build/game
  shot_dir="$root/$windows_build/screenshots"
  client=("$root/tools/wine_prefix.sh" "$root/$windows_build/wine" "$root/$game_dir/brackenreach.exe")
  tools/wine_prefix.sh "$windows_build/wine" # made before the server's clock starts
fi

port=${BRACKENREACH_PORT:-1337}
server_log=$(mktemp /tmp/brackenreach-server.XXXXXX)
"$root/$build/brackenreach-server" --host 127.0.0.1 --port "$port" ${web_args[@]+"${web_args[@]}"} >"$server_log" 2>&1 &
server_pid=$!
xvfb_pid=""
cleanup() {
  kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  # Wine's own processes outlive the game; ended first, they say nothing of the display going.
  [ -n "$xvfb_pid" ] && [ "$windows" = 1 ] && "$root/tools/wine_prefix.sh" "$root/$windows_build/wine" --kill
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  echo "---- what the server saw ----"
  cat "$server_log"
  rm -f "$server_log"
}
trap cleanup EXIT
for _ in $(seq 50); do
  grep -q "listening" "$server_log" && break
  kill -0 "$server_pid" 2>/dev/null || { echo "the server did not start (port $port busy?)"; exit 1; }
  sleep 0.1
done

if [ "$web" = 1 ]; then
  for _ in $(seq 50); do
    grep -q "^serving the page at " "$server_log" && break
    sleep 0.1
  done
  url=$(sed -n 's/^serving the page at //p' "$server_log" | head -n 1)
  if [ -z "$url" ]; then
    echo "the server does not serve the page (web port ${BRACKENREACH_WEB_PORT:-8080} busy?)"
    exit 1
  fi
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    echo "Open $url in a browser to play (?name=YOURNAME sets your name). Ctrl-C stops the server."
    wait "$server_pid" || true
    exit 0
  fi
  echo "No display: opening $url in headless Chromium for a scripted walk."
  shot_dir="$root/$build/screenshots"
  mkdir -p "$shot_dir"
  python3 tools/web_demo.py "$url" "$shot_dir/web-demo-$(date +%Y%m%d-%H%M%S).png"
  exit 0
fi

cd "$game_dir"
if [ "$port" != 1337 ]; then
  echo "note: $game_dir/config.ini points at port 1337; set server_port = $port there to connect"
fi

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  "${client[@]}"
  exit 0
fi

echo "No display: running a scripted demo under Xvfb (dummy audio)."
# -displayfd: Xvfb picks a free display number and writes it to its standard output.
display_file=$(mktemp /tmp/brackenreach-display.XXXXXX)
Xvfb -displayfd 1 -screen 0 1024x768x24 -noreset -nolisten tcp >"$display_file" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$display_file" ] && break
  sleep 0.1
done
display_number=$(head -n 1 "$display_file")
rm -f "$display_file"
if [ -z "$display_number" ]; then
  echo "Xvfb did not start"
  exit 1
fi
export DISPLAY=":$display_number"
SDL_AUDIODRIVER=dummy "${client[@]}" &
client_pid=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Brackenreach$' | head -n 1 || true)
if [ -z "$window" ]; then
  echo "The game window did not appear."
  kill "$client_pid" 2>/dev/null || true
  wait "$client_pid" || true
  exit 1
fi
xdotool windowfocus --sync "$window" 2>/dev/null || true
walk() { xdotool keydown "$1"; sleep "$2"; xdotool keyup "$1"; }
walk Right 1.5
walk Down 1
walk Left 0.5
mkdir -p "$shot_dir"
shot="$shot_dir/demo-$(date +%Y%m%d-%H%M%S).png"
import -window "$window" "$shot"
echo "Screenshot: $shot"
"$root/$build/tools/x_tool" close "$window"
status=0
wait "$client_pid" || status=$?
echo "The client exited with status $status."
