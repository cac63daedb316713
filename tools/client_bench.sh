#!/usr/bin/env bash
# Measures the client against bench/baseline (the least work a pass can do for the same pixels
# and bytes) under Xvfb with dummy audio, alternating the two programs over several rounds, and
# prints a table: pass rate with the cap off, CPU per wall second at the cap, heap calls per
# pass, start-up time, peak RSS, threads, frame pacing; then the same on every other SDL 1.2
# runtime here, side by side in the same rounds (on Debian 12: sdl12-compat beside classic SDL;
# on sdl12-compat also SDL 2's own OpenGL path), with each program's screenshot compared with
# the default runtime's client.
# --scales 1,2,3 runs the client at those screen_scale values too, and --before PATH another
# client (built from an older commit) beside it, each with its ratio to the client at scale 1.
#   tools/client_bench.sh [--rounds N] [--warmup S] [--measure S] [--no-compat] [--fullscreen]
#                         [--client PATH] [--scales LIST] [--before PATH]
# Builds Release into build-bench/ and writes build-bench/frame_pacing.png.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh all
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRACKENREACH_BENCH=ON -DBRACKENREACH_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target brackenreach game baseline alloc_counter
exec python3 bench/client_bench.py --build "$build" "$@"
