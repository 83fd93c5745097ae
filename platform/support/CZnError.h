// CZnError: the result of nearly every operation of the system.
//
// An error is a value: an errno-style code (0 = success), an optional
// Win32-style code for the few paths whose callers expect one, and a chain of
// context frames. The frame that created the error comes first; every caller
// that passes the error on pushes one more frame (its code location and a
// message) with Push(). Nothing is thrown.
//
//   CZnError err = doSomething();
//   if (!err.ok()) {
//     err.Push(FX_LOC, "Can't open [%s]", path.c_str());
//     OSLOG_ERR(err);
//     return err;
//   }
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/support/Export.h"

namespace ObjectStore {

// A source position: file, full function signature, line.
struct FXCodeLocation {
  const char* file = "";
  const char* function = "";
  int line = 0;
};

// The code location of the place where the macro is written.
#define FX_LOC \
  (::ObjectStore::FXCodeLocation{__FILE__, __PRETTY_FUNCTION__, __LINE__})

class [[nodiscard]] OBJSTORE_EXPORT_CLASS CZnError {
 public:
  struct Frame {
    FXCodeLocation location;
    std::string message;
  };

  // The success value.
  static const CZnError Success;

  CZnError() = default;

  bool ok() const { return errNo_ == 0; }
  bool failed() const { return errNo_ != 0; }
  int errNo() const { return errNo_; }
  // 0 when the error carries no Win32-style code.
  uint32_t win32Code() const { return win32Code_; }
  const std::vector<Frame>& frames() const { return frames_; }

  // Adds a context frame (printf-style message) and returns *this, so that a
  // caller can write `return err.Push(FX_LOC, "...")`.
  CZnError& Push(const FXCodeLocation& location, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // The two renderings used by the "%s: %s" log convention:
  // text()  - the code: "ENOENT (2): No such file or directory", with the
  //           Win32-style code when there is one;
  // chain() - every message, outermost first, separated by " <- ", with the
  //           place of origin at the end: "outer <- inner [file.cpp:42]".
  std::string text() const;
  std::string chain() const;

 private:
  friend class FXErrorUtil;
  int errNo_ = 0;
  uint32_t win32Code_ = 0;
  std::vector<Frame> frames_;
};

inline const CZnError CZnError::Success{};

class OBJSTORE_EXPORT FXErrorUtil {
 public:
  // A failure with an errno value. errNo must not be 0 (a 0 is turned into
  // EIO, so that a failure can never read as success).
  static CZnError ErrorErrNo(const FXCodeLocation& location, int errNo);
  static CZnError ErrorErrNo(const FXCodeLocation& location, int errNo,
                             const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // A failure that carries a Win32-style code for callers that expect one;
  // errNo is what GetErrNo (and therefore the C interface) reports for it.
  static CZnError ErrorWin32(const FXCodeLocation& location, uint32_t win32Code,
                             int errNo, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  // The errno value of an error: 0 for success.
  static int GetErrNo(const CZnError& error) { return error.errNo(); }
};

// The symbolic name of an errno value ("ENOENT"), or "E<number>".
OBJSTORE_EXPORT const char* errnoName(int errNo);

}  // namespace ObjectStore
