// Directory entry lists on disk, the dirent cache, the directory-entry
// opener and the child browser.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "ObjectStore/ChildBrowser.h"
#include "core/StoreOpsFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::Bytes;
using test::bytesOf;
using test::fakeGuid;
using test::LogCapture;

constexpr int64_t kNow = 1600000000;

// One record as the list holds it: GUID, NUL, name, NUL.
Bytes record(const guid_t& guid, const std::string& name) {
  Bytes bytes(guid.begin(), guid.end());
  bytes.push_back(0);
  bytes.insert(bytes.end(), name.begin(), name.end());
  bytes.push_back(0);
  return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const Bytes kTerminator{0};

class DirEntTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    stopClockAt(kNow);
  }

  // The data section of a directory as the disk holds it; null when the
  // segment has none.
  std::unique_ptr<Bytes> listBytes(ObjectStore& store, const guid_t& dir) {
    const auto sections = readAllRaw(store, store.fullDirGuid(dir));
    const SectionV* data = findSection(sections, SECTION_DATA);
    return data == nullptr ? nullptr : std::make_unique<Bytes>(data->data);
  }

  void readHeader(ObjectStore& store, const guid_t& dir, FileHeaderData& data,
                  CXFileHeader& header) {
    readRecords(store, store.fullDirGuid(dir), data, header);
  }

  GuidPathList list(ObjectStore& store, const guid_t& dir, size_t offset = 0,
                    size_t max = DIRENT_READ_ALL, bool* doneOut = nullptr,
                    guid_t* parentOut = nullptr) {
    GuidPathList out;
    guid_t parent;
    bool done = false;
    ItemName item(dir, dir == store.getRootGuid());
    EXPECT_OK(store.readDirEnt(out, parent, done, item, offset, max));
    if (doneOut != nullptr) *doneOut = done;
    if (parentOut != nullptr) *parentOut = parent;
    return out;
  }

  // A directory segment written straight to the disk cache.
  void makeDirSegment(ObjectStore& store, const guid_t& dir, uint64_t fileType, uint16_t hasData,
                      const Bytes* entries) {
    FileHeaderData data;
    CXFileHeader header;
    validRecords(data, header, dir, store.fullDirGuid(dir));
    data.fileType = fileType;
    data.hasData = hasData;
    std::vector<std::pair<int32_t, Bytes>> sections = {{SECTION_HEADER, bytesOf(data)},
                                                       {SECTION_ATTRIBUTE, bytesOf(header)}};
    if (entries != nullptr) sections.emplace_back(SECTION_DATA, *entries);
    ASSERT_OK(makeSegment(store, store.fullDirGuid(dir), sections));
  }
};

// ---- The list's bytes ------------------------------------------------------

TEST_F(DirEntTest, FirstChildIsWrittenAtOffsetZeroEndingInTwoNuls) {
  ObjectStore* store = open();
  const guid_t dir = mkdir(*store, "/d");
  ASSERT_EQ(listBytes(*store, dir), nullptr);

  clock_->advanceSec(30);
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('a'), "alpha", false));
  auto bytes = listBytes(*store, dir);
  ASSERT_NE(bytes, nullptr);
  const Bytes expected = concat({record(fakeGuid('a'), "alpha"), kTerminator});
  EXPECT_EQ(*bytes, expected);
  ASSERT_GE(bytes->size(), 2u);
  EXPECT_EQ((*bytes)[bytes->size() - 1], 0);
  EXPECT_EQ((*bytes)[bytes->size() - 2], 0);

  FileHeaderData data;
  CXFileHeader header;
  readHeader(*store, dir, data, header);
  EXPECT_EQ(data.hasData, 1);
  EXPECT_EQ(header.size, expected.size());  // a directory's size is its list's length
  EXPECT_EQ(header.ctime, static_cast<uint64_t>(kNow + 30));
}

TEST_F(DirEntTest, RemovingTheFirstOfTwoLeavesExactlyTheSecond) {
  ObjectStore* store = open();
  const guid_t dir = mkdir(*store, "/d");
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('1'), "one", false));
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('2'), "second", false));
  const Bytes first = record(fakeGuid('1'), "one");
  const Bytes second = record(fakeGuid('2'), "second");
  ASSERT_EQ(*listBytes(*store, dir), concat({first, second, kTerminator}));

  ASSERT_OK(store->removeFromDirEnt(dir, fakeGuid('1'), "one"));
  EXPECT_EQ(*listBytes(*store, dir), concat({second, kTerminator}));
  EXPECT_EQ(listBytes(*store, dir)->size(), first.size() + second.size() + 1 - first.size());

  FileHeaderData data;
  CXFileHeader header;
  readHeader(*store, dir, data, header);
  EXPECT_EQ(header.size, second.size() + 1);

  store->dirEntCache().clear();
  EXPECT_EQ(list(*store, dir), (GuidPathList{{fakeGuid('2'), "second"}}));

  // Removing the last child leaves the bare terminator, which the next
  // append overwrites.
  ASSERT_OK(store->removeFromDirEnt(dir, fakeGuid('2'), "second"));
  EXPECT_EQ(*listBytes(*store, dir), kTerminator);
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('3'), "c", false));
  EXPECT_EQ(*listBytes(*store, dir), concat({record(fakeGuid('3'), "c"), kTerminator}));
}

TEST_F(DirEntTest, RemovingAnAbsentGuidFailsAndLeavesTheBytes) {
  ObjectStore* store = open();
  const guid_t dir = mkdir(*store, "/d");
  // A directory without any list yet: nothing to remove, nothing deleted.
  EXPECT_EQ(store->removeFromDirEnt(dir, fakeGuid('9'), "x").errNo(), ENOENT);
  EXPECT_TRUE(cache_->doesSegmentExist(store->diskCacheContext(), store->fullDirGuid(dir)));

  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('1'), "one", false));
  const Bytes before = *listBytes(*store, dir);
  LogCapture log;
  EXPECT_EQ(store->removeFromDirEnt(dir, fakeGuid('9'), "one").errNo(), ENOENT);
  EXPECT_EQ(*listBytes(*store, dir), before);
  EXPECT_EQ(log.count("[share_42] Error: no matching entry found [" + store->fullDirGuid(dir) +
                          "] [" + fakeGuid('9') + "]",
                      -1),
            1u)
      << log.dump();
}

TEST_F(DirEntTest, MissingDirectorySegment) {
  ObjectStore* store = open();
  const guid_t dir = fakeGuid('7');
  EXPECT_EQ(store->removeFromDirEnt(dir, fakeGuid('1'), "one").errNo(), ENOENT);
  EXPECT_EQ(store->addToDirEnt(dir, fakeGuid('1'), "one", false).errNo(), ENOENT);
  // With a rebuild asked for, the failed rebuild is the answer.
  EXPECT_EQ(store->addToDirEnt(dir, fakeGuid('1'), "one", true).errNo(), ENOENT);
  EXPECT_FALSE(cache_->doesSegmentExist(store->diskCacheContext(), store->fullDirGuid(dir)));

  // Listing goes on with what the rebuild gave (nothing) and is not cached,
  // so that a later listing tries again.
  bool done = false;
  EXPECT_TRUE(list(*store, dir, 0, DIRENT_READ_ALL, &done).empty());
  EXPECT_TRUE(done);
  EXPECT_FALSE(store->dirEntCache().contains(dir));
}

TEST_F(DirEntTest, IncompleteDirectoryIsNotAppendedTo) {
  ObjectStore* store = open();
  const guid_t dir = fakeGuid('6');
  const Bytes entries = concat({record(fakeGuid('1'), "one"), kTerminator});
  makeDirSegment(*store, dir, FILE_TYPE_DIRECTORY, 0, &entries);
  EXPECT_EQ(store->addToDirEnt(dir, fakeGuid('2'), "two", false).errNo(), ENOENT);
  EXPECT_EQ(*listBytes(*store, dir), entries);
  EXPECT_EQ(store->removeFromDirEnt(dir, fakeGuid('1'), "one").errNo(), EINVAL);
  EXPECT_EQ(*listBytes(*store, dir), entries);
}

TEST_F(DirEntTest, InvalidNamesAndGuidsAreRefused) {
  ObjectStore* store = open();
  const guid_t dir = mkdir(*store, "/d");
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('1'), "one", false));
  const Bytes before = *listBytes(*store, dir);
  EXPECT_EQ(store->addToDirEnt(dir, fakeGuid('2'), "a/b", false).errNo(), EINVAL);
  EXPECT_EQ(store->addToDirEnt(dir, fakeGuid('2'), "", false).errNo(), EINVAL);
  EXPECT_EQ(store->addToDirEnt(dir, fakeGuid('2'), std::string("a\0b", 3), false).errNo(), EINVAL);
  // An empty GUID would read as the terminator and hide every later child.
  EXPECT_EQ(store->addToDirEnt(dir, "", "two", false).errNo(), EINVAL);
  EXPECT_EQ(*listBytes(*store, dir), before);
}

TEST_F(DirEntTest, NotADirectoryIsBadMessage) {
  ObjectStore* store = open();
  const guid_t dir = fakeGuid('5');
  const Bytes entries = concat({record(fakeGuid('1'), "one"), kTerminator});
  makeDirSegment(*store, dir, FILE_TYPE_REGULAR, 1, &entries);
  GuidPathList out;
  guid_t parent;
  bool done = false;
  ItemName item(dir, false);
  LogCapture log;
  EXPECT_EQ(store->readDirEnt(out, parent, done, item, 0, DIRENT_READ_ALL).errNo(), 74);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(store->removeFromDirEnt(dir, fakeGuid('1'), "one").errNo(), EBADMSG);
  EXPECT_EQ(*listBytes(*store, dir), entries);
  EXPECT_GE(log.count("Error: not directory: [" + store->fullDirGuid(dir) + "]", -1), 2u);
}

TEST_F(DirEntTest, DamagedListKeepsTheWholeRecordsBeforeTheDamage) {
  ObjectStore* store = open();
  const guid_t dir = fakeGuid('4');
  Bytes entries = record(fakeGuid('1'), "one");
  const std::string tail = fakeGuid('2') + std::string(1, '\0') + "unterminated";
  entries.insert(entries.end(), tail.begin(), tail.end());
  makeDirSegment(*store, dir, FILE_TYPE_DIRECTORY, 1, &entries);
  EXPECT_EQ(list(*store, dir), (GuidPathList{{fakeGuid('1'), "one"}}));
}

// A damaged list can hold names no create gives; a caller joining them to a
// path would land outside the directory, so they are never handed out.
TEST_F(DirEntTest, DamagedNamesAreSkippedNotListed) {
  ObjectStore* store = open();
  const guid_t dir = fakeGuid('5');
  const Bytes entries =
      concat({record(fakeGuid('1'), ".."), record(fakeGuid('2'), "a/b"),
              record(fakeGuid('3'), "."), record(fakeGuid('6'), "ok"), kTerminator});
  makeDirSegment(*store, dir, FILE_TYPE_DIRECTORY, 1, &entries);
  LogCapture log;
  EXPECT_EQ(list(*store, dir), (GuidPathList{{fakeGuid('6'), "ok"}}));
  EXPECT_GE(log.countContaining("with an invalid name", -1), 3u);
  guid_t found;
  ItemName item(dir, false);
  (void)store->lookupPathInDirEnt(found, item, "..");
  EXPECT_TRUE(found.empty());
  ASSERT_OK(store->lookupPathInDirEnt(found, item, "ok"));
  EXPECT_EQ(found, fakeGuid('6'));
}

// ---- Reading and paging -----------------------------------------------------

TEST_F(DirEntTest, PagingFromDiskAndFromCacheAgree) {
  ObjectStore* store = open();
  const guid_t dir = mkdir(*store, "/d");
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('1'), "one", false));
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('2'), "two", false));
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('3'), "three", false));
  const GuidPathList all = {
      {fakeGuid('1'), "one"}, {fakeGuid('2'), "two"}, {fakeGuid('3'), "three"}};

  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass == 0 ? "from disk" : "from cache");
    if (pass == 0) store->dirEntCache().clear();
    bool done = true;
    guid_t parent;
    EXPECT_EQ(list(*store, dir, 5, 10, &done, &parent), GuidPathList());
    EXPECT_TRUE(done);
    EXPECT_EQ(parent, store->getRootGuid());
    EXPECT_EQ(list(*store, dir, 0, 1, &done), GuidPathList{all[0]});
    EXPECT_FALSE(done);
    EXPECT_EQ(list(*store, dir, 1, 1, &done), GuidPathList{all[1]});
    EXPECT_FALSE(done);
    EXPECT_EQ(list(*store, dir, 1, 5, &done), GuidPathList(all.begin() + 1, all.end()));
    EXPECT_TRUE(done);
    EXPECT_EQ(list(*store, dir, 0, DIRENT_READ_ALL, &done), all);
    EXPECT_TRUE(done);
    EXPECT_TRUE(store->dirEntCache().contains(dir));
  }
}

TEST_F(DirEntTest, CachedListingNeedsNoDisk) {
  ObjectStore* store = open();
  const guid_t dir = mkdir(*store, "/d");
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('1'), "one", false));
  EXPECT_EQ(list(*store, dir).size(), 1u);
  cache_->resetCounts();
  EXPECT_EQ(list(*store, dir).size(), 1u);
  EXPECT_EQ(cache_->readAllCalls.load(), 0);
  EXPECT_EQ(cache_->readSectionsCalls.load(), 0);

  // Changes reach the cached list without another load.
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('2'), "two", false));
  ASSERT_OK(store->removeFromDirEnt(dir, fakeGuid('1'), "one"));
  cache_->resetCounts();
  EXPECT_EQ(list(*store, dir), (GuidPathList{{fakeGuid('2'), "two"}}));
  EXPECT_EQ(cache_->readAllCalls.load(), 0);
  EXPECT_EQ(store->dirEntCache().getStats().totalWeight, 1u);
}

TEST_F(DirEntTest, DirectoryLargerThanTheCacheIsListedFromDiskEveryTime) {
  ObjectStoreConfig config = liveConfig();
  config.dirCacheEntriesMax = 3;
  ObjectStore* store = open(config);
  const guid_t dir = mkdir(*store, "/big");
  GuidPathList expected;
  for (char c : std::string("12345")) {
    const std::string name = std::string("child") + c;
    ASSERT_OK(store->addToDirEnt(dir, fakeGuid(c), name, false));
    expected.emplace_back(fakeGuid(c), name);
  }
  LogCapture log;
  const std::string warning = "Warning: 5 children doesn't fit in dirEntCache. err=[" +
                              FXErrorUtil::ErrorErrNo(FX_LOC, ENOSPC).text() + "]";
  for (int i = 1; i <= 3; ++i) {
    cache_->resetCounts();
    EXPECT_EQ(list(*store, dir), expected);
    EXPECT_EQ(cache_->readAllCalls.load(), 1);
    EXPECT_EQ(log.count(warning, 0), static_cast<size_t>(i)) << log.dump();
  }
  EXPECT_FALSE(store->dirEntCache().contains(dir));

  // A small directory still fits next to it.
  const guid_t small = mkdir(*store, "/small");
  ASSERT_OK(store->addToDirEnt(small, fakeGuid('a'), "a", false));
  EXPECT_EQ(list(*store, small).size(), 1u);
  EXPECT_TRUE(store->dirEntCache().contains(small));
}

TEST_F(DirEntTest, CachedDirectoryThatOutgrowsTheBudgetIsDropped) {
  ObjectStoreConfig config = liveConfig();
  config.dirCacheEntriesMax = 2;
  ObjectStore* store = open(config);
  const guid_t dir = mkdir(*store, "/d");
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('1'), "one", false));
  ASSERT_EQ(list(*store, dir).size(), 1u);
  ASSERT_TRUE(store->dirEntCache().contains(dir));
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('2'), "two", false));
  EXPECT_TRUE(store->dirEntCache().contains(dir));
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('3'), "three", false));
  EXPECT_FALSE(store->dirEntCache().contains(dir));
  EXPECT_EQ(list(*store, dir).size(), 3u);
}

// ---- Names -------------------------------------------------------------------

TEST_F(DirEntTest, CaseInsensitiveShareFindsAnyCaseInTheCache) {
  ObjectStoreConfig config = liveConfig();
  config.caseSensitive = false;
  ObjectStore* store = open(config);
  const guid_t dir = mkdir(*store, "/d");
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('1'), "abc", false));
  ASSERT_EQ(list(*store, dir).size(), 1u);  // now cached

  ItemName parent(dir, false);
  guid_t found;
  cache_->resetCounts();
  ASSERT_OK(store->lookupPathInDirEnt(found, parent, "ABC"));
  EXPECT_EQ(found, fakeGuid('1'));
  EXPECT_EQ(cache_->readAllCalls.load(), 0);

  // The same answer when the list has to come from disk.
  store->dirEntCache().clear();
  ASSERT_OK(store->lookupPathInDirEnt(found, parent, "aBc"));
  EXPECT_EQ(found, fakeGuid('1'));
}

TEST_F(DirEntTest, CaseSensitiveShareTellsCasesApart) {
  ObjectStore* store = open();
  const guid_t dir = mkdir(*store, "/d");
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('1'), "abc", false));
  ItemName parent(dir, false);
  guid_t found = "stale";
  for (int pass = 0; pass < 2; ++pass) {  // from disk, then from the cache
    ASSERT_OK(store->lookupPathInDirEnt(found, parent, "ABC"));
    EXPECT_TRUE(found.empty());
    ASSERT_OK(store->lookupPathInDirEnt(found, parent, "abc"));
    EXPECT_EQ(found, fakeGuid('1'));
  }
}

TEST_F(DirEntTest, SegmentNameCarriesTheTimestampInHex) {
  ObjectStore* live = open();
  EXPECT_EQ(live->fullDirGuid(fakeGuid('c')), fakeGuid('c') + "-0");
  ObjectStore* view = open(pitConfig(255, "pit255"));
  EXPECT_EQ(view->fullDirGuid(fakeGuid('c')), fakeGuid('c') + "-ff");
  EXPECT_EQ(view->getDirVersion(fakeGuid('c')), fakeGuid('c') + "-ff");
}

// ---- The cache helpers ------------------------------------------------------

TEST_F(DirEntTest, AddToDirCacheOfOneChild) {
  ObjectStore* store = open();
  const guid_t dir = mkdir(*store, "/d");
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('1'), "one", false));

  // Not cached and no restore: nothing happens.
  store->addToDirCache(dir, fakeGuid('2'), "two", false);
  EXPECT_FALSE(store->dirEntCache().contains(dir));
  // With restore the list is loaded and the child added to it.
  store->addToDirCache(dir, fakeGuid('2'), "two", true);
  ASSERT_TRUE(store->dirEntCache().contains(dir));
  cache_->resetCounts();
  EXPECT_EQ(list(*store, dir), (GuidPathList{{fakeGuid('1'), "one"}, {fakeGuid('2'), "two"}}));
  EXPECT_EQ(cache_->readAllCalls.load(), 0);
  // An equal name is replaced in place.
  store->addToDirCache(dir, fakeGuid('3'), "one", false);
  EXPECT_EQ(list(*store, dir), (GuidPathList{{fakeGuid('3'), "one"}, {fakeGuid('2'), "two"}}));
}

TEST_F(DirEntTest, AddToDirCacheOfAWholeList) {
  ObjectStoreConfig config = liveConfig();
  config.dirCacheEntriesMax = 2;
  ObjectStore* store = open(config);
  const guid_t dir = fakeGuid('d');
  store->addToDirCache(fakeGuid('p'), dir, {{fakeGuid('1'), "one"}, {fakeGuid('2'), "two"}});
  guid_t parent;
  bool done = false;
  EXPECT_EQ(list(*store, dir, 0, DIRENT_READ_ALL, &done, &parent).size(), 2u);
  EXPECT_EQ(parent, fakeGuid('p'));
  EXPECT_TRUE(done);
  // A list too large for the whole cache replaces nothing: the older list
  // is dropped rather than left standing.
  LogCapture log;
  store->addToDirCache(fakeGuid('p'), dir,
                       {{fakeGuid('1'), "one"}, {fakeGuid('2'), "two"}, {fakeGuid('3'), "3"}});
  EXPECT_FALSE(store->dirEntCache().contains(dir));
  EXPECT_EQ(log.countContaining("Warning: 3 children doesn't fit in dirEntCache.", 0), 1u);
}

// ---- The directory-entry opener ----------------------------------------------

TEST_F(DirEntTest, DirectoryEntryUsersShareOneRecord) {
  ObjectStore* store = open();
  const guid_t dir = fakeGuid('e');
  OpenFileInfo* first = nullptr;
  OpenFileInfo* second = nullptr;
  ASSERT_OK(store->openDirEntry(dir, &first));
  ASSERT_OK(store->openDirEntry(dir, &second));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->writers, 2);
  EXPECT_EQ(first->readers, 0);
  ASSERT_OK(store->closeDirEntry(dir));
  EXPECT_EQ(first->writers, 1);
  ASSERT_OK(store->closeDirEntry(dir));
  // The record went with its last user.
  LogCapture log;
  EXPECT_EQ(store->closeDirEntry(dir).errNo(), ENOENT);
  EXPECT_EQ(log.count("Error: [share_42] File is not open: [" + dir + "]", -1), 1u);
}

TEST_F(DirEntTest, ListingLeavesNoOpenRecordBehind) {
  ObjectStore* store = open();
  const guid_t dir = mkdir(*store, "/d");
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('1'), "one", false));
  EXPECT_EQ(list(*store, dir).size(), 1u);
  ASSERT_OK(store->removeFromDirEnt(dir, fakeGuid('1'), "one"));
  EXPECT_EQ(store->closeDirEntry(dir).errNo(), ENOENT);
}

// ---- The child browser -------------------------------------------------------

TEST_F(DirEntTest, ChildBrowserListsTheIndexChildren) {
  ObjectStore* store = open();
  const guid_t a = mkdir(*store, "/a");
  const guid_t b = mkdir(*store, "/b");
  {
    ChildBrowser browser(*store);
    ASSERT_OK(browser.browse(store->getRootGuid()));
    std::vector<std::pair<guid_t, std::string>> found;
    for (const index_iface_props* props : browser.getPropsList())
      found.emplace_back(props->objGuid, props->path);
    EXPECT_EQ(found, (std::vector<std::pair<guid_t, std::string>>{{a, "/a"}, {b, "/b"}}));
  }
  ChildBrowser missing(*store);
  LogCapture log;
  EXPECT_EQ(missing.browse(fakeGuid('0')).errNo(), ENOENT);
  EXPECT_TRUE(missing.getPropsList().empty());
  EXPECT_EQ(log.count("[share_42] Error: Can't browse by guid for [" + fakeGuid('0') + "]", -1),
            1u);
}

TEST_F(DirEntTest, ChildBrowserAsksForTheViewsPointInTime) {
  ObjectStore* live = open();
  const guid_t a = mkdir(*live, "/a");
  clock_->advanceSec(100);
  mkdir(*live, "/later");
  ObjectStore* view = open(pitConfig(kNow + 50, "pit"));
  ChildBrowser browser(*view);
  ASSERT_OK(browser.browse(view->getRootGuid()));
  ASSERT_EQ(browser.getPropsList().size(), 1u);
  EXPECT_EQ(browser.getPropsList()[0]->objGuid, a);
}

// ---- Disk failures ------------------------------------------------------------

// The recording disk cache with writes and truncates of the data section
// failing on demand.
class FailingDiskCache : public test::RecordingDiskCache {
 public:
  std::atomic<int> failDataWrites{0};  // errno to fail with; 0 = don't
  std::atomic<int> failTruncates{0};

  CZnError writeSections(DiskCacheContext& ctx, const std::string& name,
                         const std::vector<Section>& sections, bool reserved,
                         int forceDiskLoc) override {
    const int failWith = failDataWrites.load();
    for (const auto& s : sections)
      if (failWith != 0 && s.number == SECTION_DATA)
        return FXErrorUtil::ErrorErrNo(FX_LOC, failWith, "injected write failure");
    return RecordingDiskCache::writeSections(ctx, name, sections, reserved, forceDiskLoc);
  }
  CZnError truncateSection(DiskCacheContext& ctx, const std::string& name, int32_t section,
                           int reserved, uint64_t newLength) override {
    if (const int failWith = failTruncates.load(); failWith != 0)
      return FXErrorUtil::ErrorErrNo(FX_LOC, failWith, "injected truncate failure");
    return RecordingDiskCache::truncateSection(ctx, name, section, reserved, newLength);
  }
};

class DirEntFailureTest : public DirEntTest {
 protected:
  void SetUp() override {
    // The store fixture's set-up with a cache that can fail.
    TestEnv::SetUp();
    stopClockAt(kNow);
    containerDir_ = path("container");
    failing_ = std::make_shared<FailingDiskCache>();
    startContainer(failing_);
  }

  std::shared_ptr<FailingDiskCache> failing_;
};

TEST_F(DirEntFailureTest, FailedAppendLeavesDiskAndCacheAgreeing) {
  ObjectStore* store = open();
  const guid_t dir = mkdir(*store, "/d");
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('1'), "one", false));
  ASSERT_EQ(list(*store, dir).size(), 1u);  // cached
  const Bytes before = *listBytes(*store, dir);

  failing_->failDataWrites = EIO;
  LogCapture log;
  EXPECT_EQ(store->addToDirEnt(dir, fakeGuid('2'), "two", false).errNo(), EIO);
  failing_->failDataWrites = 0;
  EXPECT_EQ(
      log.count("Error: [" + fakeGuid('2') + "] Can't write section parent=[" + dir + "]", -1), 1u)
      << log.dump();
  EXPECT_EQ(*listBytes(*store, dir), before);
  // The live share keeps its segment; nobody finds a child the disk lacks.
  EXPECT_TRUE(cache_->doesSegmentExist(store->diskCacheContext(), store->fullDirGuid(dir)));
  guid_t found = "stale";
  ItemName parent(dir, false);
  ASSERT_OK(store->lookupPathInDirEnt(found, parent, "two"));
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(list(*store, dir), (GuidPathList{{fakeGuid('1'), "one"}}));
}

TEST_F(DirEntFailureTest, FailedRemovalKeepsTheChildListed) {
  ObjectStore* store = open();
  const guid_t dir = mkdir(*store, "/d");
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('1'), "one", false));
  ASSERT_OK(store->addToDirEnt(dir, fakeGuid('2'), "two", false));
  ASSERT_EQ(list(*store, dir).size(), 2u);  // cached
  const Bytes before = *listBytes(*store, dir);

  failing_->failDataWrites = EIO;
  EXPECT_EQ(store->removeFromDirEnt(dir, fakeGuid('1'), "one").errNo(), EIO);
  failing_->failDataWrites = 0;
  EXPECT_EQ(*listBytes(*store, dir), before);
  guid_t found;
  ItemName parent(dir, false);
  ASSERT_OK(store->lookupPathInDirEnt(found, parent, "one"));
  EXPECT_EQ(found, fakeGuid('1'));

  // A failed truncate after the rewrite is reported; what the disk then
  // holds is what the next listing shows.
  failing_->failTruncates = EIO;
  LogCapture log;
  EXPECT_EQ(store->removeFromDirEnt(dir, fakeGuid('1'), "one").errNo(), EIO);
  failing_->failTruncates = 0;
  EXPECT_EQ(log.countContaining("Error: Can't truncate section - [" + store->fullDirGuid(dir)), 1u)
      << log.dump();
  EXPECT_EQ(list(*store, dir), (GuidPathList{{fakeGuid('2'), "two"}}));
}

TEST_F(DirEntFailureTest, ViewThatDiscardsWritesDropsAListItCouldNotWrite) {
  open();
  ObjectStore* view = open(pitConfig(kNow, "dw", true));
  ItemName item;
  ASSERT_OK(view->createNewItem(item, "/local", FileAttribs{0700, 0, 0}, view->getRootGuid(),
                                FILE_TYPE_DIRECTORY, "", true));
  ASSERT_OK(view->addToDirEnt(item.objGuid, fakeGuid('1'), "one", false));
  failing_->failDataWrites = EIO;
  EXPECT_EQ(view->addToDirEnt(item.objGuid, fakeGuid('2'), "two", false).errNo(), EIO);
  failing_->failDataWrites = 0;
  EXPECT_FALSE(cache_->doesSegmentExist(view->diskCacheContext(), view->fullDirGuid(item.objGuid)));
  EXPECT_FALSE(view->dirEntCache().contains(item.objGuid));
}

}  // namespace
}  // namespace ObjectStore
