#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and runs each for a short
# while (FUZZ_SECONDS, default 20) from its seed corpus.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${FUZZ_SECONDS:-20}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVEL_FUZZ=ON >/dev/null
mapfile -t targets < <(grep -v '^$' "$build/fuzzers.txt" || true)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets"
  exit 0
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
export ASAN_OPTIONS="detect_leaks=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
failed=0
for t in "${targets[@]}"; do
  exe=$(find "$build" -type f -name "$t" -perm -u+x | head -n 1)
  src=$(grep -rl --include="${t#fuzz_}.cpp" LLVMFuzzerTestOneInput "$root" | grep -v '/build' | head -n 1)
  corpus_seed="$(dirname "$src")/corpus/${t#fuzz_}"
  corpus_seed=${corpus_seed%_fuzz}
  work=$(mktemp -d)
  echo "fuzzing $t for ${seconds}s"
  if ! "$exe" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
       -artifact_prefix="$build/$t-" "$work" ${corpus_seed:+$( [ -d "$corpus_seed" ] && echo "$corpus_seed")} \
       >"$build/$t.log" 2>&1; then
    echo "FUZZ FAILURE in $t:"; tail -n 60 "$build/$t.log"; failed=1
  fi
  rm -rf "$work"
done
exit $failed
