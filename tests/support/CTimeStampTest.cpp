#include <gtest/gtest.h>

#include <ctime>

#include "common/TestEnv.h"
#include "platform/support/CTimeStamp.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

class CTimeStampTest : public test::TestEnv {};

TEST_F(CTimeStampTest, FollowsTheTestClock) {
  ManualClock clock(1700000000);
  EXPECT_EQ(CTimeStamp::nowSec(), 1700000000);
  EXPECT_EQ(CTimeStamp::nowNs(), 1700000000LL * 1000000000);
  CTimeStamp before;
  clock.advanceSec(5);
  CTimeStamp after = CTimeStamp::now();
  EXPECT_EQ(after.seconds(), 1700000005);
  EXPECT_EQ(after.nanoseconds(), 0);
  EXPECT_EQ(after.nsSince(before), 5LL * 1000000000);
  EXPECT_LT(before, after);
}

TEST_F(CTimeStampTest, FollowsTheRealClockOtherwise) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  int64_t stamp = CTimeStamp::nowSec();
  // Within a minute of the system clock, even on a very slow machine.
  EXPECT_LE(std::llabs(stamp - static_cast<int64_t>(ts.tv_sec)), 60);
  CTimeStamp a;
  CTimeStamp b;
  EXPECT_LE(a, b);
}

TEST_F(CTimeStampTest, SplitsSecondsAndNanoseconds) {
  CTimeStamp t(12LL * 1000000000 + 345);
  EXPECT_EQ(t.seconds(), 12);
  EXPECT_EQ(t.nanoseconds(), 345);
  EXPECT_EQ(t.totalNs(), 12LL * 1000000000 + 345);
}

TEST_F(CTimeStampTest, BeforeTheEpochTheNanosecondsStayPositive) {
  CTimeStamp t(-1);  // one nanosecond before the epoch
  EXPECT_EQ(t.seconds(), -1);
  EXPECT_EQ(t.nanoseconds(), 999999999);
  CTimeStamp whole(-2LL * 1000000000);
  EXPECT_EQ(whole.seconds(), -2);
  EXPECT_EQ(whole.nanoseconds(), 0);
}

}  // namespace
}  // namespace ObjectStore
