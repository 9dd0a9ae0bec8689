#!/usr/bin/env bash
# Runs every test: the C++ suite (plain and under ASan+UBSan), then the Python
# suite against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
PY=${PYTHON:-python3}

"$PY" -m pip install -q --upgrade pip >/dev/null
"$PY" -m pip install -q -r tests/requirements.txt

# C++ tests and the small tools the Python tests drive.
cmake -S . -B build-ci -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOLVA_BUILD_TESTS=ON -DKOLVA_BUILD_TOOLS=ON -DKOLVA_BUILD_MODULE=OFF >/dev/null
ninja -C build-ci -j"$JOBS" >/dev/null
ctest --test-dir build-ci -j"$JOBS" --output-on-failure | tail -n 3

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake -S . -B build-ci-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOLVA_SANITIZE=ON \
  -DKOLVA_BUILD_TESTS=ON -DKOLVA_BUILD_MODULE=OFF >/dev/null
ninja -C build-ci-asan -j"$JOBS" >/dev/null
ctest --test-dir build-ci-asan -j"$JOBS" --output-on-failure | tail -n 3

# The module as users get it, then the Python tests against it.
"$PY" -m pip install -q . 
export KOLVA_TIFF_DUMP="$PWD/build-ci/tiff_dump"
"$PY" -m pytest -q -p no:cacheprovider tests
