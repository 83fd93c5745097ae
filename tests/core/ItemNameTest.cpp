#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "ObjectStore/ItemName.h"
#include "common/TestEnv.h"

namespace ObjectStore {
namespace {

class ItemNameTest : public test::TestEnv {};

const guid_t kRootGuid = "00000000000000000000000000000001";
const guid_t kFileGuid = "0123456789abcdef0123456789abcdef";
const guid_t kFileVersion = "fedcba9876543210fedcba9876543210";

// A store reduced to the two lookups an ItemName relies on, counting every
// call and remembering the paths asked for.
class FakeStore {
 public:
  struct IndexProps {
    guid_t objGuid;
    guid_t verGuid;
  };

  std::map<std::string, guid_t> pathCache;
  std::map<std::string, IndexProps> index;
  std::vector<std::string> cacheLookups;
  std::vector<std::string> indexLookups;

  CZnError findGuidInPathCache(guid_t& guid, const std::string& path) {
    cacheLookups.push_back(path);
    auto it = pathCache.find(path);
    if (it == pathCache.end()) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT);
    guid = it->second;
    return CZnError::Success;
  }

  CZnError findPathFromIndex(const std::string& path, IndexProps& props) {
    indexLookups.push_back(path);
    auto it = index.find(path);
    if (it == index.end()) return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "not in index");
    props = it->second;
    return CZnError::Success;
  }
};

// ---------------------------------------------------------------- construction

TEST_F(ItemNameTest, DefaultIsEmpty) {
  ItemName item;
  EXPECT_EQ(item.objGuid, "");
  EXPECT_EQ(item.verGuid, "");
  EXPECT_EQ(item.path, "");
  EXPECT_FALSE(item.isRoot);
}

TEST_F(ItemNameTest, FromAPath) {
  ItemName item(std::string("/a/b.txt"));
  EXPECT_EQ(item.path, "/a/b.txt");
  EXPECT_EQ(item.objGuid, "");
  EXPECT_EQ(item.verGuid, "");
  EXPECT_FALSE(item.isRoot);
}

TEST_F(ItemNameTest, FromAGuid) {
  ItemName item(kFileGuid, false);
  EXPECT_EQ(item.objGuid, kFileGuid);
  EXPECT_EQ(item.verGuid, "");
  EXPECT_EQ(item.path, "");
  EXPECT_FALSE(item.isRoot);

  ItemName root(kRootGuid, true);
  EXPECT_EQ(root.objGuid, kRootGuid);
  EXPECT_TRUE(root.isRoot);
  EXPECT_EQ(root.path, "");
}

TEST_F(ItemNameTest, CopiesCarryAllFourFields) {
  ItemName original(kFileGuid, true);
  original.verGuid = kFileVersion;
  original.path = "/x";

  ItemName copy(original);
  EXPECT_EQ(copy.objGuid, kFileGuid);
  EXPECT_EQ(copy.verGuid, kFileVersion);
  EXPECT_EQ(copy.path, "/x");
  EXPECT_TRUE(copy.isRoot);

  ItemName assigned(std::string("/other"));
  assigned = original;
  EXPECT_EQ(assigned.objGuid, kFileGuid);
  EXPECT_EQ(assigned.verGuid, kFileVersion);
  EXPECT_EQ(assigned.path, "/x");
  EXPECT_TRUE(assigned.isRoot);

  // A copy is independent of its source.
  copy.objGuid.clear();
  EXPECT_EQ(original.objGuid, kFileGuid);
}

// ---------------------------------------------------------------- getObjGuid

TEST_F(ItemNameTest, ANameByGuidNeverLooksAnythingUp) {
  FakeStore store;
  store.pathCache["/"] = kRootGuid;
  store.index["/"] = {kRootGuid, "v"};
  ItemName item(kFileGuid, false);
  const guid_t& guid = item.getObjGuid(store);
  EXPECT_EQ(&guid, &item.objGuid);
  EXPECT_EQ(guid, kFileGuid);
  EXPECT_TRUE(store.cacheLookups.empty());
  EXPECT_TRUE(store.indexLookups.empty());
  EXPECT_EQ(item.path, "");
  EXPECT_EQ(item.verGuid, "");
}

TEST_F(ItemNameTest, ARootNamedByGuidNeverLooksAnythingUp) {
  FakeStore store;
  ItemName root(kRootGuid, true);
  EXPECT_EQ(root.getObjGuid(store), kRootGuid);
  EXPECT_TRUE(store.cacheLookups.empty());
  EXPECT_TRUE(store.indexLookups.empty());
  EXPECT_EQ(root.path, "");  // nothing was resolved, so the path stays as given
}

TEST_F(ItemNameTest, AKnownGuidWinsOverAPath) {
  FakeStore store;
  store.pathCache["/a"] = "ffffffffffffffffffffffffffffffff";
  ItemName item(std::string("/a"));
  item.objGuid = kFileGuid;
  EXPECT_EQ(item.getObjGuid(store), kFileGuid);
  EXPECT_TRUE(store.cacheLookups.empty());
  EXPECT_TRUE(store.indexLookups.empty());
}

TEST_F(ItemNameTest, ARootWithAnEmptyGuidResolvesTheSlashPath) {
  FakeStore store;
  store.pathCache["/"] = kRootGuid;
  ItemName root(guid_t(), true);
  EXPECT_EQ(root.getObjGuid(store), kRootGuid);
  EXPECT_EQ(root.path, "/");
  EXPECT_EQ(store.cacheLookups, std::vector<std::string>{"/"});
  EXPECT_TRUE(store.indexLookups.empty());
}

TEST_F(ItemNameTest, ARootIsLookedUpAsSlashWhateverItsPathSays) {
  FakeStore store;
  store.index["/"] = {kRootGuid, kRootGuid + "-0"};
  ItemName root(std::string("/stale"));
  root.isRoot = true;
  EXPECT_EQ(root.getObjGuid(store), kRootGuid);
  EXPECT_EQ(root.path, "/");
  EXPECT_EQ(root.verGuid, kRootGuid + "-0");
  EXPECT_EQ(store.cacheLookups, std::vector<std::string>{"/"});
  EXPECT_EQ(store.indexLookups, std::vector<std::string>{"/"});
}

TEST_F(ItemNameTest, NoGuidAndNoPathGivesAnEmptyResultWithoutLookups) {
  FakeStore store;
  store.pathCache[""] = kFileGuid;  // must not be consulted
  test::LogCapture capture;
  ItemName item;
  EXPECT_EQ(item.getObjGuid(store), "");
  EXPECT_TRUE(store.cacheLookups.empty());
  EXPECT_TRUE(store.indexLookups.empty());
  EXPECT_EQ(capture.countContaining("No guid found"), 0u) << capture.dump();
}

TEST_F(ItemNameTest, ACacheHitDoesNotReachTheIndex) {
  FakeStore store;
  store.pathCache["/a/b"] = kFileGuid;
  store.index["/a/b"] = {"ffffffffffffffffffffffffffffffff", kFileVersion};
  ItemName item(std::string("/a/b"));
  EXPECT_EQ(item.getObjGuid(store), kFileGuid);
  EXPECT_EQ(item.objGuid, kFileGuid);
  EXPECT_EQ(item.verGuid, "");  // the path cache knows only object GUIDs
  EXPECT_EQ(item.path, "/a/b");
  EXPECT_EQ(store.cacheLookups, std::vector<std::string>{"/a/b"});
  EXPECT_TRUE(store.indexLookups.empty());
}

TEST_F(ItemNameTest, AnIndexHitFillsBothGuids) {
  FakeStore store;
  store.index["/a/b"] = {kFileGuid, kFileVersion};
  test::LogCapture capture;
  ItemName item(std::string("/a/b"));
  EXPECT_EQ(item.getObjGuid(store), kFileGuid);
  EXPECT_EQ(item.objGuid, kFileGuid);
  EXPECT_EQ(item.verGuid, kFileVersion);
  EXPECT_EQ(item.path, "/a/b");
  EXPECT_EQ(store.cacheLookups, std::vector<std::string>{"/a/b"});
  EXPECT_EQ(store.indexLookups, std::vector<std::string>{"/a/b"});
  EXPECT_EQ(capture.countContaining("No guid found"), 0u) << capture.dump();
}

TEST_F(ItemNameTest, AResolvedNameIsNotLookedUpAgain) {
  FakeStore store;
  store.index["/a"] = {kFileGuid, kFileVersion};
  ItemName item(std::string("/a"));
  ASSERT_EQ(item.getObjGuid(store), kFileGuid);
  ASSERT_EQ(store.indexLookups.size(), 1u);
  store.index["/a"] = {"ffffffffffffffffffffffffffffffff", "changed"};
  EXPECT_EQ(item.getObjGuid(store), kFileGuid);
  EXPECT_EQ(store.cacheLookups.size(), 1u);
  EXPECT_EQ(store.indexLookups.size(), 1u);
}

TEST_F(ItemNameTest, AMissLogsAtLevelFiveAndLeavesTheGuidEmpty) {
  FakeStore store;
  test::LogCapture capture(5);
  ItemName item(std::string("/no/such"));
  item.verGuid = "untouched";
  EXPECT_EQ(item.getObjGuid(store), "");
  EXPECT_EQ(item.objGuid, "");
  EXPECT_EQ(item.verGuid, "untouched");
  EXPECT_EQ(store.cacheLookups, std::vector<std::string>{"/no/such"});
  EXPECT_EQ(store.indexLookups, std::vector<std::string>{"/no/such"});
  EXPECT_EQ(capture.count("No guid found for [/no/such]", 5), 1u) << capture.dump();
  EXPECT_EQ(capture.records().size(), 1u) << capture.dump();
}

TEST_F(ItemNameTest, TheMissMessageIsHiddenBelowLevelFive) {
  FakeStore store;
  test::LogCapture capture(4);
  ItemName item(std::string("/no/such"));
  EXPECT_EQ(item.getObjGuid(store), "");
  EXPECT_EQ(capture.countContaining("No guid found"), 0u) << capture.dump();
}

TEST_F(ItemNameTest, AMissIsRetriedOnTheNextCall) {
  FakeStore store;
  ItemName item(std::string("/late"));
  EXPECT_EQ(item.getObjGuid(store), "");
  store.pathCache["/late"] = kFileGuid;
  EXPECT_EQ(item.getObjGuid(store), kFileGuid);
  EXPECT_EQ(store.cacheLookups.size(), 2u);
  EXPECT_EQ(store.indexLookups.size(), 1u);
}

TEST_F(ItemNameTest, AnEmptyGuidFromEitherSourceCountsAsAMiss) {
  FakeStore store;
  store.pathCache["/odd"] = "";
  store.index["/odd"] = {"", kFileVersion};
  test::LogCapture capture(5);
  ItemName item(std::string("/odd"));
  EXPECT_EQ(item.getObjGuid(store), "");
  EXPECT_EQ(store.indexLookups.size(), 1u);  // the empty cache answer fell through
  EXPECT_EQ(item.verGuid, "");               // a rejected index answer is not half-applied
  EXPECT_EQ(capture.count("No guid found for [/odd]", 5), 1u) << capture.dump();
}

}  // namespace
}  // namespace ObjectStore
