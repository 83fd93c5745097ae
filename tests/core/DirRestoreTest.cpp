// Rebuilding directory entry lists from the index: a point-in-time view lists
// each directory as it was, a populated list is left alone, an incomplete one
// is rebuilt around its kept header, and a rebuild that can't finish leaves
// the directory to be rebuilt again rather than short of children.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/StoreHelpers.h"
#include "core/StoreFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::LogCapture;

constexpr int64_t kT1 = 1650000000;

// The real cache, except that data-section writes to one named segment fail.
class FailingDataWriteCache : public test::RecordingDiskCache {
 public:
  void failDataWritesTo(const std::string& segment) {
    std::lock_guard<std::mutex> guard(mutex_);
    failing_ = segment;
  }
  CZnError writeSections(DiskCacheContext& ctx, const std::string& name,
                         const std::vector<Section>& sections, bool reserved,
                         int forceDiskLoc) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      for (const auto& s : sections)
        if (name == failing_ && s.number == SECTION_DATA)
          return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "injected write failure [%s]", name.c_str());
    }
    return RecordingDiskCache::writeSections(ctx, name, sections, reserved, forceDiskLoc);
  }

 private:
  std::mutex mutex_;
  std::string failing_;
};

class DirRestoreTest : public test::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    // Stores opened by the tests use this cache (the container keeps its own).
    cache_->shutdownPruner();
    failingCache_ = std::make_shared<FailingDataWriteCache>();
    const std::string cacheDir = containerDir_ + "/testcache";
    ASSERT_OK(
        failingCache_->init(cacheDir, {cacheDir}, 90, 80, 85, 100, nullptr, PruningMode::Random));
    cache_ = failingCache_;
    clock_ = std::make_unique<ManualClock>(kT1);
    live_ = openStore(liveConfig());
    ASSERT_NE(live_, nullptr);
  }
  void TearDown() override {
    StoreFixture::TearDown();
    clock_.reset();
  }

  // The names a listing gives, without "." and "..", sorted.
  // restoreDirEnt on the live share with the next disk-cache read failing
  // as a damaged file would.
  CZnError restoreWithFirstReadDamaged(const guid_t& dirGuid, GuidPathList& children,
                                       guid_t& parent) {
    DiskCacheFaults fault;
    fault.op = DiskCacheOp::Read;
    fault.errNo = EIO;
    failingCache_->setFaults(fault);
    CZnError err = live_->restoreDirEnt(dirGuid, children, parent);
    failingCache_->clearFaults();
    return err;
  }

  static std::vector<std::string> namesOf(const GuidPathList& list) {
    std::vector<std::string> names;
    for (const auto& [guid, name] : list)
      if (name != "." && name != "..") names.push_back(name);
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> list(ObjectStore& store, const std::string& path) {
    GuidPathList out;
    bool done = false;
    ItemName dir(path);
    CZnError err = store.readdir(dir, out, 0, 1000, done);
    EXPECT_TRUE(err.ok()) << err.text() << ": " << err.chain();
    return namesOf(out);
  }
  bool exists(ObjectStore& store, const guid_t& segment) {
    return cache_->DiskCache::doesSegmentExist(store.diskCacheContext(), segment);
  }
  FileHeaderData headerData(ObjectStore& store, const guid_t& segment) {
    FileHeaderData data;
    const SectionV* s = nullptr;
    auto sections = readAllRaw(store, segment);
    s = findSection(sections, SECTION_HEADER);
    EXPECT_NE(s, nullptr);
    if (s != nullptr) std::memcpy(&data, s->data.data(), sizeof(data));
    return data;
  }
  // The children recorded in a directory segment's entry list, in order.
  std::vector<std::string> listOnDisk(ObjectStore& store, const guid_t& segment) {
    std::vector<std::string> names;
    auto sections = readAllRaw(store, segment);
    const SectionV* s = findSection(sections, SECTION_DATA);
    if (s == nullptr) return names;
    size_t pos = 0;
    const auto& bytes = s->data;
    while (pos < bytes.size() && bytes[pos] != 0) {
      const size_t guidEnd = std::find(bytes.begin() + pos, bytes.end(), 0) - bytes.begin();
      const size_t nameEnd = std::find(bytes.begin() + guidEnd + 1, bytes.end(), 0) - bytes.begin();
      names.emplace_back(bytes.begin() + guidEnd + 1, bytes.begin() + nameEnd);
      pos = nameEnd + 1;
    }
    return names;
  }

  std::shared_ptr<FailingDataWriteCache> failingCache_;
  std::unique_ptr<ManualClock> clock_;
  ObjectStore* live_ = nullptr;
};

TEST_F(DirRestoreTest, PointInTimeViewsListEachDirectoryAsItWas) {
  ItemName a, b, f, link, g;
  ASSERT_OK(live_->mkdir(a, "/a", 0755));
  ASSERT_OK(live_->mkdir(b, "/a/b", 0700));
  ASSERT_OK(live_->create(f, "/a/f", 0644, FILE_TYPE_REGULAR));
  ASSERT_OK(live_->createSymbolicLink(link, "/a/f", "/a/l"));
  clock_->advanceSec(10);
  ASSERT_OK(live_->create(g, "/a/g", 0644, FILE_TYPE_REGULAR));
  ItemName gone("/a/f");
  ASSERT_OK(live_->unlink(gone));
  const int64_t t2 = kT1 + 10;
  clock_->advanceSec(10);

  ObjectStore* early = openStore(pitConfig(kT1, "early"));
  ObjectStore* late = openStore(pitConfig(t2, "late"));
  ASSERT_NE(early, nullptr);
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(list(*early, "/"), std::vector<std::string>{"a"});
  EXPECT_EQ(list(*early, "/a"), (std::vector<std::string>{"b", "f", "l"}));
  EXPECT_EQ(list(*late, "/a"), (std::vector<std::string>{"b", "g", "l"}));
  EXPECT_EQ(list(*live_, "/a"), (std::vector<std::string>{"b", "g", "l"}));
  EXPECT_TRUE(list(*early, "/a/b").empty());

  // Every child is cached under its full path (a child of the root gets a
  // single separator) and a child directory under the view's own segment.
  std::string path;
  ASSERT_OK(early->pathCache().findData(a.objGuid, path));
  EXPECT_EQ(path, "/a");
  ASSERT_OK(early->pathCache().findData(f.objGuid, path));
  EXPECT_EQ(path, "/a/f");
  std::string version;
  ASSERT_OK(early->versionCache().findData(b.objGuid, version));
  EXPECT_EQ(version, early->fullDirGuid(b.objGuid));
  EXPECT_NE(version, live_->fullDirGuid(b.objGuid));
  ASSERT_OK(early->versionCache().findData(f.objGuid, version));
  EXPECT_EQ(version, f.verGuid);
  // Children's segments exist with their headers; a link has its target.
  EXPECT_TRUE(exists(*early, f.verGuid));
  EXPECT_TRUE(exists(*early, early->fullDirGuid(b.objGuid)));
  std::string target;
  ASSERT_OK(early->readLink(ItemName("/a/l"), target));
  EXPECT_EQ(target, "/a/f");
  // A child directory starts unpopulated and is filled on first use.
  EXPECT_EQ(headerData(*late, late->fullDirGuid(b.objGuid)).hasData, 0);
  EXPECT_TRUE(list(*late, "/a/b").empty());
  EXPECT_EQ(headerData(*late, late->fullDirGuid(b.objGuid)).hasData, 1);
}

TEST_F(DirRestoreTest, PopulatedDirectoryIsLeftAloneAndStillListed) {
  ItemName d, x, y;
  ASSERT_OK(live_->mkdir(d, "/d", 0755));
  ASSERT_OK(live_->create(x, "/d/x", 0644, FILE_TYPE_REGULAR));
  ASSERT_OK(live_->create(y, "/d/y", 0644, FILE_TYPE_REGULAR));
  clock_->advanceSec(5);
  ObjectStore* view = openStore(pitConfig(kT1, "pit"));
  ASSERT_NE(view, nullptr);
  ASSERT_EQ(list(*view, "/d"), (std::vector<std::string>{"x", "y"}));

  failingCache_->resetCounts();
  LogCapture log;
  GuidPathList children;
  guid_t parent;
  ASSERT_OK(view->restoreDirEnt(d.objGuid, children, parent));
  EXPECT_TRUE(log.contains("dirent already is populated", 5));
  EXPECT_EQ(failingCache_->writeCalls.load(), 0);
  EXPECT_EQ(failingCache_->createCalls.load(), 0);
  EXPECT_EQ(namesOf(children), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(parent, view->getRootGuid());
}

TEST_F(DirRestoreTest, IncompleteDirectoryIsRebuiltKeepingItsHeaderAndXattrs) {
  ItemName d, x, y;
  ASSERT_OK(live_->mkdir(d, "/keep", 0705));
  ItemName byPath("/keep");
  ASSERT_OK(live_->setxattr(byPath, "user.tag", {'o', 'k'}));
  ASSERT_OK(live_->create(x, "/keep/x", 0644, FILE_TYPE_REGULAR));
  ASSERT_OK(live_->create(y, "/keep/y", 0644, FILE_TYPE_REGULAR));
  const guid_t seg = live_->fullDirGuid(d.objGuid);
  const auto before = readAllRaw(*live_, seg);
  const SectionV* xattrsBefore = findSection(before, SECTION_XATTR);
  ASSERT_NE(xattrsBefore, nullptr);

  // A list that was never completed: marked so, with a stray record in it.
  ASSERT_OK(live_->updateHasData(seg, 0));
  const std::string stray =
      test::fakeGuid('4') + std::string(1, '\0') + "ghost" + std::string(2, '\0');
  std::vector<Section> writes = {makeWriteSection(SECTION_DATA, 0, stray.data(), stray.size())};
  ASSERT_OK(cache_->DiskCache::writeSections(live_->diskCacheContext(), seg, writes, false, 0));
  live_->dirEntCache().clear();

  GuidPathList children;
  guid_t parent;
  ASSERT_OK(live_->restoreDirEnt(d.objGuid, children, parent));
  EXPECT_EQ(namesOf(children), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(listOnDisk(*live_, seg), (std::vector<std::string>{"x", "y"}));
  const auto after = readAllRaw(*live_, seg);
  const SectionV* xattrsAfter = findSection(after, SECTION_XATTR);
  ASSERT_NE(xattrsAfter, nullptr);
  EXPECT_EQ(xattrsAfter->data, xattrsBefore->data);
  CXFileHeader header;
  std::memcpy(&header, findSection(after, SECTION_ATTRIBUTE)->data.data(), sizeof(header));
  EXPECT_EQ(header.mode, static_cast<uint64_t>(S_IFDIR | 0705));
  EXPECT_EQ(headerData(*live_, seg).hasData, 1);
  EXPECT_EQ(list(*live_, "/keep"), (std::vector<std::string>{"x", "y"}));
  std::vector<unsigned char> value;
  ASSERT_OK(live_->getxattr(byPath, "user.tag", value));
  EXPECT_EQ(value, (std::vector<unsigned char>{'o', 'k'}));
}

TEST_F(DirRestoreTest, LinkWhoseDataCannotBeWrittenStaysListedButIsNotKept) {
  ItemName s, link, other;
  ASSERT_OK(live_->mkdir(s, "/s", 0755));
  ASSERT_OK(live_->createSymbolicLink(link, "/elsewhere", "/s/ln"));
  ASSERT_OK(live_->create(other, "/s/plain", 0644, FILE_TYPE_REGULAR));
  clock_->advanceSec(3);
  ObjectStore* view = openStore(pitConfig(kT1, "pit"));
  ASSERT_NE(view, nullptr);

  failingCache_->failDataWritesTo(link.verGuid);
  LogCapture log;
  EXPECT_EQ(list(*view, "/s"), (std::vector<std::string>{"ln", "plain"}));
  EXPECT_TRUE(log.contains("Error: Can't add link data", -1));
  EXPECT_FALSE(exists(*view, link.verGuid));
  EXPECT_TRUE(exists(*view, other.verGuid));

  // Once the disk takes writes again, the link is restored on use.
  failingCache_->failDataWritesTo("");
  std::string target;
  ASSERT_OK(view->readLink(ItemName("/s/ln"), target));
  EXPECT_EQ(target, "/elsewhere");
}

TEST_F(DirRestoreTest, EveryoneMeetingAnUnpopulatedDirectoryGetsTheWholeList) {
  ItemName dir;
  ASSERT_OK(live_->mkdir(dir, "/many", 0755));
  std::vector<std::string> expected;
  for (int i = 0; i < 40; ++i) {
    ItemName child;
    const std::string name = "c" + std::to_string(100 + i);
    ASSERT_OK(live_->create(child, "/many/" + name, 0644, FILE_TYPE_REGULAR));
    expected.push_back(name);
  }
  clock_->advanceSec(2);
  ObjectStore* view = openStore(pitConfig(kT1, "pit"));
  ASSERT_NE(view, nullptr);
  ASSERT_EQ(list(*view, "/"), std::vector<std::string>{"many"});

  std::vector<std::vector<std::string>> seen(4);
  std::vector<std::thread> readers;
  for (size_t t = 0; t < seen.size(); ++t) {
    readers.emplace_back([&, t] {
      GuidPathList out;
      bool done = false;
      ItemName d("/many");
      if (view->readdir(d, out, 0, 1000, done).ok()) seen[t] = namesOf(out);
    });
  }
  for (auto& r : readers) r.join();
  for (const auto& names : seen) EXPECT_EQ(names, expected);
  EXPECT_EQ(listOnDisk(*view, view->fullDirGuid(dir.objGuid)).size(), expected.size());
}

TEST_F(DirRestoreTest, RebuildThatFailsLeavesTheDirectoryToBeRebuiltAgain) {
  ItemName dir, x;
  ASSERT_OK(live_->mkdir(dir, "/retry", 0755));
  ASSERT_OK(live_->create(x, "/retry/x", 0644, FILE_TYPE_REGULAR));
  clock_->advanceSec(2);
  ObjectStore* view = openStore(pitConfig(kT1, "pit"));
  ASSERT_NE(view, nullptr);
  const guid_t seg = view->fullDirGuid(dir.objGuid);

  // The browse of the index fails: nothing is created.
  auto& index = *shareIndex(liveConfig());
  index.setFaultForTesting(index_iface::FaultOp::Browse, 1, EIO, false);
  GuidPathList children;
  guid_t parent;
  {
    LogCapture log;
    EXPECT_EQ(view->restoreDirEnt(dir.objGuid, children, parent).errNo(), EIO);
    EXPECT_TRUE(log.countContaining("Error: Can't browse for children [" + dir.objGuid + "]") > 0)
        << log.dump();
  }
  EXPECT_FALSE(exists(*view, seg));

  // The list write fails: the directory stays marked incomplete.
  DiskCacheFaults fault;
  fault.op = DiskCacheOp::Write;
  fault.errNo = EIO;
  failingCache_->setFaults(fault);
  EXPECT_EQ(view->restoreDirEnt(dir.objGuid, children, parent).errNo(), EIO);
  failingCache_->clearFaults();
  ASSERT_TRUE(exists(*view, seg));
  EXPECT_EQ(headerData(*view, seg).hasData, 0);

  EXPECT_EQ(list(*view, "/retry"), std::vector<std::string>{"x"});
  EXPECT_EQ(headerData(*view, seg).hasData, 1);
}

TEST_F(DirRestoreTest, DirectoryWhoseSegmentCannotBeReadIsBuiltAfresh) {
  ItemName dir, x;
  ASSERT_OK(live_->mkdir(dir, "/damaged", 0755));
  ASSERT_OK(live_->create(x, "/damaged/x", 0644, FILE_TYPE_REGULAR));
  const guid_t seg = live_->fullDirGuid(dir.objGuid);
  (void)live_->attrCache().erase(seg);
  live_->dirEntCache().clear();

  // The first read of the segment fails as a damaged file would: the store
  // drops it and the rebuild creates it again.
  GuidPathList children;
  guid_t parent;
  ASSERT_OK(restoreWithFirstReadDamaged(dir.objGuid, children, parent));
  EXPECT_EQ(namesOf(children), std::vector<std::string>{"x"});
  EXPECT_EQ(listOnDisk(*live_, seg), std::vector<std::string>{"x"});
  EXPECT_EQ(headerData(*live_, seg).hasData, 1);
  EXPECT_EQ(parent, live_->getRootGuid());
}

// The header came from the cache and only the list itself reads as damaged:
// the caller gets the rebuilt list, not an empty one.
TEST_F(DirRestoreTest, DirectoryWhoseListReadsAsDamagedIsBuiltAfresh) {
  ItemName dir, x;
  ASSERT_OK(live_->mkdir(dir, "/listless", 0755));
  ASSERT_OK(live_->create(x, "/listless/x", 0644, FILE_TYPE_REGULAR));
  const guid_t seg = live_->fullDirGuid(dir.objGuid);
  FileHeaderData cached;
  ASSERT_OK(live_->readFileHeaderData(cached, seg));  // the header is in the cache now
  live_->dirEntCache().clear();

  GuidPathList children;
  guid_t parent;
  ASSERT_OK(restoreWithFirstReadDamaged(dir.objGuid, children, parent));
  EXPECT_EQ(live_->recoveredSegs(), 1u);
  EXPECT_EQ(namesOf(children), std::vector<std::string>{"x"});
  EXPECT_EQ(listOnDisk(*live_, seg), std::vector<std::string>{"x"});
}

}  // namespace
}  // namespace ObjectStore
