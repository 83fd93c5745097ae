#!/usr/bin/env bash
# `objstore mount` through a real kernel mount, driven with coreutils: a tree
# of assorted files copied in and compared, renames, links, attributes,
# extended attributes, locks from two processes, statfs, tar, removal, an
# unmount and remount, and point-in-time views of an earlier state.
#
# Exits 77 (skipped) when this machine can't mount FUSE file systems.
set -euo pipefail
build=$2
here=$(cd "$(dirname "$0")" && pwd)
tool="$build/tools/objstore/objstore"
work=$(mktemp -d "${TMPDIR:-/tmp}/objstore-mount-test-XXXXXX")
container="$work/container"
mnt="$work/mnt"
src="$work/src"
server=""

cleanup() {
  if grep -qs " $mnt " /proc/mounts; then fusermount3 -u -z "$mnt" 2>/dev/null || true; fi
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM

fail() {
  echo "mount test FAILED: $*" >&2
  for log in "$work/server.err" "$container/objstore-mount.log"; do
    [ -s "$log" ] && { echo "--- $log (tail)" >&2; tail -n 20 "$log" >&2; }
  done
  exit 1
}
skip() {
  echo "mount test SKIPPED: $*"
  exit 77
}

[ -x "$tool" ] || fail "tool not built: $tool"
[ -c /dev/fuse ] || skip "/dev/fuse is not available"
command -v fusermount3 >/dev/null || skip "fusermount3 is not installed"

export OBJSTORE_REGISTRY="$work/registry"
mkdir -p "$mnt" "$container"
start=$(date +%s)
step() { echo "== [$(( $(date +%s) - start ))s] $*"; }

is_mounted() { grep -qs " $mnt fuse.objstore " /proc/mounts; }

# Mounts in the foreground as a background job (so that its exit status can
# be checked at unmount); the first mount skips the test when the kernel
# refuses it.
mount_fs() {
  "$tool" mount "$container" "$mnt" --foreground "$@" >"$work/server.out" 2>"$work/server.err" &
  server=$!
  for _ in $(seq 1 200); do
    is_mounted && return 0
    if ! kill -0 "$server" 2>/dev/null; then
      local rc=0
      wait "$server" || rc=$?
      server=""
      if [ -z "${mounted_once:-}" ] && grep -q "can't mount" "$work/server.err"; then
        skip "mounting is not permitted here: $(cat "$work/server.err")"
      fi
      fail "mount $* exited $rc: $(cat "$work/server.err")"
    fi
    sleep 0.05
  done
  fail "mount $* did not appear"
}

unmount_fs() {
  fusermount3 -u "$mnt" || fail "fusermount3 -u failed"
  local rc=0
  wait "$server" || rc=$?
  server=""
  [ "$rc" -eq 0 ] || fail "the mount process exited $rc after unmount: $(cat "$work/server.err")"
  is_mounted && fail "still mounted after unmount"
  mounted_once=1
}

# path, kind, size, mode, owner, mtime (whole seconds) and link target of
# everything below a directory; a directory's size is its file system's own
# business and left out
listing() {
  (cd "$1" && find . -mindepth 1 -printf '%p %y %s %m %u:%g %T@ %l\n' |
    awk '{ if ($2 == "d") $3 = "-"; sub(/\.[0-9]*$/, "", $6); print }' | sort)
}

step "usage"
"$tool" mount --help | grep -q "usage: objstore mount CONTAINER_DIR MOUNTPOINT" || fail "--help"
rc=0; "$tool" mount "$container" 2>/dev/null || rc=$?
[ "$rc" -eq 2 ] || fail "a missing mountpoint exited $rc, expected 2"
rc=0; "$tool" mount "$container" "$mnt" --bogus 2>/dev/null || rc=$?
[ "$rc" -eq 2 ] || fail "an unknown option exited $rc, expected 2"

step "source tree"
mkdir -p "$src/docs/deep/er" "$src/empty"
: >"$src/zero"
printf 'x' >"$src/one"
head -c 1048576 /dev/urandom >"$src/docs/one-extent"        # exactly one (default) extent
head -c 3500001 /dev/urandom >"$src/docs/deep/many-extents"
head -c 70000 /dev/urandom >"$src/docs/deep/er/small"
truncate -s 5000000 "$src/sparse-truncated"
dd if=/dev/urandom of="$src/sparse-dd" bs=4096 count=3 seek=700 status=none
printf 'version one\n' >"$src/v.txt"
ln -s docs/one-extent "$src/link"
chmod 600 "$src/one"
chmod 750 "$src/docs/deep"
touch -d '2021-03-04 05:06:07' "$src/docs/deep/er/small"

step "daemon mode: the command returns once mounted"
"$tool" mount "$container" "$mnt" 2>"$work/daemon.err" || {
  grep -q "can't mount" "$work/daemon.err" && skip "mounting is not permitted here: $(cat "$work/daemon.err")"
  fail "mount exited non-zero: $(cat "$work/daemon.err")"
}
is_mounted || fail "not mounted after the command returned"
rc=0; "$tool" mount "$container" "$work" 2>"$work/second.err" || rc=$?
[ "$rc" -eq 1 ] && grep -q "in use by another objstore mount" "$work/second.err" ||
  fail "a second mount of the container was not refused (exit $rc): $(cat "$work/second.err")"
fusermount3 -u "$mnt"
# The background process holds the container's lock until it has closed
# the share.
for _ in $(seq 1 400); do
  flock -n "$container/objstore-mount.lock" true && break
  sleep 0.05
done
flock -n "$container/objstore-mount.lock" true || fail "the background mount did not end after unmount"
mounted_once=1

step "live mount: copy a tree in"
mount_fs
mkdir -p "$mnt/a/b/c"
[ -d "$mnt/a/b/c" ] || fail "mkdir -p"
cp -a "$src" "$mnt/tree"
diff -r "$src" "$mnt/tree" || fail "diff -r after cp -a"
[ "$(listing "$src")" = "$(listing "$mnt/tree")" ] ||
  fail "cp -a did not keep kinds, sizes, modes, owners and times: $(diff <(listing "$src") <(listing "$mnt/tree"))"

step "rename files and directories"
mv "$mnt/tree/one" "$mnt/tree/docs/one-moved"
mv "$mnt/tree/docs/deep" "$mnt/tree/deep-moved"
[ ! -e "$mnt/tree/one" ] && [ ! -e "$mnt/tree/docs/deep" ] || fail "sources still there after mv"
[ "$(cat "$mnt/tree/docs/one-moved")" = x ] || fail "moved file"
cmp "$src/docs/deep/many-extents" "$mnt/tree/deep-moved/many-extents" || fail "file below a moved directory"
cmp "$src/docs/deep/er/small" "$mnt/tree/deep-moved/er/small" || fail "file two levels below a moved directory"
printf 'replaced' >"$mnt/tree/victim"
mv "$mnt/tree/docs/one-moved" "$mnt/tree/victim"
[ "$(cat "$mnt/tree/victim")" = x ] || fail "rename over an existing file"
python3 - "$mnt/tree" <<'PY' || fail "rename(2) error cases"
import errno, os, sys
d = sys.argv[1]
def err(fn):
    try:
        fn()
    except OSError as e:
        return e.errno
    return 0
assert err(lambda: os.rename(d + "/victim", d + "/empty")) == errno.EISDIR
assert err(lambda: os.rename(d + "/empty", d + "/victim")) == errno.ENOTDIR
assert err(lambda: os.rename(d + "/empty", d + "/deep-moved")) in (errno.ENOTEMPTY, errno.EEXIST)
PY

step "symbolic links"
ln -s deep-moved/er/small "$mnt/tree/link2"
[ "$(readlink "$mnt/tree/link2")" = deep-moved/er/small ] || fail "readlink"
cmp "$src/docs/deep/er/small" "$mnt/tree/link2" || fail "reading through a link"

step "chmod, chown, touch -d"
chmod 751 "$mnt/tree/zero"
chown 1234:5678 "$mnt/tree/zero"
touch -d '2020-01-02 03:04:05' "$mnt/tree/zero"
[ "$(stat -c '%a %u %g %Y' "$mnt/tree/zero")" = "751 1234 5678 $(date -d '2020-01-02 03:04:05' +%s)" ] ||
  fail "stat after chmod/chown/touch: $(stat -c '%a %u %g %Y' "$mnt/tree/zero")"
# Setting the access time alone leaves the modification time as it was
# (UTIME_OMIT); the store keeps no access time of its own.
touch -a -d '2019-05-06 07:08:09' "$mnt/tree/zero"
[ "$(stat -c '%Y' "$mnt/tree/zero")" = "$(date -d '2020-01-02 03:04:05' +%s)" ] ||
  fail "touch -a changed the modification time: $(stat -c '%Y' "$mnt/tree/zero")"
truncate -s 10 "$mnt/tree/v.txt"
[ "$(stat -c %s "$mnt/tree/v.txt")" = 10 ] && [ "$(cat "$mnt/tree/v.txt")" = "version on" ] || fail "truncate"
printf 'version one\n' >"$mnt/tree/v.txt"

step "extended attributes"
if command -v setfattr >/dev/null && command -v getfattr >/dev/null; then
  setfattr -n user.color -v blue "$mnt/tree/zero"
  [ "$(getfattr --only-values -n user.color "$mnt/tree/zero")" = blue ] || fail "getfattr"
  setfattr -x user.color "$mnt/tree/zero"
fi
python3 - "$mnt/tree/zero" <<'PY' || fail "extended attributes"
import errno, os, sys
p = sys.argv[1]
def err(fn):
    try:
        fn()
    except OSError as e:
        return e.errno
    return 0
os.setxattr(p, "user.color", b"blue")
assert os.getxattr(p, "user.color") == b"blue"
assert "user.color" in os.listxattr(p)
assert err(lambda: os.setxattr(p, "user.color", b"red", os.XATTR_CREATE)) == errno.EEXIST
assert err(lambda: os.setxattr(p, "user.none", b"red", os.XATTR_REPLACE)) == errno.ENODATA
os.setxattr(p, "user.color", b"green", os.XATTR_REPLACE)
assert os.getxattr(p, "user.color") == b"green"
assert err(lambda: os.getxattr(p, "user.none")) == errno.ENODATA
os.removexattr(p, "user.color")
assert "user.color" not in os.listxattr(p)
assert err(lambda: os.removexattr(p, "user.color")) == errno.ENODATA
os.setxattr(p, "user.kept", b"across remounts")
PY

step "locks"
python3 "$here/mount_locks.py" "$mnt/tree/lockfile" || fail "fcntl locks"
out=$(flock -x "$mnt/tree/lockfile" -c "flock -n -x '$mnt/tree/lockfile' -c 'echo granted' || echo refused")
[ "$out" = refused ] || fail "flock: a second exclusive flock was $out"
out=$(flock -s "$mnt/tree/lockfile" -c "flock -n -s '$mnt/tree/lockfile' -c 'echo granted' || echo refused")
[ "$out" = granted ] || fail "flock: a second shared flock was $out"
flock -n -x "$mnt/tree/lockfile" -c true || fail "flock: the file stayed locked"

step "df"
df "$mnt" | grep -q '^objstore ' || fail "df does not show the mount: $(df "$mnt")"
[ "$(stat -f -c %b "$mnt")" -gt 0 ] || fail "statfs reports no blocks"

step "tar round trip"
mkdir "$mnt/untarred"
tar -C "$src" -cf - . | tar -C "$mnt/untarred" -xpf -
diff -r "$src" "$mnt/untarred" || fail "tar into the mount"
mkdir "$work/back"
tar -C "$mnt/untarred" -cf - . | tar -C "$work/back" -xpf -
diff -r "$src" "$work/back" || fail "tar out of the mount"
[ "$(listing "$src")" = "$(listing "$work/back")" ] || fail "tar round trip changed attributes"

step "rm -r"
rm -r "$mnt/untarred"
[ ! -e "$mnt/untarred" ] || fail "rm -r left the directory"
[ -z "$(ls -A "$mnt/a/b/c")" ] || fail "empty directory is not empty"

step "files unlinked or replaced while open stay usable"
python3 - "$mnt/tree" <<'PY' || fail "open files after unlink/replace"
import os, sys
d = sys.argv[1]
with open(d + "/doomed", "w") as f:
    f.write("still here")
r = open(d + "/doomed", "r")
w = open(d + "/doomed", "a")
os.unlink(d + "/doomed")
assert not os.path.exists(d + "/doomed")
w.write(" and more")
w.flush()
assert r.read() == "still here and more", "read after unlink"
assert os.fstat(r.fileno()).st_size == len("still here and more")
w.close()
r.close()
with open(d + "/old", "w") as f:
    f.write("old contents")
with open(d + "/new", "w") as f:
    f.write("new")
r = open(d + "/old")
os.rename(d + "/new", d + "/old")
assert r.read() == "old contents", "read after being replaced"
r.close()
assert open(d + "/old").read() == "new"
os.unlink(d + "/old")
hidden = [n for n in os.listdir(d + "/../") if "unlinked" in n]
assert not hidden, hidden
PY
[ -z "$(ls -A "$mnt" | grep -v -x -e a -e tree -e untarred)" ] || fail "stray names in the root: $(ls -A "$mnt")"

step "a large directory lists every entry once"
mkdir "$mnt/big"
(cd "$mnt/big" && for i in $(seq 1 300); do : >"file-$i"; done)
[ "$(ls -f "$mnt/big" | wc -l)" = 302 ] || fail "ls -f shows $(ls -f "$mnt/big" | wc -l) entries, expected 302"
[ "$(ls "$mnt/big" | sort -u | wc -l)" = 300 ] || fail "ls shows duplicates or misses entries"
[ "$(find "$mnt/big" -type f | wc -l)" = 300 ] || fail "find sees $(find "$mnt/big" -type f | wc -l) files"
rm -r "$mnt/big"

step "parallel writers"
mkdir "$mnt/par" "$work/par"
for i in 1 2 3 4; do head -c $(( 600000 * i + 17 )) /dev/urandom >"$work/par/$i"; done
copies=()
for i in 1 2 3 4; do cp "$work/par/$i" "$mnt/par/$i" & copies+=($!); done
for pid in "${copies[@]}"; do wait "$pid" || fail "a parallel copy failed"; done
for i in 1 2 3 4; do cmp "$work/par/$i" "$mnt/par/$i" || fail "parallel copy $i"; done
rm -r "$mnt/par"

step "link and mknod are refused"
ln "$mnt/tree/zero" "$mnt/tree/hard" 2>"$work/ln.err" && fail "link succeeded"
grep -q "Operation not permitted" "$work/ln.err" || fail "link: $(cat "$work/ln.err")"
mkfifo "$mnt/tree/fifo" 2>/dev/null && fail "mkfifo succeeded"
[ ! -e "$mnt/tree/fifo" ] || fail "a failed mkfifo left an entry"

before=$(listing "$mnt")
unmount_fs

step "remount shows the same tree"
mount_fs
[ "$(listing "$mnt")" = "$before" ] || fail "the tree changed across a remount: $(diff <(echo "$before") <(listing "$mnt"))"
cmp "$src/docs/deep/many-extents" "$mnt/tree/deep-moved/many-extents" || fail "contents after remount"
[ "$(python3 -c 'import os,sys; print(os.getxattr(sys.argv[1], "user.kept").decode())' "$mnt/tree/zero")" = "across remounts" ] ||
  fail "extended attribute after remount"
unmount_fs

step "changes after a point in time"
# The index keeps whole seconds: T is a second after everything above, and
# the changes come a second after T.
t=$(( $(date +%s) + 1 ))
while [ "$(date +%s)" -le $(( t )) ]; do sleep 0.1; done
mount_fs --version-interval 0
printf 'version two, longer\n' >"$mnt/tree/v.txt"
rm "$mnt/tree/sparse-dd"
mv "$mnt/tree/link" "$mnt/tree/link-renamed"
printf 'new\n' >"$mnt/tree/new.txt"
live_after=$(listing "$mnt")
unmount_fs

step "point-in-time view (read-only)"
mount_fs --at "$t"
grep -qs " $mnt fuse.objstore ro," /proc/mounts || fail "the view is not mounted read-only"
[ "$(cat "$mnt/tree/v.txt")" = "version one" ] || fail "the view shows v.txt as: $(cat "$mnt/tree/v.txt")"
cmp "$src/sparse-dd" "$mnt/tree/sparse-dd" || fail "a file deleted later is missing from the view"
[ -L "$mnt/tree/link" ] && [ ! -e "$mnt/tree/link-renamed" ] || fail "a later rename shows in the view"
[ ! -e "$mnt/tree/new.txt" ] || fail "a later file shows in the view"
cmp "$src/docs/deep/many-extents" "$mnt/tree/deep-moved/many-extents" || fail "contents in the view"
printf 'no' 2>/dev/null >"$mnt/tree/v.txt" && fail "a write to the read-only view succeeded"
mkdir "$mnt/nope" 2>"$work/ro.err" && fail "mkdir in the read-only view succeeded"
grep -q "Read-only file system" "$work/ro.err" || fail "mkdir in the view: $(cat "$work/ro.err")"
unmount_fs

step "point-in-time view that discards its writes"
mount_fs --at "$t" --discard-writes
[ "$(cat "$mnt/tree/v.txt")" = "version one" ] || fail "the scratch view shows v.txt as: $(cat "$mnt/tree/v.txt")"
printf 'scratch\n' >"$mnt/tree/v.txt"
[ "$(cat "$mnt/tree/v.txt")" = scratch ] || fail "the scratch view does not show its own write"
printf 'only here\n' >"$mnt/tree/scratch.txt"
unmount_fs

step "the live share is untouched by the views"
mount_fs
[ "$(listing "$mnt")" = "$live_after" ] || fail "the live tree changed: $(diff <(echo "$live_after") <(listing "$mnt"))"
[ "$(cat "$mnt/tree/v.txt")" = "version two, longer" ] || fail "live v.txt: $(cat "$mnt/tree/v.txt")"
unmount_fs

step "an unmount sends what is still waiting for the backup"
# A version written a few seconds before the unmount has not passed the
# backup's quiet period yet; a view of that time needs it in the backup.
mount_fs
printf 'before\n' >"$mnt/tree/quick.txt"
sleep 3
t3=$(( $(date +%s) + 1 ))
while [ "$(date +%s)" -le $(( t3 )) ]; do sleep 0.1; done
printf 'after\n' >"$mnt/tree/quick.txt"
unmount_fs
mount_fs --at "$t3"
[ "$(cat "$mnt/tree/quick.txt")" = before ] || fail "the view of a time just before the unmount: $(cat "$mnt/tree/quick.txt" 2>&1)"
unmount_fs

step "SIGTERM ends the mount cleanly"
mount_fs
printf 'last\n' >"$mnt/tree/last.txt"
kill -TERM "$server"
rc=0; wait "$server" || rc=$?
server=""
[ "$rc" -eq 0 ] || fail "the mount exited $rc after SIGTERM"
is_mounted && fail "still mounted after SIGTERM"
mount_fs
[ "$(cat "$mnt/tree/last.txt")" = last ] || fail "a file written before SIGTERM is gone"
unmount_fs

echo "mount test passed in $(( $(date +%s) - start )) s"
