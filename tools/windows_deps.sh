#!/usr/bin/env bash
# Cross-builds the libraries the Windows client links, from Debian's own source packages, into
# build-windows/deps/prefix (WINDOWS_BUILD_DIR moves build-windows/): SDL 1.2 with its win32
# backends, SDL_mixer (WAV only), libpng, libjpeg-turbo, giflib and FreeType. zlib is Debian's
# libz-mingw-w64-dev. Debian packages no SDL for MinGW, so the sources come through apt with a
# deb-src list of our own (the same archive and suites as the machine's), never from anywhere else.
#   tools/windows_deps.sh [--release]
#
# Kept between runs: the prefix is rebuilt only when the versions Debian serves (or this
# script) change, as recorded in deps/stamp. Without the archive, a built prefix is kept as it is.
# When done, deps/READY names the prefix and how to point pkg-config at it, and deps/VERSIONS
# what was built beside the newest version the archive lists. A mirror may list a version (a
# security update) that it does not serve yet; the newest one served is built then, and every
# run says so in its last lines. --release refuses to go on with such a library, or with
# libraries that could not be checked against the archive.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$(pwd)

release=0
case "${1:-}" in
  "") ;;
  --release) release=1 ;;
  *)
    echo "usage: $0 [--release]" >&2
    exit 2
    ;;
esac

host=x86_64-w64-mingw32
build_dir=${WINDOWS_BUILD_DIR:-build-windows}
mkdir -p "$build_dir/deps"
deps=$(cd "$build_dir/deps" && pwd)
prefix=$deps/prefix
jobs=${JOBS:-2}
packages=(libsdl1.2 sdl-mixer1.2 libpng1.6 libjpeg-turbo giflib freetype)

# --- the archive, through a private apt directory (the machine's apt state is left alone) ---

apt_dir=$deps/apt
mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/partial"
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/parts"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1)
# apt downloads as its own user, which cannot write into root's build tree: as root, say so
# rather than have apt warn at every file.
if [ "$(id -u)" -eq 0 ]; then
  apt_opts+=(-o APT::Sandbox::User=root)
fi

# The deb-src twins of the machine's Debian entries: the suites of this release only (other
# repositories on the machine serve no Debian sources). Both list formats are read.
write_source_list() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [ -z "$codename" ]; then
    echo "windows_deps: no VERSION_CODENAME in /etc/os-release" >&2
    return 1
  fi
  local files=()
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
  done
  awk -v codename="$codename" '
    FNR == 1 { flush() }
    function flush() {
      if (types ~ /(^| )deb( |$)/ && uris != "" && suites != "") {
        n = split(suites, s, " "); kept = ""
        for (i = 1; i <= n; i++) if (index(s[i], codename) == 1) kept = kept " " s[i]
        if (kept != "") {
          printf "Types: deb-src\nURIs: %s\nSuites:%s\nComponents: %s\n", uris, kept, comps
          if (signed != "") printf "Signed-By: %s\n", signed
          printf "\n"
        }
      }
      types = uris = suites = comps = signed = ""
    }
    FILENAME ~ /\.sources$/ {
      if ($0 ~ /^[ \t]*$/) { flush(); next }
      if ($0 ~ /^#/) next
      key = tolower($1); sub(/^[^:]*:[ \t]*/, "")
      if (key == "types:") types = $0
      else if (key == "uris:") uris = $0
      else if (key == "suites:") suites = $0
      else if (key == "components:") comps = $0
      else if (key == "signed-by:") signed = $0
      next
    }
    FILENAME !~ /\.sources$/ && $1 == "deb" {
      flush()
      i = 2; opts = ""
      if ($2 ~ /^\[/) { while ($i !~ /\]$/) { opts = opts " " $i; i++ } opts = opts " " $i; i++ }
      signed = ""
      if (match(opts, /signed-by=[^] ]*/)) signed = substr(opts, RSTART + 10, RLENGTH - 10)
      types = "deb"; uris = $i; suites = $(i + 1); comps = ""
      for (j = i + 2; j <= NF; j++) comps = comps (comps == "" ? "" : " ") $j
      flush()
    }
    END { flush() }
  ' "${files[@]}" >"$apt_dir/parts/debian-src.sources"
  if [ ! -s "$apt_dir/parts/debian-src.sources" ]; then
    echo "windows_deps: no Debian $codename entries in /etc/apt to take the sources from" >&2
    return 1
  fi
}

# The versions of each source package the archive lists, newest first, one package a line:
# "name version...". A mirror may list a version it no longer serves, so fetch() tries each.
source_versions() {
  local name versions
  for name in "${packages[@]}"; do
    versions=$(apt-cache "${apt_opts[@]}" showsrc --only-source "$name" |
      sed -n 's/^Version: //p' | sort -rV -u | tr '\n' ' ')
    [ -n "$versions" ] || return 1
    echo "$name ${versions% }"
  done
}

stamp_text() {
  echo "script $(sha256sum "$0" | cut -d' ' -f1)"
  echo "compiler $($host-g++-posix -dumpfullversion)"
  echo "zlib $(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)"
  cat "$deps/versions"
}

write_ready() {
  printf '%s (export PKG_CONFIG_LIBDIR=%s/lib/pkgconfig:/usr/%s/lib/pkgconfig)\n' \
    "$prefix" "$prefix" "$host" >"$deps/READY"
}

# deps/VERSIONS: a line a library, "NAME BUILT", with what the archive lists beside it when that
# is newer than what was built.
write_versions() {
  local name built listed
  {
    echo "# The libraries in $prefix: source package, version built (tools/windows_deps.sh)"
    while read -r name built; do
      listed=$(awk -v n="$name" '$1 == n { print $2 }' "$deps/versions")
      if [ -n "$listed" ] && [ "$listed" != "$built" ]; then
        echo "$name $built OLDER than the $listed the archive lists (not served)"
      else
        echo "$name $built"
      fi
    done <"$deps/built"
  } >"$deps/VERSIONS"
}

# The last lines of every run: each library older than the archive lists. With --release such a
# library ends the run.
report_older() {
  local older
  older=$(grep ' OLDER than ' "$deps/VERSIONS" || true)
  [ -n "$older" ] || return 0
  echo "windows_deps: built from sources older than the archive lists (the newest are not served):" >&2
  sed 's/^/  /' <<<"$older" >&2
  if [ "$release" = 1 ]; then
    echo "windows_deps: --release: not with a library older than the archive lists; try again once the mirror serves it" >&2
    exit 1
  fi
}

write_source_list
if ! apt-get "${apt_opts[@]}" -qq update || ! source_versions >"$deps/versions.new" ||
  [ "$(wc -l <"$deps/versions.new")" -ne ${#packages[@]} ]; then
  if [ -f "$deps/stamp" ] && [ -f "$deps/READY" ]; then
    if [ "$release" = 1 ]; then
      echo "windows_deps: --release: the archive cannot be reached to check the libraries built earlier" >&2
      exit 1
    fi
    echo "windows_deps: the archive cannot be reached; keeping the libraries built earlier" >&2
    report_older
    exit 0
  fi
  echo "windows_deps: cannot read the source packages' versions from the archive" >&2
  exit 1
fi
mv "$deps/versions.new" "$deps/versions"
if [ -f "$deps/stamp" ] && [ -f "$deps/READY" ] && [ "$(stamp_text)" = "$(cat "$deps/stamp")" ]; then
  echo "windows_deps: up to date in $prefix"
  write_versions
  report_older
  exit 0
fi

# --- fetch, unpack and cross-build ---

rm -rf "$prefix" "$deps/src" "$deps/stamp" "$deps/READY" "$deps/built" "$deps/VERSIONS"
mkdir -p "$prefix" "$deps/src"
start=$(date +%s)

# libtool asks winepath to convert paths while linking when Wine is installed; the paths need
# no conversion here, and Wine must not make a prefix in the user's home.
export lt_cv_to_host_file_cmd=func_convert_file_noop
export lt_cv_to_tool_file_cmd=func_convert_file_noop
export WINEPREFIX=$deps/wine WINEDEBUG=-all
# No debug information: these are shipped as they are, and build faster without it.
export CFLAGS="-O2" CXXFLAGS="-O2"
export CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib"
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig:/usr/$host/lib/pkgconfig PKG_CONFIG_PATH=
# --build given as well as --host: configure must never try to run a test program under Wine.
cross=(--build="$(gcc -dumpmachine)" --host="$host" --prefix="$prefix")

fetch() { # name -> the unpacked source directory on stdout
  local name=$1 version dir
  dir=$deps/src/$name
  for version in $(awk -v n="$name" '$1 == n { $1 = ""; print }' "$deps/versions"); do
    rm -rf "$dir" && mkdir -p "$dir"
    if (cd "$dir" && apt-get "${apt_opts[@]}" -qq source --download-only "$name=$version" >/dev/null 2>&1); then
      (cd "$dir" && dpkg-source -x ./*.dsc tree >/dev/null) || return 1
      mkdir -p "$prefix/share/licences"
      cp "$dir/tree/debian/copyright" "$prefix/share/licences/$name.txt"
      echo "$name $version" >>"$deps/built"
      echo "$dir/tree"
      return 0
    fi
    if [ "$release" = 1 ]; then
      echo "windows_deps: --release: $name $version is listed but not served; not building an older one" >&2
      return 1
    fi
    echo "windows_deps: $name $version is listed but not served; trying an older one" >&2
  done
  echo "windows_deps: no version of $name could be fetched" >&2
  return 1
}

step() { echo "windows_deps: $*"; }

build_sdl() {
  # The log goes to standard output: SDLmain is built without its stdout.txt redirection.
  ./configure "${cross[@]}" --disable-stdio-redirect --disable-nasm --disable-rpath \
    --disable-static --enable-shared &&
    make -j"$jobs" && make install
}

build_sdl_mixer() {
  ./configure "${cross[@]}" --with-sdl-prefix="$prefix" --disable-static --enable-shared \
    --disable-music-cmd --disable-music-mod --disable-music-midi --disable-music-ogg \
    --disable-music-flac --disable-music-mp3 --disable-music-mp3-mad-gpl --disable-smpegtest &&
    # The library alone: the sample programs do not link for Windows.
    make -j"$jobs" build/libSDL_mixer.la && make install-hdrs install-lib
}

build_libpng() {
  # The library alone, not its tools.
  ./configure "${cross[@]}" --disable-shared --enable-static &&
    make -j"$jobs" libpng16.la &&
    make install-libLTLIBRARIES install-library-links install-data
}

build_libjpeg_turbo() {
  # The library alone, in C: its SIMD code needs nasm, and decodes to the same pixels.
  cmake -S . -B build --toolchain "$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DENABLE_SHARED=0 -DENABLE_STATIC=1 -DWITH_TURBOJPEG=0 \
    -DWITH_SIMD=0 &&
    cmake --build build -j"$jobs" --target jpeg-static &&
    install -m 644 jpeglib.h jmorecfg.h jerror.h build/jconfig.h "$prefix/include" &&
    install -m 644 build/libjpeg.a "$prefix/lib" &&
    install -m 644 build/pkgscripts/libjpeg.pc "$prefix/lib/pkgconfig"
}

build_giflib() {
  # The library alone (its makefile builds Unix shared libraries and tools too); giflib installs
  # no pkg-config file.
  make -j"$jobs" libgif.a CC="$host-gcc-posix" AR="$host-ar" OFLAGS="$CFLAGS" &&
    install -m 644 gif_lib.h "$prefix/include" && install -m 644 libgif.a "$prefix/lib"
}

build_freetype() {
  # MinGW's zlib rather than FreeType's own copy, whose symbols clash with it in one program.
  ./configure "${cross[@]}" --disable-shared --enable-static --without-harfbuzz \
    --without-brotli --without-bzip2 --without-png --with-zlib=yes &&
    make -j"$jobs" && make install
}

mkdir -p "$prefix/include" "$prefix/lib/pkgconfig" "$deps/logs"
for step in "libsdl1.2 build_sdl" "sdl-mixer1.2 build_sdl_mixer" "libpng1.6 build_libpng" \
  "libjpeg-turbo build_libjpeg_turbo" "giflib build_giflib" "freetype build_freetype"; do
  read -r name build <<<"$step"
  step "$name"
  src=$(fetch "$name")
  # The time the DLLs' headers carry is the source's own (its last changelog entry), not the
  # build's, so the same sources give the same bytes.
  epoch=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Timestamp)
  # Each build function chains its commands with &&: set -e does not reach into an if.
  if ! (cd "$src" && SOURCE_DATE_EPOCH=$epoch "$build") >"$deps/logs/$name.log" 2>&1; then
    tail -n 30 "$deps/logs/$name.log" >&2
    echo "windows_deps: building $name failed (the whole log: $deps/logs/$name.log)" >&2
    exit 1
  fi
done

stamp_text >"$deps/stamp"
write_ready
write_versions
step "built in $(($(date +%s) - start)) s into $prefix:"
sed 's/^/  /' "$deps/built"
report_older
