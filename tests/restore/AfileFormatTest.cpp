#include <gtest/gtest.h>

#include <cstring>

#include "common/TestEnv.h"
#include "platform/restore/AfileFormat.h"
#include "restore/AfileTestUtil.h"

namespace ObjectStore {
namespace {

class AfileFormatTest : public test::TestEnv {};

TEST_F(AfileFormatTest, NamesAreZeroPaddedAndParseBack) {
  EXPECT_EQ(afileName(1), "afile_000001");
  EXPECT_EQ(afileName(999999), "afile_999999");
  EXPECT_EQ(afileName(1234567), "afile_1234567");
  EXPECT_EQ(afilePath("/b/7", 42), "/b/7/afile_000042");
  EXPECT_EQ(afileDirectory("/b", 7), "/b/7");
  for (uint64_t id : {1ull, 42ull, 999999ull, 1000000ull, 18446744073709551615ull}) {
    uint64_t parsed = 0;
    ASSERT_TRUE(parseAfileName(afileName(id), parsed)) << id;
    EXPECT_EQ(parsed, id);
  }
}

TEST_F(AfileFormatTest, ForeignNamesAreNotAfiles) {
  uint64_t id = 77;
  for (const char* name :
       {"afile_000000", "afile_0000001", "afile_1", "afile_", "afile_x00001", "afile_00000a",
        "LOCK", "Afile_000001", "afile_000001.tmp", "afile_99999999999999999999"}) {
    EXPECT_FALSE(parseAfileName(name, id)) << name;
  }
  EXPECT_EQ(id, 77u);
}

TEST_F(AfileFormatTest, ListAfilesSortsByIdAndSkipsOtherFiles) {
  const std::string dir = path("afiles");
  ASSERT_EQ(createDir(dir), 0);
  for (const char* name :
       {"afile_000010", "afile_000002", "afile_1000000", "LOCK", "junk", "afile_02"})
    test::writeFile(dir + "/" + name, "x");
  std::vector<uint64_t> ids;
  ASSERT_EQ(listAfiles(dir, ids), 0);
  EXPECT_EQ(ids, (std::vector<uint64_t>{2, 10, 1000000}));
  EXPECT_EQ(listAfiles(path("missing"), ids), ENOENT);
}

TEST_F(AfileFormatTest, FileHeaderNamesItsSubclientAndId) {
  AfileFileHeader header = makeFileHeader(5, 9);
  EXPECT_EQ(checkFileHeader(header, 5, 9), "");
  EXPECT_NE(checkFileHeader(header, 6, 9), "");
  EXPECT_NE(checkFileHeader(header, 5, 8), "");
  for (size_t i = 0; i < sizeof(header); ++i) {
    AfileFileHeader damaged = header;
    reinterpret_cast<unsigned char*>(&damaged)[i] ^= 0x40;
    EXPECT_NE(checkFileHeader(damaged, 5, 9), "") << "byte " << i;
  }
}

TEST_F(AfileFormatTest, RecordHeaderCoversEveryHeaderAndNameByte) {
  const std::string name = "0123456789abcdef0123456789abcdef_e1";
  const std::string data = "some extent bytes";
  AfileRecordHeader header = makeRecordHeader(name, data.data(), data.size());
  const uint64_t fileSize = AFILE_FILE_HEADER_SIZE + recordSize(header);
  ASSERT_EQ(checkRecordHeaderFields(header, AFILE_FILE_HEADER_SIZE, fileSize), "");
  ASSERT_EQ(header.headerCrc, recordHeaderCrc(header, name.data(), name.size()));
  EXPECT_EQ(recordSize(header), AFILE_RECORD_HEADER_SIZE + name.size() + data.size());

  for (size_t i = 0; i < sizeof(header); ++i) {
    AfileRecordHeader damaged = header;
    reinterpret_cast<unsigned char*>(&damaged)[i] ^= 0x01;
    const bool fieldsOk =
        checkRecordHeaderFields(damaged, AFILE_FILE_HEADER_SIZE, fileSize).empty();
    const bool crcOk = damaged.headerCrc == recordHeaderCrc(damaged, name.data(), name.size());
    // A damaged data checksum only shows when the data is read.
    if (i >= offsetof(AfileRecordHeader, dataCrc) && i < offsetof(AfileRecordHeader, headerCrc))
      EXPECT_FALSE(crcOk) << "byte " << i;
    else
      EXPECT_FALSE(fieldsOk && crcOk) << "byte " << i;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    std::string damagedName = name;
    damagedName[i] ^= 0x01;
    EXPECT_NE(header.headerCrc, recordHeaderCrc(header, damagedName.data(), damagedName.size()));
  }
}

TEST_F(AfileFormatTest, RecordMustLieWithinTheFile) {
  const std::string data(100, 'd');
  AfileRecordHeader header = makeRecordHeader("seg", data.data(), data.size());
  const uint64_t size = recordSize(header);
  EXPECT_EQ(checkRecordHeaderFields(header, 32, 32 + size), "");
  EXPECT_NE(checkRecordHeaderFields(header, 32, 32 + size - 1), "");
  EXPECT_NE(checkRecordHeaderFields(header, 0, 32 + size), "");  // inside the file header
  EXPECT_NE(checkRecordHeaderFields(header, 40 + size, 32 + size), "");

  AfileRecordHeader noName = header;
  noName.nameLength = 0;
  EXPECT_NE(checkRecordHeaderFields(noName, 32, 1 << 20), "");
  AfileRecordHeader longName = header;
  longName.nameLength = AFILE_MAX_NAME_LENGTH + 1;
  EXPECT_NE(checkRecordHeaderFields(longName, 32, 1 << 20), "");
  AfileRecordHeader huge = header;
  huge.dataLength = AFILE_MAX_DATA_LENGTH + 1;
  EXPECT_NE(checkRecordHeaderFields(huge, 32, UINT64_MAX), "");
  // A length that would wrap around the offset arithmetic is refused too.
  AfileRecordHeader wrap = header;
  wrap.dataLength = UINT64_MAX - 10;
  EXPECT_NE(checkRecordHeaderFields(wrap, 32, UINT64_MAX), "");
}

}  // namespace
}  // namespace ObjectStore
