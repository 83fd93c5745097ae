#!/usr/bin/env bash
# Runs the benchmark programs of a build directory, the mount figure, and
# prints one table of store-versus-baseline figures, also written as JSON.
#
# usage: run.sh [BUILD_DIR [OUT_JSON]]
#   BUILD_DIR  the Release build with the bench programs (default build-bench)
#   OUT_JSON   where the table goes as JSON (default build/bench.json)
# Environment: BENCH_DIR where containers and baseline directories are made
#   (default BUILD_DIR/bench-tmp; both sides of a figure use the same disk);
#   BENCH_SCALE divides the sizes for a quick run (the table says so);
#   BENCH_MEMORY_FILES files for the memory figure (default 200000, as the
#   figure is defined, divided by BENCH_SCALE; about three minutes of the run);
#   BENCH_ALL=1 also runs the component programs that feed no row of the table.
set -uo pipefail
build=${1:-build-bench}
out=${2:-build/bench.json}
here=$(cd "$(dirname "$0")" && pwd)
results="$build/bench-results"
export BENCH_DIR=${BENCH_DIR:-$build/bench-tmp}
mkdir -p "$results" "$BENCH_DIR" "$(dirname "$out")"
BENCH_DIR=$(cd "$BENCH_DIR" && pwd)
export TMPDIR=$BENCH_DIR
# A private configuration file: the containers publish their command port.
export OBJSTORE_REGISTRY="$BENCH_DIR/registry"
rm -f "$results"/*.json

table_programs=(StoreVsPosixBench BackupBench PointInTimeBench MemoryBench)
other_programs=(DiskCacheBench IndexBench)
programs=("${table_programs[@]}")
[ "${BENCH_ALL:-0}" = 1 ] && programs+=("${other_programs[@]}")

status=0
for name in "${programs[@]}"; do
  program="$build/bench/bench_$name"
  if [ ! -x "$program" ]; then
    echo "missing $program"
    status=1
    continue
  fi
  echo "== $name"
  "$program" --benchmark_out="$results/$name.json" --benchmark_out_format=json \
    >"$results/$name.txt" 2>&1 || { status=1; tail -n 20 "$results/$name.txt"; }
done

echo "== mount"
bash "$here/mount.sh" "$build/tools/objstore/objstore" "$BENCH_DIR/mount" "$results/mount.json"

python3 "$here/report.py" --results "$results" --build "$build" --out "$out" || status=1
rm -f "$OBJSTORE_REGISTRY"
rmdir "$BENCH_DIR" 2>/dev/null
exit $status
