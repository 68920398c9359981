#!/usr/bin/env bash
# Short fuzzing run of every libFuzzer target: configures a clang build with
# LUMO_FUZZ=ON in BUILD_DIR, builds the targets and runs each for SECONDS
# seconds on a scratch copy of its seed corpus. Exits 77 (skipped) when
# clang++ is not installed, but fails then when CI=true (as .ci/run sets).
#
#   tests/scripts/fuzz-smoke.sh SOURCE_DIR BUILD_DIR [SECONDS]
set -euo pipefail

src=$1
build=$2
seconds=${3:-10}

if ! command -v clang++ >/dev/null 2>&1; then
  if [[ ${CI:-} == true || ${CI:-} == 1 ]]; then
    echo "FAIL: clang++ is not installed (CI=$CI): install it with scripts/install-deps"
    exit 1
  fi
  echo "SKIP: clang++ is not installed"
  exit 77
fi

cmake -S "$src" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DLUMO_FUZZ=ON -DLUMO_BUILD_APP=OFF -DLUMO_BUILD_BENCH=OFF -DLUMO_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

targets=()
for f in "$src"/tests/fuzz/*.cpp; do
  targets+=("$(basename "$f" .cpp)")
done
cmake --build "$build" -j"${LUMO_JOBS:-2}" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for t in "${targets[@]}"; do
  corpus=$work/$t
  mkdir -p "$corpus"
  for seeds in "$src/tests/fuzz/corpus/$t" "$src/tests/fuzz/corpus/${t%_fuzz}"; do
    if [[ -d $seeds ]]; then cp -r "$seeds"/. "$corpus"/; fi
  done
  echo "== $t ($(find "$corpus" -type f | wc -l) seeds, ${seconds}s)"
  if ! "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "$corpus" >"$work/$t.log" 2>&1; then
    echo "FAIL: $t found a problem:"
    tail -n 60 "$work/$t.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|Done" "$work/$t.log" | tail -n 2 || true
  fi
done
exit "$status"
