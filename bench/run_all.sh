#!/usr/bin/env bash
# Runs every benchmark that was built into $1 and the Python benchmarks with $2.
# BENCH_QUICK=1 passes --quick to each of them (small sizes, seconds each).
set -euo pipefail
build_dir=$(cd "$1" && pwd)
python=$2
cd "$(dirname "$0")/.."
data=../shared/data/debian-packages.jsonl.gz
args=(--data "$data")
if [ -n "${BENCH_QUICK:-}" ] && [ "${BENCH_QUICK}" != 0 ]; then args+=(--quick); fi
# Python benchmarks that compare with a C++ program find it here.
export BENCH_BUILD_DIR=$build_dir
for bench in "$build_dir"/bench/*_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" "${args[@]}"
done
# The peers that the *_peers_bench.py scripts compare with (and matplotlib for
# their plots) go into the venv here, never for make test; without them those
# scripts report the missing ones skipped.
"$python" -m pip install -q -r bench/requirements-peers.txt ||
  echo "bench: could not install bench/requirements-peers.txt"
for script in bench/*_bench.py; do
  [ -f "$script" ] || continue
  echo "== $(basename "$script")"
  "$python" "$script" "${args[@]}"
done
