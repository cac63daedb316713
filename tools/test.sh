#!/usr/bin/env bash
# Sets up, builds and runs every test: unit tables, the asset checks, and the real client and
# server end to end (under Xvfb and SDL's dummy drivers), the browser build in headless Chromium
# included, and on Debian 12 the Windows build under Wine (its unit tables, and the .exe and the
# installer end to end). Warnings are errors when CI is set. BUILD_DIR picks the build directory
# (default build/), WEB_BUILD_DIR the browser build's (default build-web/), WINDOWS_BUILD_DIR the
# Windows build's (default build-windows/). Arguments go to ctest, after this one:
#   --beside N   runs the tests beside N busy loops, started here and ended with the run: what
#                a loaded machine does to them (the loops start once everything is built)
set -euo pipefail
cd "$(dirname "$0")/.."

busy_loops=0
if [ "${1:-}" = --beside ]; then
  busy_loops=${2:-}
  if ! [[ "$busy_loops" =~ ^[0-9]+$ ]]; then
    echo "usage: $0 [--beside N] [CTEST ARGS ...]" >&2
    exit 2
  fi
  shift 2
fi

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

# The Windows build once, in the plain pass on Debian 12 (whose MinGW and Wine the Windows
# tests were made with); the other passes say in one line that they leave it out.
windows_left_out=""
debian=$(. /etc/os-release && echo "${VERSION_ID:-}")
if [[ " ${extra_args[*]-} " == *" -DBRACKENREACH_SANITIZE=ON "* ]]; then
  windows_left_out="the sanitizer pass leaves the Windows build out (no sanitizers in MinGW; the plain pass tests it)"
elif [ "$debian" != 12 ]; then
  windows_left_out="Debian ${debian:-of unknown version} leaves the Windows build out (it is built and tested on Debian 12)"
fi
if [ -n "$windows_left_out" ]; then
  echo "test: $windows_left_out"
  export BRACKENREACH_WINDOWS_LEFT_OUT=$windows_left_out
else
  tools/build_windows.sh
  export BRACKENREACH_WINDOWS_BUILD="$PWD/${WINDOWS_BUILD_DIR:-build-windows}"
fi

loop_pids=()
end_busy_loops() {
  if [ ${#loop_pids[@]} -gt 0 ]; then
    kill "${loop_pids[@]}" 2>/dev/null || true
  fi
}
trap end_busy_loops EXIT
for _ in $(seq "$busy_loops"); do
  bash -c 'while :; do :; done' &
  loop_pids+=($!)
done
if [ "$busy_loops" -gt 0 ]; then
  echo "test: beside $busy_loops busy loops (processes ${loop_pids[*]})"
fi

# The rows the suites skipped, and why: ctest can only call their whole entries skipped ("did not
# run"), though their other rows passed.
report_skipped_rows() {
  local rows
  rows=$(grep -a '^skipped: ' "$build/Testing/Temporary/LastTest.log" 2>/dev/null | sort -u || true)
  if [ -n "$rows" ]; then
    echo "test: $(wc -l <<<"$rows") rows skipped, each with what it needs (the entry's other rows ran;"
    echo "      one entry again: ctest --test-dir $build -R '^ENTRY\$' --output-on-failure):"
    sed 's/^skipped: /  /' <<<"$rows"
  fi
}

status=0
ctest --test-dir "$build" --output-on-failure -j2 "$@" || status=$?
report_skipped_rows
if [ -z "$windows_left_out" ]; then
  # The unit tables built with MinGW, under Wine.
  ctest --test-dir "$BRACKENREACH_WINDOWS_BUILD" --output-on-failure -j2 "$@" || status=$?
fi
exit "$status"
