#!/usr/bin/env bash
# Builds twice and runs every test in each build: first with AddressSanitizer
# and UndefinedBehaviorSanitizer, then the normal build that scripts/run.sh
# gives users (some faults show in only one of them, e.g. at process exit).
# Then runs each fuzz target briefly. Extra arguments go to ctest (e.g. -L unit).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" --tests || exit 1

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
failed=0

# build_and_test <build dir> <cmake options...>; the ctest arguments are "$ctest_args".
build_and_test() {
  local build=$1
  shift
  echo "== $(basename "$build"): build and test"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEL_BENCH=OFF -DVEL_FUZZ=OFF "$@" \
    >/dev/null || return 1
  cmake --build "$build" -j "$jobs" || return 1
  (cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600 "${ctest_args[@]}")
}
ctest_args=("$@")

(
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
  export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  build_and_test "$root/build-asan" -DVEL_SANITIZE=ON
) || failed=1
# The normal build compiles the benchmarks too (nothing runs them), so that
# none of them stops building unnoticed.
build_and_test "$root/build" -DVEL_SANITIZE=OFF -DVEL_BENCH=ON || failed=1

if [ "${VEL_SKIP_FUZZ:-0}" != 1 ]; then
  "$root/scripts/fuzz.sh" || failed=1
fi
exit $failed
