#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer, runs every test,
# then runs each fuzz target briefly. Extra arguments go to ctest (e.g. -L unit).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"

build="$root/build-asan"
jobs=$(nproc)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEL_SANITIZE=ON >/dev/null
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export QT_QPA_PLATFORM=offscreen
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600 "$@")

if [ "${VEL_SKIP_FUZZ:-0}" != 1 ]; then
  "$root/scripts/fuzz.sh"
fi
