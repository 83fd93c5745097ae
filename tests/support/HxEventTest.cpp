#include <gtest/gtest.h>

#include <chrono>

#include "common/TestEnv.h"
#include "platform/support/HxEvent.h"
#include "support/SupportTestUtil.h"

namespace ObjectStore {
namespace {

using std::chrono::steady_clock;
using test::msSince;

class HxEventTest : public test::TestEnv {};

TEST_F(HxEventTest, StartsInTheGivenState) {
  HxEvent off(false);
  HxEvent on(true);
  EXPECT_FALSE(off.isSet());
  EXPECT_TRUE(on.isSet());
  EXPECT_FALSE(off.wait(0));
  EXPECT_TRUE(on.wait(0));
}

TEST_F(HxEventTest, OneSetReleasesOneWaitOnly) {
  HxEvent event(false);
  event.set();
  EXPECT_TRUE(event.wait(1000));
  // The first wait cleared it: the second one times out.
  auto start = steady_clock::now();
  EXPECT_FALSE(event.wait(50));
  EXPECT_GE(msSince(start), 50);
  EXPECT_FALSE(event.isSet());
}

TEST_F(HxEventTest, SetsDoNotAccumulate) {
  HxEvent event(false);
  event.set();
  event.set();
  event.set();
  EXPECT_TRUE(event.wait(0));
  EXPECT_FALSE(event.wait(0));
}

TEST_F(HxEventTest, SetBeforeWaitIsNotLost) {
  HxEvent event(false);
  event.set();
  auto start = steady_clock::now();
  EXPECT_TRUE(event.wait(HX_INFINITE));
  EXPECT_LT(msSince(start), 1000);
}

TEST_F(HxEventTest, ResetClearsAPendingSignal) {
  HxEvent event(true);
  event.reset();
  EXPECT_FALSE(event.isSet());
  EXPECT_FALSE(event.wait(0));
}

TEST_F(HxEventTest, TimedWaitWaitsAboutTheTime) {
  HxEvent event(false);
  auto start = steady_clock::now();
  EXPECT_FALSE(event.wait(200));
  long long elapsed = msSince(start);
  EXPECT_GE(elapsed, 200);
  // Generous: only a wait that ignores its deadline gets near this.
  EXPECT_LT(elapsed, 5000);
}

TEST_F(HxEventTest, ZeroTimeoutOnlyTests) {
  HxEvent event(false);
  auto start = steady_clock::now();
  EXPECT_FALSE(event.wait(0));
  EXPECT_LT(msSince(start), 1000);
}

}  // namespace
}  // namespace ObjectStore
