#include "platform/support/CZnLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

std::string formatLine(int level, const char* format, va_list args) {
  int64_t nowNs = clockNowNs();
  time_t seconds = static_cast<time_t>(nowNs / 1000000000);
  long micros = static_cast<long>((nowNs % 1000000000) / 1000);
  struct tm parts;
  localtime_r(&seconds, &parts);
  char stamp[32];
  strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &parts);
  char prefix[96];
  snprintf(prefix, sizeof(prefix), "%s.%06ld %ld %2d ", stamp, micros,
           static_cast<long>(syscall(SYS_gettid)), level);

  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message;
  if (n < 0) {
    message = format;
  } else {
    message.assign(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(message.data(), message.size(), format, args);
    message.resize(static_cast<size_t>(n));
  }
  while (!message.empty() && message.back() == '\n') message.pop_back();
  return std::string(prefix) + message + "\n";
}

}  // namespace

CZnLogger::~CZnLogger() {
  int fd = fd_.exchange(-1);
  if (fd >= 0) (void)::close(fd);  // nothing useful to do about a failed close here
}

CZnError CZnLogger::init(const std::string& name, const std::string& directory, int /*unusedCount*/,
                         bool /*unusedFlag1*/, bool /*unusedFlag2*/) {
  if (name.empty() || directory.empty())
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Empty log name [%s] or directory [%s]",
                                   name.c_str(), directory.c_str());
  std::lock_guard<std::mutex> guard(mutex_);
  if (isInitialized())
    return FXErrorUtil::ErrorErrNo(FX_LOC, EBUSY, "Logger already writes to [%s]", path_.c_str());
  std::string path = directory;
  if (path.back() != '/') path += '/';
  path += name + ".log";
  // The directory may be a shared one (the temporary directory): a link or
  // a file someone else put under the name would receive our log.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return FXErrorUtil::ErrorErrNo(FX_LOC, errno, "Can't open [%s]", path.c_str());
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      (st.st_uid != geteuid() && st.st_uid != 0)) {
    ::close(fd);
    return FXErrorUtil::ErrorErrNo(FX_LOC, EACCES, "[%s] is not a file of ours", path.c_str());
  }
  path_ = path;
  fd_.store(fd, std::memory_order_release);
  return CZnError::Success;
}

std::string CZnLogger::path() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return path_;
}

void CZnLogger::write(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeV(level, format, args);
  va_end(args);
}

void CZnLogger::writeV(int level, const char* format, va_list args) {
  if (!enabled(level) || !isInitialized()) return;
  std::string line = formatLine(level, format, args);
  std::lock_guard<std::mutex> guard(mutex_);
  int fd = fd_.load(std::memory_order_acquire);
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (!reportedWriteError_) {
        reportedWriteError_ = true;
        int saved = n < 0 ? errno : EIO;
        CZnError err =
            FXErrorUtil::ErrorErrNo(FX_LOC, saved, "Can't write event log [%s]", path_.c_str());
        OSLOG_ERR(err);
      }
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace ObjectStore
