// The process-wide logger.
//
// Levels: -1 error (always written), 0 always-printed dumps and warnings,
// 1 life-cycle and configuration, 2 notable information, 3 operation entry
// points, 4 expected misses and out-of-space, 5 and 6 detailed tracing. A
// message of level 0..6 is written when the logger's debug level is at least
// the message's level. Use OSLOG, which asks for the level before formatting:
//
//   OSLOG(3, "[%s] getattr [%s] [%s]", store, guid, path);
//   OSLOG_ERR(err);    // "%s: %s" at level -1 with the error's two renderings
//
// The default writer appends to the file named by the configuration value
// "LogFile" (section "~Rora") or the environment variable OBJSTORE_LOG_FILE,
// and otherwise writes to stderr. Its level comes from "nDebugLevel" or
// OBJSTORE_DEBUG_LEVEL (default 0).
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/support/CZnError.h"
#include "platform/support/Export.h"

namespace ObjectStore {

class OBJSTORE_EXPORT CLogWriterInterface {
 public:
  virtual ~CLogWriterInterface() = default;

  virtual int getDebugLevel() const = 0;
  virtual void setDebugLevel(int level) = 0;

  // level, full function signature, source line, two values kept for the
  // platform's log format (always 0 here), printf-style format and arguments.
  virtual void writeV(int level, const char* function, int line, int reserved1,
                      int reserved2, const char* format, va_list args) = 0;

  void write(int level, const char* function, int line, int reserved1, int reserved2,
             const char* format, ...) __attribute__((format(printf, 7, 8)));

  // True when a message of this level would be written.
  bool enabled(int level) const { return level < 0 || getDebugLevel() >= level; }
};

// The one logger of the process. It is set up before any store exists and is
// not replaced while the library is in use; tests capture lines through
// LogWriter::addListener instead of replacing it.
extern OBJSTORE_EXPORT std::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// One formatted log record as handed to listeners.
struct LogRecord {
  int level;
  const char* function;
  int line;
  std::string message;  // the formatted text, without prefix or newline
};

// The default writer: a file or stderr, plus listeners (used by tests and by
// the tool's narrated demo).
class OBJSTORE_EXPORT LogWriter : public CLogWriterInterface {
 public:
  using Listener = std::function<void(const LogRecord&)>;

  LogWriter();
  ~LogWriter() override;

  int getDebugLevel() const override { return level_.load(std::memory_order_relaxed); }
  void setDebugLevel(int level) override { level_.store(level, std::memory_order_relaxed); }
  void writeV(int level, const char* function, int line, int reserved1, int reserved2,
              const char* format, va_list args) override;

  // Sends the lines to this file (appending); an empty path means stderr.
  // Returns false (and keeps the previous sink) when the file can't be opened.
  bool setOutputFile(const std::string& path);
  std::string outputFile() const;
  // Stops writing lines anywhere (listeners still receive them).
  void setQuiet(bool quiet);

  // Reads "LogFile"/"nDebugLevel" (environment first, then configuration).
  void configureFromEnvironment();

  int addListener(Listener listener);
  void removeListener(int id);

 private:
  std::atomic<int> level_{0};
  mutable std::mutex mutex_;  // guards everything below
  FILE* file_ = nullptr;      // null = stderr
  std::string path_;
  bool quiet_ = false;
  int nextListenerId_ = 1;
  std::vector<std::pair<int, Listener>> listeners_;
  std::atomic<int> listenerCount_{0};
};

// The default writer behind g_ptrLogWriter (null if a caller installed its own).
OBJSTORE_EXPORT LogWriter* defaultLogWriter();

// The name of a function taken from a full signature: the last identifier
// before the parameter list ("ObjectStore::ObjectStore::getattr").
OBJSTORE_EXPORT std::string shortFunctionName(const char* signature);

}  // namespace ObjectStore

#define OSLOG(level, ...)                                                              \
  do {                                                                                 \
    ::ObjectStore::CLogWriterInterface* osLogWriter_ = ::ObjectStore::g_ptrLogWriter.get(); \
    if (osLogWriter_ != nullptr && osLogWriter_->enabled(level))                       \
      osLogWriter_->write((level), __PRETTY_FUNCTION__, __LINE__, 0, 0, __VA_ARGS__);  \
  } while (0)

#define OSLOG_ENABLED(level) \
  (::ObjectStore::g_ptrLogWriter && ::ObjectStore::g_ptrLogWriter->enabled(level))

// Logs an error as "%s: %s" (its text and its chain) at the given level.
#define OSLOG_ERR_AT(level, err) \
  OSLOG((level), "%s: %s", (err).text().c_str(), (err).chain().c_str())
#define OSLOG_ERR(err) OSLOG_ERR_AT(-1, err)
