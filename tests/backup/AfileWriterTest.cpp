#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <vector>

#include "backup/BackupTestUtil.h"
#include "common/TestEnv.h"
#include "platform/backup/AfileWriter.h"
#include "platform/backup/BackupTransportCounters.h"
#include "platform/backup/BackupTransportFaults.h"
#include "platform/restore/AfileReader.h"
#include "restore/AfileTestUtil.h"

namespace ObjectStore {
namespace {

constexpr uint64_t SUBCLIENT = 3;

class AfileWriterTest : public test::TestEnv {
 protected:
  void SetUp() override {
    TestEnv::SetUp();
    BackupTransportFaults::clear();
    dir_ = afileDirectory(path("backup"), SUBCLIENT);
  }
  void TearDown() override {
    BackupTransportFaults::clear();
    TestEnv::TearDown();
  }

  std::unique_ptr<AfileWriter> openWriter(uint64_t maxBytes = AFILE_DEFAULT_MAX_BYTES) {
    auto writer = std::make_unique<AfileWriter>(dir_, SUBCLIENT, maxBytes);
    CZnError err = writer->open();
    EXPECT_TRUE(err.ok()) << err.chain();
    return writer;
  }

  AfileAppend append(AfileWriter& writer, const std::string& name, const std::string& data) {
    AfileAppend placed;
    CZnError err = writer.append(name, data.data(), data.size(),
                                 [&](const AfileAppend& where) { placed = where; });
    EXPECT_TRUE(err.ok()) << err.chain();
    return placed;
  }

  std::string read(uint64_t afileId, uint64_t offset) {
    AfileReader reader(dir_, SUBCLIENT);
    std::vector<char> buffer(256 << 10);
    uint64_t length = 0;
    CZnError err = reader.readRecord(afileId, offset, buffer.data(), buffer.size(), length);
    EXPECT_TRUE(err.ok()) << err.chain();
    return std::string(buffer.data(), length);
  }

  std::string dir_;
  std::mt19937_64 rng_{5};
};

TEST_F(AfileWriterTest, NoAfileUntilTheFirstAppendThenRecordsBackToBack) {
  auto writer = openWriter();
  EXPECT_EQ(writer->currentAfileId(), 0u);
  std::vector<uint64_t> ids;
  ASSERT_EQ(listAfiles(dir_, ids), 0);
  EXPECT_TRUE(ids.empty());
  EXPECT_TRUE(test::fileExists(dir_ + "/LOCK"));

  const std::string a = test::randomBytes(rng_, 100);
  const std::string b = test::randomBytes(rng_, 0);
  const std::string c = test::randomBytes(rng_, 70000);
  AfileAppend pa = append(*writer, "segA", a);
  AfileAppend pb = append(*writer, "segB", b);
  AfileAppend pc = append(*writer, "segC", c);
  EXPECT_EQ(pa.afileId, 1u);
  EXPECT_EQ(pa.offset, AFILE_FILE_HEADER_SIZE);
  EXPECT_EQ(pb.offset, pa.offset + AFILE_RECORD_HEADER_SIZE + 4 + a.size());
  EXPECT_EQ(pc.offset, pb.offset + AFILE_RECORD_HEADER_SIZE + 4);
  EXPECT_EQ(test::fileSizeOf(afilePath(dir_, 1)), pc.offset + pc.recordBytes);
  EXPECT_EQ(read(1, pa.offset), a);
  EXPECT_EQ(read(1, pb.offset), b);
  EXPECT_EQ(read(1, pc.offset), c);
  EXPECT_EQ(test::walkAfiles(dir_, SUBCLIENT).size(), 3u);
}

TEST_F(AfileWriterTest, RejectsBadNamesAndUnopenedUse) {
  auto writer = openWriter();
  auto noop = [](const AfileAppend&) {};
  EXPECT_EQ(writer->append("", "x", 1, noop).errNo(), EINVAL);
  EXPECT_EQ(writer->append(std::string(256, 'n'), "x", 1, noop).errNo(), EINVAL);
  EXPECT_TRUE(writer->append(std::string(255, 'n'), "x", 1, noop).ok());
  AfileWriter unopened(path("elsewhere"), SUBCLIENT, AFILE_DEFAULT_MAX_BYTES);
  EXPECT_EQ(unopened.append("seg", "x", 1, noop).errNo(), EINVAL);
}

TEST_F(AfileWriterTest, RotatesPastTheSizeLimitWithoutSplittingRecords) {
  auto writer = openWriter(10000);
  std::vector<std::pair<AfileAppend, std::string>> placed;
  for (int i = 0; i < 30; ++i) {
    std::string data = test::randomBytes(rng_, 1500 + static_cast<size_t>(i) * 10);
    placed.emplace_back(append(*writer, "seg" + std::to_string(i), data), data);
  }
  // One record bigger than the limit gets an afile of its own.
  std::string big = test::randomBytes(rng_, 25000);
  placed.emplace_back(append(*writer, "big", big), big);
  placed.emplace_back(append(*writer, "after", "tail"), "tail");

  std::vector<uint64_t> ids;
  ASSERT_EQ(listAfiles(dir_, ids), 0);
  ASSERT_GE(ids.size(), 5u);
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], i + 1);
  for (uint64_t id : ids) {
    const uint64_t size = test::fileSizeOf(afilePath(dir_, id));
    // Only an afile holding one oversized record may pass the limit.
    if (size > 10000) {
      EXPECT_EQ(test::walkAfile(dir_, SUBCLIENT, id).size(), 1u);
    }
  }
  EXPECT_EQ(placed[30].first.offset, AFILE_FILE_HEADER_SIZE);
  EXPECT_NE(placed[31].first.afileId, placed[30].first.afileId);
  for (const auto& [where, data] : placed) EXPECT_EQ(read(where.afileId, where.offset), data);
  EXPECT_EQ(test::walkAfiles(dir_, SUBCLIENT).size(), placed.size());
}

TEST_F(AfileWriterTest, TornTailIsCutAndAppendsContinueAfterTheLastWholeRecord) {
  // Three shapes of an append cut short by a crash.
  const std::vector<std::string> tails = {
      std::string("\x41\x52\x45", 3),  // part of a header
      std::string(4096, '\0'),         // blocks allocated but never written
      "",                              // a whole header and part of the data (built below)
  };
  for (size_t shape = 0; shape < tails.size(); ++shape) {
    test::removeTree(dir_);
    const std::string first = test::randomBytes(rng_, 3000);
    const std::string second = test::randomBytes(rng_, 5000);
    AfileAppend p1, p2;
    {
      auto writer = openWriter();
      p1 = append(*writer, "first", first);
      p2 = append(*writer, "second", second);
    }
    const uint64_t wholeEnd = p2.offset + p2.recordBytes;
    std::string tail = tails[shape];
    if (tail.empty()) {
      const std::string data = test::randomBytes(rng_, 8000);
      AfileRecordHeader header = makeRecordHeader("third", data.data(), data.size());
      tail.assign(reinterpret_cast<const char*>(&header), sizeof(header));
      tail += "third" + data.substr(0, 1234);
    }
    test::appendRaw(afilePath(dir_, 1), tail);

    auto writer = openWriter();
    EXPECT_EQ(writer->recovery().afileId, 1u) << shape;
    EXPECT_EQ(writer->recovery().records, 2u) << shape;
    EXPECT_EQ(writer->recovery().validEnd, wholeEnd) << shape;
    EXPECT_EQ(writer->recovery().cutBytes, tail.size()) << shape;
    EXPECT_FALSE(writer->recovery().setAside) << shape;
    EXPECT_EQ(test::fileSizeOf(afilePath(dir_, 1)), wholeEnd) << shape;
    const std::string fourth = test::randomBytes(rng_, 700);
    AfileAppend p4 = append(*writer, "fourth", fourth);
    EXPECT_EQ(p4.afileId, 1u) << shape;
    EXPECT_EQ(p4.offset, wholeEnd) << shape;
    EXPECT_EQ(read(1, p1.offset), first);
    EXPECT_EQ(read(1, p2.offset), second);
    EXPECT_EQ(read(1, p4.offset), fourth);
    EXPECT_EQ(test::walkAfiles(dir_, SUBCLIENT).size(), 3u) << shape;
  }
}

TEST_F(AfileWriterTest, DamageWithWholeRecordsAfterItIsLeftAloneAndANewAfileStarts) {
  std::vector<std::pair<AfileAppend, std::string>> placed;
  {
    auto writer = openWriter();
    for (int i = 0; i < 3; ++i) {
      std::string data = test::randomBytes(rng_, 2000);
      placed.emplace_back(append(*writer, "seg" + std::to_string(i), data), data);
    }
  }
  const std::string afile = afilePath(dir_, 1);
  test::flipByte(afile, placed[1].first.offset + 2);  // the middle record's magic
  const std::string before = test::readFile(afile);

  auto writer = openWriter();
  EXPECT_TRUE(writer->recovery().setAside);
  EXPECT_EQ(test::readFile(afile), before);  // not a byte changed
  AfileAppend next = append(*writer, "next", "bytes");
  EXPECT_EQ(next.afileId, 2u);
  EXPECT_EQ(next.offset, AFILE_FILE_HEADER_SIZE);
  EXPECT_EQ(read(1, placed[0].first.offset), placed[0].second);
  EXPECT_EQ(read(1, placed[2].first.offset), placed[2].second);
  EXPECT_EQ(read(2, next.offset), "bytes");
}

TEST_F(AfileWriterTest, AfileWithoutACompleteHeaderIsStartedAgain) {
  {
    auto writer = openWriter();
    append(*writer, "one", "1");
  }
  ASSERT_EQ(createDir(dir_), 0);
  test::writeFile(afilePath(dir_, 2), std::string(10, 'h'));
  auto writer = openWriter();
  EXPECT_EQ(writer->recovery().afileId, 2u);
  EXPECT_EQ(writer->recovery().cutBytes, 10u);
  AfileAppend p = append(*writer, "two", "22");
  EXPECT_EQ(p.afileId, 2u);
  EXPECT_EQ(p.offset, AFILE_FILE_HEADER_SIZE);
  EXPECT_EQ(read(2, p.offset), "22");
}

TEST_F(AfileWriterTest, AfileWithADamagedHeaderIsSetAside) {
  AfileAppend p;
  {
    auto writer = openWriter();
    p = append(*writer, "one", "1");
  }
  test::flipByte(afilePath(dir_, 1), 0);
  auto writer = openWriter();
  EXPECT_TRUE(writer->recovery().setAside);
  AfileAppend next = append(*writer, "two", "2");
  EXPECT_EQ(next.afileId, 2u);
}

TEST_F(AfileWriterTest, ASecondWriterOfTheSameAfilesIsRefused) {
  auto writer = openWriter();
  AfileWriter second(dir_, SUBCLIENT, AFILE_DEFAULT_MAX_BYTES);
  EXPECT_EQ(second.open().errNo(), EBUSY);
  writer.reset();
  AfileWriter third(dir_, SUBCLIENT, AFILE_DEFAULT_MAX_BYTES);
  EXPECT_TRUE(third.open().ok());
}

TEST_F(AfileWriterTest, SyncMakesDurableAndAFailedSyncBreaksTheAfileForGood) {
  auto writer = openWriter();
  AfileAppend p1 = append(*writer, "one", "1");
  const uint64_t syncs = getBackupTransportCounters().afileSyncs;
  EXPECT_TRUE(p1.afile->sync().ok());
  EXPECT_EQ(getBackupTransportCounters().afileSyncs, syncs + 1);
  EXPECT_TRUE(p1.afile->sync().ok());  // nothing new: no second fdatasync
  EXPECT_EQ(getBackupTransportCounters().afileSyncs, syncs + 1);

  AfileAppend p2 = append(*writer, "two", "2");
  BackupTransportFaults::failAfileSyncs(1);
  EXPECT_EQ(p2.afile->sync().errNo(), EIO);
  // The fault was used up, but the afile stays broken: a later sync must not
  // vouch for data an earlier failure may have dropped.
  EXPECT_TRUE(p2.afile->broken());
  EXPECT_EQ(p2.afile->sync().errNo(), EIO);
  AfileAppend p3 = append(*writer, "three", "3");
  EXPECT_EQ(p3.afileId, 2u);
  EXPECT_TRUE(p3.afile->sync().ok());
}

}  // namespace
}  // namespace ObjectStore
