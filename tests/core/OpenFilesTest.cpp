// Open files and handles: the open-file table and its counts, write opens
// and new versions, close writing the size back, the open-extent table, the
// scoped openers and the emptiness test of an open record.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "ObjectStore/ScopedOpeners.h"
#include "ObjectStore/StoreHelpers.h"
#include "core/StoreOpsFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::Bytes;
using test::LogCapture;

constexpr int64_t kNow = 1700000000;
constexpr uint64_t kMiB = 1048576;

class OpenFilesTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    stopClockAt(kNow);
  }

  ObjectStore* open(ObjectStoreConfig config = liveConfig()) {
    store_ = openStore(config);
    return store_;
  }

  static ItemName byGuid(const ItemName& item) { return ItemName(item.objGuid, false); }

  CXFileHeader headerOnDisk(const guid_t& segment) { return attributeRecord(*store_, segment); }
};

// ---------------------------------------------------------------------------
// Counting and the record's life

TEST_F(OpenFilesTest, HandlesOfOneFileShareOneRecordFreedWithTheLastClose) {
  ASSERT_NE(open(), nullptr);
  ItemName file = createFile("/shared");
  ASSERT_OK(store_->updateFileHeader(file.verGuid, 4321, 0, 0, "", Range()));
  EXPECT_EQ(store_->findOpenFile(file.objGuid), nullptr);

  FileHandle r1, r2, w;
  ItemName n1 = byGuid(file), n2 = byGuid(file), n3 = byGuid(file);
  ASSERT_OK(store_->open(r1, n1, O_RDONLY, false));
  ASSERT_OK(store_->open(r2, n2, O_RDONLY, false));
  ASSERT_OK(store_->open(w, n3, O_RDWR, false));

  OpenFileInfo* info = store_->findOpenFile(file.objGuid);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(r1.info, info);
  EXPECT_EQ(r2.info, info);
  EXPECT_EQ(w.info, info);
  EXPECT_EQ(info->readers, 2);
  EXPECT_EQ(info->writers, 1);
  EXPECT_FALSE(r1.isWrite);
  EXPECT_TRUE(w.isWrite);
  // Loaded from the header once, by the first user.
  EXPECT_EQ(info->size, 4321u);
  EXPECT_EQ(info->extentSize, kMiB);
  EXPECT_FALSE(info->sizeChanged);
  // Every handle is bound to the current version and names the object.
  EXPECT_EQ(w.name.verGuid, file.verGuid);
  EXPECT_EQ(r1.name.objGuid, file.objGuid);
  EXPECT_EQ(n1.verGuid, file.verGuid);

  ASSERT_OK(store_->close(r1, CLIENT_CLOSE));
  EXPECT_EQ(info->readers, 1);
  EXPECT_EQ(r1.info, info) << "a close that leaves other users keeps the pointer";
  ASSERT_OK(store_->close(w, CLIENT_CLOSE));
  EXPECT_EQ(info->writers, 0);
  EXPECT_EQ(store_->findOpenFile(file.objGuid), info);
  ASSERT_OK(store_->close(r2, CLIENT_CLOSE));
  EXPECT_EQ(r2.info, nullptr);
  EXPECT_EQ(store_->findOpenFile(file.objGuid), nullptr);
}

TEST_F(OpenFilesTest, AnOpenByPathResolvesTheObject) {
  ASSERT_NE(open(), nullptr);
  ItemName file = createFile("/by/path");
  FileHandle handle;
  ItemName name("/by/path");
  ASSERT_OK(store_->open(handle, name, O_RDONLY, false));
  EXPECT_EQ(handle.name.objGuid, file.objGuid);
  EXPECT_EQ(handle.name.verGuid, file.verGuid);
  EXPECT_EQ(handle.name.path, "/by/path");
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(OpenFilesTest, ReadOnlyWithTruncateFlagIsAReadOpenThatTruncatesNothing) {
  ASSERT_NE(open(), nullptr);
  ItemName file = createFile("/t");
  ASSERT_OK(store_->updateFileHeader(file.verGuid, 100, 0, 0, "", Range()));
  FileHandle handle;
  ItemName name = byGuid(file);
  ASSERT_OK(store_->open(handle, name, O_RDONLY | O_TRUNC | O_CREAT, false));
  EXPECT_FALSE(handle.isWrite);
  ASSERT_NE(handle.info, nullptr);
  EXPECT_EQ(handle.info->readers, 1);
  EXPECT_EQ(handle.info->writers, 0);
  EXPECT_EQ(handle.info->size, 100u);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  EXPECT_EQ(headerOnDisk(file.verGuid).size, 100u);
}

TEST_F(OpenFilesTest, MissingItemsFailWithEnoentAndLeaveNoRecord) {
  ASSERT_NE(open(), nullptr);
  FileHandle handle;
  ItemName unknownPath("/not/there");
  CZnError err = store_->open(handle, unknownPath, O_RDONLY, false);
  EXPECT_EQ(err.errNo(), ENOENT);
  EXPECT_EQ(handle.info, nullptr);

  // A GUID the index does not know: the record made for it goes again.
  const guid_t ghost = test::fakeGuid('9');
  ItemName unknownGuid(ghost, false);
  err = store_->open(handle, unknownGuid, O_RDWR, false);
  EXPECT_FALSE(err.ok());
  EXPECT_EQ(handle.info, nullptr);
  EXPECT_EQ(store_->findOpenFile(ghost), nullptr);
}

TEST_F(OpenFilesTest, FailedOpenOfAnAlreadyOpenFileLeavesItsCountsAlone) {
  ASSERT_NE(open(), nullptr);
  ItemName file = createFile("/busy");
  FileHandle reader;
  ItemName name = byGuid(file);
  ASSERT_OK(store_->open(reader, name, O_RDONLY, false));
  OpenFileInfo* info = reader.info;

  // The next write open must make a new version, and the copy fails: the
  // cache refuses every creation.
  cache_->setOutOfSpace(true);
  FileHandle writer;
  ItemName again = byGuid(file);
  CZnError err = store_->open(writer, again, O_WRONLY, true);
  cache_->setOutOfSpace(false);
  EXPECT_EQ(err.errNo(), ENOSPC);
  EXPECT_EQ(writer.info, nullptr);
  EXPECT_EQ(store_->findOpenFile(file.objGuid), info);
  EXPECT_EQ(info->readers, 1);
  EXPECT_EQ(info->writers, 0);
  ASSERT_OK(store_->close(reader, CLIENT_CLOSE));
  EXPECT_EQ(store_->findOpenFile(file.objGuid), nullptr);
}

TEST_F(OpenFilesTest, ClosingAHandleThatIsNotOpenFailsWithEnoent) {
  ASSERT_NE(open(), nullptr);
  ItemName file = createFile("/c");
  FileHandle never;
  never.name = byGuid(file);
  EXPECT_EQ(store_->close(never, CLIENT_CLOSE).errNo(), ENOENT);

  FileHandle once;
  ItemName name = byGuid(file);
  ASSERT_OK(store_->open(once, name, O_RDONLY, false));
  ASSERT_OK(store_->close(once, CLIENT_CLOSE));
  LogCapture log;
  EXPECT_EQ(store_->close(once, CLIENT_CLOSE).errNo(), ENOENT);
  EXPECT_TRUE(log.contains("Error: [share_42] File is not open: [" + file.objGuid + "]", -1))
      << log.dump();
}

TEST_F(OpenFilesTest, InternalUsersKeepTheRecordAliveUntilTheyAreDone) {
  ASSERT_NE(open(), nullptr);
  ItemName file = createFile("/internal");
  FileHandle handle;
  ItemName name = byGuid(file);
  ASSERT_OK(store_->open(handle, name, O_WRONLY, false));
  OpenFileInfo* info = handle.info;
  {
    AutoFileInternalOpener inner(*store_, handle);
    ASSERT_OK(inner.open());
    EXPECT_EQ(info->writers, 2);
  }
  EXPECT_EQ(info->writers, 1);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  EXPECT_EQ(handle.info, nullptr);

  // Once the handle is closed there is nothing to count.
  AutoFileInternalOpener late(*store_, handle);
  EXPECT_EQ(late.open().errNo(), ENOENT);
  FileHandle stale = handle;
  EXPECT_EQ(store_->openInternal(stale).errNo(), ENOENT);
}

TEST_F(OpenFilesTest, AutoFileOpenerHoldsTheItemLockAndClosesOnEveryPath) {
  ASSERT_NE(open(), nullptr);
  ItemName file = createFile("/auto");
  ItemName name = byGuid(file);
  {
    AutoFileOpener opener(*store_, name);
    ASSERT_OK(opener.open(LOCK_ITEM, O_RDWR));
    OpenFileInfo* info = opener.get().info;
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(info->lock.isHeldByCurrentThread());
    EXPECT_EQ(info->writers, 1);
  }
  EXPECT_EQ(store_->findOpenFile(file.objGuid), nullptr);

  {
    AutoFileOpener opener(*store_, name);
    ASSERT_OK(opener.open(DONT_LOCK_ITEM, O_RDONLY));
    EXPECT_FALSE(opener.get().info->lock.isHeldByCurrentThread());
    EXPECT_EQ(opener.get().info->readers, 1);
  }
  EXPECT_EQ(store_->findOpenFile(file.objGuid), nullptr);

  ItemName missing(test::fakeGuid('8'), false);
  AutoFileOpener failing(*store_, missing);
  EXPECT_FALSE(failing.open(LOCK_ITEM, O_RDONLY).ok());
}

// ---------------------------------------------------------------------------
// Write opens, read-only stores and new versions

TEST_F(OpenFilesTest, SecondNewVersionWriteOpenFailsWithEagainAndCountsNothing) {
  ASSERT_NE(open(), nullptr);
  ItemName file = createFile("/w");
  FileHandle first;
  ItemName n1 = byGuid(file);
  ASSERT_OK(store_->open(first, n1, O_WRONLY, true));
  OpenFileInfo* info = first.info;

  FileHandle second;
  ItemName n2 = byGuid(file);
  LogCapture log;
  CZnError err = store_->open(second, n2, O_RDWR, true);
  EXPECT_EQ(err.errNo(), EAGAIN);
  EXPECT_EQ(second.info, nullptr);
  EXPECT_EQ(info->writers, 1);
  EXPECT_EQ(info->readers, 0);
  EXPECT_TRUE(
      log.contains("[share_42] Can't create new version, file already opened for "
                   "writing [" +
                       file.objGuid + "] []",
                   3))
      << log.dump();

  // Without a new version, and for reading, the file opens as usual.
  FileHandle plain, reader;
  ItemName n3 = byGuid(file), n4 = byGuid(file);
  ASSERT_OK(store_->open(plain, n3, O_RDWR, false));
  ASSERT_OK(store_->open(reader, n4, O_RDONLY, true));
  EXPECT_EQ(info->writers, 2);
  EXPECT_EQ(info->readers, 1);
  EXPECT_EQ(plain.name.verGuid, first.name.verGuid);
  ASSERT_OK(store_->close(reader, CLIENT_CLOSE));
  ASSERT_OK(store_->close(plain, CLIENT_CLOSE));
  ASSERT_OK(store_->close(first, CLIENT_CLOSE));
  EXPECT_EQ(store_->findOpenFile(file.objGuid), nullptr);
}

TEST_F(OpenFilesTest, ReadOnlyStoreRefusesWriteOpensBeforeTouchingTheTable) {
  ObjectStoreConfig config = liveConfig();
  config.readOnly = true;
  ASSERT_NE(open(config), nullptr);
  ItemName file = createFile("/ro");

  for (int flags : {O_WRONLY, O_RDWR, O_RDWR | O_CREAT}) {
    FileHandle handle;
    ItemName name = byGuid(file);
    LogCapture log;
    EXPECT_EQ(store_->open(handle, name, flags, false).errNo(), EPERM);
    EXPECT_EQ(handle.info, nullptr);
    EXPECT_EQ(store_->findOpenFile(file.objGuid), nullptr);
    EXPECT_TRUE(log.contains("[share_42] Error: read only", -1)) << log.dump();
  }
  FileHandle reader;
  ItemName name = byGuid(file);
  ASSERT_OK(store_->open(reader, name, O_RDONLY, true));
  EXPECT_EQ(reader.info->readers, 1);
  EXPECT_EQ(reader.name.verGuid, file.verGuid);
  ASSERT_OK(store_->close(reader, CLIENT_CLOSE));
}

TEST_F(OpenFilesTest, VersionIntervalDecidesWhetherAWriteOpenMakesANewVersion) {
  ObjectStoreConfig config = liveConfig();
  config.versionInterval = 60;
  ASSERT_NE(open(config), nullptr);
  ItemName file = createFile("/v");
  auto& index = *shareIndex(liveConfig());

  clock_->advanceSec(10);
  FileHandle early;
  ItemName n1 = byGuid(file);
  {
    LogCapture log;
    ASSERT_OK(store_->open(early, n1, O_WRONLY, true));
    EXPECT_TRUE(log.contains("It has not been [60] secs yet. new version will not be created.", 5))
        << log.dump();
  }
  EXPECT_EQ(early.name.verGuid, file.verGuid);
  ASSERT_OK(store_->close(early, CLIENT_CLOSE));

  clock_->advanceSec(51);  // 61 s after the last modification
  index.resetCounts();
  FileHandle late;
  ItemName n2 = byGuid(file);
  {
    LogCapture log;
    ASSERT_OK(store_->open(late, n2, O_WRONLY, true));
    EXPECT_TRUE(
        log.contains("Enough time passed since last version. new version will be attempted.", 5))
        << log.dump();
  }
  EXPECT_NE(late.name.verGuid, file.verGuid);
  EXPECT_EQ(late.name.verGuid.size(), 32u);
  EXPECT_EQ(index.addCalls.load(), 1);
  guid_t current;
  ASSERT_OK(store_->versionCache().findData(file.objGuid, current));
  EXPECT_EQ(current, late.name.verGuid);
  ASSERT_OK(store_->close(late, CLIENT_CLOSE));
}

TEST_F(OpenFilesTest, NewVersionCopiesEverySectionAndLeavesTheOldOneAlone) {
  ASSERT_NE(open(), nullptr);
  ItemName file = createFile("/nv");
  // Data and a section the store never interprets, both to be carried over.
  const Bytes payload = {'d', 'a', 't', 'a', 0, 1, 2, 3};
  const Bytes extra = {9, 8, 7};
  std::vector<Section> writes = {makeWriteSection(SECTION_DATA, 0, payload.data(), payload.size()),
                                 makeWriteSection(4, 0, extra.data(), extra.size())};
  ASSERT_OK(
      cache_->DiskCache::writeSections(store_->diskCacheContext(), file.verGuid, writes, false, 0));
  const auto oldBefore = readAllRaw(*store_, file.verGuid);

  clock_->advanceSec(5);
  auto& index = *shareIndex(liveConfig());
  index.resetCounts();
  FileHandle handle;
  ItemName name = byGuid(file);
  {
    LogCapture log;
    ASSERT_OK(store_->open(handle, name, O_RDWR, true));
    EXPECT_TRUE(log.contains("gVersionInterval is 0. New version will be attempted.", 5));
    EXPECT_TRUE(log.contains("Copying segment [" + file.objGuid + "] from [" + file.verGuid +
                                 "] to [" + handle.name.verGuid + "]",
                             5))
        << log.dump();
  }
  const guid_t newVersion = handle.name.verGuid;
  ASSERT_NE(newVersion, file.verGuid);
  EXPECT_EQ(name.verGuid, newVersion);
  EXPECT_EQ(index.addCalls.load(), 1);

  // The old segment is untouched.
  const auto oldAfter = readAllRaw(*store_, file.verGuid);
  ASSERT_EQ(oldAfter.size(), oldBefore.size());
  for (size_t i = 0; i < oldBefore.size(); ++i) EXPECT_EQ(oldAfter[i].data, oldBefore[i].data);

  // Same sections in the same order; only the name and the version time
  // differ in the header records.
  const auto copied = readAllRaw(*store_, newVersion);
  ASSERT_EQ(copied.size(), oldBefore.size());
  for (size_t i = 0; i < copied.size(); ++i) {
    EXPECT_EQ(copied[i].number, oldBefore[i].number);
    if (copied[i].number != SECTION_HEADER && copied[i].number != SECTION_ATTRIBUTE) {
      EXPECT_EQ(copied[i].data, oldBefore[i].data) << "section " << copied[i].number;
    }
  }
  CXFileHeader oldHeader, newHeader;
  FileHeaderData oldData, newData;
  std::memcpy(&oldHeader, findSection(oldBefore, SECTION_ATTRIBUTE)->data.data(),
              sizeof(oldHeader));
  std::memcpy(&newHeader, findSection(copied, SECTION_ATTRIBUTE)->data.data(), sizeof(newHeader));
  std::memcpy(&oldData, findSection(oldBefore, SECTION_HEADER)->data.data(), sizeof(oldData));
  std::memcpy(&newData, findSection(copied, SECTION_HEADER)->data.data(), sizeof(newData));
  EXPECT_EQ(newHeader.getName(), file.objGuid + "," + newVersion);
  EXPECT_EQ(newHeader.mode, oldHeader.mode);
  EXPECT_EQ(newHeader.mtime, static_cast<uint64_t>(kNow));
  EXPECT_EQ(newData.versionTimeNs, static_cast<uint64_t>(kNow + 5) * 1000000000ull);
  EXPECT_EQ(oldData.versionTimeNs, static_cast<uint64_t>(kNow) * 1000000000ull);
  EXPECT_EQ(std::string(newData.parentGuid), store_->getRootGuid());

  // The index and the version cache both name the new version now.
  index_iface_props props;
  ASSERT_EQ(index.find_by_guid(
                [&] {
                  index_iface_browse_fields fields;
                  fields.guid = file.objGuid;
                  return fields;
                }(),
                props),
            0);
  EXPECT_EQ(props.verGuid, newVersion);
  EXPECT_EQ(props.vtime, static_cast<int64_t>(newData.versionTimeNs));
  guid_t current;
  ASSERT_OK(store_->getLatestVersion(file.objGuid, current));
  EXPECT_EQ(current, newVersion);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(OpenFilesTest, ViewsThatDiscardWritesNeverMakeVersions) {
  ASSERT_NE(open(pitConfig(kNow + 100, "dw", true)), nullptr);
  ItemName file;
  ASSERT_OK(store_->createNewItem(file, "/local", FileAttribs{0600, 0, 0}, store_->getRootGuid(),
                                  FILE_TYPE_REGULAR, "", true));
  cache_->resetCounts();
  FileHandle handle;
  ItemName name = byGuid(file);
  ASSERT_OK(store_->open(handle, name, O_RDWR, true));
  EXPECT_EQ(handle.name.verGuid, file.verGuid);
  EXPECT_EQ(cache_->createCalls.load(), 0);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
}

TEST_F(OpenFilesTest, FilesKeptOutOfBackupAreMarkedAndNeverVersioned) {
  ObjectStoreConfig config = liveConfig();
  config.backupFilter = ".tmp";
  ASSERT_NE(open(config), nullptr);
  ItemName scratch = createFile("/scratch.tmp");
  ItemName kept = createFile("/kept.txt");

  FileHandle handle;
  ItemName name = byGuid(scratch);
  {
    LogCapture log;
    ASSERT_OK(store_->open(handle, name, O_WRONLY, true));
    EXPECT_TRUE(log.contains("filtering [" + scratch.objGuid + "] [] from backup", 3))
        << log.dump();
  }
  EXPECT_TRUE(handle.info->filtered);
  EXPECT_EQ(handle.name.verGuid, scratch.verGuid);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));

  FileHandle other;
  ItemName otherName = byGuid(kept);
  ASSERT_OK(store_->open(other, otherName, O_WRONLY, true));
  EXPECT_FALSE(other.info->filtered);
  EXPECT_NE(other.name.verGuid, kept.verGuid);
  ASSERT_OK(store_->close(other, CLIENT_CLOSE));
}

TEST_F(OpenFilesTest, TheFirstWriterDecidesTheFilterOfARecordMadeByReaders) {
  ObjectStoreConfig config = liveConfig();
  config.backupFilter = ".tmp";
  ASSERT_NE(open(config), nullptr);
  ItemName scratch = createFile("/late.tmp");
  FileHandle reader, writer;
  ItemName n1 = byGuid(scratch), n2 = byGuid(scratch);
  ASSERT_OK(store_->open(reader, n1, O_RDONLY, false));
  EXPECT_FALSE(reader.info->filtered);
  ASSERT_OK(store_->open(writer, n2, O_RDWR, true));
  EXPECT_TRUE(writer.info->filtered);
  EXPECT_EQ(writer.name.verGuid, scratch.verGuid);
  ASSERT_OK(store_->close(writer, CLIENT_CLOSE));
  ASSERT_OK(store_->close(reader, CLIENT_CLOSE));
}

TEST_F(OpenFilesTest, NewVersionOfAVersionThatIsNotLocalFailsAndLeavesNoRecord) {
  ASSERT_NE(open(), nullptr);
  ItemName file = createFile("/gone");
  {
    FileHandle writer;
    openFile(writer, file.objGuid);
    writeAt(writer, test::pattern(4321, 3), 0);
    ASSERT_OK(store_->close(writer, CLIENT_CLOSE));
  }
  // The segment is gone from the cache; its header is still cached, so only
  // the copy finds out and has to restore it first.
  ASSERT_OK(cache_->DiskCache::deleteSegment(store_->diskCacheContext(), file.verGuid, false,
                                             false, 0));
  auto& index = *shareIndex(liveConfig());
  index.resetCounts();
  cache_->resetCounts();

  // The restore can't create the segment: the open fails with its error and
  // leaves nothing behind.
  {
    DiskCacheFaults fault;
    fault.op = DiskCacheOp::Create;
    fault.errNo = EIO;
    cache_->setFaults(fault);
    FileHandle handle;
    ItemName name = byGuid(file);
    LogCapture log;
    CZnError err = store_->open(handle, name, O_RDWR, true);
    cache_->clearFaults();
    ASSERT_FALSE(err.ok());
    EXPECT_EQ(err.errNo(), EIO);
    EXPECT_NE(err.chain().find("Error: Can't restore file header: [" + file.verGuid + "]"),
              std::string::npos)
        << err.chain();
    EXPECT_NE(err.chain().find("Error: Can't copy old to new version from [" + file.verGuid + "]"),
              std::string::npos)
        << err.chain();
    EXPECT_EQ(log.countContaining("Error: Can't open [" + file.objGuid + "]", -1), 1u)
        << log.dump();
    EXPECT_EQ(handle.info, nullptr);
    EXPECT_EQ(store_->findOpenFile(file.objGuid), nullptr);
    // Only the restore tried to create a segment; the copy never started.
    EXPECT_EQ(cache_->createCalls.load(), 1);
    EXPECT_EQ(index.addCalls.load(), 0);
    EXPECT_FALSE(segmentExists(file.verGuid));
    guid_t current;
    ASSERT_OK(store_->getLatestVersion(file.objGuid, current));
    EXPECT_EQ(current, file.verGuid);
  }

  // Once the restore can work, the old version comes back from its index
  // record and the new version is copied from it.
  FileHandle handle;
  ItemName name = byGuid(file);
  ASSERT_OK(store_->open(handle, name, O_RDWR, true));
  const guid_t newVersion = handle.name.verGuid;
  EXPECT_NE(newVersion, file.verGuid);
  EXPECT_TRUE(segmentExists(file.verGuid));
  EXPECT_TRUE(segmentExists(newVersion));
  EXPECT_EQ(handle.info->size, 4321u);
  EXPECT_EQ(headerOnDisk(newVersion).size, 4321u);
  EXPECT_EQ(headerOnDisk(newVersion).getName(), file.objGuid + "," + newVersion);
  EXPECT_EQ(index.addCalls.load(), 1);
  guid_t current;
  ASSERT_OK(store_->getLatestVersion(file.objGuid, current));
  EXPECT_EQ(current, newVersion);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  EXPECT_EQ(store_->findOpenFile(file.objGuid), nullptr);
}

TEST_F(OpenFilesTest, DirectoryEntryUsersCountAsWritersOfTheSharedRecord) {
  ASSERT_NE(open(), nullptr);
  const guid_t dir = store_->getRootGuid();
  {
    AutoDirEntryOpener entry(*store_, dir);
    ASSERT_OK(entry.open());
    ASSERT_NE(entry.info(), nullptr);
    EXPECT_EQ(store_->findOpenFile(dir), entry.info());
    EXPECT_EQ(entry.info()->writers, 1);
    entry.lock();
    EXPECT_TRUE(entry.info()->lock.isHeldByCurrentThread());
    {
      AutoDirEntryOpener second(*store_, dir);
      ASSERT_OK(second.open());
      EXPECT_EQ(second.info(), entry.info());
      EXPECT_EQ(entry.info()->writers, 2);
    }
    EXPECT_EQ(entry.info()->writers, 1);
  }
  EXPECT_EQ(store_->findOpenFile(dir), nullptr);
}

// ---------------------------------------------------------------------------
// Close writes the size back

TEST_F(OpenFilesTest, CloseWritesAChangedSizeBeforeUncountingTheHandle) {
  ASSERT_NE(open(), nullptr);
  ItemName file = createFile("/grow");
  FileHandle handle;
  ItemName name = byGuid(file);
  ASSERT_OK(store_->open(handle, name, O_RDWR, false));
  OpenFileInfo* info = handle.info;
  {
    HxCriticalSectionGuard itemLock(info->lock);
    info->size = 3 * kMiB;
    info->emptyRange.set(0, 3);
    info->sizeChanged = true;
  }
  clock_->advanceSec(30);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  EXPECT_EQ(store_->findOpenFile(file.objGuid), nullptr);
  const CXFileHeader header = headerOnDisk(file.verGuid);
  EXPECT_EQ(header.size, 3 * kMiB);
  EXPECT_EQ(header.mtime, static_cast<uint64_t>(kNow + 30));
  auto sections = readAllRaw(*store_, file.verGuid);
  const SectionV* headerSection = findSection(sections, SECTION_HEADER);
  ASSERT_NE(headerSection, nullptr);
  FileHeaderData data;
  ASSERT_EQ(headerSection->data.size(), sizeof(data));
  std::memcpy(&data, headerSection->data.data(), sizeof(data));
  EXPECT_EQ(data.emptyRange, Range(0, 3));
}

TEST_F(OpenFilesTest, CloseKeepsTheHandleOpenWhenTheSizeCannotBeWritten) {
  ASSERT_NE(open(), nullptr);
  ItemName file = createFile("/stuck");
  FileHandle handle;
  ItemName name = byGuid(file);
  ASSERT_OK(store_->open(handle, name, O_RDWR, false));
  OpenFileInfo* info = handle.info;
  {
    HxCriticalSectionGuard itemLock(info->lock);
    info->size = 77;
    info->sizeChanged = true;
  }
  DiskCacheFaults fault;
  fault.op = DiskCacheOp::Write;
  fault.errNo = EIO;
  cache_->setFaults(fault);
  CZnError err = store_->close(handle, CLIENT_CLOSE);
  cache_->clearFaults();
  EXPECT_EQ(err.errNo(), EIO);
  EXPECT_NE(err.chain().find("Can't update file size [" + file.objGuid + "]"), std::string::npos)
      << err.chain();
  // Still open, still counted, still changed.
  EXPECT_EQ(handle.info, info);
  EXPECT_EQ(store_->findOpenFile(file.objGuid), info);
  EXPECT_EQ(info->writers, 1);
  EXPECT_TRUE(info->sizeChanged);

  // The caller gives up on the size; the handle then closes.
  {
    HxCriticalSectionGuard itemLock(info->lock);
    info->sizeChanged = false;
  }
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  EXPECT_EQ(store_->findOpenFile(file.objGuid), nullptr);
}

// ---------------------------------------------------------------------------
// Open extents

TEST_F(OpenFilesTest, ExtentRecordsAreSharedByNameAndFreedWithTheLastClose) {
  ASSERT_NE(open(), nullptr);
  const std::string name = fileToExtentGuid(test::fakeGuid('a'), 3);
  ExtentHandle a, b, c;
  store_->openExtent(a, name);
  store_->openExtent(b, name);
  store_->openExtent(c, fileToExtentGuid(test::fakeGuid('a'), 4));
  ASSERT_NE(a.info, nullptr);
  EXPECT_EQ(a.info, b.info);
  EXPECT_NE(a.info, c.info);
  EXPECT_EQ(a.name, name);
  EXPECT_EQ(a.info->refCount, 2);
  EXPECT_EQ(c.info->refCount, 1);

  store_->closeExtent(a);
  EXPECT_EQ(a.info, nullptr);
  EXPECT_EQ(b.info->refCount, 1);
  store_->closeExtent(b);
  store_->closeExtent(c);

  LogCapture log;
  store_->closeExtent(b);
  EXPECT_TRUE(log.contains("double close for [" + name + "]", -1)) << log.dump();

  // A fresh open after the last close starts a fresh record.
  {
    AutoExtentOpener scoped(*store_, name);
    ASSERT_NE(scoped.get().info, nullptr);
    EXPECT_EQ(scoped.get().info->refCount, 1);
    ExtentHandle nested;
    store_->openExtent(nested, name);
    EXPECT_EQ(nested.info, scoped.get().info);
    EXPECT_EQ(nested.info->refCount, 2);
    store_->closeExtent(nested);
  }
}

// ---------------------------------------------------------------------------
// Emptiness of an open record

TEST(OpenFileInfoTest, EmptyWhenSizeIsZeroOrTheEmptyRangeCoversEveryByte) {
  OpenFileInfo info;
  EXPECT_TRUE(info.isFileEmpty());

  info.extentSize = kMiB;
  info.size = 3 * kMiB;
  info.emptyRange.set(0, 3);
  EXPECT_TRUE(info.isFileEmpty());
  info.emptyRange.set(0, 2);
  EXPECT_FALSE(info.isFileEmpty());
  // Extent 0 holds data: not empty, however long the range.
  info.emptyRange.set(1, 4);
  EXPECT_FALSE(info.isFileEmpty());
  info.emptyRange.reset();
  EXPECT_FALSE(info.isFileEmpty());

  // The last extent is only partly inside the size.
  info.size = 2 * kMiB + kMiB / 2;
  info.emptyRange.set(0, 3);
  EXPECT_TRUE(info.isFileEmpty());
  info.emptyRange.set(0, 2);
  EXPECT_FALSE(info.isFileEmpty());

  // Without a known extent size nothing can be said of a non-empty file.
  info.extentSize = 0;
  EXPECT_FALSE(info.isFileEmpty());
}

TEST(OpenFileInfoTest, EmptyFileByRangeIsLogged) {
  LogCapture log;
  OpenFileInfo info;
  info.extentSize = kMiB;
  info.size = 3 * kMiB;
  info.emptyRange.set(0, 3);
  EXPECT_TRUE(info.isFileEmpty());
  EXPECT_TRUE(log.contains("Empty: Existing Range [0 3] of size [3] extents", 5)) << log.dump();
}

}  // namespace
}  // namespace ObjectStore
