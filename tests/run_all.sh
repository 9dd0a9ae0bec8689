#!/usr/bin/env bash
# Runs every test: the C++ suite under AddressSanitizer and UndefinedBehaviorSanitizer,
# the threaded C++ tests under ThreadSanitizer,
# a short smoke run of each fuzz target, then the Python suite against the package as
# users get it (the repaired wheel, also checked alone on a machine without build
# tools), and the benchmark on tiny inputs (no timing is checked). PYTHON names the
# interpreter, a venv's (.ci/run makes one): PyPI packages are installed into it.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
# Never the system interpreter's packages: without PYTHON, a venv of our own.
if [ -z "${PYTHON:-}" ]; then
  [ -x .venv-ci/bin/python ] || python3 -m venv .venv-ci
  PYTHON=$PWD/.venv-ci/bin/python
fi
PY=$(command -v "$PYTHON")

"$PY" -m pip install -q --upgrade pip >/dev/null
# The test requirements, and CMake and Ninja for the C++ builds below.
"$PY" -m pip install -q -r tests/requirements.txt cmake ninja
export PATH="$(dirname "$PY"):$PATH"

# C++ tests, and the small tools the Python tests drive, under ASan+UBSan.
cmake -S . -B build-ci -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOLVA_SANITIZE=ON \
  -DKOLVA_BUILD_TESTS=ON -DKOLVA_BUILD_TOOLS=ON -DKOLVA_BUILD_MODULE=OFF >/dev/null
ninja -C build-ci -j"$JOBS" --quiet
ctest --test-dir build-ci -j"$JOBS" --output-on-failure | tail -n 3

# The threaded tests (worker pool, one slide read from many threads) under
# ThreadSanitizer.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVA_SANITIZE_THREAD=ON \
  -DKOLVA_BUILD_TESTS=ON -DKOLVA_BUILD_MODULE=OFF >/dev/null
ninja -C build-tsan -j"$JOBS" --quiet kolva_thread_tests
TSAN_OPTIONS=halt_on_error=1 ./build-tsan/kolva_thread_tests --gtest_brief=1 | tail -n 2

# The package as users get it: the sdist, the wheel built from it and repaired by
# auditwheel; that wheel alone in a new venv with the build tools hidden, then the
# Python tests against it.
wheel=$(PYTHON="$PY" CMAKE_BUILD_PARALLEL_LEVEL="$JOBS" bash tools/build_wheel.sh dist | tail -n 1)
bash .ci/wheel_check.sh "$wheel" "$(dirname "$wheel")"/kolva-*.tar.gz
"$PY" -m pip uninstall -q -y kolva >/dev/null 2>&1 || true
"$PY" -m pip install -q "$wheel"
export KOLVA_TIFF_DUMP="$PWD/build-ci/tiff_dump"
"$PY" -m pytest -q -p no:cacheprovider tests

if [ -x .ci/fuzz_smoke.sh ] && command -v clang++ >/dev/null 2>&1; then
  bash .ci/fuzz_smoke.sh
fi
PYTHON="$PY" bash tools/build_docs.sh
"$PY" bench/bench.py --quick >/dev/null
"$PY" bench/bench_api.py --quick >/dev/null
echo "benchmark smoke run: ok"
