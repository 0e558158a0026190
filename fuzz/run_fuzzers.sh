#!/usr/bin/env bash
# Builds the fuzz targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs each for FUZZ_SECONDS seconds (default 30), FUZZ_PARALLEL at a time
# (default 2), starting from the committed seeds in fuzz/corpus/<target>/.
# New inputs go to <build>/work/<target>, findings to <build>/artifacts/.
#   fuzz/run_fuzzers.sh [target ...]     (default: every target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
parallel=${FUZZ_PARALLEL:-2}
build=${FUZZ_BUILD:-build/fuzz}
jobs=${JOBS:-$(nproc)}
all_targets=(fuzz_snapshot_load fuzz_wal_read fuzz_decode_collection fuzz_decode_wal_entry
             fuzz_uuid fuzz_crypto fuzz_tokenizer)
if (($#)); then targets=("$@"); else targets=("${all_targets[@]}"); fi

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTESSARINE_BUILD_TESTS=OFF -DTESSARINE_BUILD_FUZZERS=ON > /dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

mkdir -p "$build/artifacts" "$build/logs"
run_one() {
  local target=$1
  mkdir -p "$build/work/$target"
  local start=$SECONDS
  if "$build/fuzz/$target" -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" \
      "$build/work/$target" "fuzz/corpus/$target" > "$build/logs/$target.log" 2>&1; then
    echo "fuzz: $target ran $((SECONDS - start))s, $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$build/logs/$target.log" | grep -o '[0-9]*$') runs, no finding"
  else
    echo "fuzz: $target FAILED after $((SECONDS - start))s; log $build/logs/$target.log:"
    tail -n 60 "$build/logs/$target.log"
    return 1
  fi
}

failed=0
pids=()
for target in "${targets[@]}"; do
  run_one "$target" &
  pids+=($!)
  if ((${#pids[@]} >= parallel)); then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
exit $failed
