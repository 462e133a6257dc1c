#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and runs each for the same
# short while from its seed corpus: FUZZ_SECONDS each when set, else 8 s in CI
# (CI=true) and 20 s otherwise. A longer hunt: FUZZ_SECONDS=600 scripts/fuzz.sh
# [target...] (names as in build-fuzz/fuzzers.txt, e.g. fuzz_registry_fuzz).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
if [ -n "${FUZZ_SECONDS:-}" ]; then
  seconds=$FUZZ_SECONDS
elif [ "${CI:-}" = true ]; then
  seconds=8
else
  seconds=20
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVEL_FUZZ=ON -DVEL_BENCH=OFF >/dev/null
if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(grep -v '^$' "$build/fuzzers.txt" || true)
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets"
  exit 0
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
export ASAN_OPTIONS="detect_leaks=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
# One target, its log in the build folder; a failure leaves "$t.failed" there.
fuzz_one() {
  local t=$1 exe name src corpus_seed work
  exe=$(find "$build" -type f -name "$t" -perm -u+x | head -n 1)
  name=${t#fuzz_}
  src=$(find "$root" -path "$root/build*" -prune -o -path '*/tests/fuzz/*' -name "$name.cpp" -print | head -n 1)
  corpus_seed="$(dirname "$src")/corpus/${name%_fuzz}"
  local seeds=()
  [ -d "$corpus_seed" ] && seeds=("$corpus_seed")
  work=$(mktemp -d)
  if ! "$exe" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
       -artifact_prefix="$build/$t-" "$work" "${seeds[@]}" >"$build/$t.log" 2>&1; then
    touch "$build/$t.failed"
  fi
  rm -rf "$work"
}
# Each fuzzer uses one core: run as many at once as there are cores.
jobs=$(nproc)
for t in "${targets[@]}"; do
  rm -f "$build/$t.failed"
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  echo "fuzzing $t for ${seconds}s"
  fuzz_one "$t" &
done
wait
failed=0
for t in "${targets[@]}"; do
  if [ -e "$build/$t.failed" ]; then
    echo "FUZZ FAILURE in $t:"; tail -n 60 "$build/$t.log"; failed=1
  fi
done
exit $failed
