// Creating files, directories and symbolic links: names and path limits,
// existing names, ownership and parent times, link data, create-and-open and
// the backup filter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/ScopedOpeners.h"
#include "core/StoreOpsFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::LogCapture;

constexpr int64_t kNow = 1600000000;

class CreateTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    stopClockAt(kNow);
  }

  static ItemName root(ObjectStore& store) { return ItemName(store.getRootGuid(), true); }

  // The parent's children as its entry list holds them.
  static GuidPathList children(ObjectStore& store, const std::string& dirPath) {
    ItemName dir(dirPath);
    if (dirPath == "/") dir = root(store);
    GuidPathList out;
    guid_t parent;
    bool done = false;
    EXPECT_OK(store.readDirEnt(out, parent, done, dir, 0, DIRENT_READ_ALL));
    return out;
  }

  static bool hasChild(ObjectStore& store, const std::string& dirPath, const std::string& name,
                       const guid_t& guid) {
    for (const auto& [childGuid, childName] : children(store, dirPath))
      if (childName == name && childGuid == guid) return true;
    return false;
  }

  // Asserts that nothing was written anywhere since the counters were reset.
  void expectNothingWritten(ObjectStore& store) {
    EXPECT_EQ(cache_->createCalls.load(), 0);
    EXPECT_EQ(cache_->writeCalls.load(), 0);
    EXPECT_EQ(shareIndex(store.getConfig())->addCalls.load(), 0);
    EXPECT_EQ(shareIndex(store.getConfig())->updateCalls.load(), 0);
  }
  void resetCounts(ObjectStore& store) {
    cache_->resetCounts();
    shareIndex(store.getConfig())->resetCounts();
  }
};

// ---------------------------------------------------------------------------
// The core create

TEST_F(CreateTest, FileIsLinkedIntoParentRecordedAndNamed) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  ItemName item;
  ASSERT_OK(store->create(parent, item, "f", 0640, FILE_TYPE_REGULAR));
  ASSERT_EQ(item.objGuid.size(), 32u);
  ASSERT_EQ(item.verGuid.size(), 32u);
  EXPECT_EQ(item.path, "/f");
  EXPECT_TRUE(hasChild(*store, "/", "f", item.objGuid));

  CXFileHeader header = attributeRecord(*store, item.verGuid);
  EXPECT_EQ(header.mode, static_cast<uint64_t>(S_IFREG | 0640));
  index_iface_props props;
  ASSERT_OK(store->findPathFromIndex("/f", props));
  EXPECT_EQ(props.objGuid, item.objGuid);
  EXPECT_EQ(props.parentGuid, store->getRootGuid());
}

TEST_F(CreateTest, TypeBitsOfTheCallersModeAreIgnored) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  ItemName file;
  ASSERT_OK(store->create(parent, file, "f", S_IFDIR | 0644, FILE_TYPE_REGULAR));
  EXPECT_EQ(attributeRecord(*store, file.verGuid).mode, static_cast<uint64_t>(S_IFREG | 0644));
  ItemName dir;
  ASSERT_OK(store->mkdir(parent, dir, "d", S_IFREG | 0700));
  EXPECT_EQ(attributeRecord(*store, dir.verGuid).mode, static_cast<uint64_t>(S_IFDIR | 0700));
}

TEST_F(CreateTest, OwnerAndGroupComeFromTheParent) {
  ObjectStoreConfig config = liveConfig("owned");
  config.rootAttribs = FileAttribs{0755, 1234, 5678};
  ObjectStore* store = open(config);
  ItemName parent = root(*store);
  ItemName dir;
  ASSERT_OK(store->mkdir(parent, dir, "d", 0700));
  CXFileHeader header = attributeRecord(*store, dir.verGuid);
  EXPECT_EQ(header.uid, 1234u);
  EXPECT_EQ(header.gid, 5678u);

  ItemName file;
  ASSERT_OK(store->create(file, "/d/f", 0600, FILE_TYPE_REGULAR));
  header = attributeRecord(*store, file.verGuid);
  EXPECT_EQ(header.uid, 1234u);
  EXPECT_EQ(header.gid, 5678u);
}

TEST_F(CreateTest, ParentModificationAndChangeTimesBecomeNow) {
  ObjectStore* store = open(liveConfig());
  const guid_t rootVersion = store->getDirVersion(store->getRootGuid());
  clock_->advanceSec(100);
  ItemName parent = root(*store);
  ItemName item;
  ASSERT_OK(store->create(parent, item, "f", 0644, FILE_TYPE_REGULAR));

  CXFileHeader header = attributeRecord(*store, rootVersion);
  EXPECT_EQ(header.mtime, static_cast<uint64_t>(kNow + 100));
  EXPECT_EQ(header.ctime, static_cast<uint64_t>(kNow + 100));
  AttribData cached;
  if (store->attrCache().read(rootVersion, cached, false)) {
    EXPECT_EQ(cached.mtime, static_cast<uint64_t>(kNow + 100));
    EXPECT_EQ(cached.ctime, static_cast<uint64_t>(kNow + 100));
  }
  index_iface_props props;
  ASSERT_OK(store->findObjGuidFromIndex(store->getRootGuid(), props));
  EXPECT_EQ(props.mtime, kNow + 100);
  EXPECT_EQ(props.ctime, kNow + 100);
}

TEST_F(CreateTest, FullPathOfExactlyTheLimitIsAcceptedOneMoreByteIsNot) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  ItemName dir;
  ASSERT_OK(store->mkdir(parent, dir, "d", 0755));

  // Names are at most 255 bytes, so a 4096-byte path takes 16 levels:
  // "/d", 15 directories of "/" + 255 bytes, and a file name filling the rest.
  ItemName deep = dir;
  std::string deepPath = "/d";
  for (int i = 0; i < 15; ++i) {
    const std::string name(255, static_cast<char>('a' + i));
    ItemName next;
    ASSERT_OK(store->mkdir(deep, next, name, 0755));
    deep = next;
    deepPath += "/" + name;
  }
  const size_t room = 4096 - deepPath.size() - 1;
  ItemName fits;
  ASSERT_OK(store->create(deep, fits, std::string(room, 'n'), 0644, FILE_TYPE_REGULAR));
  EXPECT_EQ(fits.path.size(), 4096u);

  resetCounts(*store);
  LogCapture log;
  ItemName tooLong;
  CZnError err = store->create(deep, tooLong, std::string(room + 1, 'm'), 0644, FILE_TYPE_REGULAR);
  EXPECT_EQ(err.errNo(), ENAMETOOLONG);
  EXPECT_TRUE(tooLong.objGuid.empty());
  EXPECT_EQ(log.countContaining("Path too large. Limit=4096, name=[mmm", -1), 1u);
  expectNothingWritten(*store);

  // A name over 255 bytes is refused even where the path would fit.
  ItemName longName;
  EXPECT_EQ(store->create(dir, longName, std::string(256, 'l'), 0644, FILE_TYPE_REGULAR).errNo(),
            ENAMETOOLONG);
  EXPECT_OK(store->create(dir, longName, std::string(255, 'l'), 0644, FILE_TYPE_REGULAR));
}

TEST_F(CreateTest, ExistingNameFailsWithEexistAndWritesNothing) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  ItemName first;
  ASSERT_OK(store->create(parent, first, "f", 0644, FILE_TYPE_REGULAR));

  resetCounts(*store);
  LogCapture log;
  ItemName again;
  EXPECT_EQ(store->create(parent, again, "f", 0600, FILE_TYPE_REGULAR).errNo(), EEXIST);
  EXPECT_EQ(store->mkdir(parent, again, "f", 0755).errNo(), EEXIST);
  ItemName link;
  EXPECT_EQ(store->createSymbolicLink(link, "t", "/f").errNo(), EEXIST);
  EXPECT_TRUE(log.contains("[share_42] Error: Item already exists: [/] [f]", -1)) << log.dump();
  expectNothingWritten(*store);
  EXPECT_TRUE(again.objGuid.empty());
  EXPECT_EQ(children(*store, "/").size(), 1u);
}

TEST_F(CreateTest, InvalidNamesAreRefusedBeforeAnythingIsWritten) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  resetCounts(*store);
  const std::vector<std::string> names = {"", ".", "..", "a/b", std::string("a\0b", 3)};
  for (const auto& name : names) {
    ItemName item;
    EXPECT_EQ(store->create(parent, item, name, 0644, FILE_TYPE_REGULAR).errNo(), EINVAL)
        << "name of " << name.size() << " bytes";
    EXPECT_EQ(store->mkdir(parent, item, name, 0755).errNo(), EINVAL);
    EXPECT_EQ(store->createSymbolicLink(item, "target", parent, name).errNo(), EINVAL);
    EXPECT_TRUE(item.objGuid.empty());
  }
  ItemName byPath;
  EXPECT_EQ(store->create(byPath, "/", 0644, FILE_TYPE_REGULAR).errNo(), EINVAL);
  EXPECT_EQ(store->create(byPath, "/..", 0644, FILE_TYPE_REGULAR).errNo(), EINVAL);
  EXPECT_EQ(store->mkdir(byPath, "//", 0755).errNo(), EINVAL);
  expectNothingWritten(*store);
  EXPECT_TRUE(children(*store, "/").empty());
}

TEST_F(CreateTest, CreateInsideAFileFailsWithEnotdirAndWritesNothing) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  ItemName file;
  ASSERT_OK(store->create(parent, file, "f", 0644, FILE_TYPE_REGULAR));
  resetCounts(*store);
  ItemName child;
  EXPECT_EQ(store->create(child, "/f/x", 0644, FILE_TYPE_REGULAR).errNo(), ENOTDIR);
  expectNothingWritten(*store);
  index_iface_props props;
  EXPECT_FALSE(store->findPathFromIndex("/f/x", props).ok());
}

TEST_F(CreateTest, ByPathTrailingSlashAndRelativePathsAreReadFromTheRoot) {
  ObjectStore* store = open(liveConfig());
  ItemName a;
  ASSERT_OK(store->mkdir(a, "/a", 0755));
  EXPECT_EQ(a.path, "/a");

  ItemName b;
  ASSERT_OK(store->create(b, "a/b/", 0644, FILE_TYPE_REGULAR));
  EXPECT_EQ(b.path, "/a/b");
  EXPECT_TRUE(hasChild(*store, "/a", "b", b.objGuid));

  ItemName top;
  ASSERT_OK(store->create(top, "b", 0644, FILE_TYPE_REGULAR));
  EXPECT_EQ(top.path, "/b");
  EXPECT_TRUE(hasChild(*store, "/", "b", top.objGuid));
  EXPECT_NE(top.objGuid, b.objGuid);

  ItemName missing;
  CZnError err = store->create(missing, "/nowhere/c", 0644, FILE_TYPE_REGULAR);
  EXPECT_EQ(err.errNo(), ENOENT);
}

TEST_F(CreateTest, NewDirectoryStartsEmptyAndTakesChildren) {
  ObjectStore* store = open(liveConfig());
  ItemName dir;
  ASSERT_OK(store->mkdir(dir, "/d", 0750));
  EXPECT_EQ(dir.verGuid, dir.objGuid + "-0");
  EXPECT_EQ(attributeRecord(*store, dir.verGuid).mode, static_cast<uint64_t>(S_IFDIR | 0750));
  EXPECT_TRUE(children(*store, "/d").empty());

  ItemName sub;
  ASSERT_OK(store->mkdir(dir, sub, "e", 0700));
  ItemName file;
  ASSERT_OK(store->create(file, "/d/e/f", 0600, FILE_TYPE_REGULAR));
  EXPECT_EQ(file.path, "/d/e/f");
  EXPECT_TRUE(hasChild(*store, "/d", "e", sub.objGuid));
  EXPECT_TRUE(hasChild(*store, "/d/e", "f", file.objGuid));
}

TEST_F(CreateTest, ReadOnlyStoreRefusesEveryFormOfCreation) {
  ObjectStoreConfig config = liveConfig();
  config.readOnly = true;
  ObjectStore* store = open(config);
  ItemName parent = root(*store);
  resetCounts(*store);
  LogCapture log;
  ItemName item;
  EXPECT_EQ(store->create(parent, item, "f", 0644, FILE_TYPE_REGULAR).errNo(), EPERM);
  EXPECT_EQ(store->create(item, "/f", 0644, FILE_TYPE_REGULAR).errNo(), EPERM);
  EXPECT_EQ(store->mkdir(parent, item, "d", 0755).errNo(), EPERM);
  EXPECT_EQ(store->mkdir(item, "/d", 0755).errNo(), EPERM);
  EXPECT_EQ(store->createSymbolicLink(item, "t", parent, "l").errNo(), EPERM);
  EXPECT_EQ(store->createSymbolicLink(item, "t", "/l").errNo(), EPERM);
  for (int flags : {O_RDONLY, O_WRONLY, O_RDWR, O_RDONLY | O_CREAT}) {
    FileHandle handle;
    struct stat st {};
    st.st_mode = 0644;
    EXPECT_EQ(store->createAndOpen(handle, parent, "n", st, flags).errNo(), EPERM)
        << "flags " << flags;
    EXPECT_EQ(handle.info, nullptr);
  }
  EXPECT_GE(log.count("[share_42] Error: read only", -1), 10u);
  expectNothingWritten(*store);
}

// ---------------------------------------------------------------------------
// Symbolic links

TEST_F(CreateTest, LinkDataIsTheTargetAndOneNul) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  ItemName link;
  ASSERT_OK(store->createSymbolicLink(link, "x/y", parent, "l"));

  auto sections = readAllRaw(*store, link.verGuid);
  ASSERT_FALSE(sections.empty());
  EXPECT_EQ(sections.back().number, SECTION_DATA);
  EXPECT_EQ(sections.back().data, (test::Bytes{'x', '/', 'y', 0}));
  EXPECT_EQ(attributeRecord(*store, link.verGuid).mode, static_cast<uint64_t>(S_IFLNK | 0777));
  EXPECT_TRUE(hasChild(*store, "/", "l", link.objGuid));

  std::string target;
  ASSERT_OK(store->readLink(ItemName("/l"), target));
  EXPECT_EQ(target, "x/y");
  index_iface_props props;
  ASSERT_OK(store->findPathFromIndex("/l", props));
  EXPECT_EQ(props.linkTarget, "x/y");
}

TEST_F(CreateTest, LinkByPathLandsInItsParent) {
  ObjectStore* store = open(liveConfig());
  ItemName dir;
  ASSERT_OK(store->mkdir(dir, "/d", 0755));
  ItemName link;
  ASSERT_OK(store->createSymbolicLink(link, "/some/where", "/d/l"));
  EXPECT_EQ(link.path, "/d/l");
  EXPECT_TRUE(hasChild(*store, "/d", "l", link.objGuid));
  std::string target;
  ASSERT_OK(store->readLink(ItemName(link.objGuid, false), target));
  EXPECT_EQ(target, "/some/where");

  ItemName orphan;
  EXPECT_EQ(store->createSymbolicLink(orphan, "t", "/missing/l").errNo(), ENOENT);
}

TEST_F(CreateTest, LinkTargetsThatCannotBeReadBackAreRefused) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  resetCounts(*store);
  ItemName link;
  EXPECT_EQ(store->createSymbolicLink(link, "", parent, "empty").errNo(), ENOENT);
  EXPECT_EQ(store->createSymbolicLink(link, std::string("a\0b", 3), parent, "nul").errNo(), EINVAL);
  EXPECT_EQ(store->createSymbolicLink(link, std::string(4097, 't'), parent, "long").errNo(),
            ENAMETOOLONG);
  expectNothingWritten(*store);
}

TEST_F(CreateTest, ReadLinkOfSomethingElseThanALinkFailsEinval) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  ItemName dir;
  ASSERT_OK(store->mkdir(parent, dir, "d", 0755));
  ItemName child;
  ASSERT_OK(store->create(dir, child, "c", 0644, FILE_TYPE_REGULAR));
  ItemName file;
  ASSERT_OK(store->create(parent, file, "f", 0644, FILE_TYPE_REGULAR));

  std::string target = "unchanged";
  EXPECT_EQ(store->readLink(ItemName("/d"), target).errNo(), EINVAL);
  EXPECT_EQ(store->readLink(ItemName("/f"), target).errNo(), EINVAL);
  EXPECT_EQ(target, "unchanged");
  EXPECT_EQ(store->readLink(ItemName("/none"), target).errNo(), ENOENT);
}

TEST_F(CreateTest, FailedLinkDataWriteDropsTheSegment) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  ItemName link;
  ASSERT_OK(store->create(parent, link, "l", 0777, FILE_TYPE_SYMLINK));
  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Write, 1, EIO, false});
  LogCapture log;
  CZnError err = store->addLinkData(link.verGuid, "t");
  EXPECT_EQ(err.errNo(), EIO);
  EXPECT_TRUE(
      log.contains("[share_42] Can't write link data to section [" + link.verGuid + "]", -1));
  EXPECT_FALSE(cache_->doesSegmentExist(store->diskCacheContext(), link.verGuid));
}

// ---------------------------------------------------------------------------
// createAndOpen

TEST_F(CreateTest, CreateAndOpenGivesAnOpenHandleAndTheFilesAttributes) {
  ObjectStoreConfig config = liveConfig("cao");
  config.rootAttribs = FileAttribs{0755, 11, 22};
  ObjectStore* store = open(config);
  ItemName parent = root(*store);
  FileHandle handle;
  struct stat st {};
  st.st_mode = 0600;
  st.st_uid = 999;  // not what the file gets
  st.st_nlink = 7;
  ASSERT_OK(store->createAndOpen(handle, parent, "n", st, O_RDWR | O_CREAT));

  ASSERT_NE(handle.info, nullptr);
  EXPECT_TRUE(handle.isWrite);
  EXPECT_EQ(handle.name.path, "/n");
  OpenFileInfo* info = store->findOpenFile(handle.name.objGuid);
  ASSERT_EQ(info, handle.info);
  EXPECT_EQ(info->writers, 1);
  EXPECT_EQ(info->readers, 0);
  EXPECT_EQ(info->extentSize, store->getConfig().extentSize);
  EXPECT_FALSE(info->emptyRange.isValid());
  EXPECT_TRUE(hasChild(*store, "/", "n", handle.name.objGuid));

  EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFREG | 0600));
  EXPECT_EQ(st.st_uid, 11u);
  EXPECT_EQ(st.st_gid, 22u);
  EXPECT_EQ(st.st_nlink, 1u);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_blksize, 512);
  EXPECT_EQ(st.st_mtime, kNow);
  EXPECT_EQ(st.st_atime, st.st_mtime);
  EXPECT_EQ(st.st_ino,
            static_cast<ino_t>(std::stoull(handle.name.objGuid.substr(16), nullptr, 16)));

  ASSERT_OK(store->close(handle, CLIENT_CLOSE));
  EXPECT_EQ(handle.info, nullptr);
  EXPECT_EQ(store->findOpenFile(handle.name.objGuid), nullptr);
}

TEST_F(CreateTest, CreateAndOpenForReadingCountsAReader) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  FileHandle handle;
  struct stat st {};
  st.st_mode = 0644;
  ASSERT_OK(store->createAndOpen(handle, parent, "r", st, O_RDONLY));
  ASSERT_NE(handle.info, nullptr);
  EXPECT_FALSE(handle.isWrite);
  EXPECT_EQ(handle.info->readers, 1);
  EXPECT_EQ(handle.info->writers, 0);
  ASSERT_OK(store->close(handle, CLIENT_CLOSE));
  EXPECT_EQ(store->findOpenFile(handle.name.objGuid), nullptr);
}

TEST_F(CreateTest, CreateAndOpenWithASizeKeepsItAfterClose) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  FileHandle handle;
  struct stat st {};
  st.st_mode = 0644;
  st.st_size = 3 * 1048576;
  ASSERT_OK(store->createAndOpen(handle, parent, "sized", st, O_WRONLY));
  EXPECT_EQ(st.st_size, 3 * 1048576);
  EXPECT_EQ(st.st_blocks, 3 * 2048);
  ASSERT_NE(handle.info, nullptr);
  EXPECT_EQ(handle.info->size, 3u * 1048576);
  EXPECT_EQ(handle.info->emptyRange, Range(0, 3));
  EXPECT_TRUE(handle.info->isFileEmpty());
  const guid_t version = handle.name.verGuid;
  ASSERT_OK(store->close(handle, CLIENT_CLOSE));
  EXPECT_EQ(attributeRecord(*store, version).size, 3u * 1048576);
}

TEST_F(CreateTest, CreateAndOpenWithAMissingParentReportsPathNotFound) {
  ObjectStore* store = open(liveConfig());
  ItemName parent("/missing");
  FileHandle handle;
  struct stat st {};
  LogCapture log;
  CZnError err = store->createAndOpen(handle, parent, "n", st, O_RDWR);
  EXPECT_EQ(err.win32Code(), 3u);
  EXPECT_EQ(err.errNo(), ENOENT);
  EXPECT_EQ(
      log.countContaining("[share_42] Error: Parent not found: [] [/missing] error [0x2]", -1), 1u)
      << log.dump();
  EXPECT_EQ(handle.info, nullptr);
}

TEST_F(CreateTest, CreateAndOpenOfAnExistingNameFailsEexist) {
  ObjectStore* store = open(liveConfig());
  ItemName parent = root(*store);
  ItemName file;
  ASSERT_OK(store->create(parent, file, "f", 0644, FILE_TYPE_REGULAR));
  FileHandle handle;
  struct stat st {};
  EXPECT_EQ(store->createAndOpen(handle, parent, "f", st, O_RDWR).errNo(), EEXIST);
  EXPECT_EQ(handle.info, nullptr);
  EXPECT_EQ(store->findOpenFile(file.objGuid), nullptr);
}

// ---------------------------------------------------------------------------
// Backup filter

TEST_F(CreateTest, SuffixFilterMatchesOnlyTheEndOfThePath) {
  ObjectStoreConfig config = liveConfig();
  config.backupFilter = ".tmp";
  ObjectStore* store = open(config);
  EXPECT_TRUE(store->isFileFiltered("/d/f.tmp"));
  EXPECT_FALSE(store->isFileFiltered("/d/f.tmp1"));
  EXPECT_FALSE(store->isFileFiltered("/d/f.TMP"));
  EXPECT_FALSE(store->isFileFiltered("tmp"));
  EXPECT_TRUE(store->isFileFiltered(".tmp"));
}

TEST_F(CreateTest, SeveralSuffixesAndAnEmptyFilter) {
  ObjectStoreConfig config = liveConfig();
  config.backupFilter = ".tmp,.bak";
  ObjectStore* store = open(config);
  EXPECT_TRUE(store->isFileFiltered("/x.bak"));
  EXPECT_TRUE(store->isFileFiltered("/x.tmp"));
  EXPECT_FALSE(store->isFileFiltered("/x.bak.gz"));

  ObjectStore* plain = open(liveConfig("plain", 43));
  EXPECT_FALSE(plain->isFileFiltered("/d/f.tmp"));
  EXPECT_FALSE(plain->isFileFiltered(""));
  LogCapture log;
  bool filtered = true;
  ItemName item("/d/f.tmp");
  index_iface_props props;
  ASSERT_OK(plain->isFileFiltered(filtered, item, props));
  EXPECT_FALSE(filtered);
  EXPECT_TRUE(log.contains("backup filter is empty", 5));
}

TEST_F(CreateTest, ItemFormFindsThePathOfAnItemNamedByGuid) {
  ObjectStoreConfig config = liveConfig();
  config.backupFilter = ".tmp";
  ObjectStore* store = open(config);
  ItemName parent = root(*store);
  ItemName file;
  ASSERT_OK(store->create(parent, file, "f.tmp", 0644, FILE_TYPE_REGULAR));
  ItemName other;
  ASSERT_OK(store->create(parent, other, "g", 0644, FILE_TYPE_REGULAR));

  bool filtered = false;
  ItemName byGuid(file.objGuid, false);
  index_iface_props props;
  ASSERT_OK(store->isFileFiltered(filtered, byGuid, props));
  EXPECT_TRUE(filtered);
  ItemName otherByGuid(other.objGuid, false);
  ASSERT_OK(store->isFileFiltered(filtered, otherByGuid, props));
  EXPECT_FALSE(filtered);

  ItemName unknown(test::fakeGuid('e'), false);
  EXPECT_FALSE(store->isFileFiltered(filtered, unknown, props).ok());
}

TEST_F(CreateTest, CreateAndOpenForWritingMarksFilteredFiles) {
  ObjectStoreConfig config = liveConfig();
  config.backupFilter = ".tmp";
  ObjectStore* store = open(config);
  ItemName parent = root(*store);
  struct stat st {};
  st.st_mode = 0644;
  FileHandle tmp;
  ASSERT_OK(store->createAndOpen(tmp, parent, "a.tmp", st, O_WRONLY));
  ASSERT_NE(tmp.info, nullptr);
  EXPECT_TRUE(tmp.info->filtered);
  FileHandle kept;
  ASSERT_OK(store->createAndOpen(kept, parent, "a.txt", st, O_WRONLY));
  ASSERT_NE(kept.info, nullptr);
  EXPECT_FALSE(kept.info->filtered);
  EXPECT_OK(store->close(tmp, CLIENT_CLOSE));
  EXPECT_OK(store->close(kept, CLIENT_CLOSE));
}

// ---------------------------------------------------------------------------
// Concurrency

TEST_F(CreateTest, ConcurrentCreatesInOneDirectoryAreAllListed) {
  ObjectStore* store = open(liveConfig());
  ItemName dir;
  ASSERT_OK(store->mkdir(dir, "/d", 0755));
  constexpr int kThreads = 4;
  constexpr int kPerThread = 15;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        ItemName item;
        ItemName parent("/d");
        const std::string name = "f" + std::to_string(t) + "_" + std::to_string(i);
        if (!store->create(parent, item, name, 0644, FILE_TYPE_REGULAR).ok()) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<std::string> names;
  for (const auto& entry : children(*store, "/d")) names.insert(entry.second);
  EXPECT_EQ(names.size(), static_cast<size_t>(kThreads * kPerThread));
}

TEST_F(CreateTest, RacingCreatesOfOneNameLeaveExactlyOneItem) {
  ObjectStore* store = open(liveConfig());
  ItemName dir;
  ASSERT_OK(store->mkdir(dir, "/d", 0755));
  constexpr int kThreads = 6;
  for (int round = 0; round < 5; ++round) {
    const std::string name = "same" + std::to_string(round);
    std::atomic<int> created{0};
    std::atomic<int> exists{0};
    std::atomic<int> other{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ItemName item;
        ItemName parent("/d");
        CZnError err = t % 2 == 0 ? store->create(parent, item, name, 0644, FILE_TYPE_REGULAR)
                                  : store->mkdir(parent, item, name, 0755);
        if (err.ok()) {
          ++created;
        } else if (err.errNo() == EEXIST) {
          ++exists;
        } else {
          ++other;
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(created.load(), 1) << name;
    EXPECT_EQ(exists.load(), kThreads - 1) << name;
    EXPECT_EQ(other.load(), 0) << name;
  }
  size_t entries = 0;
  for (const auto& entry : children(*store, "/d")) entries += entry.second.rfind("same", 0) == 0;
  EXPECT_EQ(entries, 5u);
}

}  // namespace
}  // namespace ObjectStore
