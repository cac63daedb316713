#!/usr/bin/env bash
# Runs the Windows build under Debian's Wine, in a private prefix made once per build directory
# (a new prefix takes about 20 s and 700 MB) and kept for the next run.
#   tools/wine_prefix.sh DIR                    makes the prefix DIR unless it is there already
#   tools/wine_prefix.sh DIR PROGRAM [ARG ...]  runs the Windows program in it: the exit status is
#                                               the program's; its output is ours
#   tools/wine_prefix.sh DIR --wait             waits until every Wine process of the prefix has
#                                               ended (a program started while they end may join
#                                               their session, and its display, which may be gone)
#   tools/wine_prefix.sh DIR --kill             ends every Wine process of the prefix
# As CMake's CROSSCOMPILING_EMULATOR: `tools/wine_prefix.sh;${CMAKE_BINARY_DIR}/wine`.
# Runs are quiet (WINEDEBUG=-all) and play to SDL's dummy audio driver unless SDL_AUDIODRIVER
# says otherwise: Wine finds no sound device on a machine without one. Safe to run in parallel:
# the first run makes the prefix while the others wait for it.
set -euo pipefail

if [ $# -lt 1 ]; then
  sed -n '2,14s/^# \{0,1\}//p' "$0" >&2
  exit 2
fi
prefix=$(realpath -m "$1")
shift

# Debian 12 keeps wine64 out of PATH; Debian 13's wine package puts wine there.
wine=/usr/lib/wine/wine64
if [ ! -x "$wine" ]; then
  wine=$(command -v wine64 || command -v wine || true)
fi
if [ -z "$wine" ]; then
  echo "wine_prefix: no Wine here (tools/setup.sh windows installs wine64)" >&2
  exit 1
fi
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

export WINEPREFIX=$prefix WINEDEBUG=-all
# No Mono or Gecko: neither is installed, and Wine would offer to download them.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

case "${1:-}" in
  --kill | --wait)
    [ -d "$prefix" ] && "$wineserver" "-${1:2:1}" 2>/dev/null || true
    exit 0
    ;;
esac

if [ ! -e "$prefix/.made" ]; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -e "$prefix/.made" ]; then
    rm -rf "$prefix"
    # Without a display: the prefix is the same for every display, and wineboot draws nothing.
    env -u DISPLAY -u WAYLAND_DISPLAY "$wine" wineboot -i >/dev/null 2>&1
    # Without a window manager (Xvfb) Wine draws the window's frame itself and waits about 2 s
    # for a manager's answer whenever a window closes, unless it leaves windows unmanaged.
    env -u DISPLAY "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    "$wineserver" -w # the registry is written out when the prefix's server ends
    touch "$prefix/.made"
  fi
  exec 9>&-
fi

if [ $# -eq 0 ]; then
  exit 0
fi
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}
exec "$wine" "$@"
