#include "platform/support/LogWriter.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/support/HXPlatformInfo.h"

namespace ObjectStore {

namespace {

std::string formatMessage(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (n < 0) return std::string(format);
  std::string text;
  if (static_cast<size_t>(n) < sizeof(small)) {
    text.assign(small, static_cast<size_t>(n));
  } else {
    text.assign(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
  }
  // Several messages end in "\n" by habit; a record is one line.
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::shared_ptr<LogWriter> makeDefaultWriter() {
  auto writer = std::make_shared<LogWriter>();
  if (const char* level = getenv("OBJSTORE_DEBUG_LEVEL")) writer->setDebugLevel(atoi(level));
  if (const char* file = getenv("OBJSTORE_LOG_FILE")) (void)writer->setOutputFile(file);
  return writer;
}

LogWriter* g_defaultWriter = nullptr;

std::shared_ptr<CLogWriterInterface> initGlobalWriter() {
  std::shared_ptr<LogWriter> writer = makeDefaultWriter();
  g_defaultWriter = writer.get();
  return writer;
}

}  // namespace

std::shared_ptr<CLogWriterInterface> g_ptrLogWriter = initGlobalWriter();

LogWriter* defaultLogWriter() {
  return g_ptrLogWriter.get() == g_defaultWriter ? g_defaultWriter : nullptr;
}

void CLogWriterInterface::write(int level, const char* function, int line, int reserved1,
                                int reserved2, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeV(level, function, line, reserved1, reserved2, format, args);
  va_end(args);
}

LogWriter::LogWriter() = default;

LogWriter::~LogWriter() {
  if (file_ != nullptr) fclose(file_);
}

void LogWriter::writeV(int level, const char* function, int line, int, int,
                       const char* format, va_list args) {
  if (!enabled(level)) return;
  LogRecord record{level, function, line, formatMessage(format, args)};

  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts;
  localtime_r(&now.tv_sec, &parts);
  char stamp[32];
  strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &parts);
  long tid = static_cast<long>(syscall(SYS_gettid));
  std::string name = shortFunctionName(function);

  std::lock_guard<std::mutex> guard(mutex_);
  if (!quiet_) {
    FILE* out = file_ != nullptr ? file_ : stderr;
    fprintf(out, "%s.%06ld %ld %2d %s:%d %s\n", stamp, now.tv_nsec / 1000, tid, level,
            name.c_str(), line, record.message.c_str());
    if (level < 0 || file_ == nullptr) fflush(out);
  }
  for (const auto& entry : listeners_) entry.second(record);
}

bool LogWriter::setOutputFile(const std::string& path) {
  FILE* opened = nullptr;
  if (!path.empty()) {
    opened = fopen(path.c_str(), "ae");
    if (opened == nullptr) return false;
    setvbuf(opened, nullptr, _IOLBF, 0);
  }
  std::lock_guard<std::mutex> guard(mutex_);
  if (file_ != nullptr) fclose(file_);
  file_ = opened;
  path_ = path;
  return true;
}

std::string LogWriter::outputFile() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return path_;
}

void LogWriter::setQuiet(bool quiet) {
  std::lock_guard<std::mutex> guard(mutex_);
  quiet_ = quiet;
}

void LogWriter::configureFromEnvironment() {
  if (const char* level = getenv("OBJSTORE_DEBUG_LEVEL")) {
    setDebugLevel(atoi(level));
  } else {
    int64_t value = 0;
    if (HXPlatformInfo::getLongLong(REGISTRY_SECTION_PRIVATE, "nDebugLevel", value))
      setDebugLevel(static_cast<int>(value));
  }
  std::string file;
  if (const char* env = getenv("OBJSTORE_LOG_FILE")) {
    file = env;
  } else {
    (void)HXPlatformInfo::getString(REGISTRY_SECTION_PRIVATE, "LogFile", file);
  }
  if (!file.empty() && file != outputFile()) (void)setOutputFile(file);
}

int LogWriter::addListener(Listener listener) {
  std::lock_guard<std::mutex> guard(mutex_);
  int id = nextListenerId_++;
  listeners_.emplace_back(id, std::move(listener));
  return id;
}

void LogWriter::removeListener(int id) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto it = listeners_.begin(); it != listeners_.end(); ++it) {
    if (it->first == id) {
      listeners_.erase(it);
      return;
    }
  }
}

std::string shortFunctionName(const char* signature) {
  if (signature == nullptr) return std::string();
  // Find the '(' that opens the parameter list: the first one at template
  // depth 0 that follows an identifier character.
  const char* open = nullptr;
  int depth = 0;
  for (const char* p = signature; *p != '\0'; ++p) {
    if (*p == '<') ++depth;
    else if (*p == '>') --depth;
    else if (*p == '(' && depth == 0 && p != signature) {
      open = p;
      break;
    }
  }
  if (open == nullptr) return std::string(signature);
  const char* start = open;
  while (start > signature && start[-1] != ' ' && start[-1] != '*' && start[-1] != '&')
    --start;
  return std::string(start, open);
}

}  // namespace ObjectStore
