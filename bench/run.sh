#!/usr/bin/env bash
# Runs every benchmark program of a build directory and writes their results
# as JSON next to it (<build>/bench-<name>.json).
set -euo pipefail
build=${1:-build-bench}
status=0
shopt -s nullglob
programs=("$build"/bench/bench_*)
if [ ${#programs[@]} -eq 0 ]; then
  echo "no benchmark programs in $build/bench"
  exit 0
fi
echo "machine: $(uname -srm), $(nproc) cores; build: Release"
for program in "${programs[@]}"; do
  name=$(basename "$program")
  echo "== $name"
  "$program" --benchmark_out="$build/$name.json" --benchmark_out_format=json || status=1
done
exit $status
