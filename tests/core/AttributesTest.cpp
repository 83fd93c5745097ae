// POSIX attributes: setattr and its forms chmod, chown and utimes, and the
// time stamps of updateTimes, as seen in the attribute cache, the headers on
// disk and the index.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "core/StoreOpsFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::LogCapture;

constexpr int64_t kNow = 1600000000;

class AttributesTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    stopClockAt(kNow);
  }

  ItemName makeFile(ObjectStore& store, const std::string& path, mode_t mode = 0644) {
    ItemName item;
    EXPECT_OK(store.create(item, path, mode, FILE_TYPE_REGULAR));
    return item;
  }

  index_iface_props indexed(ObjectStore& store, const guid_t& objGuid) {
    index_iface_props props;
    EXPECT_OK(store.findObjGuidFromIndex(objGuid, props));
    return props;
  }
};

TEST_F(AttributesTest, ChmodOfADirectoryKeepsItsType) {
  ObjectStore* store = open(liveConfig());
  ItemName dir;
  ASSERT_OK(store->mkdir(dir, "/d", 0755));
  ItemName byPath("/d");
  ASSERT_OK(store->chmod(byPath, 0644));

  struct stat st {};
  ItemName again("/d");
  ASSERT_OK(store->getattr(again, st));
  EXPECT_EQ(st.st_mode, 0x41A4u);
  EXPECT_EQ(attributeRecord(*store, dir.verGuid).mode, 0x41A4u);
  EXPECT_EQ(indexed(*store, dir.objGuid).mode, 0x41A4);
}

TEST_F(AttributesTest, ModeBitsNeverChangeTheKindOfAnItem) {
  ObjectStore* store = open(liveConfig());
  ItemName file = makeFile(*store, "/f");
  ItemName byPath("/f");
  ASSERT_OK(store->chmod(byPath, S_IFDIR | 0600));
  EXPECT_EQ(attributeRecord(*store, file.verGuid).mode, static_cast<uint64_t>(S_IFREG | 0600));

  // A setattr whose mode carries no type bits at all keeps them too.
  struct stat st {};
  ASSERT_OK(store->getattr(byPath, st));
  st.st_mode = 0640;
  ASSERT_OK(store->setattr(byPath, st));
  struct stat after {};
  ASSERT_OK(store->getattr(byPath, after));
  EXPECT_EQ(after.st_mode, static_cast<mode_t>(S_IFREG | 0640));
  EXPECT_EQ(indexed(*store, file.objGuid).mode, static_cast<int>(S_IFREG | 0640));
}

TEST_F(AttributesTest, ChownWithMinusOneChangesOnlyTheOtherId) {
  ObjectStore* store = open(liveConfig());
  ItemName file = makeFile(*store, "/f");
  ItemName item("/f");
  ASSERT_OK(store->chown(item, 7, 8));
  ASSERT_OK(store->chown(item, static_cast<uid_t>(-1), 100));

  struct stat st {};
  ASSERT_OK(store->getattr(item, st));
  EXPECT_EQ(st.st_uid, 7u);
  EXPECT_EQ(st.st_gid, 100u);
  CXFileHeader header = attributeRecord(*store, file.verGuid);
  EXPECT_EQ(header.uid, 7u);
  EXPECT_EQ(header.gid, 100u);
  index_iface_props props = indexed(*store, file.objGuid);
  EXPECT_EQ(props.uid, 7);
  EXPECT_EQ(props.gid, 100);

  ASSERT_OK(store->chown(item, 9, static_cast<gid_t>(-1)));
  ASSERT_OK(store->getattr(item, st));
  EXPECT_EQ(st.st_uid, 9u);
  EXPECT_EQ(st.st_gid, 100u);
  EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFREG | 0644));
}

TEST_F(AttributesTest, UtimesStoresTheModificationTimeOnly) {
  ObjectStore* store = open(liveConfig());
  ItemName file = makeFile(*store, "/f");
  ItemName item("/f");
  timeval atime{5, 999999};
  timeval mtime{7, 500000};
  ASSERT_OK(store->utimes(item, atime, mtime));

  struct stat st {};
  ASSERT_OK(store->getattr(item, st));
  EXPECT_EQ(st.st_mtime, 7);
  EXPECT_EQ(st.st_atime, 7);
  EXPECT_EQ(attributeRecord(*store, file.verGuid).mtime, 7u);
  EXPECT_EQ(indexed(*store, file.objGuid).mtime, 7);
}

TEST_F(AttributesTest, SetattrOfAMissingItemFailsEnoent) {
  ObjectStore* store = open(liveConfig());
  ItemName missing("/none");
  struct stat st {};
  EXPECT_EQ(store->setattr(missing, st).errNo(), ENOENT);
  EXPECT_EQ(store->chmod(missing, 0600).errNo(), ENOENT);
  EXPECT_EQ(store->chown(missing, 1, 1).errNo(), ENOENT);
}

TEST_F(AttributesTest, ReadOnlyStoreRefusesChanges) {
  ObjectStoreConfig config = liveConfig();
  config.readOnly = true;
  ObjectStore* store = open(config);
  ItemName root(store->getRootGuid(), true);
  struct stat st {};
  ASSERT_OK(store->getattr(root, st));
  const mode_t before = st.st_mode;
  cache_->resetCounts();
  LogCapture log;
  st.st_mode = S_IFDIR | 0700;
  EXPECT_EQ(store->setattr(root, st).errNo(), EPERM);
  EXPECT_EQ(store->chmod(root, 0700).errNo(), EPERM);
  EXPECT_TRUE(log.contains("[share_42] Error: read only", -1));
  EXPECT_EQ(cache_->writeCalls.load(), 0);
  ASSERT_OK(store->getattr(root, st));
  EXPECT_EQ(st.st_mode, before);
}

TEST_F(AttributesTest, DiscardWritesStoreUpdatesCacheAndHeadersButNotTheIndex) {
  ObjectStore* store = open(pitConfig(kNow - 10, "pit", true, "view"));
  ASSERT_TRUE(store->discardsWrites());
  ItemName file = makeFile(*store, "/f");
  ItemName item("/f");
  struct stat st {};
  ASSERT_OK(store->getattr(item, st));

  auto& index = *shareIndex(store->getConfig());
  index.resetCounts();
  LogCapture log;
  st.st_mode = S_IFREG | 0600;
  st.st_uid = 31;
  st.st_gid = 32;
  st.st_mtime = 33;
  ASSERT_OK(store->setattr(item, st));
  EXPECT_EQ(index.updateCalls.load(), 0);
  EXPECT_TRUE(log.contains("indexing skipped for [" + file.objGuid + "]", 5));

  AttribData cached;
  ASSERT_TRUE(store->attrCache().read(file.verGuid, cached, false));
  EXPECT_EQ(cached.mode, static_cast<uint64_t>(S_IFREG | 0600));
  EXPECT_EQ(cached.uid, 31u);
  EXPECT_EQ(cached.gid, 32u);
  EXPECT_EQ(cached.mtime, 33u);
  CXFileHeader header = attributeRecord(*store, file.verGuid);
  EXPECT_EQ(header.mode, static_cast<uint64_t>(S_IFREG | 0600));
  EXPECT_EQ(header.uid, 31u);
  EXPECT_EQ(header.gid, 32u);
  EXPECT_EQ(header.mtime, 33u);
}

TEST_F(AttributesTest, FailedHeaderWriteStillSucceedsAndTheCacheShowsTheChange) {
  ObjectStore* store = open(liveConfig());
  ItemName file = makeFile(*store, "/f");
  ItemName item("/f");
  struct stat st {};
  ASSERT_OK(store->getattr(item, st));  // the version and its header are cached now

  cache_->resetCounts();
  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Write, 1, EIO, false});
  LogCapture log;
  st.st_mode = S_IFREG | 0604;
  st.st_uid = 41;
  st.st_gid = 42;
  st.st_mtime = 43;
  ASSERT_OK(store->setattr(item, st));
  EXPECT_TRUE(log.contains("[share_42] Can't write [" + file.verGuid + "]", -1)) << log.dump();
  // The header that could not be written is not trusted any more.
  EXPECT_EQ(cache_->deleteCalls.load(), 1);
  EXPECT_FALSE(cache_->doesSegmentExist(store->diskCacheContext(), file.verGuid));

  struct stat after {};
  ASSERT_OK(store->getattr(item, after));
  EXPECT_EQ(after.st_mode, static_cast<mode_t>(S_IFREG | 0604));
  EXPECT_EQ(after.st_uid, 41u);
  EXPECT_EQ(after.st_gid, 42u);
  EXPECT_EQ(after.st_mtime, 43);
  index_iface_props props = indexed(*store, file.objGuid);
  EXPECT_EQ(props.mode, static_cast<int>(S_IFREG | 0604));
  EXPECT_EQ(props.uid, 41);
  EXPECT_EQ(props.mtime, 43);
}

TEST_F(AttributesTest, SetattrWithoutAReadableHeaderStillReachesTheIndex) {
  ObjectStore* store = open(liveConfig());
  ItemName file = makeFile(*store, "/f");
  ItemName item("/f");
  struct stat st {};
  ASSERT_OK(store->getattr(item, st));
  // Every read from now on fails; the header can't be read for setattr.
  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Read, 1, EIO, true});
  st.st_mode = 0611;
  st.st_uid = 51;
  CZnError err = store->setattr(item, st);
  cache_->clearFaults();
  ASSERT_TRUE(err.ok()) << err.chain();
  index_iface_props props = indexed(*store, file.objGuid);
  EXPECT_EQ(props.mode, static_cast<int>(S_IFREG | 0611));
  EXPECT_EQ(props.uid, 51);
}

TEST_F(AttributesTest, UpdateTimesStampsCacheHeaderAndIndex) {
  ObjectStore* store = open(liveConfig());
  ItemName file = makeFile(*store, "/f");
  clock_->advanceSec(250);
  ASSERT_OK(store->updateTimes(file.objGuid, file.verGuid));

  const uint64_t now = static_cast<uint64_t>(kNow + 250);
  AttribData cached;
  ASSERT_TRUE(store->attrCache().read(file.verGuid, cached, false));
  EXPECT_EQ(cached.mtime, now);
  EXPECT_EQ(cached.ctime, now);
  CXFileHeader header = attributeRecord(*store, file.verGuid);
  EXPECT_EQ(header.mtime, now);
  EXPECT_EQ(header.ctime, now);
  EXPECT_EQ(header.mode, static_cast<uint64_t>(S_IFREG | 0644));  // nothing else moved
  index_iface_props props = indexed(*store, file.objGuid);
  EXPECT_EQ(props.mtime, kNow + 250);
  EXPECT_EQ(props.ctime, kNow + 250);
}

TEST_F(AttributesTest, UpdateTimesOfAMissingSegmentRestoresItAndUpdatesTheIndex) {
  ObjectStore* store = open(liveConfig());
  ItemName file = makeFile(*store, "/f");
  store->attrCache().clear();
  ASSERT_OK(
      cache_->DiskCache::deleteSegment(store->diskCacheContext(), file.verGuid, false, false, 0));
  clock_->advanceSec(60);
  ASSERT_OK(store->updateTimes(file.objGuid, file.verGuid));
  // The segment came back from the index and holds the new times.
  CXFileHeader header = attributeRecord(*store, file.verGuid);
  EXPECT_EQ(header.mtime, static_cast<uint64_t>(kNow + 60));
  EXPECT_EQ(header.mode, static_cast<uint64_t>(S_IFREG | 0644));
  EXPECT_EQ(indexed(*store, file.objGuid).mtime, kNow + 60);
}

TEST_F(AttributesTest, UpdateTimesOfASegmentThatCantComeBackStillUpdatesTheIndex) {
  ObjectStore* store = open(liveConfig());
  ItemName file = makeFile(*store, "/f");
  // Nothing local says whose version this is any more.
  store->attrCache().clear();
  ASSERT_OK(store->versionCache().deleteGuid(file.objGuid));
  ASSERT_OK(
      cache_->DiskCache::deleteSegment(store->diskCacheContext(), file.verGuid, false, false, 0));
  clock_->advanceSec(60);
  LogCapture log;
  ASSERT_OK(store->updateTimes(file.objGuid, file.verGuid));
  EXPECT_TRUE(log.contains("Error: Can't read file header for [" + file.verGuid + "]", -1));
  EXPECT_EQ(indexed(*store, file.objGuid).mtime, kNow + 60);
}

TEST_F(AttributesTest, UpdateTimesOfAnUnknownItemFails) {
  ObjectStore* store = open(liveConfig());
  const guid_t unknown = test::fakeGuid('a');
  EXPECT_FALSE(store->updateTimes(unknown, test::fakeGuid('b')).ok());
}

TEST_F(AttributesTest, ConcurrentSetattrsLeaveCacheHeaderAndIndexAgreeing) {
  ObjectStore* store = open(liveConfig());
  ItemName file = makeFile(*store, "/f");
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([store, t] {
      for (int i = 0; i < kRounds; ++i) {
        ItemName item("/f");
        struct stat st {};
        st.st_mode = static_cast<mode_t>(S_IFREG | (0600 + t));
        st.st_uid = static_cast<uid_t>(100 + t);
        st.st_gid = static_cast<gid_t>(200 + t);
        st.st_mtime = 1000 + t;
        EXPECT_OK(store->setattr(item, st));
      }
    });
  }
  for (auto& thread : threads) thread.join();

  AttribData cached;
  ASSERT_TRUE(store->attrCache().read(file.verGuid, cached, false));
  CXFileHeader header = attributeRecord(*store, file.verGuid);
  index_iface_props props = indexed(*store, file.objGuid);
  // One of the writers won, the same one everywhere.
  const uint64_t winner = cached.uid - 100;
  ASSERT_LT(winner, static_cast<uint64_t>(kThreads));
  EXPECT_EQ(cached.mode, static_cast<uint64_t>(S_IFREG | (0600 + winner)));
  EXPECT_EQ(cached.gid, 200 + winner);
  EXPECT_EQ(cached.mtime, 1000 + winner);
  EXPECT_EQ(header.mode, cached.mode);
  EXPECT_EQ(header.uid, cached.uid);
  EXPECT_EQ(header.gid, cached.gid);
  EXPECT_EQ(header.mtime, cached.mtime);
  EXPECT_EQ(static_cast<uint64_t>(props.mode), cached.mode);
  EXPECT_EQ(static_cast<uint64_t>(props.uid), cached.uid);
  EXPECT_EQ(static_cast<uint64_t>(props.mtime), cached.mtime);
}

}  // namespace
}  // namespace ObjectStore
