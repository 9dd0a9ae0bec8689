#!/usr/bin/env bash
# Installs a repaired kolva wheel into a new venv as on a machine that never
# built anything: in a private mount namespace (an overlay over /usr), the files
# of every Debian package the base image lacks (../shared/tools/
# base-image-packages.txt) and of the base image's compilers, CMake, Python
# headers and JPEG library are removed. Then `kolva info --example` runs and
# every tile of the example slide is read through both modules: the wheel must
# bring its own libjpeg. Needs root and unshare, as CI has. With an sdist too,
# checks that it holds exactly the files git tracks (nothing built or cached).
#
#   bash .ci/wheel_check.sh dist/kolva-*.whl [dist/kolva-*.tar.gz]
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
if [ -n "${2:-}" ]; then
  listed=$(tar -tzf "$2" | cut -d/ -f2- | grep -v -e '/$' -e '^$' -e '^PKG-INFO$' | sort)
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    stray=$(comm -3 <(echo "$listed") <(git ls-files | sort))
  else
    stray=$(echo "$listed" | grep -E '(^|/)(build[^/]*|dist|\.venv[^/]*|__pycache__|\.cache)/|\.so$' || true)
  fi
  if [ -n "$stray" ]; then
    echo "wheel_check: the sdist differs from the tracked files (left: only in the sdist):" >&2
    echo "$stray" | head -n 20 >&2
    exit 1
  fi
fi
case "$(basename "$wheel")" in
  kolva-*-cp311-abi3-manylinux*_x86_64.whl | kolva-*-cp311-abi3-manylinux*_aarch64.whl) ;;
  *) echo "wheel_check: $wheel is not a repaired cp311-abi3 manylinux wheel" >&2; exit 1 ;;
esac
base_list=../shared/tools/base-image-packages.txt
# What only building needs: none of it may be required to install or run the wheel.
build_only="g++ g++-12 gcc gcc-12 cpp cpp-12 cmake cmake-data ninja-build libstdc++-12-dev
  libgcc-12-dev libjpeg-dev libjpeg62-turbo-dev libjpeg62-turbo libpython3-dev
  libpython3.11-dev python3-dev python3.11-dev"

d=$(mktemp -d /tmp/kolva-wheel-check.XXXX)
trap 'rm -rf "$d"' EXIT
dpkg-query -W -f '${Package}\n' | sort -u > "$d/installed"
{
  if [ -f "$base_list" ]; then comm -13 <(sort -u "$base_list") "$d/installed"; fi
  tr ' ' '\n' <<<"$build_only" | grep -x -F -f "$d/installed" || true
} | sort -u > "$d/hidden"

cat > "$d/check.py" <<'PY'
import importlib.metadata
import subprocess
import sys

import _kolva_rs
import kolva

version = importlib.metadata.version("kolva")
assert kolva.__version__ == version, (kolva.__version__, version)
shown = subprocess.run(["kolva", "--version"], capture_output=True, text=True, check=True).stdout
assert shown.split() == ["kolva", version], shown
subprocess.run(["kolva", "info", "--example"], check=True, stdout=subprocess.DEVNULL)

path = kolva.example_path()
decoder = _kolva_rs.KolvaPyDecoder(str(path))
count = 0
with kolva.open(path) as slide:
    for level in range(slide.level_count):
        gx, gy = slide.levels[level].tile_grid
        coords = [(x, y) for y in range(gy) for x in range(gx)]
        tiles = slide.read_tiles(level, coords)
        assert tiles == [slide.read_tile(level, x, y) for x, y in coords]
        assert all(len(t) > 2 for t in tiles)
        assert all(decoder.read_tile_as_bytes(level, x, y) for x, y in coords)
        count += len(tiles)
print(f"wheel check: kolva {version} read {count} tiles of the example slide "
      f"in a venv without build tools")
PY

cat > "$d/inner.sh" <<INNER
set -eu
# The Debian system's own Python and tools, nothing a user set up by hand.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount --make-rprivate /
mkdir -p "$d/up" "$d/work"
mount -t overlay overlay -o lowerdir=/usr,upperdir="$d/up",workdir="$d/work" /usr
while read -r p; do dpkg -L "\$p" 2>/dev/null | while read -r f; do
  case "\$f" in /usr/*) { [ -f "\$f" ] || [ -L "\$f" ]; } && rm -f "\$f";; esac; done; done < "$d/hidden"
for tool in cc g++ cmake; do
  if command -v "\$tool" >/dev/null; then echo "wheel_check: \$tool still visible" >&2; exit 1; fi
done
if ls /usr/include/jpeglib.h /usr/lib/*/libjpeg.so* >/dev/null 2>&1; then
  echo "wheel_check: the system's libjpeg is still visible" >&2; exit 1
fi
cd "$d"
python3 -m venv venv
venv/bin/python -m pip install -q "$wheel" > pip.log 2>&1 || { grep -v "^WARNING: Location" pip.log; exit 1; }
PATH="$d/venv/bin:\$PATH" venv/bin/python -I check.py
INNER

if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null 2>&1; then
  unshare -m bash "$d/inner.sh"
else
  echo "wheel_check: needs root and unshare to hide packages" >&2
  exit 1
fi
