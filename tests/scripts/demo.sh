#!/usr/bin/env bash
# Runs `objstore demo` as `make run` does, then again on the container it left
# behind; checks that it refuses a directory it must not touch, and that it
# fails, saying why, when the backup can't commit.
set -euo pipefail
build=$2
tool="$build/tools/objstore/objstore"
work=$(mktemp -d "${TMPDIR:-/tmp}/objstore-demo-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
# The demo publishes its command port in the configuration file: keep it here.
export OBJSTORE_REGISTRY="$work/registry"

fail() {
  echo "demo test FAILED: $*" >&2
  exit 1
}

# Fails unless the file has a line containing the text.
expect_line() {
  grep -qF -- "$2" "$1" || {
    cat "$1" >&2
    fail "no line with [$2] in $1"
  }
}

check_passed_run() {
  local out=$1
  for line in \
    "waiting for the backup:" \
    "-> all committed" \
    "T1 = " "T2 = " \
    'read-only view "t1"' 'read-only view "t2"' \
    "ok     backup of T1 committed" \
    "ok     backup of T2 committed" \
    "ok     extents waiting for the backup survive pruning: 0 removed while waiting" \
    "ok     local cache emptied by pruning" \
    "ok     live share reads back as at T2 after pruning" \
    "ok     view t1 shows the tree as it was" \
    "ok     view t2 shows the tree as it was" \
    "ok     scratch view shows its own writes" \
    "ok     live share unchanged by the scratch view" \
    "ok     scratch writes never reach the backup" \
    "Library log: " \
    "DEMO PASSED: 10 checks passed"; do
    expect_line "$out" "$line"
  done
  # Every file of both views was read back and matched.
  if grep -q "MISMATCH\|FAILED" "$out"; then
    cat "$out" >&2
    fail "a check failed in $out"
  fi
  # The T1 view shows the deleted file and the old name; the T2 view doesn't.
  sed -n '/read-only view "t1"/,/read-only view "t2"/p' "$out" > "$work/t1.txt"
  sed -n '/read-only view "t2"/,/Scratch view/p' "$out" > "$work/t2.txt"
  expect_line "$work/t1.txt" "photos/2026/old.raw"
  expect_line "$work/t1.txt" "docs/notes.md"
  expect_line "$work/t2.txt" "notes-moved.md"
  if grep -q "old.raw\|docs/notes.md" "$work/t2.txt"; then
    fail "the T2 view still shows what was deleted or renamed"
  fi
}

# 1. As `make run`: a new temporary container.
start=$(date +%s)
if ! TMPDIR="$work" "$tool" demo > "$work/first.txt" 2>&1; then
  cat "$work/first.txt" >&2
  fail "objstore demo exited non-zero"
fi
check_passed_run "$work/first.txt"
container=$(sed -n 's/^Container: \(.*\) (new)$/\1/p' "$work/first.txt")
[ -n "$container" ] || fail "the demo did not say where its new container is"
case "$container" in
  "$work"/objstore-demo-*) ;;
  *) fail "the temporary container $container is not below TMPDIR" ;;
esac
ls "$container"/index/*.db > /dev/null || fail "no index database in $container/index"
ls "$container"/backup/*/afile_* > /dev/null || fail "no backup afile in $container/backup"
echo "first run took $(($(date +%s) - start)) s"

# 2. Again in the same container: a second run beside the first.
"$tool" demo "$container" > "$work/second.txt" 2>&1 || {
  cat "$work/second.txt" >&2
  fail "second run in the same container exited non-zero"
}
expect_line "$work/second.txt" "Container: $container (an existing container)"
check_passed_run "$work/second.txt"

# 3. Directories it must refuse, leaving them as they were.
mkdir -p "$work/busy"
echo "precious" > "$work/busy/data.txt"
if "$tool" demo "$work/busy" > "$work/busy.txt" 2>&1; then
  fail "the demo used a non-empty directory that is not a container"
fi
expect_line "$work/busy.txt" "is not empty and is not an object-store container"
[ "$(ls -A "$work/busy")" = "data.txt" ] || fail "the refused directory was changed"
[ "$(cat "$work/busy/data.txt")" = "precious" ] || fail "the refused directory's file changed"

echo "plain file" > "$work/file"
if "$tool" demo "$work/file" > "$work/file.txt" 2>&1; then
  fail "the demo used a plain file as its container"
fi
expect_line "$work/file.txt" "exists and is not a directory"

# 4. A backup target that can't be written: the demo must say so and fail,
# not report success. (The share's afile directory is taken by a file.)
mkdir -p "$work/broken/objstr" "$work/broken/backup"
echo "in the way" > "$work/broken/backup/1"
set +e
OBJSTORE_DEMO_BACKUP_WAIT_SEC=3 "$tool" demo "$work/broken" > "$work/broken.txt" 2>&1
rc=$?
set -e
[ "$rc" -eq 1 ] || {
  cat "$work/broken.txt" >&2
  fail "a backup that can't commit: exit $rc, not 1"
}
expect_line "$work/broken.txt" "FAILED backup of T1 committed: 10 segments still waiting, 0 of 10 committed"
expect_line "$work/broken.txt" "DEMO FAILED"
if grep -q "DEMO PASSED" "$work/broken.txt"; then fail "a broken backup passed"; fi

set +e
"$tool" demo a b > "$work/usage.txt" 2>&1
rc=$?
set -e
[ "$rc" -eq 2 ] || fail "two directories: exit $rc, not 2"
expect_line "$work/usage.txt" "usage: objstore demo [CONTAINER_DIR]"

echo "demo test passed ($(($(date +%s) - start)) s)"
