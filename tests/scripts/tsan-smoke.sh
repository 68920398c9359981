#!/usr/bin/env bash
# The thread tests (tests/tsan) under ThreadSanitizer: configures a copy of
# the build with LUMO_SANITIZE=thread in BUILD_DIR, builds only what those
# tests need and runs them; any race report fails the run. The test server
# is the one the environment names (LUMO_TEST_*).
#
#   tests/scripts/tsan-smoke.sh SOURCE_DIR BUILD_DIR
set -euo pipefail

src=$1
build=$2

cmake -S "$src" -B "$build" -G Ninja -DLUMO_SANITIZE=thread \
  -DLUMO_BUILD_APP=OFF -DLUMO_BUILD_BENCH=OFF -DLUMO_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${LUMO_JOBS:-2}" --target lumo_tsan_tests

export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
"$build/tests/lumo_tsan_tests"
