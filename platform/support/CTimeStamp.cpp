#include "platform/support/CTimeStamp.h"

#include "platform/support/Clock.h"

namespace ObjectStore {

CTimeStamp::CTimeStamp() : ns_(clockNowNs()) {}

int64_t CTimeStamp::nowNs() { return clockNowNs(); }

int64_t CTimeStamp::nowSec() { return CTimeStamp(clockNowNs()).seconds(); }

int64_t CTimeStamp::seconds() const {
  int64_t s = ns_ / NS_PER_SEC;
  if (ns_ % NS_PER_SEC < 0) --s;
  return s;
}

int64_t CTimeStamp::nanoseconds() const {
  int64_t r = ns_ % NS_PER_SEC;
  return r < 0 ? r + NS_PER_SEC : r;
}

}  // namespace ObjectStore
