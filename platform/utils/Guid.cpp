#include "platform/utils/Guid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

constexpr size_t kGuidBytes = 16;
constexpr char kHexDigits[] = "0123456789abcdef";

[[noreturn]] void abortWithoutRandomness(int errNo) {
  char buf[128];
  const char* reason = errNo != 0 ? strerror_r(errNo, buf, sizeof(buf)) : "no bytes returned";
  OSLOG(-1, "Error: the kernel cannot supply random bytes for a GUID (getrandom: %s)", reason);
  // The logger may be quiet or writing to a file; say it where an operator
  // watching the dying process will see it too.
  fprintf(stderr,
          "objectstore: fatal: the kernel cannot supply random bytes for a GUID "
          "(getrandom: %s)\n",
          reason);
  abort();
}

// Fills buf completely from the kernel's random source. Without flags,
// getrandom blocks only until the pool is first initialised and may return
// early when a signal arrives (EINTR or a short count), so it is repeated.
void fillRandom(unsigned char* buf, size_t length) {
  size_t filled = 0;
  while (filled < length) {
    ssize_t n = getrandom(buf + filled, length - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      abortWithoutRandomness(errno);
    }
    if (n == 0) abortWithoutRandomness(0);  // would otherwise loop for ever
    filled += static_cast<size_t>(n);
  }
}

}  // namespace

std::string generateGuid() {
  unsigned char bytes[kGuidBytes];
  fillRandom(bytes, sizeof(bytes));
  std::string guid(2 * kGuidBytes, '\0');
  for (size_t i = 0; i < kGuidBytes; ++i) {
    guid[2 * i] = kHexDigits[bytes[i] >> 4];
    guid[2 * i + 1] = kHexDigits[bytes[i] & 0xf];
  }
  return guid;
}

}  // namespace ObjectStore
