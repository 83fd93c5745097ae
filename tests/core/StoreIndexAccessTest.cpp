// Property lookup through caches, headers and the index: the store's point in
// time on every query, and what a view that discards writes must not let the
// index bring back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/StoreOpsFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::fakeGuid;
using test::LogCapture;

constexpr int64_t kCreatedAt = 1600000000;
constexpr uint64_t kBefore = kCreatedAt - 100;
constexpr uint64_t kAfter = kCreatedAt + 100;

class StoreIndexAccessTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    stopClockAt(kCreatedAt);
    live_ = openStore(liveConfig());
    ASSERT_NE(live_, nullptr);
    ItemName dir;
    ASSERT_OK(live_->createNewItem(dir, "/d", FileAttribs{0755, 0, 0}, live_->getRootGuid(),
                                   FILE_TYPE_DIRECTORY, "", false));
    dirGuid_ = dir.objGuid;
    ItemName file;
    ASSERT_OK(live_->createNewItem(file, "/d/f", FileAttribs{0644, 1, 2}, dirGuid_,
                                   FILE_TYPE_REGULAR, "", false));
    fileGuid_ = file.objGuid;
    fileVer_ = file.verGuid;
    clock_->advanceSec(1000);
  }
  ObjectStore* live_ = nullptr;
  guid_t dirGuid_;
  guid_t fileGuid_;
  guid_t fileVer_;
};

TEST_F(StoreIndexAccessTest, LiveStoreQueriesTheLatestState) {
  index().resetCounts();
  index_iface_props props;
  ASSERT_OK(live_->findObjGuidFromIndex(fileGuid_, props));
  EXPECT_EQ(props.verGuid, fileVer_);
  EXPECT_EQ(props.path, "/d/f");
  ASSERT_OK(live_->findPathFromIndex("/d/f", props));
  EXPECT_EQ(index().beforeTimes(), (std::vector<uint64_t>{0, 0}));
}

TEST_F(StoreIndexAccessTest, PointInTimeStoreQueriesAsOfItsTime) {
  ObjectStore* early = openStore(pitConfig(kBefore, "early"));
  ObjectStore* late = openStore(pitConfig(kAfter, "late"));
  ASSERT_NE(early, nullptr);
  ASSERT_NE(late, nullptr);
  index().resetCounts();

  index_iface_props props;
  EXPECT_EQ(early->findObjGuidFromIndex(fileGuid_, props).errNo(), ENOENT);
  EXPECT_EQ(early->findPathFromIndex("/d/f", props).errNo(), ENOENT);
  ASSERT_OK(late->findObjGuidFromIndex(fileGuid_, props));
  EXPECT_EQ(props.verGuid, fileVer_);
  ASSERT_OK(late->findPathFromIndex("/d/f", props));
  EXPECT_EQ(props.objGuid, fileGuid_);
  EXPECT_EQ(index().beforeTimes(), (std::vector<uint64_t>{kBefore, kBefore, kAfter, kAfter}));
}

TEST_F(StoreIndexAccessTest, DirectoryVersionIsThisStoresDirectoryVersionName) {
  ObjectStore* late = openStore(pitConfig(kAfter, "late"));
  ASSERT_NE(late, nullptr);
  const guid_t expected = dirGuid_ + "-" + makeSnapshotSuffix(kAfter);
  index_iface_props byGuid;
  ASSERT_OK(late->findObjGuidFromIndex(dirGuid_, byGuid));
  EXPECT_EQ(byGuid.verGuid, expected);
  index_iface_props byPath;
  ASSERT_OK(late->findPathFromIndex("/d", byPath));
  EXPECT_EQ(byPath.verGuid, expected);
  // Recorded in the view's own caches.
  guid_t cached;
  ASSERT_OK(late->versionCache().findData(dirGuid_, cached));
  EXPECT_EQ(cached, expected);
  ASSERT_OK(late->pathCache().findGuid(cached, "/d"));
  EXPECT_EQ(cached, dirGuid_);
}

TEST_F(StoreIndexAccessTest, ItemDeletedInADiscardWritesViewIsNotFound) {
  ObjectStore* view = openStore(pitConfig(kAfter, "dw", true));
  ASSERT_NE(view, nullptr);
  ASSERT_TRUE(view->discardsWrites());
  index_iface_props props;
  ASSERT_OK(view->findObjGuidFromIndex(fileGuid_, props));

  ASSERT_OK(view->deleteSegment(props, true));
  EXPECT_TRUE(view->deletedSegments().exists(fileGuid_));
  index().resetCounts();
  EXPECT_EQ(view->findObjGuidFromIndex(fileGuid_, props).errNo(), ENOENT);
  EXPECT_EQ(index().findByGuidCalls.load(), 0);  // decided without the index
  EXPECT_EQ(view->findPathFromIndex("/d/f", props).errNo(), ENOENT);
  // The index still has it.
  EXPECT_OK(live_->findObjGuidFromIndex(fileGuid_, props));
}

TEST_F(StoreIndexAccessTest, OldPathOfAnItemRenamedInADiscardWritesViewIsNotFound) {
  ObjectStore* view = openStore(pitConfig(kAfter, "dw", true));
  ASSERT_NE(view, nullptr);
  // What a local rename leaves in the path cache.
  ASSERT_OK(view->pathCache().insert(fileGuid_, "/d/g", true));
  LogCapture log;
  index_iface_props props;
  EXPECT_EQ(view->findPathFromIndex("/d/f", props).errNo(), ENOENT);
  EXPECT_TRUE(log.contains(
      "[" + fileGuid_ + "] was renamed from [/d/g] to [/d/f], returning not found", 5))
      << log.dump();
  // A view that does not discard writes trusts the index.
  ObjectStore* plain = openStore(pitConfig(kAfter, "plain"));
  ASSERT_NE(plain, nullptr);
  ASSERT_OK(plain->pathCache().insert(fileGuid_, "/d/g", false));
  EXPECT_OK(plain->findPathFromIndex("/d/f", props));
}

TEST_F(StoreIndexAccessTest, AddToCacheAndIndexWithSkipIndexPersistsAndLeavesTheIndex) {
  ObjectStore* view = openStore(pitConfig(kAfter, "dw", true));
  ASSERT_NE(view, nullptr);
  index().resetCounts();
  index_iface_props props;
  props.objGuid = fakeGuid('a');
  props.verGuid = fakeGuid('b');
  props.path = "/local";
  ASSERT_OK(view->addToCacheAndIndex(props, true));
  EXPECT_EQ(index().addCalls.load(), 0);
  const std::string dir = storeDirOf(pitConfig(kAfter, "dw", true));
  EXPECT_NE(test::readFile(dir + "/version_cache").find(fakeGuid('a') + "," + fakeGuid('b')),
            std::string::npos);
  EXPECT_NE(test::readFile(dir + "/guid_cache").find(fakeGuid('a') + ",/local"),
            std::string::npos);

  // A restarted view still finds the local item.
  closeStore(*view);
  view = openStore(pitConfig(kAfter, "dw", true));
  ASSERT_NE(view, nullptr);
  guid_t found;
  ASSERT_OK(view->pathCache().findGuid(found, "/local"));
  EXPECT_EQ(found, fakeGuid('a'));
  ASSERT_OK(view->versionCache().findData(fakeGuid('a'), found));
  EXPECT_EQ(found, fakeGuid('b'));
}

TEST_F(StoreIndexAccessTest, AddToCacheAndIndexStampsTheVersionTime) {
  index().resetCounts();
  index_iface_props props;
  props.objGuid = fakeGuid('a');
  props.verGuid = fakeGuid('b');
  props.path = "/d/new";
  props.parentGuid = dirGuid_;
  props.modeValid = true;
  props.mode = S_IFREG | 0600;
  props.extentSize = 4096;
  props.vtime = 1;  // replaced by the time of recording
  ASSERT_OK(live_->addToCacheAndIndex(props, false));
  EXPECT_EQ(index().addCalls.load(), 1);
  EXPECT_EQ(props.vtime, clock_->nowNs());
  index_iface_props found;
  ASSERT_OK(live_->findPathFromIndex("/d/new", found));
  EXPECT_EQ(found.objGuid, fakeGuid('a'));
}

TEST_F(StoreIndexAccessTest, AddToIndexWithoutVersionTimeFailsBeforeTheIndex) {
  index().resetCounts();
  LogCapture log;
  index_iface_props props;
  props.objGuid = fakeGuid('a');
  props.verGuid = fakeGuid('b');
  props.vtime = 0;
  EXPECT_EQ(live_->addToIndex(props).errNo(), EINVAL);
  EXPECT_EQ(index().addCalls.load(), 0);
  EXPECT_EQ(log.count("Error: [" + fakeGuid('b') + "] has no vtime", -1), 1u);
}

TEST_F(StoreIndexAccessTest, AddToIndexReportsARefusalAsEio) {
  index_iface_props props;
  props.objGuid = fileGuid_;
  props.verGuid = fileVer_;  // already recorded
  props.vtime = clock_->nowNs();
  EXPECT_EQ(live_->addToIndex(props).errNo(), EIO);
}

TEST_F(StoreIndexAccessTest, PropsComeFromTheHeaderWhenCached) {
  index().resetCounts();
  index_iface_props props;
  ASSERT_OK(live_->propsFromGuid(fileGuid_, props, NO_RESTORE));
  EXPECT_EQ(index().findByGuidCalls.load(), 0);
  EXPECT_EQ(props.path, "/d/f");
  EXPECT_EQ(props.verGuid, fileVer_);
  EXPECT_EQ(props.parentGuid, dirGuid_);
  EXPECT_EQ(props.mode, static_cast<int>(S_IFREG | 0644));
  EXPECT_EQ(props.uid, 1);
  EXPECT_EQ(props.gid, 2);
  EXPECT_EQ(props.size, 0);
  EXPECT_EQ(props.mtime, kCreatedAt);
  EXPECT_EQ(props.atime, kCreatedAt);
  EXPECT_EQ(props.extentSize, 1048576);
  EXPECT_EQ(props.vtime, kCreatedAt * 1000000000);
}

TEST_F(StoreIndexAccessTest, PropsFallBackToTheIndexWhenNotCached) {
  ASSERT_OK(live_->pathCache().deleteGuid(fileGuid_));
  ASSERT_OK(live_->versionCache().deleteGuid(fileGuid_));
  index().resetCounts();
  index_iface_props props;
  ASSERT_OK(live_->propsFromGuid(fileGuid_, props, NO_RESTORE));
  EXPECT_EQ(index().findByGuidCalls.load(), 1);
  EXPECT_EQ(props.verGuid, fileVer_);

  index().resetCounts();
  ItemName byPath("/d/f");
  // The index lookup above filled the caches again.
  ASSERT_OK(live_->propsFromItem(byPath, props));
  EXPECT_EQ(index().findByGuidCalls.load() + index().findByPathCalls.load(), 0);

  LogCapture log;
  EXPECT_EQ(live_->propsFromPath("/nothing", props).errNo(), ENOENT);
  EXPECT_EQ(log.countContaining("Error: [/nothing] not in index", -1), 1u) << log.dump();
}

TEST_F(StoreIndexAccessTest, RootItemIsLookedUpAsSlash) {
  ItemName root(std::string(), true);
  index_iface_props props;
  ASSERT_OK(live_->propsFromItem(root, props));
  EXPECT_EQ(root.path, "/");
  EXPECT_EQ(props.objGuid, live_->getRootGuid());
  EXPECT_EQ(props.path, "/");
}

TEST_F(StoreIndexAccessTest, DeleteWrapperStampsNowAndSkipsInADiscardWritesView) {
  ObjectStore* view = openStore(pitConfig(kAfter, "dw", true));
  ASSERT_NE(view, nullptr);
  index().resetCounts();
  index_iface_props props;
  props.objGuid = fileGuid_;
  ASSERT_OK(view->index_delete_wrapper(props));
  EXPECT_EQ(index().deleteCalls.load(), 0);

  ASSERT_OK(live_->index_delete_wrapper(props));
  EXPECT_EQ(index().deleteCalls.load(), 1);
  EXPECT_EQ(props.dtime, clockNowSec());
  EXPECT_EQ(live_->findObjGuidFromIndex(fileGuid_, props).errNo(), ENOENT);

  LogCapture log;
  index_iface_props unknown;
  unknown.objGuid = fakeGuid('e');
  EXPECT_EQ(live_->index_delete_wrapper(unknown).errNo(), EINVAL);
  EXPECT_EQ(log.count("Error: Can't delete [" + fakeGuid('e') + "]", -1), 1u);
}

TEST_F(StoreIndexAccessTest, TimeInNanoseconds) {
  EXPECT_EQ(ObjectStore::getTimeInNs(5), 5000000000);
  EXPECT_EQ(ObjectStore::getTimeInNs(0), clock_->nowNs());
}

}  // namespace
}  // namespace ObjectStore
