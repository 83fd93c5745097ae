#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {
namespace {

class StringUtilsTest : public test::TestEnv {};

std::vector<unsigned char> bytesOf(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

std::string decodeToString(const std::string& text, bool* ok = nullptr) {
  std::vector<unsigned char> out;
  bool decoded = base64_decode(text, out);
  if (ok != nullptr) *ok = decoded;
  return std::string(out.begin(), out.end());
}

// ---------------------------------------------------------------- join

TEST_F(StringUtilsTest, JoinPutsTheSeparatorBetween) {
  EXPECT_EQ(join("/a", "b"), "/a/b");
  EXPECT_EQ(join("dir", "file", '/'), "dir/file");
  EXPECT_EQ(join("x", "y", ','), "x,y");
  EXPECT_EQ(join("", ""), "/");
  // Nothing is collapsed at the seam.
  EXPECT_EQ(join("/", "a"), "//a");
}

// ---------------------------------------------------------------- splitParentPath

TEST_F(StringUtilsTest, SplitParentPathCutsAtTheLastSeparator) {
  std::string parent = "unchanged";
  std::string name = "unchanged";
  ASSERT_TRUE(splitParentPath("/a/b", parent, name).ok());
  EXPECT_EQ(parent, "/a");
  EXPECT_EQ(name, "b");

  ASSERT_TRUE(splitParentPath("/a/b/c.txt", parent, name).ok());
  EXPECT_EQ(parent, "/a/b");
  EXPECT_EQ(name, "c.txt");

  ASSERT_TRUE(splitParentPath("/b", parent, name).ok());
  EXPECT_EQ(parent, "");
  EXPECT_EQ(name, "b");

  ASSERT_TRUE(splitParentPath("b", parent, name).ok());
  EXPECT_EQ(parent, "");
  EXPECT_EQ(name, "b");

  ASSERT_TRUE(splitParentPath("/a/", parent, name).ok());
  EXPECT_EQ(parent, "/a");
  EXPECT_EQ(name, "");

  ASSERT_TRUE(splitParentPath("x,y,z", parent, name, ',').ok());
  EXPECT_EQ(parent, "x,y");
  EXPECT_EQ(name, "z");
}

TEST_F(StringUtilsTest, SplitParentPathRejectsAnEmptyPathAndKeepsTheOutputs) {
  std::string parent = "p";
  std::string name = "n";
  CZnError err = splitParentPath("", parent, name);
  EXPECT_TRUE(err.failed());
  EXPECT_EQ(FXErrorUtil::GetErrNo(err), EINVAL);
  EXPECT_EQ(parent, "p");
  EXPECT_EQ(name, "n");
}

TEST_F(StringUtilsTest, SplitParentPathAcceptsThePathAsAnOutput) {
  std::string path = "/a/b";
  std::string name;
  ASSERT_TRUE(splitParentPath(path, path, name).ok());
  EXPECT_EQ(path, "/a");
  EXPECT_EQ(name, "b");

  std::string parent;
  std::string other = "/c/d";
  ASSERT_TRUE(splitParentPath(other, parent, other).ok());
  EXPECT_EQ(parent, "/c");
  EXPECT_EQ(other, "d");

  std::string bare = "leaf";
  ASSERT_TRUE(splitParentPath(bare, bare, name).ok());
  EXPECT_EQ(bare, "");
  EXPECT_EQ(name, "leaf");
}

// ---------------------------------------------------------------- tokenize

TEST_F(StringUtilsTest, TokenizeKeepsOnlyNonEmptyPiecesInOrder) {
  std::vector<std::string> tokens = {"stale"};
  tokenize(tokens, ",,a,b,,c,", ",");
  EXPECT_EQ(tokens, (std::vector<std::string>{"a", "b", "c"}));

  tokenize(tokens, "one two\tthree\n", " \t\n");
  EXPECT_EQ(tokens, (std::vector<std::string>{"one", "two", "three"}));

  tokenize(tokens, "*.tmp,*.bak", ",");
  EXPECT_EQ(tokens, (std::vector<std::string>{"*.tmp", "*.bak"}));
}

TEST_F(StringUtilsTest, TokenizeEdgeCases) {
  std::vector<std::string> tokens = {"stale"};
  tokenize(tokens, "", ",");
  EXPECT_TRUE(tokens.empty());

  tokens = {"stale"};
  tokenize(tokens, ",,,", ",");
  EXPECT_TRUE(tokens.empty());

  tokenize(tokens, "whole text", "");
  EXPECT_EQ(tokens, (std::vector<std::string>{"whole text"}));

  tokenize(tokens, "single", ",");
  EXPECT_EQ(tokens, (std::vector<std::string>{"single"}));
}

// ---------------------------------------------------------------- to_hexstring

TEST_F(StringUtilsTest, ToHexStringOfNumbers) {
  EXPECT_EQ(to_hexstring(uint64_t{0}), "0x0");
  EXPECT_EQ(to_hexstring(uint64_t{1}), "0x1");
  EXPECT_EQ(to_hexstring(uint64_t{255}), "0xff");
  EXPECT_EQ(to_hexstring(uint64_t{0xDEADBEEF}), "0xdeadbeef");
  EXPECT_EQ(to_hexstring(uint64_t{0x1000}), "0x1000");
  EXPECT_EQ(to_hexstring(UINT64_MAX), "0xffffffffffffffff");
}

TEST_F(StringUtilsTest, ToHexStringOfPointers) {
  EXPECT_EQ(to_hexstring(static_cast<const void*>(nullptr)), "0x0");
  int value = 0;
  const void* pointer = &value;
  char expected[32];
  snprintf(expected, sizeof(expected), "0x%llx",
           static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
  EXPECT_EQ(to_hexstring(pointer), expected);
}

// ---------------------------------------------------------------- base64

TEST_F(StringUtilsTest, Base64EncodesTheStandardVectors) {
  // One vector per remainder of the length modulo 3, and then some.
  EXPECT_EQ(base64_encode(bytesOf("")), "");
  EXPECT_EQ(base64_encode(bytesOf("f")), "Zg==");
  EXPECT_EQ(base64_encode(bytesOf("fo")), "Zm8=");
  EXPECT_EQ(base64_encode(bytesOf("foo")), "Zm9v");
  EXPECT_EQ(base64_encode(bytesOf("foob")), "Zm9vYg==");
  EXPECT_EQ(base64_encode(bytesOf("fooba")), "Zm9vYmE=");
  EXPECT_EQ(base64_encode(bytesOf("foobar")), "Zm9vYmFy");
}

TEST_F(StringUtilsTest, Base64UsesTheWholeAlphabet) {
  const unsigned char high[] = {0xfb, 0xff, 0xbf};
  EXPECT_EQ(base64_encode(high, sizeof(high)), "+/+/");
  const unsigned char zeros[] = {0, 0, 0, 0};
  EXPECT_EQ(base64_encode(zeros, sizeof(zeros)), "AAAAAA==");
  EXPECT_EQ(base64_encode(nullptr, 0), "");
}

TEST_F(StringUtilsTest, Base64DecodesTheStandardVectors) {
  bool ok = false;
  EXPECT_EQ(decodeToString("", &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(decodeToString("Zg==", &ok), "f");
  EXPECT_TRUE(ok);
  EXPECT_EQ(decodeToString("Zm8=", &ok), "fo");
  EXPECT_TRUE(ok);
  EXPECT_EQ(decodeToString("Zm9v", &ok), "foo");
  EXPECT_TRUE(ok);
  EXPECT_EQ(decodeToString("Zm9vYmE=", &ok), "fooba");
  EXPECT_TRUE(ok);
  EXPECT_EQ(decodeToString("Zm9vYmFy", &ok), "foobar");
  EXPECT_TRUE(ok);
}

TEST_F(StringUtilsTest, Base64PaddingIsOptionalAndWhitespaceIgnored) {
  bool ok = false;
  EXPECT_EQ(decodeToString("Zg", &ok), "f");
  EXPECT_TRUE(ok);
  EXPECT_EQ(decodeToString("Zm8", &ok), "fo");
  EXPECT_TRUE(ok);
  EXPECT_EQ(decodeToString(" Zm9v\nYmFy\r\n", &ok), "foobar");
  EXPECT_TRUE(ok);
  EXPECT_EQ(decodeToString("Zm9vYg=\n=", &ok), "foob");
  EXPECT_TRUE(ok);
  EXPECT_EQ(decodeToString("Zm9vYg== \t", &ok), "foob");
  EXPECT_TRUE(ok);
}

TEST_F(StringUtilsTest, Base64RejectsBadCharacters) {
  std::vector<unsigned char> out;
  EXPECT_FALSE(base64_decode("Zm9v!mFy", out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "foo");  // the groups before the fault
  EXPECT_FALSE(base64_decode("Zm9-", out));               // URL-safe alphabet is not ours
  EXPECT_FALSE(base64_decode("Zm9_", out));
  EXPECT_FALSE(base64_decode(std::string("Zm\0v", 4), out));
  EXPECT_FALSE(base64_decode("Zm9\xc3\xa9", out));
}

TEST_F(StringUtilsTest, Base64RejectsTruncatedGroupsAndMisplacedPadding) {
  std::vector<unsigned char> out;
  EXPECT_FALSE(base64_decode("Z", out));  // 6 bits cannot make a byte
  EXPECT_FALSE(base64_decode("Zm9vY", out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "foo");
  EXPECT_FALSE(base64_decode("=", out));
  EXPECT_FALSE(base64_decode("====", out));
  EXPECT_FALSE(base64_decode("Z===", out));  // too much padding
  EXPECT_FALSE(base64_decode("Zg===", out));
  EXPECT_FALSE(base64_decode("Zm9v=", out));     // padding after a whole group
  EXPECT_FALSE(base64_decode("Zg=", out));       // padding that does not complete its group
  EXPECT_FALSE(base64_decode("Zg==Zg==", out));  // data after padding
  EXPECT_FALSE(base64_decode("Zm=9", out));
}

TEST_F(StringUtilsTest, Base64DecodeClearsItsOutputFirst) {
  std::vector<unsigned char> out = {1, 2, 3};
  ASSERT_TRUE(base64_decode("", out));
  EXPECT_TRUE(out.empty());
  out = {1, 2, 3};
  ASSERT_TRUE(base64_decode("Zg==", out));
  EXPECT_EQ(out, bytesOf("f"));
}

TEST_F(StringUtilsTest, Base64RoundTripsEveryByteValueAndEveryLength) {
  std::vector<unsigned char> all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<unsigned char>(i);
  std::vector<unsigned char> out;
  ASSERT_TRUE(base64_decode(base64_encode(all), out));
  EXPECT_EQ(out, all);

  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> byteDist(0, 255);
  for (size_t length = 0; length <= 300; ++length) {
    std::vector<unsigned char> data(length);
    for (auto& b : data) b = static_cast<unsigned char>(byteDist(rng));
    std::string text = base64_encode(data);
    ASSERT_EQ(text.size(), (length + 2) / 3 * 4) << "length " << length;
    ASSERT_TRUE(base64_decode(text, out)) << "length " << length;
    ASSERT_EQ(out, data) << "length " << length;
    // Without padding it decodes to the same bytes.
    std::string unpadded = text.substr(0, text.find('='));
    ASSERT_TRUE(base64_decode(unpadded, out)) << "length " << length;
    ASSERT_EQ(out, data) << "length " << length;
  }
}

}  // namespace
}  // namespace ObjectStore
