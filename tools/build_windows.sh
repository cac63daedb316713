#!/usr/bin/env bash
# Builds the Windows game with Debian's MinGW into build-windows/ (WINDOWS_BUILD_DIR moves it):
# the libraries from Debian's sources the first time (tools/windows_deps.sh), brackenreach.exe
# staged with its DLLs and files in build-windows/game/, the unit tables (`ctest --test-dir
# build-windows` runs them under Wine), and the packages: brackenreach-VERSION-win64.exe, an
# installer, and brackenreach-VERSION-win64.zip, both reproducible (SOURCE_DATE_EPOCH, else the
# last commit's time, is the time of every file in them). Warnings are errors when CI is set.
#   tools/build_windows.sh [--release]   --release: not with libraries older than Debian's archive
#                                        lists (tools/windows_deps.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh windows
build=${WINDOWS_BUILD_DIR:-build-windows}
if [ "${1:-}" = --release ]; then
  # A release that refuses must not leave an earlier build's packages under the release's names.
  rm -f "$build"/brackenreach-*-win64.exe "$build"/brackenreach-*-win64.zip
fi
werror=OFF
if [ -n "${CI:-}" ]; then
  werror=ON
fi
WINDOWS_BUILD_DIR=$build tools/windows_deps.sh "$@"
# The toolchain only when the build directory is configured first: CMake reads it then alone, and
# warns on every later run that was given it.
toolchain=()
if [ ! -f "$build/CMakeCache.txt" ]; then
  toolchain=(--toolchain cmake/mingw-w64-x86_64.cmake)
fi
cmake -S . -B "$build" "${toolchain[@]}" -DBRACKENREACH_WERROR="$werror" >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G "NSIS;ZIP" >/dev/null)
echo "build_windows: the game in $build/game/; packages:"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
for package in "$build/brackenreach-$version-win64.exe" "$build/brackenreach-$version-win64.zip"; do
  printf '  %s (%s bytes)\n' "$package" "$(stat -c %s "$package")"
done
if [ -f "$build/deps/VERSIONS" ] && grep -q " OLDER than " "$build/deps/VERSIONS"; then
  echo "build_windows: built with libraries older than the archive lists ($build/deps/VERSIONS):"
  grep ' OLDER than ' "$build/deps/VERSIONS" | sed 's/^/  /'
fi
