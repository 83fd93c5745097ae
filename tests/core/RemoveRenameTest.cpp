// unlink, rmdir, rename and renameDir on a live store: what the index, the
// caches and the parents' entry lists hold afterwards, and what is refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/ScopedOpeners.h"
#include "core/StoreOpsFixture.h"

namespace ObjectStore {
namespace {

using test::LogCapture;

class RemoveRenameTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    openLiveStore();
  }

  bool indexKnows(const guid_t& objGuid) {
    index_iface_props props;
    return store_->findObjGuidFromIndex(objGuid, props).ok();
  }
  guid_t versionOf(const guid_t& objGuid) {
    guid_t version;
    EXPECT_OK(store_->getLatestVersion(objGuid, version));
    return version;
  }

  // The start of each round of a race: the root holds only /a ("A") and
  // /b ("B").
  void startRoundWithAAndB() {
    for (const auto& [name, guid] : children("/")) {
      ItemName leftover("/" + name);
      ASSERT_OK(store_->unlink(leftover));
    }
    makeFile("/a", "A");
    makeFile("/b", "B");
  }
};

using Listing = std::map<std::string, guid_t>;

// ---------------------------------------------------------------------------
// unlink and rmdir

TEST_F(RemoveRenameTest, UnlinkOfNonEmptyDirectoryFailsAndChangesNothing) {
  const guid_t dir = makeDir("/d");
  const guid_t child = makeFile("/d/f", "data");
  ItemName item("/d");
  LogCapture log;
  CZnError err = store_->unlink(item);
  EXPECT_EQ(err.errNo(), ENOTEMPTY);
  EXPECT_TRUE(log.contains("[share_42] Error: Directory not empty [" + dir + "] [/d]", -1))
      << log.dump();
  EXPECT_EQ(indexGuid("/d"), dir);
  EXPECT_EQ(indexGuid("/d/f"), child);
  EXPECT_EQ(children("/"), (Listing{{"d", dir}}));
  EXPECT_EQ(children("/d"), (Listing{{"f", child}}));
  ItemName again("/d");
  EXPECT_EQ(store_->rmdir(again).errNo(), ENOTEMPTY);
}

TEST_F(RemoveRenameTest, UnlinkRemovesFileFromIndexCachesAndParent) {
  makeDir("/d");
  const guid_t keep = makeFile("/d/keep");
  const guid_t gone = makeFile("/d/gone", "bytes");
  ItemName item("/d/gone");
  ASSERT_OK(store_->unlink(item));
  EXPECT_EQ(indexGuid("/d/gone"), "");
  EXPECT_FALSE(indexKnows(gone));
  EXPECT_EQ(children("/d"), (Listing{{"keep", keep}}));
  guid_t cached;
  EXPECT_FALSE(store_->pathCache().findGuid(cached, "/d/gone").ok());
  EXPECT_FALSE(store_->versionCache().findData(gone, cached).ok());
  ItemName again("/d/gone");
  struct stat st {};
  EXPECT_EQ(store_->getattr(again, st).errNo(), ENOENT);
  EXPECT_EQ(store_->unlink(again).errNo(), ENOENT);
}

TEST_F(RemoveRenameTest, RmdirRemovesEmptyDirectoryAndAlsoFiles) {
  const guid_t dir = makeDir("/d");
  makeFile("/f");
  ItemName d("/d");
  ASSERT_OK(store_->rmdir(d));
  EXPECT_FALSE(indexKnows(dir));
  // rmdir does not check the type: a file goes too.
  ItemName f("/f");
  ASSERT_OK(store_->rmdir(f));
  EXPECT_TRUE(children("/").empty());
  EXPECT_EQ(indexGuid("/f"), "");
}

TEST_F(RemoveRenameTest, UnlinkByGuidAndOfEmptyDirectory) {
  const guid_t dir = makeDir("/d");
  const guid_t file = makeFile("/d/f");
  ItemName byGuid(file, false);
  ASSERT_OK(store_->unlink(byGuid));
  ItemName d("/d");
  ASSERT_OK(store_->unlink(d));  // empty now
  EXPECT_FALSE(indexKnows(dir));
  EXPECT_TRUE(children("/").empty());
}

TEST_F(RemoveRenameTest, RootCanNotBeRemoved) {
  ItemName root("/");
  EXPECT_EQ(store_->rmdir(root).errNo(), EBUSY);
  ItemName byGuid(store_->getRootGuid(), true);
  EXPECT_EQ(store_->unlink(byGuid).errNo(), EBUSY);
  EXPECT_EQ(indexGuid("/"), store_->getRootGuid());
}

TEST_F(RemoveRenameTest, ReadOnlyStoreRefusesRemoveAndRename) {
  const guid_t file = makeFile("/f");
  closeStore(*store_);
  ObjectStoreConfig config = liveConfig();
  config.readOnly = true;
  store_ = openStore(config);
  ASSERT_NE(store_, nullptr);
  ItemName item("/f");
  EXPECT_EQ(store_->unlink(item).errNo(), EPERM);
  EXPECT_EQ(store_->rmdir(item).errNo(), EPERM);
  EXPECT_EQ(store_->rename("/f", "/g", false).errNo(), EPERM);
  EXPECT_EQ(indexGuid("/f"), file);
  EXPECT_EQ(children("/"), (Listing{{"f", file}}));
}

// ---------------------------------------------------------------------------
// rename of files

TEST_F(RemoveRenameTest, RenameInSameDirectoryKeepsOneEntryAndTheGuid) {
  makeDir("/d");
  const guid_t file = makeFile("/d/a", "content");
  const guid_t version = versionOf(file);
  ASSERT_OK(store_->rename("/d/a", "/d/b", false));
  EXPECT_EQ(children("/d"), (Listing{{"b", file}}));
  EXPECT_EQ(indexGuid("/d/b"), file);
  EXPECT_EQ(indexGuid("/d/a"), "");
  EXPECT_EQ(versionOf(file), version);
  EXPECT_EQ(readAll("/d/b"), "content");
}

TEST_F(RemoveRenameTest, RenameFileOntoDirectoryMovesItInsideUnderItsName) {
  const guid_t dir = makeDir("/d");
  const guid_t file = makeFile("/f", "x");
  ASSERT_OK(store_->rename("/f", "/d", false));
  EXPECT_EQ(children("/"), (Listing{{"d", dir}}));
  EXPECT_EQ(children("/d"), (Listing{{"f", file}}));
  EXPECT_EQ(indexGuid("/d/f"), file);
  EXPECT_EQ(indexGuid("/f"), "");
  guid_t cached;
  ASSERT_OK(store_->pathCache().findGuid(cached, "/d/f"));
  EXPECT_EQ(cached, file);
}

TEST_F(RemoveRenameTest, RenameFileOntoFileReplacesItAndKeepsTheObject) {
  const guid_t a = makeFile("/a", "from a");
  const guid_t b = makeFile("/b", "old b content");
  ASSERT_OK(store_->rename("/a", "/b", false));
  EXPECT_EQ(children("/"), (Listing{{"b", a}}));
  EXPECT_EQ(indexGuid("/b"), a);
  EXPECT_FALSE(indexKnows(b));
  EXPECT_EQ(readAll("/b"), "from a");
}

TEST_F(RemoveRenameTest, NewVersionRenameCopiesTheVersionAndLeavesTheOldOne) {
  const guid_t file = makeFile("/a", "versioned");
  const guid_t oldVersion = versionOf(file);
  ASSERT_OK(store_->rename("/a", "/b", true));
  const guid_t newVersion = versionOf(file);
  EXPECT_NE(newVersion, oldVersion);
  EXPECT_TRUE(store_->diskCache().doesSegmentExist(store_->diskCacheContext(), oldVersion));
  EXPECT_TRUE(store_->diskCache().doesSegmentExist(store_->diskCacheContext(), newVersion));
  index_iface_props props;
  ASSERT_OK(store_->findPathFromIndex("/b", props));
  EXPECT_EQ(props.objGuid, file);
  EXPECT_EQ(props.verGuid, newVersion);
  EXPECT_EQ(readAll("/b"), "versioned");

  // Without the flag the version stays.
  ASSERT_OK(store_->rename("/b", "/c", false));
  EXPECT_EQ(versionOf(file), newVersion);
  ASSERT_OK(store_->findPathFromIndex("/c", props));
  EXPECT_EQ(props.verGuid, newVersion);
}

TEST_F(RemoveRenameTest, RenameOfFileOntoItselfChangesNothing) {
  makeDir("/d");
  const guid_t file = makeFile("/d/f", "same");
  const guid_t version = versionOf(file);
  ASSERT_OK(store_->rename("/d/f", "/d/f", true));
  // Onto its own directory: it is already there under that name.
  ASSERT_OK(store_->rename("/d/f", "/d", false));
  EXPECT_EQ(children("/d"), (Listing{{"f", file}}));
  EXPECT_EQ(indexGuid("/d/f"), file);
  EXPECT_EQ(versionOf(file), version);
  EXPECT_EQ(readAll("/d/f"), "same");
}

TEST_F(RemoveRenameTest, MovingIntoDirectoryReplacesAnEntryOfTheSameName) {
  const guid_t dir = makeDir("/d");
  const guid_t old = makeFile("/d/f", "old");
  const guid_t moved = makeFile("/f", "new");
  ASSERT_OK(store_->rename("/f", "/d", false));
  EXPECT_EQ(children("/d"), (Listing{{"f", moved}}));
  EXPECT_EQ(children("/"), (Listing{{"d", dir}}));
  EXPECT_FALSE(indexKnows(old));
  EXPECT_EQ(readAll("/d/f"), "new");
}

TEST_F(RemoveRenameTest, MovingIntoDirectoryDoesNotReplaceADirectoryOfTheSameName) {
  makeDir("/d");
  const guid_t inner = makeDir("/d/f");
  const guid_t file = makeFile("/f");
  EXPECT_EQ(store_->rename("/f", "/d", false).errNo(), EISDIR);
  EXPECT_EQ(children("/d"), (Listing{{"f", inner}}));
  EXPECT_EQ(indexGuid("/f"), file);
  EXPECT_EQ(indexGuid("/d/f"), inner);
}

TEST_F(RemoveRenameTest, InvalidDestinationNamesAreRefusedBeforeAnyChange) {
  const guid_t dir = makeDir("/d");
  const guid_t file = makeFile("/f");
  const std::vector<std::string> bad = {"/d/.", "/d/..", "/", "", std::string("/d/a\0b", 6)};
  for (const auto& to : bad) {
    SCOPED_TRACE("to [" + to + "]");
    EXPECT_EQ(store_->rename("/f", to, false).errNo(), EINVAL);
    EXPECT_EQ(store_->rename("/d", to, false).errNo(), EINVAL);
  }
  // A name longer than a directory entry holds, or a path longer than the
  // share allows, could be listed but never looked up again.
  for (const std::string& to : {"/d/" + std::string(256, 'n'), "/" + std::string(4096, 'p')}) {
    SCOPED_TRACE("to of " + std::to_string(to.size()) + " bytes");
    EXPECT_EQ(store_->rename("/f", to, false).errNo(), ENAMETOOLONG);
    EXPECT_EQ(store_->rename("/d", to, false).errNo(), ENAMETOOLONG);
  }
  EXPECT_EQ(children("/"), (Listing{{"d", dir}, {"f", file}}));
  EXPECT_TRUE(children("/d").empty());
  EXPECT_EQ(indexGuid("/f"), file);
  ASSERT_OK(store_->rename("/f", "/d/" + std::string(255, 'n'), false));
  EXPECT_EQ(indexGuid("/d/" + std::string(255, 'n')), file);
}

TEST_F(RemoveRenameTest, DestinationParentMustBeAnExistingDirectory) {
  const guid_t file = makeFile("/f");
  const guid_t other = makeFile("/g");
  EXPECT_EQ(store_->rename("/f", "/g/x", false).errNo(), ENOTDIR);
  EXPECT_EQ(store_->rename("/f", "/missing/x", false).errNo(), ENOENT);
  EXPECT_EQ(store_->rename("/missing", "/x", false).errNo(), ENOENT);
  EXPECT_EQ(children("/"), (Listing{{"f", file}, {"g", other}}));
}

TEST_F(RemoveRenameTest, TrailingSlashesNameTheSameItems) {
  const guid_t dir = makeDir("/d");
  const guid_t file = makeFile("/f");
  ASSERT_OK(store_->rename("/f", "/d/", false));
  EXPECT_EQ(children("/d"), (Listing{{"f", file}}));
  ASSERT_OK(store_->rename("/d/", "/e/", false));
  EXPECT_EQ(children("/"), (Listing{{"e", dir}}));
}

// ---------------------------------------------------------------------------
// rename of directories

TEST_F(RemoveRenameTest, DirectoryOntoEmptyDirectoryReplacesIt) {
  const guid_t x = makeDir("/x");
  const guid_t child = makeFile("/x/f", "inside");
  const guid_t y = makeDir("/y");
  ASSERT_OK(store_->rename("/x", "/y", false));
  EXPECT_EQ(children("/"), (Listing{{"y", x}}));
  EXPECT_EQ(children("/y"), (Listing{{"f", child}}));
  EXPECT_FALSE(indexKnows(y));
  EXPECT_EQ(indexGuid("/y"), x);
  EXPECT_EQ(indexGuid("/y/f"), child);
  EXPECT_EQ(readAll("/y/f"), "inside");
}

TEST_F(RemoveRenameTest, DirectoryOntoNonEmptyDirectoryFailsEEXIST) {
  const guid_t x = makeDir("/x");
  const guid_t y = makeDir("/y");
  const guid_t inY = makeFile("/y/f");
  LogCapture log;
  EXPECT_EQ(store_->rename("/x", "/y", false).errNo(), EEXIST);
  EXPECT_TRUE(
      log.contains("[share_42] Error: destination directory not empty: [" + y + "] [/y]", -1))
      << log.dump();
  EXPECT_EQ(children("/"), (Listing{{"x", x}, {"y", y}}));
  EXPECT_EQ(children("/y"), (Listing{{"f", inY}}));
}

TEST_F(RemoveRenameTest, DirectoryOntoFileFailsENOENT) {
  const guid_t x = makeDir("/x");
  const guid_t f = makeFile("/f");
  EXPECT_EQ(store_->rename("/x", "/f", false).errNo(), ENOENT);
  EXPECT_EQ(children("/"), (Listing{{"f", f}, {"x", x}}));
  EXPECT_EQ(indexGuid("/f"), f);
}

TEST_F(RemoveRenameTest, DirectoryIntoItselfOrBelowFailsEINVAL) {
  const guid_t a = makeDir("/a");
  const guid_t sub = makeDir("/a/sub");
  const guid_t empty = makeDir("/a/sub/empty");
  EXPECT_EQ(store_->rename("/a", "/a/inside", false).errNo(), EINVAL);
  EXPECT_EQ(store_->rename("/a", "/a/sub/deeper", false).errNo(), EINVAL);
  // An empty directory below the source would otherwise be replaced first.
  EXPECT_EQ(store_->rename("/a", "/a/sub/empty", false).errNo(), EINVAL);
  EXPECT_EQ(store_->rename("/a", "/a/sub", false).errNo(), EINVAL);
  EXPECT_EQ(children("/"), (Listing{{"a", a}}));
  EXPECT_EQ(children("/a"), (Listing{{"sub", sub}}));
  EXPECT_EQ(children("/a/sub"), (Listing{{"empty", empty}}));
  EXPECT_EQ(indexGuid("/a/sub/empty"), empty);
  EXPECT_EQ(indexGuid("/a/sub"), sub);
  // Onto itself: nothing to do.
  ASSERT_OK(store_->rename("/a", "/a", false));
  EXPECT_EQ(children("/"), (Listing{{"a", a}}));
  EXPECT_EQ(indexGuid("/a"), a);
  // A sibling whose name only starts like the source is no descendant.
  ASSERT_OK(store_->rename("/a/sub", "/ab", false));
  EXPECT_EQ(children("/"), (Listing{{"a", a}, {"ab", sub}}));
}

TEST_F(RemoveRenameTest, CachedPathsBelowARenamedDirectoryFollowIt) {
  makeDir("/a");
  makeDir("/a/x");
  const guid_t y = makeFile("/a/x/y", "deep");
  index_iface_props props;
  ASSERT_OK(store_->findPathFromIndex("/a/x/y", props));  // caches the path
  guid_t cached;
  ASSERT_OK(store_->pathCache().findGuid(cached, "/a/x/y"));
  ASSERT_OK(store_->rename("/a", "/b", false));
  ASSERT_OK(store_->pathCache().findGuid(cached, "/b/x/y"));
  EXPECT_EQ(cached, y);
  EXPECT_FALSE(store_->pathCache().findGuid(cached, "/a/x/y").ok());
  EXPECT_EQ(readAll("/b/x/y"), "deep");
  EXPECT_EQ(indexGuid("/b/x/y"), y);
}

TEST_F(RemoveRenameTest, MovedDirectoryListsItsNewParentAsDotDot) {
  const guid_t a = makeDir("/a");
  const guid_t b = makeDir("/b");
  const guid_t moved = makeDir("/a/m");
  makeFile("/a/m/f");
  children("/a/m");  // cached with its old parent
  ASSERT_OK(store_->rename("/a/m", "/b/m", false));
  ItemName dir("/b/m");
  GuidPathList out;
  bool done = false;
  ASSERT_OK(store_->readdir(dir, out, 0, DIRENT_READ_ALL, done));
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[0], std::make_pair(moved, std::string(".")));
  EXPECT_EQ(out[1], std::make_pair(b, std::string("..")));
  EXPECT_TRUE(children("/a").empty());
  EXPECT_EQ(children("/b"), (Listing{{"m", moved}}));
  (void)a;
}

TEST_F(RemoveRenameTest, RenameLogsItsEntryLine) {
  makeFile("/f");
  LogCapture log;
  ASSERT_OK(store_->rename("/f", "/g", true));
  EXPECT_TRUE(log.contains("[share_42] renaming [/f] to [/g] newVer=1", 3)) << log.dump();
  makeDir("/d");
  log.clear();
  ASSERT_OK(store_->rename("/d", "/e", false));
  EXPECT_TRUE(log.contains("[share_42] renaming directory [/d] to [/e]", 3)) << log.dump();
}

// ---------------------------------------------------------------------------
// Segments of files kept out of backup

class FilteredRemoveRenameTest : public RemoveRenameTest {
 protected:
  static constexpr uint64_t kExtent = 4096;

  void SetUp() override {
    RemoveRenameTest::SetUp();
    closeStore(*store_);
    ObjectStoreConfig config = liveConfig();
    config.backupFilter = ".tmp";
    config.extentSize = kExtent;
    store_ = openStore(config);
    ASSERT_NE(store_, nullptr);
  }

  size_t indexedExtents(const guid_t& objGuid) {
    index_iface_browse_fields fields;
    fields.guid = objGuid;
    std::vector<index_iface_props*> list;
    EXPECT_EQ(store_->index().browse_file_extents(fields, list), 0);
    const size_t count = list.size();
    store_->index().delete_browse_memory(list);
    return count;
  }
  bool segmentExists(const guid_t& segment) {
    return store_->diskCache().doesSegmentExist(store_->diskCacheContext(), segment);
  }
};

TEST_F(FilteredRemoveRenameTest, UnlinkOfFilteredFileDeletesItsSegments) {
  const std::string content(3 * kExtent - 100, 'z');
  const guid_t kept = makeFile("/kept", content);
  const guid_t gone = makeFile("/gone.tmp", content);
  const guid_t keptVersion = versionOf(kept);
  const guid_t goneVersion = versionOf(gone);
  ASSERT_TRUE(segmentExists(fileToExtentGuid(gone, 0)) ||
              segmentExists(goneVersion));  // something local to delete

  ItemName filtered("/gone.tmp");
  ASSERT_OK(store_->unlink(filtered));
  EXPECT_FALSE(segmentExists(goneVersion));
  for (uint64_t extent = 0; extent < 3; ++extent)
    EXPECT_FALSE(segmentExists(fileToExtentGuid(gone, extent))) << extent;

  // A file that goes to backup keeps its segments for the backup and for
  // views of the past.
  ItemName backedUp("/kept");
  ASSERT_OK(store_->unlink(backedUp));
  EXPECT_TRUE(segmentExists(keptVersion));
  EXPECT_TRUE(children("/").empty());
}

TEST_F(FilteredRemoveRenameTest, RenameOutOfTheFilterIndexesItsExtents) {
  const std::string content(3 * kExtent - 100, 'q');
  const guid_t file = makeFile("/f.tmp", content);
  EXPECT_EQ(indexedExtents(file), 0u);
  ASSERT_OK(store_->rename("/f.tmp", "/f", false));
  EXPECT_EQ(indexedExtents(file), 3u);
  EXPECT_TRUE(readAll("/f") == content);
  EXPECT_EQ(children("/"), (Listing{{"f", file}}));
}

// ---------------------------------------------------------------------------
// Case and concurrency

TEST_F(RemoveRenameTest, CaseOnlyRenameOnCaseInsensitiveShare) {
  closeStore(*store_);
  ObjectStoreConfig config = liveConfig("nocase");
  config.caseSensitive = false;
  store_ = openStore(config);
  ASSERT_NE(store_, nullptr);
  makeDir("/d");
  const guid_t file = makeFile("/d/name", "case");
  ASSERT_OK(store_->rename("/d/name", "/d/NAME", false));
  EXPECT_EQ(children("/d"), (Listing{{"NAME", file}}));
  EXPECT_EQ(readAll("/d/name"), "case");
}

// Renames back and forth within one second: the index must order them by
// when they happened, not only by their (equal) times.
TEST_F(RemoveRenameTest, RenamesWithinOneSecondEndAtTheLastName) {
  const guid_t dir = makeDir("/dir");
  const guid_t file = makeFile("/x", "x");
  ASSERT_OK(store_->rename("/x", "/dir/y", false));
  ASSERT_OK(store_->rename("/dir/y", "/x", false));
  EXPECT_EQ(indexGuid("/x"), file);
  EXPECT_EQ(indexGuid("/dir/y"), "");
  {
    GuidPathList rebuilt;
    guid_t parent;
    ASSERT_OK(store_->restoreDirEnt(store_->getRootGuid(), rebuilt, parent));
    bool found = false;
    for (auto& [g, n] : rebuilt) found = found || (n == "x" && g == file);
    EXPECT_TRUE(found) << "the index's listing of / lacks x";
  }
  ASSERT_OK(store_->rename("/dir", "/dir2", false));
  ASSERT_OK(store_->rename("/dir2", "/dir", false));
  EXPECT_EQ(indexGuid("/dir"), dir);
  EXPECT_EQ(indexGuid("/dir2"), "");
}

// A rename that fails at any disk write leaves the item entirely under its
// old name or entirely under its new one: the index and the entry lists
// agree, and the name is listed exactly once.
TEST_F(RemoveRenameTest, RenameFailingAtAnyDiskWriteIsAllOrNothing) {
  const guid_t dst = makeDir("/dst");
  for (const bool directory : {false, true}) {
    for (uint64_t nth = 1; nth <= 8; ++nth) {
      SCOPED_TRACE((directory ? "directory, write " : "file, write ") + std::to_string(nth));
      const std::string name = (directory ? "d" : "f") + std::to_string(nth);
      const guid_t item = directory ? makeDir("/" + name) : makeFile("/" + name, "bytes");
      DiskCacheFaults fault;
      fault.op = DiskCacheOp::Write;
      fault.nth = nth;
      fault.errNo = EIO;
      cache_->setFaults(fault);
      const CZnError err = store_->rename("/" + name, "/dst/" + name + "-new", false);
      cache_->clearFaults();

      const bool atOld = children("/").count(name) == 1;
      const bool atNew = children("/dst").count(name + "-new") == 1;
      EXPECT_NE(atOld, atNew) << "listed at the old name: " << atOld << ", at the new: " << atNew
                              << " (rename: " << err.errNo() << ")";
      EXPECT_EQ(indexGuid("/" + name), atOld ? item : "");
      EXPECT_EQ(indexGuid("/dst/" + name + "-new"), atNew ? item : "");
      if (err.ok()) {
        EXPECT_TRUE(atNew);
      }
    }
  }
  (void)dst;
}

TEST_F(RemoveRenameTest, ConcurrentMovesIntoOneDirectoryLoseNoEntry) {
  makeDir("/src");
  const guid_t dst = makeDir("/dst");
  constexpr int kPerThread = 6;
  std::map<std::string, guid_t> expected;
  for (int t = 0; t < 2; ++t)
    for (int i = 0; i < kPerThread; ++i) {
      const std::string name = "f" + std::to_string(t) + "_" + std::to_string(i);
      expected[name] = makeFile("/src/" + name);
    }
  std::atomic<bool> moving{true};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string name = "f" + std::to_string(t) + "_" + std::to_string(i);
        // Alternately by directory and by full destination path.
        const std::string to = i % 2 == 0 ? "/dst" : "/dst/" + name;
        if (!store_->rename("/src/" + name, to, false).ok()) ++failures;
      }
    });
  }
  std::thread lister([&] {
    while (moving.load()) {
      ItemName dir("/dst");
      GuidPathList out;
      bool done = false;
      if (!store_->readdir(dir, out, 0, DIRENT_READ_ALL, done).ok()) ++failures;
      std::map<std::string, int> seen;
      for (const auto& entry : out)
        if (++seen[entry.second] > 1) ++failures;
    }
  });
  for (auto& thread : threads) thread.join();
  moving = false;
  lister.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(children("/dst"), expected);
  EXPECT_TRUE(children("/src").empty());
  (void)dst;
}

TEST_F(RemoveRenameTest, UnlinkRacingARenameOntoAnotherFileNeverLosesBoth) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_NO_FATAL_FAILURE(startRoundWithAAndB());
    std::atomic<bool> renamed{false};
    std::atomic<bool> unlinked{false};
    std::thread mover([&] { renamed = store_->rename("/a", "/b", false).ok(); });
    std::thread remover([&] {
      ItemName victim("/a");
      unlinked = store_->unlink(victim).ok();
    });
    mover.join();
    remover.join();
    // Either the rename came first (b holds A, the unlink found nothing) or
    // the unlink did (b keeps B, the rename found no source).
    EXPECT_NE(renamed.load(), unlinked.load());
    const Listing listed = children("/");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.begin()->first, "b");
    EXPECT_EQ(readAll("/b"), renamed.load() ? "A" : "B");
  }
}

TEST_F(RemoveRenameTest, CrossedRenamesNeitherDeadlockNorLeaveStaleEntries) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_NO_FATAL_FAILURE(startRoundWithAAndB());
    std::atomic<int> succeeded{0};
    std::thread forward([&] { succeeded += store_->rename("/a", "/b", false).ok() ? 1 : 0; });
    std::thread backward([&] { succeeded += store_->rename("/b", "/a", false).ok() ? 1 : 0; });
    forward.join();
    backward.join();
    const Listing listed = children("/");
    // Each rename removes at most the other's source, and only a rename that
    // then completes does so: one of the two files always survives.
    EXPECT_FALSE(listed.empty());
    if (succeeded.load() == 0) {
      EXPECT_EQ(listed.size(), 2u);
    }
    for (const auto& [name, guid] : listed) {
      EXPECT_TRUE(name == "a" || name == "b") << name;
      EXPECT_EQ(indexGuid("/" + name), guid) << name;
      const std::string content = readAll("/" + name);
      EXPECT_TRUE(content == "A" || content == "B") << content;
    }
  }
}

}  // namespace
}  // namespace ObjectStore
