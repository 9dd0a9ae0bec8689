#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each one briefly
# on its seed corpus: every seed once, then a few seconds of mutation. Exits
# non-zero on the first crash, sanitizer report, leak or timeout. New inputs go
# to a scratch directory, never into fuzz/corpus/. The timeout is generous: a
# looping directory chain runs to the read budget, a few seconds under ASan.
#
#   .ci/fuzz_smoke.sh                 # about a minute in all
#   FUZZ_SECONDS=60 .ci/fuzz_smoke.sh # longer per target
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${FUZZ_BUILD_DIR:-build-fuzz-smoke}
SECONDS_PER_TARGET=${FUZZ_SECONDS:-8}
JOBS=${JOBS:-2}

for tool in clang clang++ cmake ninja; do
  command -v "$tool" >/dev/null || { echo "fuzz_smoke: $tool not found" >&2; exit 2; }
done

# shellcheck disable=SC2086  # KOLVA_CMAKE_COMMON: tests/run_all.sh's flags (-Werror, ccache)
CC=clang CXX=clang++ cmake -S . -B "$BUILD" ${KOLVA_CMAKE_COMMON:--G Ninja -DKOLVA_WERROR=ON} \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKOLVA_FUZZ=ON -DKOLVA_SANITIZE=ON -DKOLVA_BUILD_MODULE=OFF >/dev/null
ninja -C "$BUILD" -j"$JOBS" >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=0
for source in fuzz/fuzz_*.cpp; do
  target=$(basename "$source" .cpp)
  mkdir -p "$scratch/$target/new" "$scratch/$target/artifacts"
  args=(-max_total_time="$SECONDS_PER_TARGET" -rss_limit_mb=2048 -timeout=60
        -print_final_stats=1 -artifact_prefix="$scratch/$target/artifacts/")
  [[ -f fuzz/$target.dict ]] && args+=(-dict="fuzz/$target.dict")
  log="$scratch/$target.log"
  corpora=("$scratch/$target/new")
  [[ -d fuzz/corpus/$target ]] && corpora+=("fuzz/corpus/$target")
  if "$BUILD/$target" "${args[@]}" "${corpora[@]}" >"$log" 2>&1; then
    echo "fuzz_smoke: $target ok: $(grep -E '^#[0-9]+' "$log" | tail -n 1 | awk '{print $1, $3, $4}')"
  else
    echo "fuzz_smoke: $target FAILED" >&2
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -n 20 >&2 || tail -n 30 "$log" >&2
    for artifact in "$scratch/$target/artifacts"/*; do
      [[ -e $artifact ]] && echo "fuzz_smoke: input: $(base64 -w0 "$artifact" | head -c 4000)" >&2
    done
    failed=1
  fi
done
exit "$failed"
