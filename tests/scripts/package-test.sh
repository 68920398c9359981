#!/usr/bin/env bash
# The installed package, as a user of it sees it. Steps (ctest runs each as
# a test of its own, install first):
#
#   package-test.sh install   BUILD_DIR WORK_DIR        cmake --install into WORK_DIR/prefix, and
#                                                       the installed files are where they belong
#   package-test.sh headers   WORK_DIR CXX              every installed header compiles on its own
#   package-test.sh cmake     SOURCE_DIR WORK_DIR CXX   the example built with find_package, then run
#   package-test.sh pkgconfig SOURCE_DIR WORK_DIR CXX   the example built with pkg-config flags only, then run
#
# The example runs against the test server (LUMO_TEST_* as scripts/test-server
# env prints them, scratch database); without one it is skipped (77), or it
# fails when CI=true.
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }
step=${1:?step}
shift

version_of_source() {
  sed -n 's/^project(LumoKit VERSION \([0-9.]*\).*/\1/p' "$1/CMakeLists.txt"
}

# Runs the example and checks what it says it did.
run_example() {
  local exe=$1 version=$2
  local host=${LUMO_TEST_HOST:-127.0.0.1} port=${LUMO_TEST_PORT:-3306}
  if ! (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null; then
    if [[ ${CI:-} == true || ${CI:-} == 1 ]]; then
      fail "no test server at $host:$port (CI=$CI): start scripts/test-server"
    fi
    echo "SKIP: no test server at $host:$port: start it with scripts/test-server start"
    exit 77
  fi
  local out
  # A shared liblumokit is found as its users find it outside a build tree.
  out=$(LD_LIBRARY_PATH=$work/prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} "$exe" --host="$host" --port="$port" --user="${LUMO_TEST_USER:-root}" \
    --password="${LUMO_TEST_PASSWORD:-}" --database="${LUMO_TEST_SCRATCH_DATABASE:-lumo_test}") ||
    fail "the example failed (exit status $?)"
  echo "$out"
  local expected
  expected=$(printf '%s\n' "LumoKit $version" "row: 1 bolts 40" "row: 3 washers 90" \
    "posted: bolts 40 -> 45" "on the server: bolts 45")
  [[ $(grep -v '^connected to ' <<<"$out") == "$expected" ]] ||
    fail "the example printed something else than expected:"$'\n'"$expected"
}

case $step in
  install)
    build=$1 work=$2
    rm -rf "$work/prefix"
    mkdir -p "$work"
    cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" ||
      { cat "$work/install.log" >&2; fail "cmake --install failed"; }
    prefix=$work/prefix
    for f in include/lumokit/lumo/Lumo.h include/lumokit/core/LumoKitVersion.h \
      lib/cmake/LumoKit/LumoKitConfig.cmake lib/cmake/LumoKit/LumoKitConfigVersion.cmake \
      lib/cmake/LumoKit/LumoKitTargets.cmake lib/pkgconfig/lumokit.pc; do
      [[ -f $prefix/$f ]] || fail "$f is not installed"
    done
    compgen -G "$prefix/lib/liblumokit.*" >/dev/null || fail "no lib/liblumokit.* installed"
    others=$(find "$prefix/include" -type f ! -name '*.h')
    [[ -z $others ]] || fail "not only headers under include/: $others"
    # Nothing refers back to the build or the source tree.
    if grep -rl "$(cd "$(dirname "$0")/../.." && pwd)" "$prefix/lib/cmake" "$prefix/lib/pkgconfig"; then
      fail "the package files name the source tree"
    fi
    echo "installed into $prefix: $(find "$prefix/include" -name '*.h' | wc -l) headers"
    ;;

  headers)
    prefix=$1/prefix cxx=$2
    list=$1/headers.txt
    (cd "$prefix/include" && find lumokit -name '*.h' | sort) >"$list"
    [[ -s $list ]] || fail "no headers installed"
    # One translation unit per header, two at a time; each failure is listed.
    failed=$(xargs -P "${LUMO_JOBS:-2}" -I{} sh -c \
      'printf "#include <%s>\n" "$1" | "$2" -std=c++20 -fsyntax-only -I"$3/include" -x c++ - 2>/dev/null || echo "$1"' \
      _ {} "$cxx" "$prefix" <"$list")
    if [[ -n $failed ]]; then
      first=$(head -n1 <<<"$failed")
      printf '#include <%s>\n' "$first" | "$cxx" -std=c++20 -fsyntax-only -I"$prefix/include" -x c++ - || true
      fail "headers that do not compile on their own:"$'\n'"$failed"
    fi
    echo "$(wc -l <"$list") headers compile on their own"
    ;;

  cmake)
    src=$1 work=$2 cxx=$3
    rm -rf "$work/example-cmake"
    cmake -S "$src/examples/consumer" -B "$work/example-cmake" -G Ninja \
      -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/example-cmake.log" 2>&1 ||
      { cat "$work/example-cmake.log" >&2; fail "configuring the example failed"; }
    cmake --build "$work/example-cmake" >>"$work/example-cmake.log" 2>&1 ||
      { cat "$work/example-cmake.log" >&2; fail "building the example failed"; }
    run_example "$work/example-cmake/lumokit-example" "$(version_of_source "$src")"
    ;;

  pkgconfig)
    src=$1 work=$2 cxx=$3
    export PKG_CONFIG_PATH=$work/prefix/lib/pkgconfig
    version=$(version_of_source "$src")
    [[ $(pkg-config --modversion lumokit) == "$version" ]] || fail "lumokit.pc does not say version $version"
    mkdir -p "$work/example-pkgconfig"
    # shellcheck disable=SC2046 # the flags are words
    "$cxx" -std=c++20 -o "$work/example-pkgconfig/lumokit-example" "$src/examples/consumer/main.cpp" \
      $(pkg-config --cflags --libs lumokit) || fail "building the example with pkg-config flags failed"
    run_example "$work/example-pkgconfig/lumokit-example" "$version"
    ;;

  *)
    fail "unknown step '$step'"
    ;;
esac
