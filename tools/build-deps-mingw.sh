#!/usr/bin/env bash
# Cross-builds, for x86_64-w64-mingw32, the static libraries Debian does not
# package for MinGW: zstd, liblzma, LZO, libjpeg-turbo, ISA-L (inflate),
# omnithread and GoogleTest. Sources are Debian's own source packages (GoogleTest: the
# googletest package's /usr/src/googletest). zlib needs no build: it comes
# from libz-mingw-w64-dev.
#
# Usage: tools/build-deps-mingw.sh [PREFIX]      (default: build/deps-mingw)
#
# Each library writes PREFIX/.stamp-<name> (holding the source version) once it
# is installed; a rerun skips every library whose stamp is there. Delete a
# stamp to rebuild that library. Libraries build in parallel; logs go to
# build/deps-src/logs/<name>.log.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PREFIX=${1:-$REPO/build/deps-mingw}
mkdir -p "$PREFIX"
PREFIX=$(cd "$PREFIX" && pwd)
SRC=$REPO/build/deps-src
LOGS=$SRC/logs
TOOLCHAIN=$REPO/cmake/toolchain-mingw.cmake
TRIPLET=x86_64-w64-mingw32
JOBS=$(nproc)

LIBS=(zstd lzma lzo jpeg isal omnithread gtest)

todo=()
for lib in "${LIBS[@]}"; do
  [ -f "$PREFIX/.stamp-$lib" ] || todo+=("$lib")
done
if [ ${#todo[@]} -eq 0 ]; then
  echo "MinGW dependencies up to date in $PREFIX"
  exit 0
fi

# Tools and the deb-src entry come from setup-packages.sh.
for cmd in $TRIPLET-gcc-posix $TRIPLET-g++-posix $TRIPLET-ar cmake ninja nasm dpkg-source; do
  if ! command -v "$cmd" >/dev/null; then
    "$REPO/tools/setup-packages.sh"
    break
  fi
done
if [ ! -f /etc/apt/sources.list.d/kebviewer-src.sources ]; then
  "$REPO/tools/setup-packages.sh"
fi
if ! apt-cache showsrc libzstd 2>/dev/null | grep -q '^Version:'; then
  apt-get update -qq
fi

mkdir -p "$SRC" "$LOGS"
cd "$SRC"

# Downloads and unpacks Debian source package $1 into $SRC.
# Sets SRCDIR (the unpacked tree) and SRCVER (the Debian version).
fetch_source() {
  local pkg=$1 dsc empty
  # --print-uris leaves out files already in the current directory: ask from
  # an empty one.
  empty=$(mktemp -d)
  dsc=$(cd "$empty" && apt-get source --print-uris -qq "$pkg" | awk '$2 ~ /\.dsc$/ {print $2; exit}')
  rmdir "$empty"
  [ -n "$dsc" ] || { echo "no source package $pkg (is the deb-src entry there?)" >&2; return 1; }
  SRCVER=${dsc#"${pkg}_"}
  SRCVER=${SRCVER%.dsc}
  SRCDIR=$SRC/$pkg-${SRCVER%-*}
  # apt-get source skips unpacking into an existing tree; a tree without our
  # marker may be half unpacked by an interrupted run, so unpack it again.
  local mark=$SRC/.unpacked-$pkg-$SRCVER
  if [ ! -f "$mark" ]; then
    rm -rf "$SRCDIR"
    (cd "$SRC" && apt-get source -q -o APT::Sandbox::User=root "$pkg")
    [ -d "$SRCDIR" ] || { echo "apt-get source $pkg did not give $SRCDIR" >&2; return 1; }
    touch "$mark"
  fi
}

# cmake_build NAME SOURCE_DIR [CMAKE_ARGS...]: fresh configure and build with
# the MinGW toolchain, installing into PREFIX. BUILD_TARGET / INSTALL_COMPONENT
# narrow the build and the install when set.
cmake_build() {
  local name=$1 src=$2
  shift 2
  local b=$SRC/build-$name
  rm -rf "$b"
  cmake -S "$src" -B "$b" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DKEB_DEPS_PREFIX="$PREFIX" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" "$@"
  cmake --build "$b" -j "$JOBS" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
  cmake --install "$b" ${INSTALL_COMPONENT:+--component "$INSTALL_COMPONENT"}
}

build_zstd() {
  fetch_source libzstd
  cmake_build zstd "$SRCDIR/build/cmake" \
    -DZSTD_BUILD_STATIC=ON -DZSTD_BUILD_SHARED=OFF \
    -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF -DZSTD_BUILD_CONTRIB=OFF
}

build_lzma() {
  fetch_source xz-utils
  # Only the library: the xz/xzdec programs are not needed.
  BUILD_TARGET=liblzma INSTALL_COMPONENT=liblzma_Development \
    cmake_build lzma "$SRCDIR" -DBUILD_SHARED_LIBS=OFF
}

build_lzo() {
  fetch_source lzo2
  # Its install step wants the example programs, so build everything.
  cmake_build lzo "$SRCDIR" -DENABLE_STATIC=ON -DENABLE_SHARED=OFF
}

build_jpeg() {
  fetch_source libjpeg-turbo
  cmake_build jpeg "$SRCDIR" \
    -DENABLE_STATIC=ON -DENABLE_SHARED=OFF -DWITH_TURBOJPEG=OFF \
    -DWITH_SIMD=ON -DREQUIRE_SIMD=ON -DCMAKE_ASM_NASM_COMPILER=nasm
}

# ISA-L (source package libisal) builds for MinGW with its own Makefile.unx, its
# assembly with nasm in the win64 format; only the library is needed.
build_isal() {
  fetch_source libisal
  local b=$SRC/build-isal
  rm -rf "$b"
  cp -a "$SRCDIR" "$b"
  make -C "$b" -f Makefile.unx -j "$JOBS" arch=mingw CC=$TRIPLET-gcc-posix AR=$TRIPLET-ar AS=nasm lib
  mkdir -p "$PREFIX/lib" "$PREFIX/include/isa-l"
  install -m 644 "$b/bin/isa-l.a" "$PREFIX/lib/libisal.a"
  install -m 644 "$b"/include/*.h "$PREFIX/include/isa-l/"
}

# omnithread has no build system of its own outside omniORB's; two files and a
# small omniconfig.h describing this target are all it needs.
build_omnithread() {
  fetch_source omniorb-dfsg
  local b=$SRC/build-omnithread
  rm -rf "$b"
  mkdir -p "$b/include"
  cat > "$b/include/omniconfig.h" <<'EOF'
/* omniORB configuration for x86_64-w64-mingw32 (written by build-deps-mingw.sh). */
#ifndef __omniconfig_h__
#define __omniconfig_h__
#include <stddef.h>
#define OMNI_CONFIG_TRADITIONAL
#define SIZEOF_PTR 8
#define SIZEOF_LONG 4
#define SIZEOF_INT 4
#define SIZEOF_LONG_DOUBLE 16
#define _OMNIORB_HOST_BYTE_ORDER_ 1
#define OMNI_HAVE_SYNC_ADD_AND_FETCH 1
#endif
EOF
  local f
  for f in nt threaddata; do
    $TRIPLET-g++-posix -O2 -DWINVER=0x0A00 -D_WIN32_WINNT=0x0A00 \
      -I"$b/include" -I"$SRCDIR/include" \
      -c "$SRCDIR/src/lib/omnithread/$f.cc" -o "$b/$f.o"
  done
  rm -f "$b/libomnithread.a"
  $TRIPLET-ar rcs "$b/libomnithread.a" "$b/nt.o" "$b/threaddata.o"

  mkdir -p "$PREFIX/lib/cmake/omnithread" "$PREFIX/include/omnithread" "$PREFIX/include/omniORB4"
  install -m 644 "$b/libomnithread.a" "$PREFIX/lib/"
  install -m 644 "$b/include/omniconfig.h" "$SRCDIR/include/omnithread.h" "$PREFIX/include/"
  install -m 644 "$SRCDIR"/include/omnithread/*.h "$PREFIX/include/omnithread/"
  install -m 644 "$SRCDIR/include/omniORB4/CORBA_sysdep.h" \
    "$SRCDIR/include/omniORB4/CORBA_sysdep_trad.h" \
    "$SRCDIR/include/omniORB4/local_config.h" "$PREFIX/include/omniORB4/"
  cat > "$PREFIX/lib/cmake/omnithread/omnithread-config.cmake" <<'EOF'
# omnithread for x86_64-w64-mingw32, built by tools/build-deps-mingw.sh.
# Consumers must define WINVER and _WIN32_WINNT themselves (omnithread/nt.h
# falls back to 0x0400 otherwise).
get_filename_component(_omnithread_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET omnithread::omnithread)
  add_library(omnithread::omnithread STATIC IMPORTED)
  set_target_properties(omnithread::omnithread PROPERTIES
    IMPORTED_LOCATION "${_omnithread_prefix}/lib/libomnithread.a"
    INTERFACE_INCLUDE_DIRECTORIES "${_omnithread_prefix}/include")
endif()
unset(_omnithread_prefix)
set(omnithread_FOUND TRUE)
EOF
}

build_gtest() {
  SRCVER=$(dpkg-query -W -f='${Version}' googletest)
  cmake_build gtest /usr/src/googletest \
    -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON -DBUILD_SHARED_LIBS=OFF
}

start=$SECONDS
declare -A pids
for lib in "${todo[@]}"; do
  (
    t0=$SECONDS
    "build_$lib"
    printf '%s\n' "$SRCVER" > "$PREFIX/.stamp-$lib"
    echo "== $lib $SRCVER installed in $((SECONDS - t0)) s"
  ) > "$LOGS/$lib.log" 2>&1 &
  pids[$lib]=$!
done
trap 'kill "${pids[@]}" 2>/dev/null || true' INT TERM

failed=()
for lib in "${todo[@]}"; do
  if wait "${pids[$lib]}"; then
    tail -n 1 "$LOGS/$lib.log"
  else
    failed+=("$lib")
  fi
done
trap - INT TERM

for lib in "${failed[@]}"; do
  echo "---- $lib FAILED; last lines of $LOGS/$lib.log:" >&2
  tail -n 30 "$LOGS/$lib.log" >&2
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "build-deps-mingw: failed: ${failed[*]}" >&2
  exit 1
fi
echo "MinGW dependencies installed in $PREFIX ($((SECONDS - start)) s)"
