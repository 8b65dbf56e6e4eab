#!/usr/bin/env bash
# Cross-builds a static libarchive for the Windows build from Debian's own
# source package, with zlib as its only codec (Debian's libz-mingw-w64-dev).
# The result lands in build/windows-deps/prefix (include/, lib/), which the
# `windows` CMake preset reads. A finished prefix is reused.
#
# Usage: scripts/build-libarchive-mingw.sh [prefix]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
DEPS=$ROOT/build/windows-deps
PREFIX=${1:-$DEPS/prefix}
STAMP=$PREFIX/.libarchive-done

if [ -f "$STAMP" ]; then
  echo "libarchive for mingw: reusing $PREFIX ($(cat "$STAMP"))"
  exit 0
fi

# A deb-src entry mirroring the machine's own binary sources, so the source
# package comes from the same archive and suite as the installed packages.
SRC_LIST=/etc/apt/sources.list.d/camupgrade-deb-src.sources
if ! apt-get source --print-uris libarchive >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  tmp=$(mktemp)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ "$f" = "$SRC_LIST" ] && continue
    # deb822 stanzas: keep those of Types "deb", retyped as "deb-src".
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*(^| )deb( |\n|$)/ {
           gsub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); sub(/^\n/, ""); print }' "$f" >>"$tmp"
  done
  if [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' >"${tmp}.list" || true
  fi
  if [ -s "$tmp" ]; then
    $SUDO cp "$tmp" "$SRC_LIST"
  fi
  if [ -s "${tmp}.list" ]; then
    $SUDO cp "${tmp}.list" "${SRC_LIST%.sources}.list"
  fi
  rm -f "$tmp" "${tmp}.list"
  $SUDO apt-get update -qq
fi

mkdir -p "$DEPS/src"
cd "$DEPS/src"
srcdir=$(find . -maxdepth 1 -type d -name 'libarchive-*' | head -n 1)
if [ -z "$srcdir" ]; then
  apt-get source -qq libarchive >/dev/null
  srcdir=$(find . -maxdepth 1 -type d -name 'libarchive-*' | head -n 1)
fi
[ -n "$srcdir" ] || { echo "apt-get source libarchive gave no source tree" >&2; exit 1; }
srcdir=$(cd "$srcdir" && pwd)
version=$(basename "$srcdir")

# The tests' wine prefix: booting a prefix takes half a minute, so there is one.
WINEPREFIX_DIR=$ROOT/build/windows/wineprefix

# Only what the unpacking layer uses: reading archives (zip needs zlib's
# inflate). Everything else is off, and -O1, so the build stays short: one
# package is unpacked per upgrade, never a bottleneck. One configure
# check runs a test program (zlib's calling convention): wine runs it.
cmake -S "$srcdir" -B "$DEPS/libarchive-build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O1 -DNDEBUG" \
  -DCMAKE_INSTALL_PREFIX="$PREFIX" \
  -DBUILD_SHARED_LIBS=OFF \
  -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a \
  "-DCMAKE_CROSSCOMPILING_EMULATOR=$ROOT/scripts/wine-run.sh;$WINEPREFIX_DIR" \
  -DENABLE_ZLIB=ON -DENABLE_BZip2=OFF -DENABLE_LZMA=OFF -DENABLE_LZ4=OFF \
  -DENABLE_ZSTD=OFF -DENABLE_LZO=OFF -DENABLE_LIBB2=OFF \
  -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_CNG=OFF \
  -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_PCREPOSIX=OFF -DENABLE_PCRE2POSIX=OFF \
  -DENABLE_ICONV=OFF -DENABLE_ACL=OFF -DENABLE_XATTR=OFF \
  -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF -DENABLE_UNZIP=OFF \
  -DENABLE_TEST=OFF -DENABLE_INSTALL=OFF >"$DEPS/libarchive-configure.log" 2>&1 \
  || { tail -n 40 "$DEPS/libarchive-configure.log" >&2; exit 1; }
cmake --build "$DEPS/libarchive-build" --target archive_static -j2 >"$DEPS/libarchive-build.log" 2>&1 \
  || { tail -n 40 "$DEPS/libarchive-build.log" >&2; exit 1; }

mkdir -p "$PREFIX/include" "$PREFIX/lib"
cp "$srcdir/libarchive/archive.h" "$srcdir/libarchive/archive_entry.h" "$PREFIX/include/"
cp "$DEPS/libarchive-build/libarchive/libarchive_static.a" "$PREFIX/lib/libarchive.a" 2>/dev/null \
  || cp "$(find "$DEPS/libarchive-build" -name 'libarchive*.a' | head -n 1)" "$PREFIX/lib/libarchive.a"
echo "$version" >"$STAMP"
echo "libarchive for mingw: $version built into $PREFIX"
