#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "ObjectStore/SegmentFormat.h"
#include "common/TestEnv.h"

namespace ObjectStore {
namespace {

using test::LogCapture;

// The raw bytes of a record, as they are written to a section.
template <typename T>
std::vector<uint8_t> image(const T& record) {
  std::vector<uint8_t> bytes(sizeof(T));
  std::memcpy(bytes.data(), &record, sizeof(T));
  return bytes;
}

uint64_t le(const std::vector<uint8_t>& bytes, size_t offset, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i)
    value |= static_cast<uint64_t>(bytes.at(offset + i)) << (8 * i);
  return value;
}

bool allZero(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (bytes.at(i) != 0) return false;
  return true;
}

// Quiet logger and log capture come with the fixture.
class SegmentFormatTest : public test::TestEnv {};

const std::string kObj = "0123456789abcdef0123456789abcdef";
const std::string kVer = "fedcba9876543210fedcba9876543210";

index_iface_props fileProps() {
  index_iface_props props;
  props.objGuid = kObj;
  props.verGuid = kVer;
  props.path = "/dir/file";
  props.parentGuid = "aaaabbbbccccddddaaaabbbbccccdddd";
  props.modeValid = true;
  props.mode = S_IFREG | 0644;
  props.uidValid = true;
  props.uid = 1000;
  props.gidValid = true;
  props.gid = 100;
  props.size = 123456;
  props.ctime = 1700000001;
  props.mtime = 1700000002;
  props.vtime = 1700000000123456789;
  props.extentSize = 1048576;
  return props;
}

TEST_F(SegmentFormatTest, SectionNumbersAndSizes) {
  EXPECT_EQ(SECTION_ATTRIBUTE, 0);
  EXPECT_EQ(SECTION_DATA, 1);
  EXPECT_EQ(SECTION_HEADER, 3);
  EXPECT_EQ(SECTION_XATTR, 5);
  EXPECT_EQ(sizeof(CXFileHeader), 1160u);
  EXPECT_EQ(ATTRIBUTE_SECTION_SIZE, 1160u);
  EXPECT_EQ(sizeof(FileHeaderData), 1120u);
  EXPECT_EQ(HEADER_SECTION_SIZE, 1120u);
  EXPECT_EQ(FILE_HEADER_RECORD_SIZE, 1116u);
  EXPECT_EQ(FILE_HEADER_MAGIC, 0xABBA);
  EXPECT_EQ(FILE_HEADER_VERSION, 2);
}

TEST_F(SegmentFormatTest, DefaultConstructorsZeroEveryByte) {
  alignas(CXFileHeader) unsigned char headerBuf[sizeof(CXFileHeader)];
  std::memset(headerBuf, 0xA5, sizeof(headerBuf));
  CXFileHeader* header = new (headerBuf) CXFileHeader();
  EXPECT_TRUE(allZero(image(*header), 0, sizeof(CXFileHeader)));
  EXPECT_EQ(header->name[0], '\0');
  header->~CXFileHeader();

  alignas(FileHeaderData) unsigned char dataBuf[sizeof(FileHeaderData)];
  std::memset(dataBuf, 0xA5, sizeof(dataBuf));
  FileHeaderData* data = new (dataBuf) FileHeaderData();
  EXPECT_TRUE(allZero(image(*data), 0, sizeof(FileHeaderData)));
  data->~FileHeaderData();
}

TEST_F(SegmentFormatTest, CreateMetaDataWritesDocumentedOffsets) {
  CXFileHeader header;
  createMetaData(&header, kObj, kVer, S_IFREG | 0640, 1001, 1002, 0x1122334455667788ull, 1700000001,
                 1700000002);
  std::vector<uint8_t> b = image(header);
  const std::string name = kObj + "," + kVer;
  EXPECT_EQ(le(b, 0, 4), 3u);
  EXPECT_EQ(le(b, 4, 4), 0x50C0u);
  EXPECT_EQ(le(b, 8, 4), 1u);
  EXPECT_EQ(le(b, 12, 4), name.size() + 1);
  EXPECT_EQ(le(b, 16, 8), static_cast<uint64_t>(S_IFREG | 0640));
  EXPECT_EQ(le(b, 24, 8), 1001u);
  EXPECT_EQ(le(b, 32, 8), 1002u);
  EXPECT_TRUE(allZero(b, 40, 56));
  EXPECT_EQ(le(b, 56, 8), 0x1122334455667788ull);
  EXPECT_EQ(le(b, 64, 8), 1700000002u);  // mtime before ctime in the record
  EXPECT_EQ(le(b, 72, 8), 1700000001u);
  EXPECT_TRUE(allZero(b, 80, 96));
  EXPECT_EQ(le(b, 96, 4), 47u);
  EXPECT_EQ(b[100], 0x01);
  EXPECT_TRUE(allZero(b, 101, 132));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[132]), name.size()), name);
  EXPECT_TRUE(allZero(b, 132 + name.size(), 1160));  // NUL and the rest of the area
  EXPECT_EQ(header.getName(), name);
}

TEST_F(SegmentFormatTest, CreateMetaDataLeavesOtherFieldsAndFlagBits) {
  CXFileHeader header;
  header.flags = 0x80;
  header.reserved48 = 77;
  header.reserved104[2] = 5;
  std::memset(header.name, 'z', sizeof(header.name));  // stale bytes after a short name
  createMetaData(&header, "o", "v", 0, 0, 0, 0, 0, 0);
  EXPECT_EQ(header.flags, 0x81);
  EXPECT_EQ(header.reserved48, 77u);
  EXPECT_EQ(header.reserved104[2], 5u);
  EXPECT_EQ(header.nameLength, 4u);
  EXPECT_STREQ(header.name, "o,v");
  std::vector<uint8_t> b = image(header);
  EXPECT_TRUE(allZero(b, 132 + 3, 1160));
  createMetaData(nullptr, "o", "v", 0, 0, 0, 0, 0, 0);  // ignored, no crash
}

TEST_F(SegmentFormatTest, LongNameIsCutAt1024Characters) {
  CXFileHeader header;
  const std::string longObj(1100, 'x');
  createMetaData(&header, longObj, kVer, 0, 0, 0, 0, 0, 0);
  std::vector<uint8_t> b = image(header);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[132]), 1024), std::string(1024, 'x'));
  EXPECT_TRUE(allZero(b, 132 + 1024, 1160));
  EXPECT_EQ(header.getName().size(), 1024u);
  EXPECT_EQ(header.nameLength, 1025u);
}

TEST_F(SegmentFormatTest, FileTypeFromMode) {
  EXPECT_EQ(fileTypeFromMode(S_IFREG | 0755), FILE_TYPE_REGULAR);
  EXPECT_EQ(fileTypeFromMode(S_IFDIR | 0755), FILE_TYPE_DIRECTORY);
  EXPECT_EQ(fileTypeFromMode(S_IFLNK | 0777), FILE_TYPE_SYMLINK);
  EXPECT_EQ(fileTypeFromMode(S_IFIFO | 0600), FILE_TYPE_REGULAR);
  EXPECT_EQ(fileTypeFromMode(S_IFSOCK), FILE_TYPE_REGULAR);
  EXPECT_EQ(fileTypeFromMode(0644), FILE_TYPE_REGULAR);
}

TEST_F(SegmentFormatTest, CxFromPropsFillsBothRecords) {
  CXFileHeader header;
  FileHeaderData data;
  data.emptyRange.set(3, 9);  // the caller's choice, kept
  data.hasData = 1;
  index_iface_props props = fileProps();
  ASSERT_TRUE(cxFromProps(header, data, props).ok());

  std::vector<uint8_t> d = image(data);
  EXPECT_EQ(le(d, 0, 2), 0xABBAu);
  EXPECT_EQ(d[0], 0xBA);  // little-endian on disk
  EXPECT_EQ(le(d, 2, 2), 2u);
  EXPECT_EQ(le(d, 4, 2), 0u);  // hasData reset
  EXPECT_TRUE(allZero(d, 6, 8));
  EXPECT_EQ(le(d, 8, 8), 0u);  // regular file
  EXPECT_EQ(le(d, 16, 8), 1048576u);
  EXPECT_EQ(le(d, 24, 8), 1700000000123456789u);
  EXPECT_EQ(le(d, 32, 8), 3u);
  EXPECT_EQ(le(d, 40, 8), 9u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[48]), 32), props.parentGuid);
  EXPECT_TRUE(allZero(d, 48 + 32, 1120));  // NUL padding, reserved bytes and the tail

  std::vector<uint8_t> h = image(header);
  EXPECT_EQ(le(h, 0, 4), 3u);
  EXPECT_EQ(le(h, 16, 8), static_cast<uint64_t>(S_IFREG | 0644));
  EXPECT_EQ(le(h, 24, 8), 1000u);
  EXPECT_EQ(le(h, 32, 8), 100u);
  EXPECT_EQ(le(h, 56, 8), 123456u);
  EXPECT_EQ(le(h, 64, 8), 1700000002u);
  EXPECT_EQ(le(h, 72, 8), 1700000001u);
  EXPECT_EQ(header.getName(), kObj + "," + kVer);
}

TEST_F(SegmentFormatTest, CxFromPropsFileTypes) {
  struct Case {
    int mode;
    uint64_t type;
  };
  for (const Case& c : {Case{S_IFDIR | 0755, 1}, Case{S_IFREG | 0600, 0}, Case{S_IFLNK | 0777, 2},
                        Case{S_IFCHR | 0600, 0}}) {
    CXFileHeader header;
    FileHeaderData data;
    index_iface_props props = fileProps();
    props.mode = c.mode;
    ASSERT_TRUE(cxFromProps(header, data, props).ok());
    EXPECT_EQ(data.fileType, c.type) << std::oct << c.mode;
    EXPECT_EQ(header.mode, static_cast<uint64_t>(c.mode));
  }
}

TEST_F(SegmentFormatTest, CxFromPropsExtentSizeErrors) {
  LogCapture capture;
  CXFileHeader header;
  FileHeaderData data;
  index_iface_props props = fileProps();
  props.extentSize = -1;
  CZnError err = cxFromProps(header, data, props);
  EXPECT_EQ(FXErrorUtil::GetErrNo(err), EINVAL);
  EXPECT_EQ(capture.count("Error: Can't find extent_size in props [" + kObj + "] [/dir/file]", -1),
            1u)
      << capture.dump();
  props.extentSize = 0;
  err = cxFromProps(header, data, props);
  EXPECT_EQ(FXErrorUtil::GetErrNo(err), EINVAL);
  EXPECT_EQ(capture.count("Error: Invalid extent size in props [" + kObj + "] [/dir/file]", -1),
            1u);
  // Nothing was written on failure.
  EXPECT_TRUE(allZero(image(header), 0, sizeof(header)));
  EXPECT_TRUE(allZero(image(data), 0, sizeof(data)));
}

TEST_F(SegmentFormatTest, CxFromPropsParentGuidNeverOverflows) {
  CXFileHeader header;
  FileHeaderData data;
  index_iface_props props = fileProps();
  props.parentGuid = std::string(60, 'p');
  ASSERT_TRUE(cxFromProps(header, data, props).ok());
  std::vector<uint8_t> d = image(data);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[48]), 44), std::string(44, 'p'));
  EXPECT_TRUE(allZero(d, 92, 1120));
  // Exactly 44 characters: no room for a NUL, none written past the field.
  props.parentGuid = std::string(44, 'q');
  ASSERT_TRUE(cxFromProps(header, data, props).ok());
  EXPECT_EQ(std::string(data.parentGuid, 44), std::string(44, 'q'));
  EXPECT_TRUE(allZero(image(data), 92, 1120));
}

TEST_F(SegmentFormatTest, CxFromPropsAbsentNumbersBecomeZero) {
  CXFileHeader header;
  FileHeaderData data;
  index_iface_props props = fileProps();
  props.size = -1;
  props.ctime = -1;
  props.mtime = -1;
  props.vtime = -1;
  props.uid = -2;  // a 32-bit id above 2^31 arrives negative
  ASSERT_TRUE(cxFromProps(header, data, props).ok());
  EXPECT_EQ(header.size, 0u);
  EXPECT_EQ(header.ctime, 0u);
  EXPECT_EQ(header.mtime, 0u);
  EXPECT_EQ(data.versionTimeNs, 0u);
  EXPECT_EQ(header.uid, 4294967294u);
}

TEST_F(SegmentFormatTest, RangeInvalidWhenEmpty) {
  LogCapture capture;
  Range r(5, 5);
  EXPECT_FALSE(r.isValid());
  EXPECT_EQ(r.rangeSize(), 0u);
  for (uint64_t n : {0u, 4u, 5u, 6u}) EXPECT_FALSE(r.contains(n)) << n;
  EXPECT_EQ(capture.count("emptyRange invalid", 5), 4u);
  Range backwards(7, 2);
  EXPECT_FALSE(backwards.isValid());
  EXPECT_EQ(backwards.rangeSize(), 0u);
  Range defaulted;
  EXPECT_EQ(defaulted.start, 0u);
  EXPECT_EQ(defaulted.end, 0u);
  EXPECT_FALSE(defaulted.contains(0));
}

TEST_F(SegmentFormatTest, RangeIsHalfOpen) {
  LogCapture capture;
  Range r;
  r.set(2, 4);
  EXPECT_TRUE(r.isValid());
  EXPECT_EQ(r.rangeSize(), 2u);
  EXPECT_FALSE(r.contains(1));
  EXPECT_TRUE(r.contains(2));
  EXPECT_TRUE(r.contains(3));
  EXPECT_FALSE(r.contains(4));
  EXPECT_EQ(capture.count("[2] is part of emptyRange [2 4]", 5), 1u) << capture.dump();
  EXPECT_EQ(capture.count("[3] is part of emptyRange [2 4]", 5), 1u);
  EXPECT_EQ(capture.countContaining("is part of"), 2u);
  r.reset();
  EXPECT_EQ(r, Range());
  EXPECT_EQ(r.rangeSize(), 0u);
}

TEST_F(SegmentFormatTest, AttribDataRoundTrip) {
  CXFileHeader header;
  FileHeaderData data;
  index_iface_props props = fileProps();
  props.mode = S_IFDIR | 0755;
  ASSERT_TRUE(cxFromProps(header, data, props).ok());
  data.hasData = 1;
  data.emptyRange.set(1, 7);

  AttribData cached(data, header);
  EXPECT_EQ(cached.hasData, 1);
  EXPECT_EQ(cached.fileType, 1u);
  EXPECT_EQ(cached.extentSize, 1048576u);
  EXPECT_EQ(cached.versionTimeNs, 1700000000123456789u);
  EXPECT_EQ(cached.emptyRange, Range(1, 7));
  EXPECT_EQ(std::string(cached.parentGuid), props.parentGuid);
  EXPECT_EQ(cached.mode, static_cast<uint64_t>(S_IFDIR | 0755));
  EXPECT_EQ(cached.uid, 1000u);
  EXPECT_EQ(cached.gid, 100u);
  EXPECT_EQ(cached.size, 123456u);
  EXPECT_EQ(cached.mtime, 1700000002u);
  EXPECT_EQ(cached.ctime, 1700000001u);
  EXPECT_EQ(cached.name, kObj + "," + kVer);

  // Rebuilt into fresh records: byte-identical, except that magic and version
  // are the caller's.
  CXFileHeader rebuiltHeader;
  FileHeaderData rebuiltData;
  cached.get(rebuiltData, rebuiltHeader);
  EXPECT_EQ(rebuiltData.magic, 0);
  EXPECT_EQ(rebuiltData.version, 0);
  rebuiltData.magic = FILE_HEADER_MAGIC;
  rebuiltData.version = FILE_HEADER_VERSION;
  EXPECT_EQ(image(rebuiltHeader), image(header));
  EXPECT_EQ(image(rebuiltData), image(data));

  // get keeps the caller's magic and version, whatever they are.
  FileHeaderData other;
  other.magic = 0x1234;
  other.version = 7;
  cached.get(other, rebuiltHeader);
  EXPECT_EQ(other.magic, 0x1234);
  EXPECT_EQ(other.version, 7);
  EXPECT_EQ(AttribData(other, rebuiltHeader), cached);
}

TEST_F(SegmentFormatTest, AttribDataGetStoresAtMost1024NameCharacters) {
  AttribData cached;
  cached.name = std::string(2000, 'n');
  CXFileHeader header;
  FileHeaderData data;
  cached.get(data, header);
  std::vector<uint8_t> b = image(header);
  EXPECT_EQ(le(b, 0, 4), 3u);
  EXPECT_EQ(le(b, 4, 4), 0x50C0u);
  EXPECT_EQ(le(b, 8, 4), 1u);
  EXPECT_EQ(le(b, 96, 4), 47u);
  EXPECT_EQ(b[100] & 1, 1);
  EXPECT_EQ(header.getName(), std::string(1024, 'n'));
  EXPECT_EQ(b[132 + 1024], 0);
}

TEST_F(SegmentFormatTest, RestoredHeaderDataStartsEmpty) {
  RestoredHeaderData carrier;
  EXPECT_TRUE(allZero(image(carrier.header), 0, sizeof(CXFileHeader)));
  EXPECT_TRUE(allZero(image(carrier.data), 0, sizeof(FileHeaderData)));
  EXPECT_TRUE(carrier.linkTarget.empty());
  EXPECT_TRUE(carrier.xattrs.empty());
}

}  // namespace
}  // namespace ObjectStore
