#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each one briefly
# on its seed corpus: every seed once, then a few seconds of mutation. Exits
# non-zero on the first crash, sanitizer report, leak or timeout. New inputs go
# to a scratch directory, never into fuzz/corpus/. The timeout is generous: a
# looping directory chain runs to the read budget, a few seconds under ASan.
# FUZZ_BUILD_DIR may name a build already configured with -DKOLVA_FUZZ=ON and
# the sanitizers (tests/run_all.sh's, which builds the C++ tests and the fuzz
# targets on the same objects): it is brought up to date, not reconfigured.
#
#   .ci/fuzz_smoke.sh                 # about a minute in all
#   FUZZ_SECONDS=60 .ci/fuzz_smoke.sh # longer per target
#   FUZZ_JOBS=2 .ci/fuzz_smoke.sh     # two targets at a time
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${FUZZ_BUILD_DIR:-build-fuzz-smoke}
SECONDS_PER_TARGET=${FUZZ_SECONDS:-8}
JOBS=${JOBS:-2}
FUZZ_JOBS=${FUZZ_JOBS:-1}

for tool in clang clang++ cmake ninja; do
  command -v "$tool" >/dev/null || { echo "fuzz_smoke: $tool not found" >&2; exit 2; }
done

if ! grep -qs '^KOLVA_FUZZ:BOOL=ON' "$BUILD/CMakeCache.txt"; then
  # shellcheck disable=SC2086  # KOLVA_CMAKE_COMMON: tests/run_all.sh's flags (-Werror, ccache)
  CC=clang CXX=clang++ cmake -S . -B "$BUILD" ${KOLVA_CMAKE_COMMON:--G Ninja -DKOLVA_WERROR=ON} \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKOLVA_FUZZ=ON -DKOLVA_SANITIZE=ON -DKOLVA_BUILD_MODULE=OFF >/dev/null
fi
targets=()
for source in fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
ninja -C "$BUILD" -j"$JOBS" "${targets[@]}" >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# One target: its result line on stdout; on failure the report on stderr and
# exit status 1.
smoke() {
  local target=$1
  mkdir -p "$scratch/$target/new" "$scratch/$target/artifacts"
  local args=(-max_total_time="$SECONDS_PER_TARGET" -rss_limit_mb=2048 -timeout=60
              -print_final_stats=1 -artifact_prefix="$scratch/$target/artifacts/")
  [[ -f fuzz/$target.dict ]] && args+=(-dict="fuzz/$target.dict")
  local log="$scratch/$target.log"
  local corpora=("$scratch/$target/new")
  [[ -d fuzz/corpus/$target ]] && corpora+=("fuzz/corpus/$target")
  if "$BUILD/$target" "${args[@]}" "${corpora[@]}" >"$log" 2>&1; then
    echo "fuzz_smoke: $target ok: $(grep -E '^#[0-9]+' "$log" | tail -n 1 | awk '{print $1, $3, $4}')"
    return 0
  fi
  {
    echo "fuzz_smoke: $target FAILED"
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -n 20 || tail -n 30 "$log"
    for artifact in "$scratch/$target/artifacts"/*; do
      [[ -e $artifact ]] && echo "fuzz_smoke: input: $(base64 -w0 "$artifact" | head -c 4000)"
    done
  } >&2
  return 1
}
export -f smoke
export BUILD SECONDS_PER_TARGET scratch

# Each target's lines come out whole (xargs collects a failure as status 123).
printf '%s\n' "${targets[@]}" |
  xargs -P "$FUZZ_JOBS" -I{} bash -c 'out=$(smoke "$1" 2>&1); s=$?; printf "%s\n" "$out"; exit $s' _ {}
