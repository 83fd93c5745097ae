// Path lookup through the directory entries, getattr, GUID <-> path and
// statfs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>

#include "core/StoreOpsFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::fakeGuid;
using test::LogCapture;

constexpr int64_t kNow = 1600000000;

class PathsTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    stopClockAt(kNow);
  }

  void open(ObjectStoreConfig config = liveConfig()) {
    store_ = openStore(config);
    ASSERT_NE(store_, nullptr);
  }

  // A new item, listed in its parent's entry list as a create would.
  ItemName make(const std::string& path, const guid_t& parent, FileType type, uint32_t mode) {
    ItemName item;
    EXPECT_OK(
        store_->createNewItem(item, path, FileAttribs{mode, 11, 22}, parent, type, "", false));
    const std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_OK(store_->addToDirEnt(parent, item.objGuid, name, false));
    return item;
  }
};

// ---- Lookup -------------------------------------------------------------------

TEST_F(PathsTest, FullPathsResolveLevelByLevel) {
  open();
  const ItemName a = make("/a", store_->getRootGuid(), FILE_TYPE_DIRECTORY, 0755);
  const ItemName b = make("/a/b", a.objGuid, FILE_TYPE_DIRECTORY, 0755);
  const ItemName f = make("/a/b/f", b.objGuid, FILE_TYPE_REGULAR, 0644);

  guid_t guid;
  ASSERT_OK(store_->lookupPathInDirEnt(guid, "/a"));
  EXPECT_EQ(guid, a.objGuid);
  ASSERT_OK(store_->lookupPathInDirEnt(guid, "/a/b/f"));
  EXPECT_EQ(guid, f.objGuid);
  ASSERT_OK(store_->lookupPathInDirEnt(guid, "/a/b/."));
  EXPECT_EQ(guid, b.objGuid);
  // A doubled separator before the name is one separator.
  ASSERT_OK(store_->lookupPathInDirEnt(guid, "/a/b//f"));
  EXPECT_EQ(guid, f.objGuid);
  // A trailing separator names the directory itself.
  ASSERT_OK(store_->lookupPathInDirEnt(guid, "/a/b/"));
  EXPECT_EQ(guid, b.objGuid);

  // A name not in its directory is no error: the GUID is empty.
  guid = "stale";
  ASSERT_OK(store_->lookupPathInDirEnt(guid, "/a/nothing"));
  EXPECT_TRUE(guid.empty());
  // A missing parent is.
  EXPECT_EQ(store_->lookupPathInDirEnt(guid, "/nothing/f").errNo(), ENOENT);
  EXPECT_TRUE(guid.empty());
  EXPECT_EQ(store_->lookupPathInDirEnt(guid, "").errNo(), EINVAL);
}

TEST_F(PathsTest, LookupLogsWhereTheNameWasFound) {
  open();
  const ItemName a = make("/a", store_->getRootGuid(), FILE_TYPE_REGULAR, 0644);
  store_->dirEntCache().clear();
  LogCapture log;
  guid_t guid;
  ASSERT_OK(store_->lookupPathInDirEnt(guid, "/a"));
  const std::string root = store_->getRootGuid();
  EXPECT_EQ(log.count("Found [a] in [" + root + "] with guid=[" + a.objGuid + "]", 5), 1u)
      << log.dump();
  log.clear();
  ASSERT_OK(store_->lookupPathInDirEnt(guid, "/a"));
  EXPECT_EQ(log.count("[a] found in [" + root + "] objguid=[" + a.objGuid + "]", 5), 1u)
      << log.dump();
  log.clear();
  ASSERT_OK(store_->lookupPathInDirEnt(guid, "/zz"));
  EXPECT_EQ(log.count("[zz] not found in [" + root + "]", 5), 1u) << log.dump();
}

// ---- getattr ------------------------------------------------------------------

TEST_F(PathsTest, GetattrOfRootReadsNoDirectoryEntry) {
  open();
  const ItemName a = make("/a", store_->getRootGuid(), FILE_TYPE_REGULAR, 0644);
  store_->dirEntCache().clear();
  store_->dirEntCache().clearStats();
  cache_->resetCounts();
  LogCapture log;
  ItemName root("/");
  struct stat st {};
  ASSERT_OK(store_->getattr(root, st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(root.objGuid, store_->getRootGuid());
  EXPECT_EQ(cache_->readAllCalls.load(), 0);
  EXPECT_EQ(log.countContaining("lookup in dirent"), 0u) << log.dump();
  EXPECT_EQ(store_->dirEntCache().getStats().misses, 0u);
  EXPECT_EQ(log.count("[share_42] getattr [] [/]", 3), 1u) << log.dump();
}

TEST_F(PathsTest, GetattrOfMissingItemsFailsNotFound) {
  open();
  make("/a", store_->getRootGuid(), FILE_TYPE_DIRECTORY, 0755);
  LogCapture log;
  struct stat st {};
  ItemName missingName("/a/missing");
  EXPECT_EQ(store_->getattr(missingName, st).errNo(), ENOENT);
  EXPECT_EQ(log.count("Couldn't find [/a/missing] in dirent, file not found", 4), 1u) << log.dump();
  ItemName missingParent("/nothing/f");
  EXPECT_EQ(store_->getattr(missingParent, st).errNo(), ENOENT);
  EXPECT_EQ(log.count("Error: can't find objguid for [/nothing]", -1), 1u) << log.dump();
  ItemName unknownGuid(fakeGuid('9'), false);
  EXPECT_EQ(store_->getattr(unknownGuid, st).errNo(), ENOENT);
}

TEST_F(PathsTest, SecondGetattrOfAnUnchangedFileComesFromTheAttributeCache) {
  open();
  const ItemName f = make("/f", store_->getRootGuid(), FILE_TYPE_REGULAR, 0640);
  store_->attrCache().clear();
  store_->attrCache().clearStats();

  ItemName first("/f");
  struct stat st1 {};
  ASSERT_OK(store_->getattr(first, st1));
  EXPECT_EQ(first.objGuid, f.objGuid);
  EXPECT_EQ(st1.st_mode, static_cast<mode_t>(S_IFREG | 0640));
  EXPECT_EQ(st1.st_uid, 11u);
  EXPECT_EQ(st1.st_gid, 22u);
  EXPECT_EQ(st1.st_mtime, kNow);

  cache_->resetCounts();
  LogCapture log;
  ItemName second("/f");
  struct stat st2 {};
  ASSERT_OK(store_->getattr(second, st2));
  EXPECT_EQ(cache_->readSectionsCalls.load(), 0);
  EXPECT_EQ(cache_->readAllCalls.load(), 0);
  EXPECT_EQ(cache_->existCalls.load(), 0);
  EXPECT_GE(store_->attrCache().getStats().hits, 1u);
  EXPECT_EQ(log.countContaining("getattr success from cache"), 1u) << log.dump();
  EXPECT_EQ(std::memcmp(&st1, &st2, sizeof(st1)), 0);
}

TEST_F(PathsTest, GetattrOfAnOpenFileReportsItsOpenSize) {
  open();
  make("/f", store_->getRootGuid(), FILE_TYPE_REGULAR, 0644);
  ItemName item("/f");
  FileHandle handle;
  ASSERT_OK(store_->open(handle, item, O_RDWR, false));
  ASSERT_NE(handle.info, nullptr);
  {
    // What a write not yet in the header leaves behind.
    HxCriticalSectionGuard guard(handle.info->lock);
    handle.info->size = 1000;
  }
  for (int pass = 0; pass < 2; ++pass) {  // the header from disk, then from the cache
    if (pass == 0) store_->attrCache().clear();
    ItemName byPath("/f");
    struct stat st {};
    ASSERT_OK(store_->getattr(byPath, st));
    EXPECT_EQ(st.st_size, 1000);
    EXPECT_EQ(st.st_blocks, 2);
  }
  {
    HxCriticalSectionGuard guard(handle.info->lock);
    handle.info->size = 0;  // nothing to write back on close
  }
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  EXPECT_EQ(store_->findOpenFile(item.objGuid), nullptr);
}

TEST_F(PathsTest, DirectoryBeingChangedKeepsItsHeaderSize) {
  open();
  const ItemName d = make("/d", store_->getRootGuid(), FILE_TYPE_DIRECTORY, 0755);
  ASSERT_OK(store_->addToDirEnt(d.objGuid, fakeGuid('1'), "x", false));
  OpenFileInfo* info = nullptr;
  ASSERT_OK(store_->openDirEntry(d.objGuid, &info));
  ItemName byPath("/d");
  struct stat st {};
  ASSERT_OK(store_->getattr(byPath, st));
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), fakeGuid('1').size() + 4);
  ASSERT_OK(store_->closeDirEntry(d.objGuid));
}

// ---- The stat record ------------------------------------------------------------

TEST_F(PathsTest, StatRecordFromTheHeader) {
  open();
  CXFileHeader header;
  createMetaData(&header, fakeGuid('a'), fakeGuid('b'), S_IFREG | 0600, 5, 6, 0, 1700000001,
                 1700000002);
  struct stat st {};
  const guid_t guid = "0123456789abcdef00000000000000ff";
  store_->cxHeaderToStat(st, guid, header);
  EXPECT_EQ(st.st_ino, 255u);
  EXPECT_EQ(st.st_dev, static_cast<dev_t>(SUBCLIENT << 32));
  EXPECT_EQ(st.st_nlink, 1u);
  EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFREG | 0600));
  EXPECT_EQ(st.st_uid, 5u);
  EXPECT_EQ(st.st_gid, 6u);
  EXPECT_EQ(st.st_blksize, 512);
  EXPECT_EQ(st.st_mtime, 1700000002);
  EXPECT_EQ(st.st_atime, 1700000002);
  EXPECT_EQ(st.st_ctime, 1700000001);
  EXPECT_EQ(st.st_rdev, 0u);

  const std::pair<uint64_t, blkcnt_t> sizes[] = {{0, 0}, {1, 1}, {512, 1}, {513, 2}};
  for (const auto& [size, blocks] : sizes) {
    header.size = size;
    store_->cxHeaderToStat(st, guid, header);
    EXPECT_EQ(st.st_size, static_cast<off_t>(size));
    EXPECT_EQ(st.st_blocks, blocks) << "size " << size;
  }
  store_->cxHeaderToStat(st, "0000000000000000123456789ABCDEF0", header);
  EXPECT_EQ(st.st_ino, 0x123456789abcdef0u);
}

TEST_F(PathsTest, DeviceOfAViewCarriesItsTimestamp) {
  open();
  ObjectStore* view = openStore(pitConfig(kNow, "pit"));
  ASSERT_NE(view, nullptr);
  CXFileHeader header;
  struct stat st {};
  view->cxHeaderToStat(st, fakeGuid('a'), header);
  EXPECT_EQ(st.st_dev, static_cast<dev_t>((SUBCLIENT << 32) + kNow));
}

// ---- GUID <-> path ---------------------------------------------------------------

TEST_F(PathsTest, GuidAndPathTranslate) {
  open();
  const ItemName d = make("/d", store_->getRootGuid(), FILE_TYPE_DIRECTORY, 0755);
  const ItemName f = make("/d/f", d.objGuid, FILE_TYPE_REGULAR, 0644);
  std::string path;
  guid_t guid;
  for (int pass = 0; pass < 2; ++pass) {  // from the index, then from the path cache
    if (pass == 0) {
      ASSERT_OK(store_->pathCache().deleteGuid(f.objGuid));
    }
    ASSERT_OK(store_->guidToPath(f.objGuid, path));
    EXPECT_EQ(path, "/d/f");
    if (pass == 0) {
      ASSERT_OK(store_->pathCache().deleteGuid(f.objGuid));
    }
    ASSERT_OK(store_->pathToGuid(guid, "/d/f"));
    EXPECT_EQ(guid, f.objGuid);
  }
  EXPECT_EQ(store_->guidToPath(fakeGuid('9'), path).errNo(), ENOENT);
  EXPECT_EQ(store_->pathToGuid(guid, "/d/none").errNo(), ENOENT);
}

// ---- statfs -----------------------------------------------------------------------

class StatfsTest : public PathsTest {
 protected:
  // Points the share's size query at a place that does not exist, so that
  // every fetch from now on fails.
  void breakSizeFetch() { ASSERT_TRUE(registerSubClient(SUBCLIENT, path("no-such-backup"))); }
};

TEST_F(StatfsTest, FetchedSizeStaysForTheConfiguredInterval) {
  setRegistry("UpdateShareSizeIntervalSec", "60");
  open();
  ASSERT_EQ(store_->shareSizeUpdateInterval(), 60);
  LogCapture log;
  struct statfs first {};
  ASSERT_OK(store_->statfs(first));
  EXPECT_EQ(log.count("Cache timeout. Will fetch from Depotnode.", 5), 1u);
  uint64_t totalMiB = 0;
  uint64_t freeMiB = 0;
  ASSERT_EQ(getDiskLibrarySize(static_cast<uint32_t>(SUBCLIENT), totalMiB, freeMiB), 0);
  EXPECT_EQ(first.f_blocks, totalMiB * 1048576 / static_cast<uint64_t>(first.f_bsize));

  // Ten seconds later the figures are the cached ones, even though a fetch
  // would now fail.
  breakSizeFetch();
  clock_->advanceSec(10);
  struct statfs second {};
  ASSERT_OK(store_->statfs(second));
  EXPECT_EQ(log.count("Cache timeout. Will fetch from Depotnode.", 5), 1u);
  EXPECT_EQ(log.count("Returning cached fsstat info.", 5), 1u);
  EXPECT_EQ(second.f_blocks, first.f_blocks);
  EXPECT_EQ(second.f_bfree, first.f_bfree);
  EXPECT_EQ(second.f_bavail, first.f_bfree);

  // Once the interval has passed, the next call fetches again.
  clock_->advanceSec(50);
  struct statfs third {};
  ASSERT_OK(store_->statfs(third));
  EXPECT_EQ(log.count("Cache timeout. Will fetch from Depotnode.", 5), 2u);
  EXPECT_EQ(third.f_blocks, 1ull << 40);
}

TEST_F(StatfsTest, IntervalZeroFetchesEveryTime) {
  open();
  ASSERT_EQ(store_->shareSizeUpdateInterval(), 0);
  LogCapture log;
  struct statfs first {};
  ASSERT_OK(store_->statfs(first));
  EXPECT_NE(first.f_blocks, 1ull << 40);
  breakSizeFetch();
  struct statfs second {};
  ASSERT_OK(store_->statfs(second));
  EXPECT_EQ(second.f_blocks, 1ull << 40);
  EXPECT_EQ(log.count("Returning cached fsstat info."), 0u);
  EXPECT_EQ(log.count("Cache timeout. Will fetch from Depotnode."), 0u);
  EXPECT_EQ(log.count("Failed to get disk library size. Will return default values.", 1), 1u);
}

TEST_F(StatfsTest, FailedFetchReportsTwoToTheFortyBlocks) {
  open();
  breakSizeFetch();
  struct statfs local {};
  ASSERT_EQ(::statfs(containerDir_.c_str(), &local), 0);
  struct statfs buf {};
  ASSERT_OK(store_->statfs(buf));
  const uint64_t total = 1ull << 40;
  EXPECT_EQ(buf.f_blocks, total);
  EXPECT_EQ(buf.f_bsize, local.f_bsize);
  // Free is the default less what the local file system has in use (which
  // may move a little between the two calls).
  const uint64_t used = local.f_blocks - local.f_bfree;
  EXPECT_LE(buf.f_bfree, total);
  EXPECT_NEAR(static_cast<double>(total - buf.f_bfree), static_cast<double>(used), 4096.0);
  EXPECT_EQ(buf.f_bavail, buf.f_bfree);
}

}  // namespace
}  // namespace ObjectStore
