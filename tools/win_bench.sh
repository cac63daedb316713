#!/usr/bin/env bash
# Measures the Windows build under Wine beside the native client under Xvfb with dummy audio:
# CPU at the frame cap of the .exe alone and with Wine's own processes, start to first update,
# the pass rate with the cap off, the installer's and the zip's sizes, and how soon each shows its
# window and loads the largest map. Builds the native client (Release) into build-bench/ and the
# Windows game with tools/build_windows.sh.
#   tools/win_bench.sh [--rounds N] [--warmup S] [--measure S] [--no-largest-map]
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRACKENREACH_BENCH=ON -DBRACKENREACH_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target brackenreach game x_tool
tools/build_windows.sh
tools/wine_prefix.sh build-windows/wine
BRACKENREACH_X_TOOL="$PWD/$build/tools/x_tool" BRACKENREACH_GAME_DIR="$PWD/$build/game" \
  exec python3 bench/win_bench.py --build build-windows --client "$build/brackenreach" "$@"
