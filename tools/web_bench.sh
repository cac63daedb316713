#!/usr/bin/env bash
# Measures the browser version in headless Chromium against our server on 127.0.0.1: Start click
# to first frame, bytes downloaded, CPU of Chromium's processes at the frame cap beside the native
# client's under Xvfb, standing still and walking, the frames the page drew in each, the pass rate
# with the cap off, and how many tab closes delivered the goodbye. Builds Release into build-bench/
# and the browser version into build-web/.
#   tools/web_bench.sh [--rounds N] [--closes N] [--warmup S] [--measure S]
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh web
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRACKENREACH_BENCH=ON -DBRACKENREACH_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target brackenreach brackenreach-server game
tools/build_web.sh
# The native client runs from a scratch directory filled with this build's game files.
export BRACKENREACH_GAME_DIR="$PWD/$build/game"
exec python3 bench/web_bench.py --server "$build/brackenreach-server" --client "$build/brackenreach" \
  --site "${WEB_BUILD_DIR:-build-web}/site" "$@"
