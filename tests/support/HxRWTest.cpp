#include <gtest/gtest.h>

#include <mutex>
#include <shared_mutex>

#include "common/TestEnv.h"
#include "platform/support/HxRW.h"

namespace ObjectStore {
namespace {

class HxRWTest : public test::TestEnv {};

TEST_F(HxRWTest, ReaderExcludesWriter) {
  HxRW rw;
  {
    HxReadLock guard(rw);
    EXPECT_FALSE(rw.try_lock());
    EXPECT_TRUE(rw.try_lock_shared());  // a second reader (another holder) is fine
    rw.unlock_shared();
  }
  EXPECT_TRUE(rw.try_lock());
  rw.unlock();
}

TEST_F(HxRWTest, WorksWithStandardGuards) {
  HxRW rw;
  {
    std::lock_guard<HxRW> guard(rw);
    EXPECT_FALSE(rw.try_lock_shared());
  }
  {
    std::shared_lock<HxRW> guard(rw);
    EXPECT_FALSE(rw.try_lock());
  }
  EXPECT_TRUE(rw.try_lock());
  rw.unlock();
}

}  // namespace
}  // namespace ObjectStore
