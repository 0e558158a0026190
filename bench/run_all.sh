#!/usr/bin/env bash
# Runs every benchmark that was built into $1 and the Python benchmarks with $2.
set -euo pipefail
build_dir=$1
python=$2
cd "$(dirname "$0")/.."
data=../shared/data/debian-packages.jsonl.gz
for bench in "$build_dir"/bench/*_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" --data "$data"
done
for script in bench/*_bench.py; do
  [ -f "$script" ] || continue
  echo "== $(basename "$script")"
  "$python" "$script" --data "$data"
done
