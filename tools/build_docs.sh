#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html (open docs/_build/html/index.html).
# PYTHON names the interpreter (default: the active venv's python, else python3); the
# site's requirements (docs/requirements.txt) are installed into it, and kolva too when
# it is not importable yet. Every executed example runs against the example slide; a
# warning, a broken cross-reference or link, or a failing example fails the build.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$(command -v "${PYTHON:-python3}")
"$PY" -m pip install -q -r docs/requirements.txt
"$PY" -c "import kolva._core" 2>/dev/null || "$PY" -m pip install -q .
OUT=docs/_build
OPTS=(-q -W --keep-going -n -d "$OUT/doctrees")
"$PY" -m sphinx -b html "${OPTS[@]}" docs "$OUT/html"
"$PY" -m sphinx -b doctest "${OPTS[@]}" docs "$OUT/doctest"
"$PY" -m sphinx -b linkcheck "${OPTS[@]}" docs "$OUT/linkcheck"
echo "documentation: $OUT/html/index.html"
