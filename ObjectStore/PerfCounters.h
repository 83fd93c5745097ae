// Indices of the store's performance counters (see ThrdPerfCounter): each
// timed operation passes its name and this index to TimeFunction or the
// OBJECT_STORE_START/STOP_PERF_COUNTER macros.
#pragma once

namespace ObjectStore {

enum PerfCounterIndex : int {
  PERF_BACKUP_INIT = 0,
  PERF_BACKUP_JOB_START = 1,
  PERF_BACKUP_ITEM = 2,
  PERF_CREATE = 3,
  PERF_CREATE_AND_OPEN = 4,
  PERF_CREATE_SYMLINK = 5,
  PERF_MKDIR = 6,
  PERF_OPEN = 7,
  PERF_CLOSE = 8,
  PERF_WRITE_EXTENT = 9,
  PERF_WRITE = 10,
  PERF_READ_EXTENT = 11,
  PERF_READ = 12,
  PERF_UNLINK = 13,
  PERF_RMDIR = 14,
  PERF_RENAME = 15,
  PERF_GETATTR = 16,
  PERF_SETATTR = 17,
  PERF_GETXATTR = 18,
  PERF_SETXATTR = 19,
  PERF_FSYNC = 20,
  PERF_FLOCK = 21,
  PERF_LOCK = 22,
  PERF_CHMOD = 23,
  PERF_UTIMES = 24,
  PERF_CHOWN = 25,
  PERF_TRUNCATE = 26,
  PERF_GUID_TO_PATH = 27,
  PERF_PATH_TO_GUID = 28,
  PERF_READDIR = 29,
  PERF_READ_FOR_BACKUP = 30,
  PERF_WRITE_TO_PIPELINE = 31,
  PERF_UPDATE_VOLUME_SIZE = 32,
  PERF_READ_DIR_ENT = 33,
  PERF_ADD_TO_DIR_ENT = 34,
};

}  // namespace ObjectStore
