#!/usr/bin/env bash
# Sets up, builds and runs every test: unit tables, the asset checks, and the real client and
# server end to end (under Xvfb and SDL's dummy drivers), the browser build in headless Chromium
# included. Warnings are errors when CI is set. BUILD_DIR picks the build directory (default
# build/), WEB_BUILD_DIR the browser build's (default build-web/).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh test

build=${BUILD_DIR:-build}
werror=OFF
if [ -n "${CI:-}" ]; then
  werror=ON
fi
# CMAKE_ARGS adds configure options, e.g. CMAKE_ARGS=-DBRACKENREACH_SANITIZE=ON (word-split).
read -r -a extra_args <<<"${CMAKE_ARGS:-}"
cmake -S . -B "$build" -DBRACKENREACH_WERROR="$werror" -DBRACKENREACH_TESTS=ON ${extra_args[@]+"${extra_args[@]}"}
cmake --build "$build" -j"$(nproc)"
tools/build_web.sh
export BRACKENREACH_WEB_SITE="$PWD/${WEB_BUILD_DIR:-build-web}/site"
ctest --test-dir "$build" --output-on-failure -j2 "$@"
