#include "tools/objstore/InodeTable.h"

#include <gtest/gtest.h>

#include <string>

namespace ObjectStore::tool {
namespace {

// A 32-digit object GUID whose last 16 digits are `low`.
std::string guidWithLow(const std::string& high, const std::string& low) { return high + low; }

const std::string ROOT_GUID = "0123456789abcdef0123456789abcdef";
const std::string A_GUID = guidWithLow("aaaaaaaaaaaaaaaa", "00000000000000a1");
const std::string B_GUID = guidWithLow("bbbbbbbbbbbbbbbb", "00000000000000b2");

TEST(InodeTableTest, RootIsInodeOneAtSlash) {
  InodeTable table(ROOT_GUID);
  InodeTable::Entry root;
  ASSERT_TRUE(table.find(InodeTable::ROOT_INODE, root));
  EXPECT_EQ(root.guid, ROOT_GUID);
  EXPECT_EQ(root.path, "/");
  EXPECT_EQ(table.remember(ROOT_GUID, "/ignored"), InodeTable::ROOT_INODE);
  ASSERT_TRUE(table.find(InodeTable::ROOT_INODE, root));
  EXPECT_EQ(root.path, "/");  // the root never moves
  // The root is never forgotten, whatever the kernel says.
  table.forget(InodeTable::ROOT_INODE, 1000);
  EXPECT_TRUE(table.find(InodeTable::ROOT_INODE, root));
}

TEST(InodeTableTest, NumbersComeFromTheGuidAndStayWhileReferenced) {
  InodeTable table(ROOT_GUID);
  const uint64_t a = table.remember(A_GUID, "/a");
  EXPECT_EQ(a, 0xa1u);
  EXPECT_EQ(table.remember(A_GUID, "/a"), a);
  InodeTable::Entry entry;
  ASSERT_TRUE(table.find(a, entry));
  EXPECT_EQ(entry.guid, A_GUID);
  EXPECT_EQ(entry.lookups, 2u);
  EXPECT_EQ(table.peek(A_GUID), a);
  EXPECT_EQ(table.peek(B_GUID), 0xb2u);  // not referenced: the number it would get
  EXPECT_FALSE(table.find(0xb2u, entry));
  EXPECT_EQ(table.peek(""), 0u);
}

TEST(InodeTableTest, ForgetCountsDownAndFreesAtZero) {
  InodeTable table(ROOT_GUID);
  const uint64_t a = table.remember(A_GUID, "/a");
  table.remember(A_GUID, "/a");
  table.remember(A_GUID, "/a");
  EXPECT_EQ(table.forget(a, 2), 1u);
  InodeTable::Entry entry;
  EXPECT_TRUE(table.find(a, entry));
  EXPECT_EQ(table.forget(a, 1), 0u);
  EXPECT_FALSE(table.find(a, entry));
  EXPECT_EQ(table.size(), 1u);  // the root only
  // A number the table does not know is ignored.
  EXPECT_EQ(table.forget(12345, 1), 0u);
  // Forgetting more than was looked up frees the entry too.
  const uint64_t b = table.remember(B_GUID, "/b");
  EXPECT_EQ(table.forget(b, 5), 0u);
  EXPECT_FALSE(table.find(b, entry));
}

TEST(InodeTableTest, CollidingAndReservedNumbersGetPrivateOnes) {
  InodeTable table(ROOT_GUID);
  const std::string first = guidWithLow("1111111111111111", "0000000000000077");
  const std::string second = guidWithLow("2222222222222222", "0000000000000077");
  const std::string rootLike = guidWithLow("3333333333333333", "0000000000000001");
  const std::string zero = guidWithLow("4444444444444444", "0000000000000000");
  const std::string notHex = "short";
  const uint64_t n1 = table.remember(first, "/1");
  const uint64_t n2 = table.remember(second, "/2");
  const uint64_t n3 = table.remember(rootLike, "/3");
  const uint64_t n4 = table.remember(zero, "/4");
  const uint64_t n5 = table.remember(notHex, "/5");
  EXPECT_EQ(n1, 0x77u);
  EXPECT_NE(n2, n1);
  for (uint64_t n : {n2, n3, n4, n5}) {
    EXPECT_NE(n, 0u);
    EXPECT_NE(n, InodeTable::ROOT_INODE);
  }
  EXPECT_NE(n2, n3);
  EXPECT_NE(n3, n4);
  EXPECT_NE(n4, n5);
  InodeTable::Entry entry;
  ASSERT_TRUE(table.find(n2, entry));
  EXPECT_EQ(entry.guid, second);
  EXPECT_EQ(table.peek(second), n2);
}

TEST(InodeTableTest, RenameMovesTheItemAndEverythingBelowIt) {
  InodeTable table(ROOT_GUID);
  const uint64_t dir = table.remember(guidWithLow("d", "0000000000000010"), "/dir");
  const uint64_t file = table.remember(guidWithLow("f", "0000000000000011"), "/dir/sub/file");
  const uint64_t sibling = table.remember(guidWithLow("s", "0000000000000012"), "/dirx/file");
  const uint64_t other = table.remember(guidWithLow("o", "0000000000000013"), "/other");
  table.renamed("/dir", "/moved/dir2");
  InodeTable::Entry entry;
  ASSERT_TRUE(table.find(dir, entry));
  EXPECT_EQ(entry.path, "/moved/dir2");
  ASSERT_TRUE(table.find(file, entry));
  EXPECT_EQ(entry.path, "/moved/dir2/sub/file");
  ASSERT_TRUE(table.find(sibling, entry));
  EXPECT_EQ(entry.path, "/dirx/file");  // shares a prefix, not a parent
  ASSERT_TRUE(table.find(other, entry));
  EXPECT_EQ(entry.path, "/other");
}

TEST(InodeTableTest, RemovedItemsKeepTheirGuidOnly) {
  InodeTable table(ROOT_GUID);
  const uint64_t a = table.remember(A_GUID, "/a");
  const uint64_t b = table.remember(B_GUID, "/b");
  table.removed("/a");
  InodeTable::Entry entry;
  ASSERT_TRUE(table.find(a, entry));
  EXPECT_EQ(entry.path, "");
  EXPECT_EQ(entry.guid, A_GUID);
  ASSERT_TRUE(table.find(b, entry));
  EXPECT_EQ(entry.path, "/b");
  // A removed item is not dragged along by a later rename of its old name.
  table.renamed("/a", "/c");
  ASSERT_TRUE(table.find(a, entry));
  EXPECT_EQ(entry.path, "");
  // Looked up again at a new path (a new item can't reuse the GUID, but a
  // lookup that finds it again names its path).
  EXPECT_EQ(table.remember(A_GUID, "/again"), a);
  ASSERT_TRUE(table.find(a, entry));
  EXPECT_EQ(entry.path, "/again");
}

TEST(InodeTableTest, ChildPathJoinsWithOneSlash) {
  EXPECT_EQ(childPath("/", "x"), "/x");
  EXPECT_EQ(childPath("", "x"), "/x");
  EXPECT_EQ(childPath("/a/b", "x"), "/a/b/x");
}

}  // namespace
}  // namespace ObjectStore::tool
