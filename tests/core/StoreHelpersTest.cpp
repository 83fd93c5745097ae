// The small rules shared by the store's operations: which modes are
// directories and which names an entry list and an item may carry, and that
// every operation applying a name rule still refuses with its own message.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "ObjectStore/StoreHelpers.h"
#include "core/StoreOpsFixture.h"

namespace ObjectStore {
namespace {

using test::fakeGuid;
using test::LogCapture;

TEST(StoreHelpersTest, DirectoryModeLooksAtTheTypeBitsOnly) {
  EXPECT_TRUE(isDirectoryMode(S_IFDIR | 0755));
  EXPECT_TRUE(isDirectoryMode(S_IFDIR));
  EXPECT_FALSE(isDirectoryMode(S_IFREG | 0755));
  EXPECT_FALSE(isDirectoryMode(S_IFLNK | 0777));
  EXPECT_FALSE(isDirectoryMode(0755));
  EXPECT_FALSE(isDirectoryMode(0));
  // Type bits that merely contain the directory bit are another type.
  EXPECT_FALSE(isDirectoryMode(S_IFBLK | 0600));
  EXPECT_FALSE(isDirectoryMode(S_IFSOCK | 0600));
  // A mode read back as a signed value with high bits set.
  EXPECT_TRUE(isDirectoryMode(static_cast<int>(0xFFFF0000u | S_IFDIR | 0700)));
}

TEST(StoreHelpersTest, NamesAnEntryListCanHold) {
  for (const std::string& name :
       std::vector<std::string>{"a", "file.txt", ".hidden", "...", "with space",
                                "\xc3\xa9t\xc3\xa9", std::string(300, 'n')})
    EXPECT_TRUE(fitsEntryList(name)) << name;
  for (const std::string& name : {std::string(), std::string("/"), std::string("a/b"),
                                  std::string("a/"), std::string("a\0b", 3), std::string(1, '\0')})
    EXPECT_FALSE(fitsEntryList(name)) << name;
}

TEST(StoreHelpersTest, ItemNamesAreEntryNamesWithoutDotAndDotDot) {
  EXPECT_FALSE(isValidItemName("."));
  EXPECT_FALSE(isValidItemName(".."));
  EXPECT_TRUE(fitsEntryList("."));
  EXPECT_TRUE(fitsEntryList(".."));
  for (const std::string& name :
       std::vector<std::string>{"a", ".hidden", "...", "..a", "a..", ". "})
    EXPECT_TRUE(isValidItemName(name)) << name;
  for (const std::string& name :
       {std::string(), std::string("a/b"), std::string("/"), std::string("x\0", 2)})
    EXPECT_FALSE(isValidItemName(name)) << name;
}

// Each operation that applies a name rule keeps its own refusal.
class NameRefusalTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    openLiveStore();
  }
};

TEST_F(NameRefusalTest, CreateRefusesWithItsOwnMessage) {
  ItemName parent(store_->getRootGuid(), true);
  for (const std::string& name : {std::string("."), std::string(".."), std::string("a/b")}) {
    SCOPED_TRACE(name);
    LogCapture log;
    ItemName item;
    EXPECT_EQ(store_->create(parent, item, name, 0644, FILE_TYPE_REGULAR).errNo(), EINVAL);
    EXPECT_EQ(log.count("[share_42] Error: Invalid name [" + name + "] in [/]", -1), 1u)
        << log.dump();
  }
  EXPECT_TRUE(children("/").empty());
}

TEST_F(NameRefusalTest, RenameRefusesWithItsOwnMessage) {
  const guid_t file = makeFile("/f", "x");
  makeDir("/d");
  for (const std::string& to : {std::string("/d/.."), std::string("/d/.")}) {
    SCOPED_TRACE(to);
    LogCapture log;
    EXPECT_EQ(store_->rename("/f", to, false).errNo(), EINVAL);
    const std::string name = to.substr(to.rfind('/') + 1);
    EXPECT_EQ(log.count("Error: Invalid name [" + name + "]", -1), 1u) << log.dump();
  }
  EXPECT_EQ(indexGuid("/f"), file);
  EXPECT_EQ(readAll("/f"), "x");
}

TEST_F(NameRefusalTest, EntryListRefusesWithItsOwnMessage) {
  const guid_t dir = makeDir("/d");
  for (const std::string& name : {std::string(), std::string("a/b"), std::string("a\0b", 3)}) {
    LogCapture log;
    EXPECT_EQ(store_->addToDirEnt(dir, fakeGuid('1'), name, false).errNo(), EINVAL);
    EXPECT_EQ(log.countContaining("Error: invalid name [" + std::string(name.c_str()) + "] for [" +
                                      fakeGuid('1') + "]",
                                  -1),
              1u)
        << log.dump();
  }
  EXPECT_TRUE(children("/d").empty());
}

}  // namespace
}  // namespace ObjectStore
