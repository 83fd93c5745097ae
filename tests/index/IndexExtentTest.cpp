// Extent records as of a time (versions of segments, deletion by truncate and
// undeletion by a later write) and backup locations.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>

#include "index/IndexTestSupport.h"

namespace ObjectStore::test {
namespace {

struct ExtentView {
  std::string segment;
  uint64_t number = 0;
  int64_t dtime = 0;
  int64_t afileId = 0;
  int64_t afileOffset = 0;
};

class IndexExtentTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    index_ = openIndex();
    ASSERT_EQ(addRoot(*index_, root_), 0);
    ASSERT_EQ(addFile(*index_, file_, v1_, "/f", root_, 2 << 20), 0);
  }

  // Extent GUID -> what browse_file_extents reports as of beforeTime.
  std::map<std::string, ExtentView> extentsAt(uint64_t beforeTime) {
    std::vector<index_iface_props*> list;
    EXPECT_EQ(index_->browse_file_extents(byGuid(file_, beforeTime), list), 0);
    std::map<std::string, ExtentView> views;
    uint64_t previous = 0;
    for (const index_iface_props* record : list) {
      EXPECT_EQ(record->parentGuid, file_);
      EXPECT_EQ(record->updateSelector, 1u);
      EXPECT_TRUE(record->path.empty());
      EXPECT_GE(record->extentNumber, previous);  // by extent number
      previous = record->extentNumber;
      views[record->objGuid] = ExtentView{record->verGuid, record->extentNumber, record->dtime,
                                          record->afileId, record->afileOffset};
    }
    index_->delete_browse_memory(list);
    return views;
  }

  int setExtentDtime(const std::string& segment, unsigned long number, int64_t dtime) {
    index_iface_props props;
    props.objGuid = extentGuidOf(file_, number);
    props.verGuid = segment;
    props.parentGuid = file_;
    props.dtime = dtime;
    props.updateSelector = 1;
    return index_->update_item(props);
  }

  std::unique_ptr<index_iface> index_;
  const std::string root_ = testGuid('a', 1);
  const std::string file_ = testGuid('f', 1);
  const std::string v1_ = testGuid('v', 1);
  const std::string v2_ = testGuid('v', 2);
};

TEST_F(IndexExtentTest, ExtentSegmentsAsOfTime) {
  uint64_t none = nowSec();
  tick();
  ASSERT_EQ(addExtent(*index_, file_, v1_, 0, 2 << 20), 0);
  ASSERT_EQ(addExtent(*index_, file_, v1_, 1, 2 << 20), 0);
  uint64_t t1 = nowSec();
  tick();
  // A new version rewrites extent 1: the copy adds a new segment of it.
  ASSERT_EQ(addVersion(*index_, file_, v2_, 2 << 20), 0);
  ASSERT_EQ(addExtent(*index_, file_, v2_, 1, 2 << 20), 0);
  uint64_t t2 = nowSec();
  tick();
  ASSERT_EQ(addExtent(*index_, file_, v2_, 4, 5 << 20), 0);

  EXPECT_TRUE(extentsAt(none).empty());
  auto atT1 = extentsAt(t1);
  ASSERT_EQ(atT1.size(), 2u);
  EXPECT_EQ(atT1[extentGuidOf(file_, 0)].segment, extentGuidOf(v1_, 0));
  EXPECT_EQ(atT1[extentGuidOf(file_, 1)].segment, extentGuidOf(v1_, 1));
  EXPECT_EQ(atT1[extentGuidOf(file_, 1)].number, 1u);
  EXPECT_EQ(atT1[extentGuidOf(file_, 1)].dtime, -1);
  auto atT2 = extentsAt(t2);
  ASSERT_EQ(atT2.size(), 2u);
  EXPECT_EQ(atT2[extentGuidOf(file_, 0)].segment, extentGuidOf(v1_, 0));
  EXPECT_EQ(atT2[extentGuidOf(file_, 1)].segment, extentGuidOf(v2_, 1));
  auto latest = extentsAt(0);
  ASSERT_EQ(latest.size(), 3u);
  EXPECT_EQ(latest[extentGuidOf(file_, 4)].number, 4u);
}

TEST_F(IndexExtentTest, DeletionAndUndeletionOfAnExtent) {
  ASSERT_EQ(addExtent(*index_, file_, v1_, 0, 2 << 20), 0);
  ASSERT_EQ(addExtent(*index_, file_, v1_, 1, 2 << 20), 0);
  uint64_t t1 = nowSec();
  uint64_t truncatedAt = tick();
  ASSERT_EQ(setExtentDtime(extentGuidOf(v1_, 1), 1, static_cast<int64_t>(truncatedAt)), 0);
  uint64_t t2 = nowSec();
  uint64_t rewrittenAt = tick();
  ASSERT_EQ(setExtentDtime(extentGuidOf(v1_, 1), 1, 0), 0);

  EXPECT_EQ(extentsAt(t1)[extentGuidOf(file_, 1)].dtime, -1);
  EXPECT_EQ(extentsAt(t2)[extentGuidOf(file_, 1)].dtime, static_cast<int64_t>(truncatedAt));
  EXPECT_EQ(extentsAt(t2)[extentGuidOf(file_, 0)].dtime, -1);
  EXPECT_EQ(extentsAt(rewrittenAt)[extentGuidOf(file_, 1)].dtime, -1);
  EXPECT_EQ(extentsAt(0)[extentGuidOf(file_, 1)].dtime, -1);

  index_iface_props props;
  EXPECT_EQ(index_->find_by_guid(byGuid(extentGuidOf(file_, 1), t1), props), 0);
  EXPECT_EQ(index_->find_by_guid(byGuid(extentGuidOf(file_, 1), t2), props), ENOENT);
  EXPECT_EQ(index_->find_by_guid(byGuid(extentGuidOf(file_, 1)), props), 0);

  // dtime -1 in an update leaves the deletion state alone.
  uint64_t t3 = tick();
  ASSERT_EQ(setExtentDtime(extentGuidOf(v1_, 1), 1, static_cast<int64_t>(t3)), 0);
  index_iface_props sizeOnly;
  sizeOnly.objGuid = extentGuidOf(file_, 1);
  sizeOnly.verGuid = extentGuidOf(v1_, 1);
  sizeOnly.size = 123;
  ASSERT_EQ(index_->update_item(sizeOnly), 0);
  EXPECT_EQ(extentsAt(0)[extentGuidOf(file_, 1)].dtime, static_cast<int64_t>(t3));
}

TEST_F(IndexExtentTest, DeleteUndeleteDeleteWithinOneSecondEndsDeleted) {
  ASSERT_EQ(addExtent(*index_, file_, v1_, 0, 1 << 20), 0);
  uint64_t second = tick();
  const std::string segment = extentGuidOf(v1_, 0);
  ASSERT_EQ(setExtentDtime(segment, 0, static_cast<int64_t>(second)), 0);
  ASSERT_EQ(setExtentDtime(segment, 0, 0), 0);
  // Every stamp lies in one second: the order they were made decides.
  EXPECT_EQ(extentsAt(0)[extentGuidOf(file_, 0)].dtime, -1);
  EXPECT_EQ(extentsAt(second)[extentGuidOf(file_, 0)].dtime, -1);
  ASSERT_EQ(setExtentDtime(segment, 0, static_cast<int64_t>(second)), 0);
  EXPECT_EQ(extentsAt(0)[extentGuidOf(file_, 0)].dtime, static_cast<int64_t>(second));
  EXPECT_EQ(extentsAt(second)[extentGuidOf(file_, 0)].dtime, static_cast<int64_t>(second));
  EXPECT_EQ(extentsAt(second - 1)[extentGuidOf(file_, 0)].dtime, -1);
}

TEST_F(IndexExtentTest, DeleteItemOfAnExtentGuidDeletesItsSegment) {
  ASSERT_EQ(addExtent(*index_, file_, v1_, 0, 1 << 20), 0);
  uint64_t deletedAt = tick();
  ASSERT_EQ(deleteAt(*index_, extentGuidOf(file_, 0), static_cast<int64_t>(deletedAt)), 0);
  EXPECT_EQ(extentsAt(0)[extentGuidOf(file_, 0)].dtime, static_cast<int64_t>(deletedAt));
  // The file itself is untouched.
  EXPECT_EQ(pathAt(*index_, file_), "/f");
}

TEST_F(IndexExtentTest, UnknownFileHasNoExtents) {
  std::vector<index_iface_props*> list;
  EXPECT_EQ(index_->browse_file_extents(byGuid(testGuid('f', 9)), list), 0);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(index_->browse_file_extents(byGuid(""), list), EINVAL);
}

TEST_F(IndexExtentTest, BackupLocationsAsOfTime) {
  ASSERT_EQ(addExtent(*index_, file_, v1_, 0, 1 << 20), 0);
  const std::string segment = extentGuidOf(v1_, 0);
  uint64_t beforeBackup = nowSec();
  uint64_t firstBackup = tick();
  ASSERT_EQ(index_->set_backup_location(segment, 3, 100), 0);
  uint64_t secondBackup = tick();
  ASSERT_EQ(index_->set_backup_location(segment, 5, 200), 0);

  // Latest: the newest location.
  EXPECT_EQ(extentsAt(0)[extentGuidOf(file_, 0)].afileId, 5);
  EXPECT_EQ(extentsAt(0)[extentGuidOf(file_, 0)].afileOffset, 200);
  // As of T: the newest recorded by T.
  EXPECT_EQ(extentsAt(firstBackup)[extentGuidOf(file_, 0)].afileId, 3);
  EXPECT_EQ(extentsAt(secondBackup)[extentGuidOf(file_, 0)].afileId, 5);
  // Backed up only after T: the oldest location still restores it.
  EXPECT_EQ(extentsAt(beforeBackup)[extentGuidOf(file_, 0)].afileId, 3);
  EXPECT_EQ(extentsAt(beforeBackup)[extentGuidOf(file_, 0)].afileOffset, 100);

  index_iface_props props;
  ASSERT_EQ(index_->find_by_guid(byGuid(extentGuidOf(file_, 0), firstBackup), props), 0);
  EXPECT_EQ(props.afileId, 3);
  EXPECT_EQ(props.afileOffset, 100);
  // Never backed up: unknown.
  ASSERT_EQ(index_->find_by_guid(byGuid(file_), props), 0);
  EXPECT_EQ(props.afileId, -1);
  EXPECT_EQ(props.afileOffset, -1);

  EXPECT_EQ(index_->set_backup_location("", 1, 1), EINVAL);
  EXPECT_EQ(index_->set_backup_location(segment, -1, 1), EINVAL);
}

TEST_F(IndexExtentTest, LocationsOfABatchAreRecordedInOrderOrNotAtAll) {
  ASSERT_EQ(addExtent(*index_, file_, v1_, 0, 1 << 20), 0);
  ASSERT_EQ(addExtent(*index_, file_, v1_, 1, 1 << 20), 0);
  const std::string first = extentGuidOf(v1_, 0);
  const std::string second = extentGuidOf(v1_, 1);
  // A segment listed twice ends at its later location.
  ASSERT_EQ(index_->set_backup_locations({{first, 2, 10}, {second, 2, 20}, {first, 2, 30}}), 0);
  EXPECT_EQ(extentsAt(0)[extentGuidOf(file_, 0)].afileOffset, 30);
  EXPECT_EQ(extentsAt(0)[extentGuidOf(file_, 1)].afileOffset, 20);

  // One bad entry: nothing of the batch is recorded.
  EXPECT_EQ(index_->set_backup_locations({{first, 4, 40}, {"", 4, 50}}), EINVAL);
  EXPECT_EQ(index_->set_backup_locations({{second, 4, 60}, {first, -1, 0}}), EINVAL);
  EXPECT_EQ(extentsAt(0)[extentGuidOf(file_, 0)].afileOffset, 30);
  EXPECT_EQ(extentsAt(0)[extentGuidOf(file_, 1)].afileOffset, 20);
  EXPECT_EQ(index_->set_backup_locations({}), 0);
}

TEST_F(IndexExtentTest, UpdateCarryingALocationRecordsIt) {
  index_iface_props update;
  update.objGuid = file_;
  update.verGuid = v1_;
  update.afileId = 8;
  update.afileOffset = 4096;
  ASSERT_EQ(index_->update_item(update), 0);
  index_iface_props props;
  ASSERT_EQ(index_->find_by_path(byPath("/f"), props), 0);
  EXPECT_EQ(props.afileId, 8);
  EXPECT_EQ(props.afileOffset, 4096);
  std::map<std::string, std::string> counters;
  index_->get_counters(counters);
  EXPECT_EQ(counters["index.locations"], "1");
  EXPECT_EQ(counters["index.updates"], "1");
}

TEST_F(IndexExtentTest, LocationOfAnOlderVersionStaysWithIt) {
  ASSERT_EQ(index_->set_backup_location(v1_, 1, 10), 0);
  uint64_t t1 = nowSec();
  tick();
  ASSERT_EQ(addVersion(*index_, file_, v2_, 7), 0);
  index_iface_props props;
  ASSERT_EQ(index_->find_by_guid(byGuid(file_, t1), props), 0);
  EXPECT_EQ(props.verGuid, v1_);
  EXPECT_EQ(props.afileId, 1);
  ASSERT_EQ(index_->find_by_guid(byGuid(file_), props), 0);
  EXPECT_EQ(props.verGuid, v2_);
  EXPECT_EQ(props.afileId, -1);
}

}  // namespace
}  // namespace ObjectStore::test
