// Byte-range locks: the conflict rule with inclusive ends, the same-owner
// rules, unlocking, testing for a conflict, and the locks that go with a
// closing handle.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>

#include "core/StoreFixture.h"

namespace ObjectStore {
namespace {

using test::LogCapture;

class ByteRangeLockTest : public test::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    store_ = openStore(liveConfig());
    ASSERT_NE(store_, nullptr);
    ASSERT_OK(store_->createNewItem(file_, "/locked", FileAttribs{0644, 0, 0},
                                    store_->getRootGuid(), FILE_TYPE_REGULAR, "", false));
    openHandle(h1_);
    openHandle(h2_);
  }
  void TearDown() override {
    if (h1_.info != nullptr) EXPECT_OK(store_->close(h1_, CLIENT_CLOSE));
    if (h2_.info != nullptr) EXPECT_OK(store_->close(h2_, CLIENT_CLOSE));
    StoreFixture::TearDown();
  }

  void openHandle(FileHandle& handle) {
    ItemName name(file_.objGuid, false);
    ASSERT_OK(store_->open(handle, name, O_RDWR, false));
  }

  static LockInfo request(FileHandle& fh, int32_t type, uint64_t begin, uint64_t end,
                          uintptr_t owner) {
    LockInfo lock;
    lock.fh = &fh;
    lock.type = type;
    lock.begin = begin;
    lock.end = end;
    lock.owner = reinterpret_cast<void*>(owner);
    return lock;
  }

  CZnError take(FileHandle& fh, int32_t type, uint64_t begin, uint64_t end, uintptr_t owner) {
    LockInfo conflict;
    return store_->lock(request(fh, type, begin, end, owner), conflict);
  }

  bool wouldConflict(FileHandle& fh, int32_t type, uint64_t begin, uint64_t end, uintptr_t owner) {
    bool locked = false;
    EXPECT_OK(store_->telllock(request(fh, type, begin, end, owner), locked));
    return locked;
  }

  size_t lockCount() const { return h1_.info->locks.size(); }

  static constexpr int32_t kExclusive = 2;

  ObjectStore* store_ = nullptr;
  ItemName file_;
  FileHandle h1_, h2_;
};

TEST_F(ByteRangeLockTest, SharedLocksCoexistAndAnExclusiveOneReportsTheConflict) {
  ASSERT_OK(take(h1_, LOCK_SHARED, 0, 99, 1));
  ASSERT_OK(take(h2_, LOCK_SHARED, 0, 99, 2));
  EXPECT_EQ(lockCount(), 2u);

  LockInfo conflict;
  LogCapture log;
  CZnError err = store_->lock(request(h1_, kExclusive, 50, 50, 3), conflict);
  EXPECT_EQ(err.errNo(), EAGAIN);
  EXPECT_EQ(conflict.type, LOCK_SHARED);
  EXPECT_EQ(conflict.begin, 0u);
  EXPECT_EQ(conflict.end, 99u);
  EXPECT_TRUE(conflict.owner == reinterpret_cast<void*>(1) ||
              conflict.owner == reinterpret_cast<void*>(2));
  EXPECT_EQ(log.countContaining("lock failed type=[1] begin=[0] end=[99] owner=", 5), 1u)
      << log.dump();
  EXPECT_EQ(lockCount(), 2u) << "a refused lock leaves the table as it was";

  EXPECT_TRUE(wouldConflict(h2_, kExclusive, 99, 200, 3));
  EXPECT_FALSE(wouldConflict(h2_, LOCK_SHARED, 0, 1000, 3));
  EXPECT_FALSE(wouldConflict(h2_, kExclusive, 100, 200, 3));
}

TEST_F(ByteRangeLockTest, EndsAreInclusive) {
  ASSERT_OK(take(h1_, kExclusive, 0, 9, 1));
  EXPECT_OK(take(h2_, kExclusive, 10, 19, 2));
  ASSERT_OK(store_->unlock(request(h2_, kExclusive, 10, 19, 2)));

  ASSERT_OK(store_->unlock(request(h1_, kExclusive, 0, 9, 1)));
  ASSERT_OK(take(h1_, kExclusive, 0, 10, 1));
  LockInfo conflict;
  EXPECT_EQ(store_->lock(request(h2_, kExclusive, 10, 19, 2), conflict).errNo(), EAGAIN);
  EXPECT_EQ(conflict.begin, 0u);
  EXPECT_EQ(conflict.end, 10u);
  EXPECT_EQ(conflict.owner, reinterpret_cast<void*>(1));
  EXPECT_EQ(conflict.fh, &h1_);
  // One-byte ranges at the very end of the offset space.
  ASSERT_OK(take(h2_, kExclusive, UINT64_MAX, UINT64_MAX, 2));
  EXPECT_TRUE(wouldConflict(h1_, LOCK_SHARED, UINT64_MAX - 1, UINT64_MAX, 1));
}

TEST_F(ByteRangeLockTest, TheSameOwnerFollowsItsOwnRules) {
  ASSERT_OK(take(h1_, kExclusive, 0, 99, 1));
  // An exact duplicate succeeds and adds nothing.
  {
    LogCapture log;
    EXPECT_OK(take(h1_, kExclusive, 0, 99, 1));
    EXPECT_TRUE(log.contains("duplicate lock", 4)) << log.dump();
  }
  EXPECT_EQ(lockCount(), 1u);

  LockInfo conflict;
  // No change of type in place.
  CZnError err = store_->lock(request(h1_, LOCK_SHARED, 0, 99, 1), conflict);
  EXPECT_EQ(err.errNo(), EOPNOTSUPP);
  EXPECT_EQ(conflict.type, kExclusive);
  // No splitting, extending or merging of a held range.
  EXPECT_EQ(take(h1_, kExclusive, 50, 150, 1).errNo(), ERANGE);
  EXPECT_EQ(take(h1_, kExclusive, 10, 20, 1).errNo(), ERANGE);
  EXPECT_EQ(take(h2_, kExclusive, 0, 200, 1).errNo(), ERANGE) << "enclosing counts as extending";
  EXPECT_EQ(lockCount(), 1u);
  // Adjacent ranges of the same owner are separate locks.
  EXPECT_OK(take(h1_, kExclusive, 100, 120, 1));
  EXPECT_EQ(lockCount(), 2u);
}

TEST_F(ByteRangeLockTest, SharedHolderCannotPromoteOrExtend) {
  ASSERT_OK(take(h1_, LOCK_SHARED, 0, 99, 1));
  EXPECT_EQ(take(h1_, kExclusive, 0, 99, 1).errNo(), EOPNOTSUPP);
  EXPECT_EQ(take(h1_, LOCK_SHARED, 50, 150, 1).errNo(), ERANGE);
  // Another type overlapping without the same range is judged as a conflict.
  EXPECT_EQ(take(h1_, kExclusive, 50, 60, 1).errNo(), EAGAIN);
  EXPECT_EQ(lockCount(), 1u);
}

TEST_F(ByteRangeLockTest, EveryTypeButSharedIsExclusive) {
  ASSERT_OK(take(h1_, 0, 0, 9, 1));
  EXPECT_EQ(take(h2_, LOCK_SHARED, 5, 5, 2).errNo(), EAGAIN);
  EXPECT_EQ(take(h2_, -7, 9, 20, 2).errNo(), EAGAIN);
  // Two exclusive values of one owner on one range are the same lock.
  EXPECT_OK(take(h1_, 3, 0, 9, 1));
  EXPECT_EQ(lockCount(), 1u);
  EXPECT_EQ(take(h1_, LOCK_SHARED, 0, 9, 1).errNo(), EOPNOTSUPP);
}

TEST_F(ByteRangeLockTest, UnlockReleasesWholeRangesOrEverythingOfTheOwner) {
  ASSERT_OK(take(h1_, kExclusive, 0, 99, 1));
  ASSERT_OK(take(h1_, kExclusive, 200, 299, 1));
  ASSERT_OK(take(h2_, kExclusive, 400, 499, 1));
  ASSERT_OK(take(h2_, kExclusive, 500, 599, 2));

  LogCapture log;
  EXPECT_EQ(store_->unlock(request(h1_, kExclusive, 0, 49, 1)).errNo(), ENOENT);
  EXPECT_EQ(
      log.count("Error: can't find lock [" + file_.objGuid + "] begin=[0] end=[49] owner=[0x1]",
                -1),
      1u)
      << log.dump();
  EXPECT_EQ(lockCount(), 4u);
  // An owner that holds nothing at all gets the same answer.
  EXPECT_EQ(store_->unlock(request(h1_, kExclusive, 0, 99, 7)).errNo(), ENOENT);
  EXPECT_EQ(store_->unlock(request(h1_, kExclusive, 700, 799, 0)).errNo(), ENOENT);

  // The type of an unlock request is not compared.
  ASSERT_OK(store_->unlock(request(h1_, LOCK_SHARED, 200, 299, 1)));
  EXPECT_EQ(lockCount(), 3u);

  // 0-0 releases every lock of the owner, through any handle.
  ASSERT_OK(store_->unlock(request(h1_, kExclusive, 0, 0, 1)));
  EXPECT_EQ(lockCount(), 1u);
  EXPECT_FALSE(wouldConflict(h1_, kExclusive, 0, 499, 3));
  EXPECT_TRUE(wouldConflict(h1_, kExclusive, 0, 500, 3));
  // Nothing left for that owner: still a success.
  EXPECT_OK(store_->unlock(request(h1_, kExclusive, 0, 0, 1)));
}

TEST_F(ByteRangeLockTest, ClosingAHandleDropsOnlyItsOwnLocks) {
  ASSERT_OK(take(h1_, kExclusive, 0, 9, 1));
  ASSERT_OK(take(h2_, kExclusive, 20, 29, 1));  // same owner, other handle
  ASSERT_OK(take(h2_, LOCK_SHARED, 40, 49, 2));
  FileHandle h3;
  openHandle(h3);
  ASSERT_OK(take(h3, kExclusive, 60, 69, 3));

  ASSERT_OK(store_->close(h2_, CLIENT_CLOSE));
  h2_ = FileHandle();  // closed: the caller forgets it
  EXPECT_EQ(lockCount(), 2u);
  EXPECT_TRUE(wouldConflict(h1_, kExclusive, 9, 9, 9));
  EXPECT_FALSE(wouldConflict(h1_, kExclusive, 20, 49, 9));
  EXPECT_TRUE(wouldConflict(h1_, kExclusive, 65, 65, 9));

  // An internal close leaves the client's locks alone.
  ASSERT_OK(store_->openInternal(h3));
  ASSERT_OK(store_->close(h3, INTERNAL_CLOSE));
  EXPECT_TRUE(wouldConflict(h1_, kExclusive, 65, 65, 9));
  ASSERT_OK(store_->close(h3, CLIENT_CLOSE));
  EXPECT_FALSE(wouldConflict(h1_, kExclusive, 65, 65, 9));
  EXPECT_EQ(lockCount(), 1u);

  ASSERT_OK(store_->clearAllLocksWithFh(h1_));
  EXPECT_EQ(lockCount(), 0u);
}

TEST_F(ByteRangeLockTest, LocksGoWithTheRecordOfTheLastHandle) {
  ASSERT_OK(take(h1_, kExclusive, 0, 9, 1));
  ASSERT_OK(store_->close(h1_, CLIENT_CLOSE));
  h1_ = FileHandle();
  ASSERT_OK(store_->close(h2_, CLIENT_CLOSE));
  EXPECT_EQ(h2_.info, nullptr);
  EXPECT_EQ(store_->findOpenFile(file_.objGuid), nullptr);
  openHandle(h1_);
  EXPECT_EQ(lockCount(), 0u);
  EXPECT_FALSE(wouldConflict(h1_, kExclusive, 0, 9, 2));
}

TEST_F(ByteRangeLockTest, RequestsWithoutAnOpenHandleAreRefused) {
  LockInfo conflict;
  LockInfo noHandle = request(h1_, kExclusive, 0, 9, 1);
  noHandle.fh = nullptr;
  LogCapture log;
  EXPECT_EQ(store_->lock(noHandle, conflict).errNo(), EINVAL);
  EXPECT_EQ(store_->unlock(noHandle).errNo(), EINVAL);
  bool locked = true;
  EXPECT_EQ(store_->telllock(noHandle, locked).errNo(), EINVAL);
  EXPECT_EQ(log.count("Error: lock nullptr", -1), 3u) << log.dump();

  FileHandle closed;
  closed.name = ItemName(file_.objGuid, false);
  EXPECT_EQ(take(closed, kExclusive, 0, 9, 1).errNo(), EBADF);
  EXPECT_EQ(store_->unlock(request(closed, kExclusive, 0, 0, 1)).errNo(), EBADF);
  EXPECT_OK(store_->clearAllLocksWithFh(closed));
  EXPECT_EQ(lockCount(), 0u);
}

}  // namespace
}  // namespace ObjectStore
