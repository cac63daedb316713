#!/usr/bin/env bash
# Builds the browser version with Debian's Emscripten into build-web/site/ (WEB_BUILD_DIR moves
# the build): index.html, its script and style, the program and its packed files, ready for
# `brackenreach-server --web-root build-web/site`. Warnings are errors when CI is set.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh web
build=${WEB_BUILD_DIR:-build-web}
werror=OFF
if [ -n "${CI:-}" ]; then
  werror=ON
fi
# emcc runs its JavaScript tools with the node on the PATH, which finds Debian's node modules
# (acorn, terser ...) only through NODE_PATH when it is not Debian's own node.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
emcmake cmake -S . -B "$build" -DBRACKENREACH_WERROR="$werror" >/dev/null
cmake --build "$build" -j"$(nproc)"
