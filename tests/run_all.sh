#!/usr/bin/env bash
# Runs every test: the C++ suite under AddressSanitizer and UndefinedBehaviorSanitizer
# beside a short smoke run of each fuzz target (one build for both), the threaded C++
# tests under ThreadSanitizer, then the Python suite against the package as
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

# Warnings are errors here (not for users installing the sdist). ccache, when
# installed, keeps objects across runs on one machine; CCACHE_BASEDIR makes its
# entries independent of where the repository was cloned.
CMAKE_COMMON=(-G Ninja -DKOLVA_WERROR=ON)
if command -v ccache >/dev/null 2>&1; then
  CMAKE_COMMON+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$PWD
fi
export KOLVA_CMAKE_COMMON="${CMAKE_COMMON[*]}"
# Each phase's wall time, printed at the end (where CI's time goes).
phase_start=$SECONDS
phases=()
phase() { phases+=("$(printf '%-28s %4d s' "$1" $((SECONDS - phase_start)))"); phase_start=$SECONDS; }
trap 'printf "%s\n" "${phases[@]}"' EXIT
phase "set-up (pip)"

# One ASan+UBSan build for the C++ tests, the small tools the Python tests drive
# and, with clang, the libFuzzer targets on the same objects (the coverage
# instrumentation costs the tests little; one compile of the core instead of two).
cxx=()
fuzz=OFF
if command -v clang++ >/dev/null 2>&1; then
  cxx=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
  fuzz=ON
fi
cmake -S . -B build-ci "${CMAKE_COMMON[@]}" "${cxx[@]}" -DCMAKE_BUILD_TYPE=Debug -DKOLVA_SANITIZE=ON \
  -DKOLVA_BUILD_TESTS=ON -DKOLVA_BUILD_TOOLS=ON -DKOLVA_FUZZ="$fuzz" -DKOLVA_BUILD_MODULE=OFF >/dev/null
ninja -C build-ci -j"$JOBS" --quiet
phase "C++ ASan+UBSan build"
# The C++ suite (one process) and the fuzz smoke run (one target at a time) side
# by side, a core each; five seconds of mutation a target after its seeds.
ctest --test-dir build-ci --output-on-failure >build-ci/ctest.log 2>&1 &
ctest_pid=$!
fuzz_status=0
if [ "$fuzz" = ON ]; then
  FUZZ_BUILD_DIR=build-ci FUZZ_JOBS=1 FUZZ_SECONDS=${FUZZ_SECONDS:-5} bash .ci/fuzz_smoke.sh || fuzz_status=$?
fi
ctest_status=0
wait "$ctest_pid" || ctest_status=$?
if [ "$ctest_status" -ne 0 ]; then cat build-ci/ctest.log; else tail -n 3 build-ci/ctest.log; fi
if [ "$ctest_status" -ne 0 ] || [ "$fuzz_status" -ne 0 ]; then exit 1; fi
phase "C++ tests + fuzz smoke"

# The threaded tests (worker pool, one slide read from many threads) under
# ThreadSanitizer, built by the host compiler (g++ on Debian: the core is built
# with -Werror by both compilers).
cmake -S . -B build-tsan "${CMAKE_COMMON[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOLVA_SANITIZE_THREAD=ON \
  -DKOLVA_BUILD_TESTS=ON -DKOLVA_BUILD_MODULE=OFF >/dev/null
ninja -C build-tsan -j"$JOBS" --quiet kolva_thread_tests
TSAN_OPTIONS=halt_on_error=1 ./build-tsan/kolva_thread_tests --gtest_brief=1 | tail -n 2
phase "C++ TSan build+tests"

# The package as users get it: the sdist, the wheel built from it and repaired by
# auditwheel; that wheel alone in a new venv with the build tools hidden, then the
# Python tests against it.
# KOLVA_WHEEL_TOOLCHAIN=zig builds the manylinux_2_17 wheels of both architectures
# instead of the host compiler's wheel (Zig compiles its libc++ once per target
# on a fresh machine, several minutes of CPU each).
# The host compiler builds it with a warning added that the code does not heed
# (-Wconversion): a user's compiler warning about something new stops nothing.
wheel=$(PYTHON="$PY" CMAKE_BUILD_PARALLEL_LEVEL="$JOBS" KOLVA_WHEEL_TOOLCHAIN="${KOLVA_WHEEL_TOOLCHAIN:-host}" \
  CXXFLAGS="${CXXFLAGS:-} -Wconversion" \
  bash tools/build_wheel.sh dist | tail -n 1)
phase "wheels + sdist build"
# The wheel check (mostly pip unpacking into a new venv) beside the Python tests.
bash .ci/wheel_check.sh "$wheel" "$(dirname "$wheel")"/kolva-*.tar.gz >build-ci/wheel_check.log 2>&1 &
check_pid=$!
"$PY" -m pip uninstall -q -y kolva >/dev/null 2>&1 || true
"$PY" -m pip install -q "$wheel"
export KOLVA_TIFF_DUMP="$PWD/build-ci/tiff_dump"
pytest_status=0
"$PY" -m pytest -q -p no:cacheprovider -n "$JOBS" tests || pytest_status=$?
check_status=0
wait "$check_pid" || check_status=$?
cat build-ci/wheel_check.log
if [ "$pytest_status" -ne 0 ] || [ "$check_status" -ne 0 ]; then exit 1; fi
phase "wheel check + pytest"

PYTHON="$PY" bash tools/build_docs.sh
phase "docs"
"$PY" bench/bench.py --quick >/dev/null
"$PY" bench/bench_api.py --quick >/dev/null
echo "benchmark smoke run: ok"
phase "bench smoke"
