// CZnLogger: a named event log, one file of short event lines.
//
// A store that has event logging enabled writes its events (store created,
// writes, truncates, commits, prunes, extent restores) to its own CZnLogger,
// separate from the main log. Lines look like
//
//   2024-05-01 12:00:00.123456 4711  0 ObjectStore [share] created
//
// (local time, thread id, level, message). Each line is written with one
// write() to a file opened for appending, so lines from several threads or
// processes never interleave, and nothing is held in a user-space buffer.
//
// Levels work as in the main log: -1 is always written; 0..6 are written when
// the logger's debug level (default 0) is at least the message's level.
// Thread-safe.
#pragma once

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>

#include "platform/support/CZnError.h"

namespace ObjectStore {

class CZnLogger {
 public:
  CZnLogger() = default;
  ~CZnLogger();
  CZnLogger(const CZnLogger&) = delete;
  CZnLogger& operator=(const CZnLogger&) = delete;

  // Opens <directory>/<name>.log for appending (created with mode 0644; the
  // directory must exist). The three further values (file count, and two
  // flags of the platform's logger) are accepted for existing callers and
  // have no effect here. Fails with EINVAL for an empty name or directory,
  // EBUSY when already initialised, or the error of open().
  CZnError init(const std::string& name, const std::string& directory, int unusedCount,
                bool unusedFlag1, bool unusedFlag2);
  bool isInitialized() const { return fd_.load(std::memory_order_acquire) >= 0; }
  // The file's path ("" before init).
  std::string path() const;

  int getDebugLevel() const { return level_.load(std::memory_order_relaxed); }
  void setDebugLevel(int level) { level_.store(level, std::memory_order_relaxed); }
  // True when a message of this level would be written.
  bool enabled(int level) const { return level < 0 || getDebugLevel() >= level; }

  // Writes one line (a trailing newline in the message is dropped). Does
  // nothing before init or when the level is filtered out. A failing write
  // is reported once in the main log; it never fails the caller.
  void write(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void writeV(int level, const char* format, va_list args);

 private:
  std::atomic<int> level_{0};
  std::atomic<int> fd_{-1};  // set once by init, closed by the destructor
  mutable std::mutex mutex_;
  std::string path_;                 // guarded by mutex_
  bool reportedWriteError_ = false;  // guarded by mutex_
};

}  // namespace ObjectStore
