"""fcntl byte-range locks between two processes on a mounted share.

Usage: mount_locks.py FILE. Exits 0 when every check passed, 1 otherwise,
printing one line per check.
"""
import fcntl
import os
import struct
import subprocess
import sys
import threading

HOLDER = r'''
import fcntl, sys
f = open(sys.argv[1], "r+")
fcntl.lockf(f, fcntl.LOCK_EX, 10, 10)          # bytes 10..19
print("locked", flush=True)
sys.stdin.readline()
fcntl.lockf(f, fcntl.LOCK_UN, 5, 12)           # release 12..16, keep 10..11 and 17..19
print("partial", flush=True)
sys.stdin.readline()
fcntl.lockf(f, fcntl.LOCK_UN, 0, 0)
print("released", flush=True)
sys.stdin.readline()
'''


def main():
    path = sys.argv[1]
    with open(path, "w") as f:
        f.write("0123456789" * 10)
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, path], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)

    def step(expected):
        line = holder.stdout.readline().strip()
        if line != expected:
            raise SystemExit("holder said %r, expected %r" % (line, expected))

    def tell():
        holder.stdin.write("\n")
        holder.stdin.flush()

    step("locked")
    f = open(path, "r+")

    def can_lock(start, length, kind=fcntl.LOCK_EX):
        try:
            fcntl.lockf(f, kind | fcntl.LOCK_NB, length, start)
        except OSError:
            return False
        fcntl.lockf(f, fcntl.LOCK_UN, length, start)
        return True

    results = []
    results.append(("an overlapping lock is refused", not can_lock(15, 1)))
    results.append(("a shared lock over it is refused", not can_lock(10, 1, fcntl.LOCK_SH)))
    results.append(("a lock after the range is granted", can_lock(20, 5)))
    results.append(("a lock before the range is granted", can_lock(0, 10)))
    flock_struct = struct.pack("hhqqi", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)
    l_type, _, l_start, l_len, l_pid = struct.unpack(
        "hhqqi", fcntl.fcntl(f, fcntl.F_GETLK, flock_struct))
    results.append(("F_GETLK names the holder's range and pid",
                    (l_type, l_start, l_len, l_pid) == (fcntl.F_WRLCK, 10, 10, holder.pid)))
    tell()
    step("partial")
    results.append(("the released middle is granted", can_lock(12, 5)))
    results.append(("the kept head is refused", not can_lock(10, 2)))
    results.append(("the kept tail is refused", not can_lock(17, 3)))

    # A waiting lock (F_SETLKW) is granted once the holder lets go.
    granted = threading.Event()

    def waiter():
        fcntl.lockf(f, fcntl.LOCK_EX, 3, 17)
        granted.set()

    thread = threading.Thread(target=waiter, daemon=True)
    thread.start()
    waited = not granted.wait(0.3)
    tell()
    step("released")
    results.append(("a waiting lock waits while the range is held", waited))
    results.append(("a waiting lock is granted after the release", granted.wait(20)))
    if granted.is_set():
        fcntl.lockf(f, fcntl.LOCK_UN, 3, 17)
    tell()
    holder.wait()
    results.append(("the whole file is free after the holder exits", can_lock(0, 0)))

    for name, ok in results:
        print("%s %s" % ("ok  " if ok else "FAIL", name))
    return 0 if all(ok for _, ok in results) else 1


if __name__ == "__main__":
    sys.exit(main())
