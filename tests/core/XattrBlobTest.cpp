// The extended-attribute blob: its exact bytes, its decoder's handling of
// padding and of malformed input, and its base64 form.
#include <gtest/gtest.h>

#include <cerrno>

#include "ObjectStore/ObjectStore.h"
#include "common/TestEnv.h"

namespace ObjectStore {
namespace {

using test::LogCapture;
using Bytes = std::vector<unsigned char>;

class XattrBlobTest : public test::TestEnv {};

XattrMap exampleMap() {
  XattrMap map;
  map["a"] = Bytes{0x01};
  map["bc"] = Bytes{};
  return map;
}

const Bytes kExampleBlob = {0x02, 0x00, 0x00, 0x00,              // two entries
                            0x01, 0x00, 0x00, 0x00, 'a',         // name "a"
                            0x01, 0x00, 0x00, 0x00, 0x01,        // value 01
                            0x02, 0x00, 0x00, 0x00, 'b', 'c',    // name "bc"
                            0x00, 0x00, 0x00, 0x00};             // empty value

TEST_F(XattrBlobTest, ExampleSerialisesToTheDocumentedTwentyFourBytes) {
  Bytes out = {0xFF, 0xFF};  // cleared first
  ASSERT_TRUE(ObjectStore::serializeXattrs(out, exampleMap()).ok());
  EXPECT_EQ(out.size(), 24u);
  EXPECT_EQ(out, kExampleBlob);
}

TEST_F(XattrBlobTest, ExampleDecodesBack) {
  XattrMap map;
  ASSERT_TRUE(ObjectStore::deserializeXattrs(map, kExampleBlob).ok());
  EXPECT_EQ(map, exampleMap());
}

TEST_F(XattrBlobTest, ZeroPaddedSectionDecodesToTheSameMap) {
  Bytes section(4096, 0);
  std::copy(kExampleBlob.begin(), kExampleBlob.end(), section.begin());
  XattrMap map;
  ASSERT_TRUE(ObjectStore::deserializeXattrs(map, section).ok());
  EXPECT_EQ(map, exampleMap());
}

TEST_F(XattrBlobTest, EmptyMapIsFourZeroBytesAndEmptyInputIsEmptyMap) {
  Bytes out;
  ASSERT_TRUE(ObjectStore::serializeXattrs(out, XattrMap()).ok());
  EXPECT_EQ(out, (Bytes{0, 0, 0, 0}));
  XattrMap map;
  EXPECT_TRUE(ObjectStore::deserializeXattrs(map, Bytes()).ok());
  EXPECT_TRUE(map.empty());
  EXPECT_TRUE(ObjectStore::deserializeXattrs(map, out).ok());
  EXPECT_TRUE(map.empty());
}

TEST_F(XattrBlobTest, DecodingAddsToTheMapWithoutClearingIt) {
  XattrMap map;
  map["a"] = Bytes{0x09, 0x09};
  map["z"] = Bytes{0x05};
  ASSERT_TRUE(ObjectStore::deserializeXattrs(map, kExampleBlob).ok());
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(map["a"], Bytes{0x01});  // replaced
  EXPECT_EQ(map["z"], Bytes{0x05});  // kept
}

TEST_F(XattrBlobTest, NamesAreInByteOrder) {
  XattrMap map;
  map["a"] = Bytes{};
  map["B"] = Bytes{};
  Bytes out;
  ASSERT_TRUE(ObjectStore::serializeXattrs(out, map).ok());
  ASSERT_GE(out.size(), 9u);
  EXPECT_EQ(out[8], 'B');  // 'B' (0x42) sorts before 'a' (0x61)
}

TEST_F(XattrBlobTest, ShorterThanACountIsInvalid) {
  LogCapture log;
  XattrMap map;
  CZnError err = ObjectStore::deserializeXattrs(map, Bytes{0x01, 0x00});
  EXPECT_EQ(err.errNo(), EINVAL);
  EXPECT_EQ(log.count("Error: Xattr section invalid size (0)", -1), 1u);
}

TEST_F(XattrBlobTest, BlobEndingAfterTheNameLengthIsInvalid) {
  LogCapture log;
  XattrMap map;
  const Bytes blob = {0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
  EXPECT_EQ(ObjectStore::deserializeXattrs(map, blob).errNo(), EINVAL);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(log.count("Error: Xattr section invalid size (0)", -1), 1u);
}

TEST_F(XattrBlobTest, EveryTruncationOfAValidBlobIsInvalidAndKeepsWholeEntries) {
  // Cut the example after each byte: every prefix that does not hold all
  // entries fails, keeping exactly the entries that were complete.
  for (size_t length = 1; length < kExampleBlob.size(); ++length) {
    XattrMap map;
    Bytes prefix(kExampleBlob.begin(), kExampleBlob.begin() + static_cast<long>(length));
    CZnError err = ObjectStore::deserializeXattrs(map, prefix);
    EXPECT_EQ(err.errNo(), EINVAL) << "length " << length;
    const size_t firstEntryEnd = 14;  // count 4 + "a" entry 10
    EXPECT_EQ(map.size(), length >= firstEntryEnd ? 1u : 0u) << "length " << length;
  }
}

TEST_F(XattrBlobTest, ValueLongerThanTheRestIsInvalid) {
  XattrMap map;
  const Bytes blob = {0x01, 0, 0, 0, 0x01, 0, 0, 0, 'x', 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  EXPECT_EQ(ObjectStore::deserializeXattrs(map, blob).errNo(), EINVAL);
  EXPECT_TRUE(map.empty());
}

TEST_F(XattrBlobTest, Base64RoundTripAndBadText) {
  std::string text;
  ObjectStore::encodeXattr(text, kExampleBlob);
  EXPECT_EQ(text, "AgAAAAEAAABhAQAAAAECAAAAYmMAAAAA");
  Bytes back;
  EXPECT_TRUE(ObjectStore::decodeXattr(back, text));
  EXPECT_EQ(back, kExampleBlob);
  EXPECT_FALSE(ObjectStore::decodeXattr(back, "not base64 !"));
}

}  // namespace
}  // namespace ObjectStore
