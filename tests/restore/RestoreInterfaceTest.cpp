#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <random>
#include <vector>

#include "common/TestEnv.h"
#include "platform/restore/AfileReader.h"
#include "platform/restore/RestoreInterface.h"
#include "restore/AfileTestUtil.h"

namespace ObjectStore {
namespace {

constexpr uint64_t SUBCLIENT = 17;

class RestoreInterfaceTest : public test::TestEnv {
 protected:
  void SetUp() override {
    TestEnv::SetUp();
    backupDir_ = path("backup");
    ASSERT_EQ(createDir(backupDir_), 0);
    ASSERT_TRUE(registerSubClient(SUBCLIENT, backupDir_));
  }

  std::unique_ptr<RestoreInterface> makeRestore() {
    SubClientInfo info;
    EXPECT_TRUE(GetSubClientInfo(SUBCLIENT, info));
    auto restore = std::make_unique<RestoreInterface>(info);
    EXPECT_TRUE(restore->IsInitSuccessFull());
    return restore;
  }

  static AfileInfo at(uint64_t afileId, uint64_t offset) {
    AfileInfo info;
    info.afileId = afileId;
    info.afileOffset = offset;
    return info;
  }

  // Restores into a buffer of `capacity` bytes; returns the bytes restored,
  // or nullopt-like false in ok.
  std::string restore(RestoreInterface& r, uint64_t afileId, uint64_t offset, uint64_t capacity,
                      bool& ok) {
    std::vector<char> buffer(capacity == 0 ? 1 : capacity, '\x5A');
    uint64_t size = capacity;
    ok = r.Restore(at(afileId, offset), "/dir/file", &size, buffer.data(), "");
    if (!ok) {
      EXPECT_EQ(size, 0u);
      return std::string(buffer.data(), capacity);
    }
    return std::string(buffer.data(), size);
  }

  std::string backupDir_;
  std::mt19937_64 rng_{2024};
};

TEST_F(RestoreInterfaceTest, SubclientRegistry) {
  SubClientInfo info;
  EXPECT_FALSE(GetSubClientInfo(SUBCLIENT + 1, info));
  ASSERT_TRUE(GetSubClientInfo(SUBCLIENT, info));
  EXPECT_EQ(info.subclient, SUBCLIENT);
  EXPECT_EQ(info.backupDir, backupDir_);
  EXPECT_FALSE(registerSubClient(SUBCLIENT + 2, ""));
  EXPECT_FALSE(GetSubClientInfo(SUBCLIENT + 2, info));
  ASSERT_TRUE(registerSubClient(SUBCLIENT, path("other")));
  ASSERT_TRUE(GetSubClientInfo(SUBCLIENT, info));
  EXPECT_EQ(info.backupDir, path("other"));
}

TEST_F(RestoreInterfaceTest, InitNeedsAReadableBackupDirectory) {
  SubClientInfo info;
  info.subclient = SUBCLIENT;
  info.backupDir = path("missing");
  EXPECT_FALSE(RestoreInterface(info).IsInitSuccessFull());
  info.backupDir = "";
  EXPECT_FALSE(RestoreInterface(info).IsInitSuccessFull());
  test::writeFile(path("plainfile"), "x");
  info.backupDir = path("plainfile");
  EXPECT_FALSE(RestoreInterface(info).IsInitSuccessFull());
  // A share with nothing backed up yet has no afile directory: usable, and
  // every restore fails.
  info.backupDir = backupDir_;
  RestoreInterface fresh(info);
  ASSERT_TRUE(fresh.IsInitSuccessFull());
  bool ok = true;
  restore(fresh, 1, 32, 100, ok);
  EXPECT_FALSE(ok);
  // A failed instance refuses restores instead of crashing.
  info.backupDir = path("missing");
  RestoreInterface failed(info);
  restore(failed, 1, 32, 100, ok);
  EXPECT_FALSE(ok);
}

TEST_F(RestoreInterfaceTest, RestoresEveryRecordByteForByte) {
  test::TestAfileBuilder builder(backupDir_, SUBCLIENT);
  struct Written {
    uint64_t afileId, offset;
    std::string data;
  };
  std::vector<Written> written;
  for (uint64_t afile = 1; afile <= 3; ++afile) {
    builder.startAfile(afile);
    for (size_t length : {0u, 1u, 4096u, 65536u + 7u, 1048576u}) {
      std::string data = test::randomBytes(rng_, length);
      uint64_t offset =
          builder.append("seg_" + std::to_string(afile) + "_" + std::to_string(length), data);
      written.push_back({afile, offset, data});
    }
  }
  auto r = makeRestore();
  for (const Written& w : written) {
    bool ok = false;
    // Exactly the capacity needed, and much more.
    EXPECT_EQ(restore(*r, w.afileId, w.offset, w.data.size(), ok), w.data);
    EXPECT_TRUE(ok);
    EXPECT_EQ(restore(*r, w.afileId, w.offset, w.data.size() + 4096, ok), w.data);
    EXPECT_TRUE(ok);
  }
}

TEST_F(RestoreInterfaceTest, RecordLargerThanTheBufferFails) {
  test::TestAfileBuilder builder(backupDir_, SUBCLIENT);
  builder.startAfile(1);
  const std::string data = test::randomBytes(rng_, 1000);
  const uint64_t offset = builder.append("seg", data);
  auto r = makeRestore();
  test::LogCapture log;
  bool ok = true;
  std::string got = restore(*r, 1, offset, 999, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(got, std::string(999, '\x5A'));  // nothing was written into the buffer
  EXPECT_EQ(log.countContaining("does not fit in a buffer of 999 bytes", -1), 1u) << log.dump();
}

TEST_F(RestoreInterfaceTest, FlippedDataByteFailsWithAMessageAndNoData) {
  test::TestAfileBuilder builder(backupDir_, SUBCLIENT);
  builder.startAfile(4);
  const std::string data = test::randomBytes(rng_, 5000);
  const uint64_t offset = builder.append("0123456789abcdef_e0", data);
  test::flipByte(builder.path(), offset + AFILE_RECORD_HEADER_SIZE + 19 + 2500);
  auto r = makeRestore();
  test::LogCapture log;
  bool ok = true;
  std::string got = restore(*r, 4, offset, 8000, ok);
  EXPECT_FALSE(ok);
  // The buffer holds zeros where the record's bytes were read.
  EXPECT_EQ(got.substr(0, 5000), std::string(5000, '\0'));
  const std::string expected = "Error: can't restore [/dir/file] from afile [4] offset [" +
                               std::to_string(offset) + "] of subclient [17]";
  EXPECT_EQ(log.countContaining(expected, -1), 1u) << log.dump();
  EXPECT_EQ(log.countContaining("record data checksum mismatch", -1), 1u) << log.dump();
}

TEST_F(RestoreInterfaceTest, FlippedHeaderOrNameByteFails) {
  const std::string name = "aaaabbbbccccddddeeeeffff00001111_e3";
  const std::string data = test::randomBytes(rng_, 300);
  const uint64_t headerAndName = AFILE_RECORD_HEADER_SIZE + name.size();
  for (uint64_t i = 0; i < headerAndName; ++i) {
    test::TestAfileBuilder builder(backupDir_, SUBCLIENT);
    builder.startAfile(1);
    const uint64_t offset = builder.append(name, data);
    test::flipByte(builder.path(), offset + i);
    auto r = makeRestore();
    bool ok = true;
    restore(*r, 1, offset, 1000, ok);
    EXPECT_FALSE(ok) << "damaged byte " << i;
  }
}

TEST_F(RestoreInterfaceTest, TruncatedAfileFails) {
  test::TestAfileBuilder builder(backupDir_, SUBCLIENT);
  builder.startAfile(2);
  const std::string first = test::randomBytes(rng_, 2000);
  const std::string second = test::randomBytes(rng_, 2000);
  const uint64_t firstOffset = builder.append("first", first);
  const uint64_t secondOffset = builder.append("second", second);
  auto r = makeRestore();
  bool ok = false;
  EXPECT_EQ(restore(*r, 2, secondOffset, 4096, ok), second);
  ASSERT_TRUE(ok);
  // Cut inside the second record's data, then inside its header.
  test::truncateTo(builder.path(), builder.end() - 1);
  test::LogCapture log;
  restore(*r, 2, secondOffset, 4096, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(log.countContaining("runs past the end of the afile", -1), 1u) << log.dump();
  test::truncateTo(builder.path(), secondOffset + 10);
  restore(*r, 2, secondOffset, 4096, ok);
  EXPECT_FALSE(ok);
  // The whole record before the cut is still good.
  EXPECT_EQ(restore(*r, 2, firstOffset, 4096, ok), first);
  EXPECT_TRUE(ok);
}

TEST_F(RestoreInterfaceTest, OffsetsThatAreNotRecordsFail) {
  test::TestAfileBuilder builder(backupDir_, SUBCLIENT);
  builder.startAfile(1);
  const std::string data = test::randomBytes(rng_, 512);
  const uint64_t offset = builder.append("seg", data);
  auto r = makeRestore();
  for (uint64_t bad : {uint64_t{0}, uint64_t{8}, offset + 1, offset + AFILE_RECORD_HEADER_SIZE,
                       builder.end(), builder.end() + 100, UINT64_MAX}) {
    bool ok = true;
    restore(*r, 1, bad, 4096, ok);
    EXPECT_FALSE(ok) << bad;
  }
  bool ok = true;
  restore(*r, 2, offset, 4096, ok);  // no such afile
  EXPECT_FALSE(ok);
  restore(*r, 0, offset, 4096, ok);
  EXPECT_FALSE(ok);
}

TEST_F(RestoreInterfaceTest, AfileOfAnotherSubclientOrWithADamagedHeaderIsRefused) {
  test::TestAfileBuilder other(backupDir_, SUBCLIENT + 1);
  other.startAfile(1);
  const uint64_t offset = other.append("seg", "data");
  // Copy the other share's afile into this share's directory.
  ASSERT_EQ(createDir(afileDirectory(backupDir_, SUBCLIENT)), 0);
  test::writeFile(afilePath(afileDirectory(backupDir_, SUBCLIENT), 1),
                  test::readFile(other.path()));
  auto r = makeRestore();
  test::LogCapture log;
  bool ok = true;
  restore(*r, 1, offset, 100, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(log.countContaining("afile belongs to subclient 18 afile 1", -1), 1u) << log.dump();

  test::TestAfileBuilder mine(backupDir_, SUBCLIENT);
  mine.startAfile(3);
  const uint64_t mineOffset = mine.append("seg", "data");
  test::flipByte(mine.path(), 12);  // inside the file header's subclient field
  auto fresh = makeRestore();
  restore(*fresh, 3, mineOffset, 100, ok);
  EXPECT_FALSE(ok);
}

TEST_F(RestoreInterfaceTest, ReaderKeepsFewDescriptorsAndStaysCorrect) {
  test::TestAfileBuilder builder(backupDir_, SUBCLIENT);
  std::vector<std::pair<uint64_t, std::string>> records;  // offset per afile id (index+1)
  for (uint64_t afile = 1; afile <= 12; ++afile) {
    builder.startAfile(afile);
    std::string data = test::randomBytes(rng_, 100 + afile);
    records.emplace_back(builder.append("seg" + std::to_string(afile), data), data);
  }
  AfileReader reader(afileDirectory(backupDir_, SUBCLIENT), SUBCLIENT, 3);
  std::vector<char> buffer(4096);
  for (int round = 0; round < 5; ++round) {
    for (uint64_t i = 0; i < records.size(); ++i) {
      const uint64_t afile = (i * 7 + static_cast<uint64_t>(round)) % records.size() + 1;
      uint64_t length = 0;
      std::string name;
      CZnError err = reader.readRecord(afile, records[afile - 1].first, buffer.data(),
                                       buffer.size(), length, &name);
      ASSERT_TRUE(err.ok()) << err.chain();
      EXPECT_EQ(std::string(buffer.data(), length), records[afile - 1].second);
      EXPECT_EQ(name, "seg" + std::to_string(afile));
      EXPECT_LE(reader.openAfiles(), 3u);
    }
  }
}

TEST_F(RestoreInterfaceTest, DiskLibrarySizeIsTheBackupVolume) {
  uint64_t total = 0;
  uint64_t freeMiB = 0;
  EXPECT_EQ(getDiskLibrarySize(SUBCLIENT + 100, total, freeMiB), ENOENT);
  ASSERT_EQ(getDiskLibrarySize(SUBCLIENT, total, freeMiB), 0);
  struct statvfs vfs {};
  ASSERT_EQ(statvfs(backupDir_.c_str(), &vfs), 0);
  const uint64_t expectedTotal = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize / 1048576;
  EXPECT_EQ(total, expectedTotal);
  EXPECT_GT(total, 0u);
  EXPECT_LE(freeMiB, total);
  // The low 32 bits of a wide subclient number find it too.
  const uint64_t wide = (uint64_t{3} << 32) | 99;
  ASSERT_TRUE(registerSubClient(wide, backupDir_));
  EXPECT_EQ(getDiskLibrarySize(99, total, freeMiB), 0);
  // A registered target that has gone away reports the error.
  ASSERT_TRUE(registerSubClient(SUBCLIENT, path("gone")));
  EXPECT_EQ(getDiskLibrarySize(SUBCLIENT, total, freeMiB), ENOENT);
}

}  // namespace
}  // namespace ObjectStore
