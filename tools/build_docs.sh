#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html (open docs/_build/html/index.html).
# PYTHON names the interpreter (default: the active venv's python, else python3); the
# site's requirements (docs/requirements.txt) are installed into it, and kolva too when
# it is not importable yet. Every executed example runs against the example slide; a
# warning, a broken cross-reference or link, or a failing example fails the build.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$(command -v "${PYTHON:-python3}")
# pip only when a requirement is not installed yet (asking the index costs seconds).
"$PY" - <<'EOS' || "$PY" -m pip install -q -r docs/requirements.txt
import importlib.metadata, re, sys
names = [re.split(r"[<>=!~\[; ]", line.strip())[0]
         for line in open("docs/requirements.txt") if line.strip() and line[0] != "#"]
for name in names:
    try:
        importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        sys.exit(1)
EOS
"$PY" -c "import kolva._core" 2>/dev/null || "$PY" -m pip install -q .
OUT=docs/_build
OPTS=(-q -W --keep-going -n -d "$OUT/doctrees")
"$PY" -m sphinx -b html "${OPTS[@]}" docs "$OUT/html"
"$PY" -m sphinx -b doctest "${OPTS[@]}" docs "$OUT/doctest"
"$PY" -m sphinx -b linkcheck "${OPTS[@]}" docs "$OUT/linkcheck"
echo "documentation: $OUT/html/index.html"
