#include "platform/support/CZnError.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace ObjectStore {

namespace {

std::string formatV(const char* format, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (n < 0) return std::string(format);
  if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, n);
  std::string big(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(big.data(), big.size(), format, args);
  big.resize(static_cast<size_t>(n));
  return big;
}

const char* baseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

}  // namespace

CZnError& CZnError::Push(const FXCodeLocation& location, const char* format, ...) {
  va_list args;
  va_start(args, format);
  frames_.push_back(Frame{location, formatV(format, args)});
  va_end(args);
  return *this;
}

std::string CZnError::text() const {
  if (errNo_ == 0) return "Success";
  char buf[128];
  // strerror_r (GNU form) may or may not use the buffer.
  const char* msg = strerror_r(errNo_, buf, sizeof(buf));
  // Built by appends: GCC 12 warns falsely (-Wrestrict) on chains of operator+.
  std::string out(errnoName(errNo_));
  out.append(" (").append(std::to_string(errNo_)).append("): ").append(msg);
  if (win32Code_ != 0) out.append(" [win32 ").append(std::to_string(win32Code_)).append("]");
  return out;
}

std::string CZnError::chain() const {
  std::string out;
  for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) {
    if (it->message.empty()) continue;
    if (!out.empty()) out += " <- ";
    out += it->message;
  }
  if (!frames_.empty()) {
    const FXCodeLocation& origin = frames_.front().location;
    out += out.empty() ? "[" : " [";
    out.append(baseName(origin.file)).append(":").append(std::to_string(origin.line)).append("]");
  }
  return out;
}

CZnError FXErrorUtil::ErrorErrNo(const FXCodeLocation& location, int errNo) {
  CZnError err;
  err.errNo_ = errNo != 0 ? errNo : EIO;
  err.frames_.push_back(CZnError::Frame{location, std::string()});
  return err;
}

CZnError FXErrorUtil::ErrorErrNo(const FXCodeLocation& location, int errNo,
                                 const char* format, ...) {
  CZnError err;
  err.errNo_ = errNo != 0 ? errNo : EIO;
  va_list args;
  va_start(args, format);
  err.frames_.push_back(CZnError::Frame{location, formatV(format, args)});
  va_end(args);
  return err;
}

CZnError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, uint32_t win32Code,
                                 int errNo, const char* format, ...) {
  CZnError err;
  err.errNo_ = errNo != 0 ? errNo : EIO;
  err.win32Code_ = win32Code;
  va_list args;
  va_start(args, format);
  err.frames_.push_back(CZnError::Frame{location, formatV(format, args)});
  va_end(args);
  return err;
}

const char* errnoName(int errNo) {
  switch (errNo) {
    case 0: return "OK";
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    case EIO: return "EIO";
    case EBADF: return "EBADF";
    case EAGAIN: return "EAGAIN";
    case ENOMEM: return "ENOMEM";
    case EACCES: return "EACCES";
    case EEXIST: return "EEXIST";
    case ENODEV: return "ENODEV";
    case ENOTDIR: return "ENOTDIR";
    case EISDIR: return "EISDIR";
    case EINVAL: return "EINVAL";
    case EFBIG: return "EFBIG";
    case ENOSPC: return "ENOSPC";
    case ERANGE: return "ERANGE";
    case ENAMETOOLONG: return "ENAMETOOLONG";
    case ENOSYS: return "ENOSYS";
    case ENOTEMPTY: return "ENOTEMPTY";
    case EBADMSG: return "EBADMSG";
    case EOVERFLOW: return "EOVERFLOW";
    case EOPNOTSUPP: return "EOPNOTSUPP";
    case ETIMEDOUT: return "ETIMEDOUT";
    case ECONNRESET: return "ECONNRESET";
    default: break;
  }
  static thread_local char buf[16];
  snprintf(buf, sizeof(buf), "E%d", errNo);
  return buf;
}

}  // namespace ObjectStore
