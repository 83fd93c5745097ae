// A segment read that fails for a reason of the system (out of descriptors,
// memory or space) says nothing about the segment: the operation fails with
// that errno and the segment stays as it was, with whatever it holds that
// no backup has yet. Only a failure that shows the file itself damaged drops
// it for a rebuild.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "ObjectStore/StoreHelpers.h"
#include "core/StoreOpsFixture.h"

namespace ObjectStore {
namespace {

using test::LogCapture;

class SegmentReadFaultTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    openLiveStore();
  }

  // Every disk-cache read fails with errNo until clearFaults.
  void failReads(int errNo) {
    cache_->setFaults(DiskCacheFaults{DiskCacheOp::Read, 1, errNo, true});
  }
};

TEST(SegmentReadFailureKinds, OnlyFailuresOfTheFileItselfMeanDamage) {
  for (const int damage : {EIO, EBADMSG, EINVAL, EFBIG}) {
    EXPECT_TRUE(segmentReadMeansDamage(damage)) << damage;
    EXPECT_FALSE(readFailedAndSegmentKept(FXErrorUtil::ErrorErrNo(FX_LOC, damage, "x")));
  }
  for (const int passing : {EMFILE, ENFILE, ENOMEM, ENOSPC, EACCES, EINTR}) {
    EXPECT_FALSE(segmentReadMeansDamage(passing)) << passing;
    EXPECT_TRUE(readFailedAndSegmentKept(FXErrorUtil::ErrorErrNo(FX_LOC, passing, "x")));
  }
  EXPECT_FALSE(readFailedAndSegmentKept(FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "x")));
  EXPECT_FALSE(readFailedAndSegmentKept(CZnError::Success));
}

// The written bytes exist only in the extent's segment (nothing was backed
// up): a read that can't open it must not drop it and restore over it.
TEST_F(SegmentReadFaultTest, ExtentReadOutOfDescriptorsFailsAndKeepsTheUnsentBytes) {
  const std::string bytes = test::pattern(3000, 7);
  const guid_t file = makeFile("/f", bytes);
  FileHandle handle;
  openFile(handle, file, O_RDONLY);
  failReads(EMFILE);
  std::string buf(bytes.size(), '\0');
  uint64_t len = buf.size();
  LogCapture log;
  const CZnError err = store_->read(handle, buf.data(), 0, len);
  cache_->clearFaults();
  EXPECT_EQ(err.errNo(), EMFILE) << err.chain();
  EXPECT_EQ(store_->recoveredSegs(), 0u);
  EXPECT_GE(log.countContaining("now; it stays", -1), 1u) << log.dump();
  EXPECT_EQ(log.countContaining("will restore", -1), 0u) << log.dump();

  EXPECT_TRUE(test::sameBytes(readAt(handle, 0, bytes.size()), bytes));
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

// Damage still drops the segment: the read goes on to the restore.
TEST_F(SegmentReadFaultTest, ExtentReadFindingDamageDropsTheSegment) {
  const guid_t file = makeFile("/f", test::pattern(3000, 8));
  FileHandle handle;
  openFile(handle, file, O_RDONLY);
  failReads(EIO);
  std::string buf(3000, '\0');
  uint64_t len = buf.size();
  (void)store_->read(handle, buf.data(), 0, len);  // whatever the restore gives
  cache_->clearFaults();
  EXPECT_GE(store_->recoveredSegs(), 1u);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

// A chmod whose header can't be read must fail: changed in the caches and
// the index only, the header on disk would bring the old mode back after a
// restart.
TEST_F(SegmentReadFaultTest, ChmodWhoseHeaderCannotBeReadFailsAndChangesNothing) {
  makeFile("/f", "x");
  ItemName item("/f");
  struct stat st {};
  ASSERT_OK(store_->getattr(item, st));
  const mode_t before = st.st_mode;
  store_->attrCache().clear();

  struct stat changed = st;
  changed.st_mode = S_IFREG | 0600;
  failReads(ENOSPC);
  ItemName target("/f");
  const CZnError err = store_->setattr(target, changed);
  cache_->clearFaults();
  EXPECT_EQ(err.errNo(), ENOSPC) << err.chain();
  EXPECT_EQ(store_->recoveredSegs(), 0u);

  store_->attrCache().clear();
  ItemName again("/f");
  ASSERT_OK(store_->getattr(again, st));
  EXPECT_EQ(st.st_mode, before);
  index_iface_props props;
  ASSERT_OK(store_->findPathFromIndex("/f", props));
  EXPECT_EQ(static_cast<mode_t>(props.mode), before);

  // Once reads work, the change sticks on disk.
  ItemName retry("/f");
  ASSERT_OK(store_->setattr(retry, changed));
  store_->attrCache().clear();
  ItemName after("/f");
  ASSERT_OK(store_->getattr(after, st));
  EXPECT_EQ(st.st_mode, changed.st_mode);
}

// A directory list holds entries as soon as they are made: a list that can't
// be read now must not be rebuilt over, nor listed as empty.
TEST_F(SegmentReadFaultTest, ListingThatCannotBeReadFailsAndKeepsEveryEntry) {
  makeDir("/d");
  const guid_t a = makeFile("/d/a", "1");
  const guid_t b = makeFile("/d/b", "2");
  store_->dirEntCache().clear();
  store_->attrCache().clear();

  failReads(ENOMEM);
  ItemName dir("/d");
  GuidPathList out;
  bool done = false;
  const CZnError err = store_->readdir(dir, out, 0, DIRENT_READ_ALL, done);
  cache_->clearFaults();
  EXPECT_EQ(err.errNo(), ENOMEM) << err.chain();
  EXPECT_EQ(store_->recoveredSegs(), 0u);
  EXPECT_EQ(children("/d"), (std::map<std::string, guid_t>{{"a", a}, {"b", b}}));
}

// An unlink whose entry list can't be read now reports it; the entry left
// behind goes before the share's next operation, and the name is free.
TEST_F(SegmentReadFaultTest, UnlinkWhoseListCannotBeReadLeavesNoEntryBehind) {
  makeDir("/d");
  makeFile("/d/gone", "1");
  const guid_t kept = makeFile("/d/kept", "2");
  store_->dirEntCache().clear();

  failReads(EMFILE);
  ItemName item("/d/gone");
  const CZnError err = store_->unlink(item);
  cache_->clearFaults();
  EXPECT_EQ(store_->recoveredSegs(), 0u);
  if (err.ok()) {
    EXPECT_EQ(indexGuid("/d/gone"), "");
  } else {
    EXPECT_EQ(err.errNo(), EMFILE) << err.chain();
  }
  // What the container does before the share's next operation.
  store_->finishLeftRemovalsIfAny();
  // Either it went or it is wholly there: the list and the index agree.
  const std::map<std::string, guid_t> listed = children("/d");
  EXPECT_EQ(listed.count("gone") == 1, !indexGuid("/d/gone").empty());
  EXPECT_EQ(listed.at("kept"), kept);
}

}  // namespace
}  // namespace ObjectStore
