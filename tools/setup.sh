#!/usr/bin/env bash
# Installs the Debian packages Brackenreach needs, and only those missing; safe to run again.
#   tools/setup.sh            what building and playing needs
#   tools/setup.sh web        ... plus the browser build and headless Chromium (tools/play.sh --web)
#   tools/setup.sh windows    ... plus the Windows build (MinGW), Wine to run it, NSIS to package it
#   tools/setup.sh test       ... plus what the test suite needs (the browser's part included,
#                             and on Debian 12 the Windows part)
#   tools/setup.sh all        ... plus the sanitizer, fuzzing and benchmark tools
set -euo pipefail

# dpkg-dev: dpkg-buildflags, whose hardening flags every build takes (cmake/Hardening.cmake). Had
# only the tests' set brought it, the first tools/test.sh after tools/play.sh would compile
# everything again with flags in another order.
build_pkgs=(cmake g++ make pkg-config dpkg-dev
  libsdl1.2-dev libsdl-image1.2-dev libsdl-mixer1.2-dev libsdl-net1.2-dev libsdl-ttf2.0-dev
  libsimpleini-dev libboost-dev libcli11-dev fonts-crosextra-carlito fontconfig
  xvfb xdotool x11-utils imagemagick python3 scdoc help2man)
# libsdl1.2-compat: the suites run the client on sdl12-compat as well as on classic SDL 1.2
# (on Debian 13, where sdl12-compat is the only SDL 1.2, it is a transitional package).
# haproxy, nginx and openssl: the deployment recipes run as shipped (tests/e2e/test_proxies.py).
test_pkgs=(googletest libgtest-dev libx11-dev file libsdl1.2-compat iproute2 devscripts
  lintian appstream desktop-file-utils systemd haproxy nginx openssl)
extra_pkgs=(clang libclang-rt-dev valgrind gnuplot-nox time)
# The browser build (emcc, with its system libraries prebuilt) and the browser its tests drive.
web_pkgs=(emscripten chromium)
# The Windows build: MinGW with the posix thread model, its zlib, what unpacks Debian's sources of
# the other libraries (dpkg-source) and GoogleTest's sources for the unit tables; Wine runs the
# result and NSIS packs the installer.
windows_pkgs=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev dpkg-dev xz-utils googletest wine64 nsis)
# The Windows tests run in the Debian 12 pass, with the MinGW and Wine they were made with.
test_windows_pkgs=()
if [ "$(. /etc/os-release && echo "${VERSION_ID:-}")" = 12 ]; then
  test_windows_pkgs=("${windows_pkgs[@]}")
fi

want=("${build_pkgs[@]}")
case "${1:-}" in
  "") ;;
  web) want+=("${web_pkgs[@]}") ;;
  windows) want+=("${windows_pkgs[@]}") ;;
  test) want+=("${test_pkgs[@]}" "${web_pkgs[@]}" ${test_windows_pkgs[@]+"${test_windows_pkgs[@]}"}) ;;
  all) want+=("${test_pkgs[@]}" "${web_pkgs[@]}" ${test_windows_pkgs[@]+"${test_windows_pkgs[@]}"} "${extra_pkgs[@]}") ;;
  *) echo "usage: $0 [web|windows|test|all]" >&2; exit 2 ;;
esac

missing=()
for pkg in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#want[@]} packages present"
  exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
  sudo -v # asks for the password here, where it shows, not in the log
fi
# A line a step here; apt's and dpkg's own (thousands of lines on a fresh machine) go to the log.
log=$(mktemp "${TMPDIR:-/tmp}/brackenreach-setup.XXXXXX.log")
step() {
  local what=$1
  shift
  echo "setup: $what"
  if ! "$@" >>"$log" 2>&1; then
    echo "setup: that failed; the end of $log:" >&2
    tail -n 25 "$log" >&2
    exit 1
  fi
}
echo "setup: installing ${#missing[@]} packages (apt-get's whole output: $log): ${missing[*]}"
apt_get=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y)
step "reading the package lists" "${apt_get[@]}" update
step "downloading" "${apt_get[@]}" install --download-only "${missing[@]}"
step "installing" "${apt_get[@]}" install "${missing[@]}"
echo "setup: done"
