#!/usr/bin/env bash
# Compiles the C++ core (src/) for the systems kolva is not built or tested on
# here, macOS on arm64 and Windows on x86_64, with Zig's clang and its bundled
# libc++ and system headers (ziglang from PyPI; no SDK needed), warnings as
# errors. Objects only: nothing is linked. The package's module (py-kolva/) is
# compiled for macOS too, against this interpreter's Python headers (Python's
# limited API headers are the same on every POSIX system; pyconfig.h is the
# host's). The headers of libjpeg, SQLite and zlib are plain C: the host's
# serve every target (libjpeg-turbo's jconfig.h names only its version and
# features, zlib's zconf.h only what every C compiler has).
#
#   bash tools/check_targets.sh [TARGET...]   # default: aarch64-macos x86_64-windows-gnu
#
# PYTHON names the interpreter whose environment gets ziglang (default python3).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
JOBS=${JOBS:-2}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(aarch64-macos x86_64-windows-gnu)

"$PY" -c "import ziglang" 2>/dev/null || "$PY" -m pip install -q ziglang
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# jpeglib.h, sqlite3.h, zlib.h and their companions, without the rest of the
# host's include tree.
mkdir -p "$scratch/jpeg"
for header in jpeglib.h jmorecfg.h jerror.h sqlite3.h zlib.h zconf.h; do
  cp "/usr/include/$header" "$scratch/jpeg/"
done
cp "$(echo /usr/include/*/jconfig.h /usr/include/jconfig.h 2>/dev/null | tr ' ' '\n' |
      while read -r f; do [ -f "$f" ] && echo "$f"; done | head -n 1)" "$scratch/jpeg/jconfig.h"
python_include=$("$PY" -c "import sysconfig; print(sysconfig.get_paths()['include'])")

flags=(-std=c++20 -Wall -Wextra -Wpedantic -Wshadow -Werror -Isrc -I"$scratch/jpeg")
status=0
for target in "${targets[@]}"; do
  mapfile -t sources < <(find src -name '*.cpp' | sort)
  module_flags=()
  case "$target" in
    *-windows*) ;;
    *)
      mapfile -t -O "${#sources[@]}" sources < <(find py-kolva -name '*.cpp' | sort)
      module_flags=(-Ipy-kolva -Ipy-kolva/core -Ipy-kolva/src -isystem "$python_include"
                    -DPy_LIMITED_API=0x030b0000)
      ;;
  esac
  mkdir -p "$scratch/$target"
  start=$(date +%s)
  # Each object and its messages to files of their own; a failure is noted and the rest go on.
  printf '%s\n' "${sources[@]}" |
    xargs -P "$JOBS" -I{} sh -c 'o="$1/$(echo "$2" | tr / _)"
      "$0" -m ziglang c++ -target "$3" -c -o "$o.o" "$2" '"${flags[*]} ${module_flags[*]:-}"' \
        >"$o.log" 2>&1 || { cat "$o.log"; echo "check_targets: $3: $2 failed"; }' \
      "$PY" "$scratch/$target" {} "$target" >"$scratch/$target.log" 2>&1
  if grep -q "^check_targets: .* failed" "$scratch/$target.log"; then
    grep -v 'unused during compilation' "$scratch/$target.log" | head -n 60 >&2
    echo "check_targets: $target FAILED" >&2
    status=1
  else
    echo "check_targets: $target: $(ls "$scratch/$target"/*.o | wc -l) objects in $(( $(date +%s) - start )) s"
  fi
done
exit "$status"
