#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "common/TestEnv.h"
#include "platform/support/HxCriticalSection.h"

namespace ObjectStore {
namespace {

class HxCriticalSectionTest : public test::TestEnv {};

TEST_F(HxCriticalSectionTest, TracksItsHolder) {
  HxCriticalSection section;
  EXPECT_FALSE(section.isHeldByCurrentThread());
  section.enter();
  EXPECT_TRUE(section.isHeldByCurrentThread());
  bool heldElsewhere = true;
  std::thread other([&] { heldElsewhere = section.isHeldByCurrentThread(); });
  other.join();
  EXPECT_FALSE(heldElsewhere);
  section.leave();
  EXPECT_FALSE(section.isHeldByCurrentThread());
}

TEST_F(HxCriticalSectionTest, TryEnterFailsWhileHeld) {
  HxCriticalSection section;
  HxCriticalSectionGuard guard(section);
  // By this thread: busy (never a recursive entry).
  EXPECT_FALSE(section.tryEnter());
  bool gotIt = true;
  std::thread other([&] { gotIt = section.tryEnter(); });
  other.join();
  EXPECT_FALSE(gotIt);
}

TEST_F(HxCriticalSectionTest, TryEnterSucceedsWhenFree) {
  HxCriticalSection section;
  ASSERT_TRUE(section.tryEnter());
  EXPECT_TRUE(section.isHeldByCurrentThread());
  section.leave();
}

TEST_F(HxCriticalSectionTest, GuardReleasesOnScopeExit) {
  HxCriticalSection section;
  {
    HxCriticalSectionGuard guard(section);
    section.assertHeld();
  }
  bool gotIt = false;
  std::thread other([&] {
    gotIt = section.tryEnter();
    if (gotIt) section.leave();
  });
  other.join();
  EXPECT_TRUE(gotIt);
}

TEST_F(HxCriticalSectionTest, WorksWithStandardGuards) {
  HxCriticalSection section;
  {
    std::lock_guard<HxCriticalSection> guard(section);
    EXPECT_TRUE(section.isHeldByCurrentThread());
  }
  std::unique_lock<HxCriticalSection> lock(section, std::try_to_lock);
  EXPECT_TRUE(lock.owns_lock());
}

// Without the fixture: a thread-safe death test runs the test again in a
// child process, which would make a temporary directory it never removes.
TEST(HxCriticalSectionDeathTest, ReenteringAbortsInsteadOfHanging) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        HxCriticalSection section;
        section.enter();
        section.enter();
      },
      "entered again by the thread that holds it");
}

TEST(HxCriticalSectionDeathTest, AssertHeldAbortsWhenNotHeld) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        HxCriticalSection section;
        section.assertHeld();
      },
      "not held by the calling thread");
}

TEST(HxCriticalSectionDeathTest, LeavingWithoutHoldingAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        HxCriticalSection section;
        section.leave();
      },
      "left by a thread that does not hold it");
}

}  // namespace
}  // namespace ObjectStore
