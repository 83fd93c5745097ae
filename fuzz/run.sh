#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) for FUZZ_SECONDS each.
#   fuzz/run.sh <build dir> [target ...]
# Each target works on a copy of its corpus in <build dir>/fuzz-corpus/<target>
# (seeded from fuzz/corpus/<target>; what the fuzzer adds stays in the build
# directory until someone copies a finding back), and writes crashing inputs
# to <build dir>/fuzz-artifacts/<target>/. Exits non-zero when any target
# found a failure; every target runs either way.
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?usage: $0 <build dir> [target ...]}"
shift
seconds="${FUZZ_SECONDS:-60}"

# Longest input per target: a little more than the largest record each
# parser reads, so that the time goes into structure rather than bulk.
declare -A max_len=(
  [SegmentHeaderFuzz]=2400
  [EntryListFuzz]=2048
  [XattrFuzz]=2048
  [BackupJournalFuzz]=2048
  [PersistentFileFuzz]=2048
  [StoreInfoFuzz]=1024
  [SegmentFileFuzz]=4096
  [CommandFuzz]=300
  [IntentLogFuzz]=1024
  [AfileFuzz]=2048
)

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=("${!max_len[@]}")
  IFS=$'\n' targets=($(sort <<<"${targets[*]}")); unset IFS
fi

failed=()
for target in "${targets[@]}"; do
  binary="$build/fuzz/$target"
  if [ ! -x "$binary" ]; then
    echo "fuzz: $binary not built" >&2
    failed+=("$target")
    continue
  fi
  corpus="$build/fuzz-corpus/$target"
  artifacts="$build/fuzz-artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  if [ -d "$here/corpus/$target" ]; then
    cp -n "$here/corpus/$target"/* "$corpus"/ 2>/dev/null || true
  fi
  log="$build/fuzz-artifacts/$target.log"
  echo "fuzz: $target for ${seconds}s (max_len ${max_len[$target]:-4096})"
  "$binary" -max_total_time="$seconds" -max_len="${max_len[$target]:-4096}" \
    -rss_limit_mb=1024 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1
  rc=$?
  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" | sed "s/^/  /"
  if [ $rc -ne 0 ]; then
    echo "fuzz: $target FAILED (exit $rc); log $log, inputs in $artifacts" >&2
    tail -n 40 "$log" >&2
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failures in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets ran ${seconds}s without a finding"
