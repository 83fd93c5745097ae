#!/usr/bin/env bash
# The mount figure: fio writes a file sequentially in 1 MiB blocks and reads it
# back, once through an `objstore mount` of a fresh container and once on a
# plain directory next to it (same file system, same fio jobs).
#
# usage: mount.sh OBJSTORE_BINARY WORK_DIR OUT_JSON
# Writes OUT_JSON: {"status": "ok", "size_mib": N, "store": {...}, "local": {...}}
# with bandwidths in bytes/s, or {"status": "skipped", "reason": "..."} when
# the figure cannot be taken here (no mount command, no /dev/fuse, no fio, or
# the mount does not come up).
set -uo pipefail
objstore=$1
work=$2
out=$3
size_mib=${BENCH_MOUNT_MIB:-256}

skip() {
  printf '{"status": "skipped", "reason": "%s"}\n' "$1" >"$out"
  echo "mount figure skipped: $1"
  exit 0
}

[ -x "$objstore" ] || skip "no objstore binary at $objstore"
"$objstore" mount --help >/dev/null 2>&1 || skip "objstore has no mount command"
[ -c /dev/fuse ] || skip "/dev/fuse is missing"
command -v fusermount3 >/dev/null 2>&1 || skip "fusermount3 is missing"
command -v fio >/dev/null 2>&1 || skip "fio is missing (scripts/install-deps.sh installs it)"

rm -rf "$work"
mkdir -p "$work/container" "$work/mnt" "$work/local" || skip "can't create $work"
mountpoint="$work/mnt"
pid=

cleanup() {
  if mountpoint -q "$mountpoint" 2>/dev/null; then fusermount3 -u "$mountpoint" 2>/dev/null; fi
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

OBJSTORE_LOG_FILE="$work/mount.log" "$objstore" mount "$work/container" "$mountpoint" --foreground \
  >"$work/mount.out" 2>&1 &
pid=$!
for _ in $(seq 1 100); do
  mountpoint -q "$mountpoint" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if ! mountpoint -q "$mountpoint"; then
  reason=$(tail -n 1 "$work/mount.out" 2>/dev/null | tr -d '"\\')
  skip "the mount did not come up: ${reason:-no message}"
fi

# One fio job; prints the bandwidth in bytes/s.
fio_bw() {
  local dir=$1 rw=$2 json
  json=$(fio --name="seq$rw" --directory="$dir" --filename=bench.dat --rw="$rw" --bs=1M \
    --size="${size_mib}M" --ioengine=psync --numjobs=1 --end_fsync=0 --invalidate=0 \
    --output-format=json 2>/dev/null) || return 1
  python3 -c 'import json,sys; j=json.load(sys.stdin)["jobs"][0]; k=sys.argv[1]; print(j[k]["bw_bytes"])' \
    "$([ "$rw" = write ] && echo write || echo read)" <<<"$json"
}

store_write=$(fio_bw "$mountpoint" write) || skip "fio failed on the mount"
store_read=$(fio_bw "$mountpoint" read) || skip "fio failed reading the mount"
local_write=$(fio_bw "$work/local" write) || skip "fio failed on the local directory"
local_read=$(fio_bw "$work/local" read) || skip "fio failed reading the local directory"

printf '{"status": "ok", "size_mib": %s, "store": {"write_bw": %s, "read_bw": %s}, "local": {"write_bw": %s, "read_bw": %s}}\n' \
  "$size_mib" "$store_write" "$store_read" "$local_write" "$local_read" >"$out"
echo "mount figure: store write $store_write B/s read $store_read B/s;" \
  "local write $local_write B/s read $local_read B/s"
