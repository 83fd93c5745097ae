// The change feed: what a second writer of a share records reaches the first
// at its next start; a store never gets its own changes back.
#include <gtest/gtest.h>

#include <cerrno>

#include "index/IndexTestSupport.h"

namespace ObjectStore::test {
namespace {

class IndexChangeFeedTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    store_ = openIndex();
    // The store reads the feed when it starts; that makes its origin its own.
    std::vector<index_iface_props> items;
    ASSERT_EQ(store_->get_initial_cache_items(items), 0);
    EXPECT_TRUE(items.empty());
    ASSERT_EQ(addRoot(*store_, root_), 0);
    ASSERT_EQ(addDir(*store_, dir_, "/d", root_), 0);
  }

  std::vector<index_iface_props> take(index_iface& index) {
    std::vector<index_iface_props> items;
    EXPECT_EQ(index.get_initial_cache_items(items), 0);
    return items;
  }

  std::unique_ptr<index_iface> store_;
  const std::string root_ = testGuid('a', 1);
  const std::string dir_ = testGuid('d', 1);
};

TEST_F(IndexChangeFeedTest, ChangesOfASecondWriterReachTheStore) {
  auto other = openIndex();
  tick();
  const std::string file = testGuid('f', 1);
  ASSERT_EQ(addFile(*other, file, testGuid('v', 1), "/d/f", dir_, 10), 0);
  index_iface_props chmod;
  chmod.objGuid = file;
  chmod.verGuid = testGuid('v', 1);
  chmod.modeValid = true;
  chmod.mode = 0x8180;
  chmod.mtime = 77;
  ASSERT_EQ(other->update_item(chmod), 0);
  ASSERT_EQ(renameTo(*other, file, "/g", root_, dir_, "/d/f", false), 0);
  const std::string gone = testGuid('f', 2);
  ASSERT_EQ(addFile(*other, gone, testGuid('v', 2), "/d/gone", dir_), 0);
  ASSERT_EQ(deleteAt(*other, gone), 0);
  // The store's own change in between is not handed back to it.
  ASSERT_EQ(addFile(*store_, testGuid('f', 3), testGuid('v', 3), "/mine", root_), 0);

  std::vector<index_iface_props> items = take(*store_);
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[0].changeKind, 1u);
  EXPECT_EQ(items[0].objGuid, file);
  EXPECT_EQ(items[0].verGuid, testGuid('v', 1));
  EXPECT_EQ(items[0].parentGuid, dir_);
  EXPECT_EQ(items[0].path, "/d/f");
  EXPECT_EQ(items[0].name, "f");
  EXPECT_EQ(items[0].size, 10);
  EXPECT_TRUE(items[0].modeValid);
  EXPECT_EQ(items[0].mode, 0x81A4);
  EXPECT_EQ(items[0].uid, 1000);
  EXPECT_EQ(items[0].gid, 100);
  EXPECT_EQ(items[0].updateSelector, 0u);

  EXPECT_EQ(items[1].changeKind, 2u);
  EXPECT_EQ(items[1].mode, 0x8180);
  EXPECT_EQ(items[1].mtime, 77);
  EXPECT_EQ(items[1].size, 10);
  EXPECT_EQ(items[1].path, "/d/f");

  EXPECT_EQ(items[2].changeKind, 4u);
  EXPECT_EQ(items[2].objGuid, file);
  EXPECT_EQ(items[2].parentGuid, root_);
  EXPECT_EQ(items[2].path, "/g");
  EXPECT_EQ(items[2].name, "g");

  EXPECT_EQ(items[3].changeKind, 1u);
  EXPECT_EQ(items[4].changeKind, 3u);
  EXPECT_EQ(items[4].objGuid, gone);
  EXPECT_EQ(items[4].parentGuid, dir_);
  EXPECT_EQ(items[4].name, "gone");

  // The cursor moved past everything.
  EXPECT_TRUE(take(*store_).empty());
  ASSERT_EQ(addFile(*other, testGuid('f', 4), testGuid('v', 4), "/later", root_), 0);
  items = take(*store_);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].path, "/later");
}

TEST_F(IndexChangeFeedTest, ARestartedStoreDoesNotGetItsOwnChangesBack) {
  ASSERT_EQ(addFile(*store_, testGuid('f', 1), testGuid('v', 1), "/d/f", dir_), 0);
  auto other = openIndex();
  ASSERT_EQ(addFile(*other, testGuid('f', 2), testGuid('v', 2), "/d/theirs", dir_), 0);
  store_.reset();  // the process ends

  auto restarted = openIndex();
  std::vector<index_iface_props> items = take(*restarted);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].path, "/d/theirs");
  // The restarted store's own changes are its consumer's too.
  ASSERT_EQ(addFile(*restarted, testGuid('f', 3), testGuid('v', 3), "/d/again", dir_), 0);
  restarted.reset();
  auto third = openIndex();
  EXPECT_TRUE(take(*third).empty());
}

TEST_F(IndexChangeFeedTest, ExtentChangesAreMarked) {
  auto other = openIndex();
  const std::string file = testGuid('f', 1);
  ASSERT_EQ(addFile(*other, file, testGuid('v', 1), "/d/f", dir_, 1 << 20), 0);
  ASSERT_EQ(addExtent(*other, file, testGuid('v', 1), 0, 1 << 20), 0);
  std::vector<index_iface_props> items = take(*store_);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].updateSelector, 1u);
  EXPECT_EQ(items[1].objGuid, extentGuidOf(file, 0));
  EXPECT_EQ(items[1].parentGuid, file);
}

TEST_F(IndexChangeFeedTest, EachConsumerHasItsOwnCursor) {
  auto writer = openIndex();
  auto reader = openIndex();
  reader->setChangeConsumer("mirror");
  ASSERT_EQ(addFile(*writer, testGuid('f', 1), testGuid('v', 1), "/d/f", dir_), 0);

  // A new consumer sees what the rows still hold from before its first
  // read, the store's own changes included (they are not its own).
  std::vector<index_iface_props> forMirror = take(*reader);
  ASSERT_EQ(forMirror.size(), 3u);
  EXPECT_EQ(forMirror[0].path, "/");
  EXPECT_EQ(forMirror[1].path, "/d");
  EXPECT_EQ(forMirror[2].path, "/d/f");
  std::vector<index_iface_props> forStore = take(*store_);
  ASSERT_EQ(forStore.size(), 1u);
  EXPECT_EQ(forStore[0].path, "/d/f");
  EXPECT_TRUE(take(*reader).empty());
  EXPECT_TRUE(take(*store_).empty());

  // The mirror's writes reach the store; the store's reach the mirror.
  ASSERT_EQ(addFile(*reader, testGuid('f', 2), testGuid('v', 2), "/m", root_), 0);
  ASSERT_EQ(addFile(*store_, testGuid('f', 3), testGuid('v', 3), "/s", root_), 0);
  forStore = take(*store_);
  ASSERT_EQ(forStore.size(), 1u);
  EXPECT_EQ(forStore[0].path, "/m");
  forMirror = take(*reader);
  ASSERT_EQ(forMirror.size(), 1u);
  EXPECT_EQ(forMirror[0].path, "/s");
}

TEST_F(IndexChangeFeedTest, ChangesEveryConsumerHasPassedAreDropped) {
  auto other = openIndex();
  for (unsigned i = 0; i < 20; ++i) {
    ASSERT_EQ(addFile(*other, testGuid('f', i), testGuid('v', i), "/d/f" + std::to_string(i), dir_),
              0);
  }
  EXPECT_EQ(take(*store_).size(), 20u);
  other.reset();
  store_.reset();
  // Only the store's consumer exists: everything it passed is gone from the
  // database, which a fresh consumer observes.
  auto fresh = openIndex();
  fresh->setChangeConsumer("fresh");
  EXPECT_TRUE(take(*fresh).empty());
}

TEST_F(IndexChangeFeedTest, TheStoresOwnChangesDoNotPileUp) {
  // A second writer that has not been read yet keeps its changes.
  auto other = openIndex();
  ASSERT_EQ(addFile(*other, testGuid('f', 1), testGuid('v', 1), "/d/theirs", dir_), 0);
  for (unsigned i = 2; i < 30; ++i) {
    ASSERT_EQ(addFile(*store_, testGuid('f', i), testGuid('v', i), "/d/f" + std::to_string(i),
                      dir_),
              0);
  }
  store_->flush();  // trims
  // Nothing the store wrote is left for anyone; the other writer's change is.
  auto fresh = openIndex();
  fresh->setChangeConsumer("fresh");
  std::vector<index_iface_props> items = take(*fresh);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].path, "/d/theirs");
  items = take(*store_);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].path, "/d/theirs");
}

}  // namespace
}  // namespace ObjectStore::test
