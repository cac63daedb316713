#!/usr/bin/env bash
# Builds the Windows game with Debian's MinGW into build-windows/ (WINDOWS_BUILD_DIR moves it):
# the libraries from Debian's sources the first time (tools/windows_deps.sh), brackenreach.exe
# staged with its DLLs and files in build-windows/game/, the unit tables (`ctest --test-dir
# build-windows` runs them under Wine), and the packages: brackenreach-VERSION-win64.exe, an
# installer, and brackenreach-VERSION-win64.zip. Warnings are errors when CI is set.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh windows
build=${WINDOWS_BUILD_DIR:-build-windows}
werror=OFF
if [ -n "${CI:-}" ]; then
  werror=ON
fi
WINDOWS_BUILD_DIR=$build tools/windows_deps.sh
cmake -S . -B "$build" --toolchain cmake/mingw-w64-x86_64.cmake -DBRACKENREACH_WERROR="$werror" >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G "NSIS;ZIP" >/dev/null)
echo "build_windows: the game in $build/game/; packages:"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
for package in "$build/brackenreach-$version-win64.exe" "$build/brackenreach-$version-win64.zip"; do
  printf '  %s (%s bytes)\n' "$package" "$(stat -c %s "$package")"
done
