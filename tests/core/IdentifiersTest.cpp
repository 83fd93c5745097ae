#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ObjectStore/Identifiers.h"
#include "common/TestEnv.h"

namespace ObjectStore {
namespace {

class IdentifiersTest : public test::TestEnv {};

const std::string kGuid = "0123456789abcdef0123456789abcdef";
constexpr uint64_t kMiB = 1024 * 1024;

std::string bytes(std::initializer_list<unsigned char> list) {
  return std::string(list.begin(), list.end());
}

// ---------------------------------------------------------------- constants

TEST_F(IdentifiersTest, ConstantsHaveTheirValues) {
  EXPECT_EQ(GUID_CHAR_SIZE, 44u);
  EXPECT_EQ(GUID_CHAR_SIZE_EXTENT, 40u);
  EXPECT_EQ(GUID_CHAR_SIZE_MIN, 32u);
  EXPECT_EQ(OBJSTR_DELIMITER, '/');
  EXPECT_EQ(OBJECTSTORE_CINTF_MAX_GUID_CHARS, 44u);
  EXPECT_EQ(kGuid.size(), GUID_CHAR_SIZE_MIN);
}

TEST_F(IdentifiersTest, SharedEnumerationsHaveTheirValues) {
  EXPECT_EQ(static_cast<uint32_t>(FILE_TYPE_REGULAR), 0u);
  EXPECT_EQ(static_cast<uint32_t>(FILE_TYPE_DIRECTORY), 1u);
  EXPECT_EQ(static_cast<uint32_t>(FILE_TYPE_SYMLINK), 2u);
  EXPECT_EQ(static_cast<int>(NO_SYNC), 0);
  EXPECT_EQ(static_cast<int>(DO_SYNC), 1);
  EXPECT_EQ(static_cast<int>(CLIENT_CLOSE), 0);
  EXPECT_EQ(static_cast<int>(INTERNAL_CLOSE), 1);
  EXPECT_EQ(static_cast<int>(NO_RESTORE), 0);
  EXPECT_EQ(static_cast<int>(DO_RESTORE), 1);
  EXPECT_EQ(static_cast<int>(LOCK_ITEM), 0);
  EXPECT_NE(static_cast<int>(DONT_LOCK_ITEM), 0);
  FileAttribs attribs{0744, 10, 20};
  EXPECT_EQ(attribs.mode, 0744u);
  EXPECT_EQ(attribs.uid, 10u);
  EXPECT_EQ(attribs.gid, 20u);
  EXPECT_EQ(attribs, (FileAttribs{0744, 10, 20}));
  EXPECT_FALSE(attribs == (FileAttribs{0744, 10, 21}));
  FileAttribs zero;
  EXPECT_EQ(zero, (FileAttribs{0, 0, 0}));
}

// ---------------------------------------------------------------- isExtent

TEST_F(IdentifiersTest, AnObjectGuidIsNotAnExtent) { EXPECT_FALSE(isExtent(kGuid)); }

TEST_F(IdentifiersTest, AGuidWithAPointAndSevenDigitsIsAnExtent) {
  EXPECT_TRUE(isExtent(kGuid + ".0000000"));
}

TEST_F(IdentifiersTest, ThirtyThreeCharactersEndingInAPointIsAnExtent) {
  std::string text = kGuid + ".";
  ASSERT_EQ(text.size(), 33u);
  EXPECT_TRUE(isExtent(text));
}

TEST_F(IdentifiersTest, IsExtentLooksOnlyAtIndexThirtyTwo) {
  EXPECT_FALSE(isExtent(""));
  EXPECT_FALSE(isExtent("."));
  EXPECT_FALSE(isExtent(kGuid + "-0"));                      // a directory version name
  EXPECT_FALSE(isExtent(kGuid.substr(0, 31) + ".0000000"));  // the point one place early
  EXPECT_TRUE(isExtent(std::string(32, 'z') + ".not-a-number"));
}

// ---------------------------------------------------------------- extent GUIDs

TEST_F(IdentifiersTest, ExtentZeroEndsInAPointAndSevenZeros) {
  guid_t extent = fileToExtentGuid(kGuid, 0);
  EXPECT_EQ(extent, kGuid + ".0000000");
  EXPECT_EQ(extent.size(), GUID_CHAR_SIZE_EXTENT);
  EXPECT_TRUE(isExtent(extent));
}

TEST_F(IdentifiersTest, TheFourthExtent) {
  EXPECT_EQ(fileToExtentGuid(kGuid, 3), kGuid + ".0000003");
}

TEST_F(IdentifiersTest, ExtentNumbersUpToSevenDigitsKeepFortyCharacters) {
  EXPECT_EQ(fileToExtentGuid(kGuid, 9999999), kGuid + ".9999999");
  EXPECT_EQ(fileToExtentGuid(kGuid, 9999999).size(), GUID_CHAR_SIZE_EXTENT);
  EXPECT_EQ(fileToExtentGuid(kGuid, 10000000), kGuid + ".10000000");
}

TEST_F(IdentifiersTest, ExtentTwelveMillionIsFortyOneCharacters) {
  guid_t extent = fileToExtentGuid(kGuid, 12345678);
  EXPECT_EQ(extent, kGuid + ".12345678");
  EXPECT_EQ(extent.size(), 41u);
  EXPECT_TRUE(isExtent(extent));
}

TEST_F(IdentifiersTest, TheLargestExtentNumberIsWrittenInFull) {
  guid_t extent = fileToExtentGuid(kGuid, UINT64_MAX);
  EXPECT_EQ(extent, kGuid + ".18446744073709551615");
  EXPECT_LE(extent.size(), 32u + 1 + 20);
}

TEST_F(IdentifiersTest, ExtentToParentGivesTheObjectGuid) {
  EXPECT_EQ(extentToParent(fileToExtentGuid(kGuid, 0)), kGuid);
  EXPECT_EQ(extentToParent(fileToExtentGuid(kGuid, 12345678)), kGuid);
  EXPECT_EQ(extentToParent(kGuid), kGuid);
  EXPECT_EQ(extentToParent("short"), "short");
}

// ---------------------------------------------------------------- extent arithmetic

TEST_F(IdentifiersTest, OffsetsAtTheBoundaryOfTheFirstMebibyte) {
  EXPECT_EQ(offsetToExtent(0, kMiB), 0u);
  EXPECT_EQ(offsetToExtent(1048575, kMiB), 0u);
  EXPECT_EQ(offsetToExtent(1048576, kMiB), 1u);
  EXPECT_EQ(offsetToExtent(2 * kMiB - 1, kMiB), 1u);
  EXPECT_EQ(offsetToExtent(UINT64_MAX, kMiB), UINT64_MAX / kMiB);
  EXPECT_EQ(offsetToExtent(12345, 1), 12345u);
}

TEST_F(IdentifiersTest, ZeroExtentSizeLogsAnErrorAndGivesZero) {
  test::LogCapture capture;
  EXPECT_EQ(offsetToExtent(1048576, 0), 0u);
  EXPECT_EQ(capture.count("Error: 0 extentSize", -1), 1u) << capture.dump();
}

TEST_F(IdentifiersTest, ZeroExtentSizeIsLoggedEvenAtTheLowestDebugLevel) {
  test::LogCapture capture(-1);
  EXPECT_EQ(offsetToExtent(0, 0), 0u);
  EXPECT_EQ(capture.count("Error: 0 extentSize", -1), 1u) << capture.dump();
}

TEST_F(IdentifiersTest, AValidExtentSizeLogsNothing) {
  test::LogCapture capture;
  EXPECT_EQ(offsetToExtent(5, 2), 2u);
  EXPECT_TRUE(capture.records().empty()) << capture.dump();
}

TEST_F(IdentifiersTest, ExtentToOffsetIsTheFirstByteOfTheExtent) {
  EXPECT_EQ(extentToOffset(0, kMiB), 0u);
  EXPECT_EQ(extentToOffset(1, kMiB), 1048576u);
  EXPECT_EQ(extentToOffset(3, kMiB), 3 * kMiB);
  EXPECT_EQ(extentToOffset(7, 0), 0u);
  for (uint64_t size : {uint64_t{1}, uint64_t{4096}, kMiB, 64 * kMiB}) {
    for (uint64_t extent : {uint64_t{0}, uint64_t{1}, uint64_t{2}, uint64_t{1000}}) {
      uint64_t first = extentToOffset(extent, size);
      EXPECT_EQ(offsetToExtent(first, size), extent);
      EXPECT_EQ(offsetToExtent(first + size - 1, size), extent);
      if (first > 0) {
        EXPECT_EQ(offsetToExtent(first - 1, size), extent - 1);
      }
    }
  }
}

// ---------------------------------------------------------------- directory version names

TEST_F(IdentifiersTest, SnapshotSuffixes) {
  EXPECT_EQ(makeSnapshotSuffix(0), "0");
  EXPECT_EQ(makeSnapshotSuffix(1), "1");
  EXPECT_EQ(makeSnapshotSuffix(255), "ff");
  EXPECT_EQ(makeSnapshotSuffix(256), "100");
  EXPECT_EQ(makeSnapshotSuffix(1600000000), "5f5e1000");
  EXPECT_EQ(makeSnapshotSuffix(UINT64_MAX), "ffffffffffffffff");
}

TEST_F(IdentifiersTest, ALiveStoreDirectoryVersionEndsInHyphenZero) {
  guid_t name = directoryVersionName(kGuid, makeSnapshotSuffix(0));
  EXPECT_EQ(name, kGuid + "-0");
  EXPECT_FALSE(isExtent(name));
}

TEST_F(IdentifiersTest, APointInTimeDirectoryVersionEndsInItsHexTimestamp) {
  EXPECT_EQ(directoryVersionName(kGuid, makeSnapshotSuffix(1600000000)), kGuid + "-5f5e1000");
  EXPECT_NE(directoryVersionName(kGuid, makeSnapshotSuffix(1600000000)),
            directoryVersionName(kGuid, makeSnapshotSuffix(0)));
  // Timestamps in seconds keep the name within the reserved GUID width.
  EXPECT_EQ(directoryVersionName(kGuid, makeSnapshotSuffix(1600000000)).size(), 41u);
  EXPECT_EQ(directoryVersionName(kGuid, makeSnapshotSuffix((uint64_t{1} << 44) - 1)).size(),
            GUID_CHAR_SIZE);
}

// ---------------------------------------------------------------- orderings

TEST_F(IdentifiersTest, ReadmeAndREADME) {
  EXPECT_FALSE(isless_case_insensitive("README", "readme"));
  EXPECT_FALSE(isless_case_insensitive("readme", "README"));
  EXPECT_TRUE(isless("README", "readme"));
  EXPECT_FALSE(isless("readme", "README"));
}

TEST_F(IdentifiersTest, HighBytesOrderBeforeAscii) {
  const std::string high80 = bytes({0x80});
  const std::string highFF = bytes({0xff});
  const std::string nul(1, '\0');
  EXPECT_TRUE(isless(high80, "a"));
  EXPECT_FALSE(isless("a", high80));
  EXPECT_TRUE(isless(highFF, nul));  // 0xFF is -1, NUL is 0
  EXPECT_FALSE(isless(nul, highFF));
  EXPECT_TRUE(isless(high80, highFF));  // -128 < -1
  EXPECT_TRUE(isless("caf" + bytes({0xc3, 0xa9}), "cafe"));
  EXPECT_TRUE(isless_case_insensitive(high80, "A"));
  EXPECT_TRUE(isless_case_insensitive(highFF, nul));
}

TEST_F(IdentifiersTest, APrefixOrdersFirst) {
  EXPECT_TRUE(isless("", "a"));
  EXPECT_FALSE(isless("a", ""));
  EXPECT_TRUE(isless("abc", "abcd"));
  EXPECT_FALSE(isless("abcd", "abc"));
  // Even when the longer string continues with a byte that orders first.
  EXPECT_TRUE(isless("abc", "abc" + bytes({0x80})));
  EXPECT_TRUE(isless("abc", std::string("abc\0", 4)));
  EXPECT_TRUE(isless_case_insensitive("ABC", "abcd"));
  EXPECT_FALSE(isless_case_insensitive("abcd", "ABC"));
  EXPECT_FALSE(isless("", ""));
  EXPECT_FALSE(isless_case_insensitive("", ""));
}

TEST_F(IdentifiersTest, EqualStringsAreNotLess) {
  EXPECT_FALSE(isless("same", "same"));
  EXPECT_FALSE(isless_case_insensitive("same", "same"));
  EXPECT_FALSE(isless_case_insensitive("SaMe", "sAmE"));
}

TEST_F(IdentifiersTest, CaseInsensitiveOrderComparesLoweredLetters) {
  // '[' (0x5B) lies between 'Z' and 'a': lowering moves the letters past it.
  EXPECT_TRUE(isless("A", "["));
  EXPECT_FALSE(isless_case_insensitive("A", "["));
  EXPECT_TRUE(isless_case_insensitive("[", "A"));
  EXPECT_TRUE(isless_case_insensitive("apple", "Banana"));
  EXPECT_FALSE(isless("apple", "Banana"));
  // '@' and '`' border the letter ranges and are not letters.
  EXPECT_TRUE(isless_case_insensitive("@", "a"));
  EXPECT_TRUE(isless_case_insensitive("`", "A"));
  EXPECT_TRUE(isless_case_insensitive("@", "`"));
  EXPECT_FALSE(isless_case_insensitive("`", "@"));
}

TEST_F(IdentifiersTest, CaseInsensitiveOrderLeavesHighBytesAlone) {
  // Latin-1 capital and small A-grave are different names whatever the locale.
  const std::string capital = bytes({0xc0});
  const std::string small = bytes({0xe0});
  EXPECT_TRUE(isless_case_insensitive(capital, small));
  EXPECT_FALSE(isless_case_insensitive(small, capital));
}

TEST_F(IdentifiersTest, CommonMathHeaderDoesNotHideTheStringOrdering) {
  // <cmath> is included above; the string ordering must still be chosen.
  std::string a = "a";
  std::string b = "b";
  EXPECT_TRUE(isless(a, b));
  EXPECT_TRUE(std::isless(1.0, 2.0));
}

// Reference orderings built another way: flipping the top bit maps signed
// byte order onto unsigned byte order, which std::string compares natively.
std::string signedKey(const std::string& s, bool lower) {
  std::string key = s;
  for (char& c : key) {
    if (lower && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    c = static_cast<char>(static_cast<unsigned char>(c) ^ 0x80);
  }
  return key;
}

TEST_F(IdentifiersTest, OrderingsMatchAReferenceOnRandomNames) {
  std::mt19937 rng(2024);
  const std::string alphabet =
      std::string("aAbBzZ[`@_.-09") + bytes({0x80, 0xc0, 0xe0, 0xff}) + std::string(1, '\0');
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<size_t> length(0, 4);
  std::vector<std::string> names;
  for (int i = 0; i < 600; ++i) {
    std::string name;
    size_t n = length(rng);
    for (size_t j = 0; j < n; ++j) name += alphabet[pick(rng)];
    names.push_back(name);
  }
  std::vector<std::string> exactKeys;
  std::vector<std::string> loweredKeys;
  for (const auto& name : names) {
    exactKeys.push_back(signedKey(name, false));
    loweredKeys.push_back(signedKey(name, true));
  }
  for (size_t i = 0; i < names.size(); ++i) {
    for (size_t j = 0; j < names.size(); ++j) {
      ASSERT_EQ(isless(names[i], names[j]), exactKeys[i] < exactKeys[j]) << i << " " << j;
      ASSERT_EQ(isless_case_insensitive(names[i], names[j]), loweredKeys[i] < loweredKeys[j])
          << i << " " << j;
    }
  }
  // Sorting with each ordering agrees with sorting by the reference key.
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end(), IsLess());
  for (size_t i = 0; i + 1 < sorted.size(); ++i)
    ASSERT_LE(signedKey(sorted[i], false), signedKey(sorted[i + 1], false));
  std::sort(sorted.begin(), sorted.end(), IsLessCaseInsensitive());
  for (size_t i = 0; i + 1 < sorted.size(); ++i)
    ASSERT_LE(signedKey(sorted[i], true), signedKey(sorted[i + 1], true));
}

TEST_F(IdentifiersTest, MapsKeyedByEachOrdering) {
  std::map<std::string, int, IsLess> sensitive;
  sensitive["readme"] = 1;
  sensitive["README"] = 2;
  sensitive["Readme"] = 3;
  ASSERT_EQ(sensitive.size(), 3u);
  EXPECT_EQ(sensitive.begin()->first, "README");

  std::map<std::string, int, IsLessCaseInsensitive> insensitive;
  insensitive["readme"] = 1;
  insensitive["README"] = 2;
  ASSERT_EQ(insensitive.size(), 1u);
  EXPECT_EQ(insensitive.begin()->first, "readme");  // the key keeps its first spelling
  EXPECT_EQ(insensitive.begin()->second, 2);
  EXPECT_EQ(insensitive.count("ReadMe"), 1u);
}

TEST_F(IdentifiersTest, RunTimeSelectedOrdering) {
  NameLess byDefault;
  EXPECT_TRUE(byDefault.caseSensitive());

  std::map<std::string, int, NameLess> sensitive(NameLess(true));
  std::map<std::string, int, NameLess> insensitive(NameLess(false));
  for (const char* name : {"b", "README", "readme", "A", "a"}) {
    sensitive[name] = 0;
    insensitive[name] = 0;
  }
  EXPECT_EQ(sensitive.size(), 5u);
  EXPECT_EQ(insensitive.size(), 3u);  // "A"/"a" and "README"/"readme" are equivalent
  EXPECT_FALSE(insensitive.key_comp().caseSensitive());

  std::vector<std::string> sensitiveOrder;
  for (const auto& entry : sensitive) sensitiveOrder.push_back(entry.first);
  EXPECT_EQ(sensitiveOrder, (std::vector<std::string>{"A", "README", "a", "b", "readme"}));
  std::vector<std::string> insensitiveOrder;
  for (const auto& entry : insensitive) insensitiveOrder.push_back(entry.first);
  EXPECT_EQ(insensitiveOrder, (std::vector<std::string>{"A", "b", "README"}));
}

}  // namespace
}  // namespace ObjectStore
