// Answers of the index as of a time: versions, deletions, attribute changes,
// renames of files and of directories with their subtrees, directory
// listings, case-insensitive names and the content root.
#include <gtest/gtest.h>

#include <cerrno>

#include "index/IndexTestSupport.h"

namespace ObjectStore::test {
namespace {

class IndexPointInTimeTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    index_ = openIndex();
    ASSERT_EQ(addRoot(*index_, root_), 0);
    rootSec_ = nowSec();
    tick();
  }

  std::unique_ptr<index_iface> index_;
  const std::string root_ = testGuid('a', 1);
  uint64_t rootSec_ = 0;
};

TEST_F(IndexPointInTimeTest, VersionsAsOfTime) {
  const std::string file = testGuid('f', 1);
  uint64_t beforeCreate = nowSec();
  uint64_t t1 = tick();
  ASSERT_EQ(addFile(*index_, file, testGuid('v', 1), "/f", root_, 10), 0);
  int64_t vtime1 = nowNs();
  uint64_t between = tick();
  uint64_t t2 = tick();
  ASSERT_EQ(addVersion(*index_, file, testGuid('v', 2), 20), 0);

  index_iface_props props;
  EXPECT_EQ(index_->find_by_guid(byGuid(file, beforeCreate), props), ENOENT);
  EXPECT_EQ(index_->find_by_path(byPath("/f", beforeCreate), props), ENOENT);

  ASSERT_EQ(index_->find_by_guid(byGuid(file, t1), props), 0);
  EXPECT_EQ(props.verGuid, testGuid('v', 1));
  EXPECT_EQ(props.size, 10);
  EXPECT_EQ(props.vtime, vtime1);
  EXPECT_EQ(props.path, "/f");
  EXPECT_EQ(props.parentGuid, root_);
  EXPECT_EQ(props.updateSelector, 0u);
  EXPECT_EQ(props.dtime, -1);
  EXPECT_EQ(props.itemFlag, 1u);

  ASSERT_EQ(index_->find_by_path(byPath("/f", between), props), 0);
  EXPECT_EQ(props.verGuid, testGuid('v', 1));
  EXPECT_EQ(props.size, 10);

  ASSERT_EQ(index_->find_by_guid(byGuid(file, t2), props), 0);
  EXPECT_EQ(props.verGuid, testGuid('v', 2));
  EXPECT_EQ(props.size, 20);

  ASSERT_EQ(index_->find_by_path(byPath("/f"), props), 0);
  EXPECT_EQ(props.verGuid, testGuid('v', 2));
  EXPECT_EQ(props.objGuid, file);
  // The further version carried only its size: the rest is the latest record's.
  EXPECT_TRUE(props.modeValid);
  EXPECT_EQ(props.mode, 0x81A4);
  EXPECT_EQ(props.uid, 1000);
  EXPECT_EQ(props.itemFlag, 1u);
  EXPECT_EQ(props.path, "/f");
}

TEST_F(IndexPointInTimeTest, DeletedItemIsFoundOnlyBeforeItsDeletion) {
  const std::string file = testGuid('f', 1);
  uint64_t t1 = tick();
  ASSERT_EQ(addFile(*index_, file, testGuid('v', 1), "/f", root_), 0);
  uint64_t deletedAt = tick();
  ASSERT_EQ(deleteAt(*index_, file, static_cast<int64_t>(deletedAt)), 0);

  EXPECT_EQ(guidAt(*index_, "/f", t1), file);
  EXPECT_EQ(guidAt(*index_, "/f", deletedAt - 1), file);
  EXPECT_EQ(guidAt(*index_, "/f", deletedAt), "");
  EXPECT_EQ(guidAt(*index_, "/f"), "");
  index_iface_props props;
  EXPECT_EQ(index_->find_by_guid(byGuid(file, deletedAt - 1), props), 0);
  EXPECT_EQ(index_->find_by_guid(byGuid(file, deletedAt), props), ENOENT);
  EXPECT_EQ(index_->find_by_guid(byGuid(file), props), ENOENT);

  // A repeated delete succeeds and keeps the first deletion time.
  tick();
  EXPECT_EQ(deleteAt(*index_, file), 0);
  EXPECT_EQ(guidAt(*index_, "/f", deletedAt - 1), file);
  EXPECT_EQ(guidAt(*index_, "/f", deletedAt), "");
}

TEST_F(IndexPointInTimeTest, DeleteWithoutTimeIsNow) {
  const std::string file = testGuid('f', 1);
  ASSERT_EQ(addFile(*index_, file, testGuid('v', 1), "/f", root_), 0);
  uint64_t before = tick();
  uint64_t deletedAt = tick();
  ASSERT_EQ(deleteAt(*index_, file, -1), 0);
  EXPECT_EQ(guidAt(*index_, "/f", before), file);
  EXPECT_EQ(guidAt(*index_, "/f", deletedAt), "");
}

TEST_F(IndexPointInTimeTest, AttributeUpdatesAsOfTime) {
  const std::string file = testGuid('f', 1);
  const std::string version = testGuid('v', 1);
  uint64_t t1 = tick();
  ASSERT_EQ(addFile(*index_, file, version, "/f", root_, 5), 0);

  uint64_t t2 = tick();
  index_iface_props chmod;
  chmod.objGuid = file;
  chmod.verGuid = version;
  chmod.modeValid = true;
  chmod.mode = 0x8180;
  chmod.uidValid = true;
  chmod.uid = 5;
  chmod.ctime = static_cast<int64_t>(t2);
  ASSERT_EQ(index_->update_item(chmod), 0);

  uint64_t t3 = tick();
  index_iface_props touch;
  touch.objGuid = file;
  touch.verGuid = version;
  touch.mtime = static_cast<int64_t>(t3);
  touch.customProps[XATTR_CUSTOM_PROP] = "AQAAAA==";
  ASSERT_EQ(index_->update_item(touch), 0);

  index_iface_props props;
  ASSERT_EQ(index_->find_by_guid(byGuid(file, t1), props), 0);
  EXPECT_EQ(props.mode, 0x81A4);
  EXPECT_EQ(props.uid, 1000);
  EXPECT_EQ(props.xattrs, "");
  ASSERT_EQ(index_->find_by_guid(byGuid(file, t2), props), 0);
  EXPECT_EQ(props.mode, 0x8180);
  EXPECT_EQ(props.uid, 5);
  EXPECT_EQ(props.gid, 100);
  EXPECT_EQ(props.ctime, static_cast<int64_t>(t2));
  EXPECT_EQ(props.mtime, static_cast<int64_t>(t1));
  ASSERT_EQ(index_->find_by_path(byPath("/f"), props), 0);
  EXPECT_EQ(props.mode, 0x8180);
  EXPECT_EQ(props.mtime, static_cast<int64_t>(t3));
  EXPECT_EQ(props.size, 5);
  EXPECT_EQ(props.xattrs, "AQAAAA==");
  EXPECT_EQ(props.customProps[XATTR_CUSTOM_PROP], "AQAAAA==");
}

TEST_F(IndexPointInTimeTest, UpdatesWithinOneSecondKeepTheirOrder) {
  const std::string file = testGuid('f', 1);
  const std::string version = testGuid('v', 1);
  ASSERT_EQ(addFile(*index_, file, version, "/f", root_), 0);
  uint64_t second = tick();
  for (int mode : {0x8100, 0x8180, 0x81C0, 0x8140}) {
    index_iface_props chmod;
    chmod.objGuid = file;
    chmod.verGuid = version;
    chmod.modeValid = true;
    chmod.mode = mode;
    ASSERT_EQ(index_->update_item(chmod), 0);
  }
  index_iface_props props;
  ASSERT_EQ(index_->find_by_guid(byGuid(file), props), 0);
  EXPECT_EQ(props.mode, 0x8140);
  ASSERT_EQ(index_->find_by_guid(byGuid(file, second), props), 0);
  EXPECT_EQ(props.mode, 0x8140);
  ASSERT_EQ(index_->find_by_guid(byGuid(file, second - 1), props), 0);
  EXPECT_EQ(props.mode, 0x81A4);
}

TEST_F(IndexPointInTimeTest, ClockGoingBackwardsDoesNotHideTheLatestUpdate) {
  const std::string file = testGuid('f', 1);
  const std::string version = testGuid('v', 1);
  ASSERT_EQ(addFile(*index_, file, version, "/f", root_), 0);
  uint64_t created = nowSec();
  index_iface_props chmod;
  chmod.objGuid = file;
  chmod.verGuid = version;
  chmod.modeValid = true;
  clock().setSec(static_cast<int64_t>(created) + 20);
  chmod.mode = 0x8100;
  ASSERT_EQ(index_->update_item(chmod), 0);
  clock().setSec(static_cast<int64_t>(created) + 10);  // e.g. a time-server correction
  chmod.mode = 0x8140;
  ASSERT_EQ(index_->update_item(chmod), 0);
  index_iface_props props;
  ASSERT_EQ(index_->find_by_guid(byGuid(file), props), 0);
  EXPECT_EQ(props.mode, 0x8140);  // the change made last
  ASSERT_EQ(index_->find_by_guid(byGuid(file, created + 15), props), 0);
  EXPECT_EQ(props.mode, 0x8140);
  ASSERT_EQ(index_->find_by_guid(byGuid(file, created + 5), props), 0);
  EXPECT_EQ(props.mode, 0x81A4);
}

TEST_F(IndexPointInTimeTest, UpdateOfUnknownVersionOrObjectFails) {
  const std::string file = testGuid('f', 1);
  ASSERT_EQ(addFile(*index_, file, testGuid('v', 1), "/f", root_), 0);
  index_iface_props update;
  update.objGuid = file;
  update.verGuid = testGuid('v', 9);
  update.size = 1;
  EXPECT_EQ(index_->update_item(update), ENOENT);
  update.objGuid = testGuid('f', 9);
  EXPECT_EQ(index_->update_item(update), ENOENT);
}

TEST_F(IndexPointInTimeTest, DirectoryUpdateUnderAnotherVersionNameChangesTheDirectory) {
  const std::string dir = testGuid('d', 1);
  ASSERT_EQ(addDir(*index_, dir, "/d", root_), 0);
  tick();
  index_iface_props times;
  times.objGuid = dir;
  times.verGuid = dir + "-5f5e1000";  // the name a point-in-time view uses
  times.mtime = times.ctime = static_cast<int64_t>(nowSec());
  ASSERT_EQ(index_->update_item(times), 0);
  index_iface_props props;
  ASSERT_EQ(index_->find_by_guid(byGuid(dir), props), 0);
  EXPECT_EQ(props.verGuid, dir + "-0");
  EXPECT_EQ(props.mtime, static_cast<int64_t>(nowSec()));
}

TEST_F(IndexPointInTimeTest, RenameOfAFile) {
  const std::string a = testGuid('d', 1);
  const std::string b = testGuid('d', 2);
  const std::string file = testGuid('f', 1);
  ASSERT_EQ(addDir(*index_, a, "/a", root_), 0);
  ASSERT_EQ(addDir(*index_, b, "/b", root_), 0);
  ASSERT_EQ(addFile(*index_, file, testGuid('v', 1), "/a/f", a), 0);
  uint64_t t1 = tick();
  uint64_t t2 = tick();
  ASSERT_EQ(renameTo(*index_, file, "/b/g", b, a, "/a/f", false), 0);

  EXPECT_EQ(guidAt(*index_, "/a/f", t1), file);
  EXPECT_EQ(guidAt(*index_, "/b/g", t1), "");
  EXPECT_EQ(guidAt(*index_, "/a/f", t2), "");
  EXPECT_EQ(guidAt(*index_, "/b/g", t2), file);
  EXPECT_EQ(guidAt(*index_, "/b/g"), file);
  EXPECT_EQ(pathAt(*index_, file, t1), "/a/f");
  EXPECT_EQ(pathAt(*index_, file), "/b/g");
  index_iface_props props;
  ASSERT_EQ(index_->find_by_guid(byGuid(file, t1), props), 0);
  EXPECT_EQ(props.parentGuid, a);
  ASSERT_EQ(index_->find_by_guid(byGuid(file), props), 0);
  EXPECT_EQ(props.parentGuid, b);
  EXPECT_EQ(props.name, "g");
  EXPECT_EQ(childNames(*index_, a, t1), std::vector<std::string>{"f"});
  EXPECT_EQ(childNames(*index_, a), std::vector<std::string>{});
  EXPECT_EQ(childNames(*index_, b), std::vector<std::string>{"g"});
}

TEST_F(IndexPointInTimeTest, RenameOfADirectoryMovesItsSubtree) {
  const std::string d = testGuid('d', 1);
  const std::string e = testGuid('d', 2);
  const std::string y = testGuid('d', 3);
  const std::string f = testGuid('f', 1);
  const std::string x = testGuid('f', 2);
  ASSERT_EQ(addDir(*index_, d, "/d", root_), 0);
  ASSERT_EQ(addDir(*index_, e, "/d/e", d), 0);
  ASSERT_EQ(addDir(*index_, y, "/y", root_), 0);
  ASSERT_EQ(addFile(*index_, f, testGuid('v', 1), "/d/e/f", e), 0);
  ASSERT_EQ(addFile(*index_, x, testGuid('v', 2), "/d/x", d), 0);
  uint64_t t1 = tick();
  uint64_t t2 = tick();
  ASSERT_EQ(renameTo(*index_, d, "/z", root_, root_, "/d", true), 0);

  // Before the rename the old paths find the items and the new ones don't.
  EXPECT_EQ(guidAt(*index_, "/d/e/f", t1), f);
  EXPECT_EQ(guidAt(*index_, "/d/x", t1), x);
  EXPECT_EQ(guidAt(*index_, "/z/e/f", t1), "");
  EXPECT_EQ(guidAt(*index_, "/z", t1), "");
  // After it, the reverse.
  EXPECT_EQ(guidAt(*index_, "/d/e/f", t2), "");
  EXPECT_EQ(guidAt(*index_, "/d", t2), "");
  EXPECT_EQ(guidAt(*index_, "/z/e/f", t2), f);
  EXPECT_EQ(guidAt(*index_, "/z/x"), x);
  EXPECT_EQ(pathAt(*index_, f, t1), "/d/e/f");
  EXPECT_EQ(pathAt(*index_, f, t2), "/z/e/f");
  EXPECT_EQ(pathAt(*index_, e), "/z/e");
  EXPECT_EQ(childNames(*index_, root_, t1), (std::vector<std::string>{"d", "y"}));
  EXPECT_EQ(childNames(*index_, root_), (std::vector<std::string>{"y", "z"}));

  // Moving a subdirectory into another directory later.
  uint64_t t3 = tick();
  ASSERT_EQ(renameTo(*index_, e, "/y/e2", y, d, "/z/e", true), 0);
  EXPECT_EQ(guidAt(*index_, "/z/e/f", t2), f);
  EXPECT_EQ(guidAt(*index_, "/y/e2/f", t2), "");
  EXPECT_EQ(guidAt(*index_, "/y/e2/f", t3), f);
  EXPECT_EQ(guidAt(*index_, "/z/e/f", t3), "");
  EXPECT_EQ(pathAt(*index_, f, t1), "/d/e/f");
  EXPECT_EQ(pathAt(*index_, f, t2), "/z/e/f");
  EXPECT_EQ(pathAt(*index_, f), "/y/e2/f");
  std::vector<index_iface_props*> list;
  ASSERT_EQ(index_->browse_by_guid(byGuid(e, t2), list), 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->path, "/z/e/f");
  EXPECT_EQ(list[0]->parentGuid, e);
  index_->delete_browse_memory(list);
  EXPECT_TRUE(list.empty());
}

TEST_F(IndexPointInTimeTest, DirectoryCannotMoveBelowItself) {
  const std::string d = testGuid('d', 1);
  const std::string e = testGuid('d', 2);
  ASSERT_EQ(addDir(*index_, d, "/d", root_), 0);
  ASSERT_EQ(addDir(*index_, e, "/d/e", d), 0);
  tick();
  EXPECT_EQ(renameTo(*index_, d, "/d/e/d", e, root_, "/d", true), EINVAL);
  EXPECT_EQ(renameTo(*index_, d, "/d/d", d, root_, "/d", true), EINVAL);
  EXPECT_EQ(pathAt(*index_, e), "/d/e");
}

TEST_F(IndexPointInTimeTest, RenameOntoAHeldNameFindsTheNewestHolder) {
  const std::string first = testGuid('f', 1);
  const std::string second = testGuid('f', 2);
  ASSERT_EQ(addFile(*index_, first, testGuid('v', 1), "/x", root_), 0);
  ASSERT_EQ(addFile(*index_, second, testGuid('v', 2), "/y", root_), 0);
  uint64_t t1 = tick();
  uint64_t t2 = tick();
  ASSERT_EQ(renameTo(*index_, second, "/x", root_, root_, "/y", false), 0);
  EXPECT_EQ(guidAt(*index_, "/x", t1), first);
  EXPECT_EQ(guidAt(*index_, "/x", t2), second);
  EXPECT_EQ(guidAt(*index_, "/y", t2), "");
  // One entry per name in a listing: the newest holder.
  std::vector<index_iface_props*> list;
  ASSERT_EQ(index_->browse_by_guid(byGuid(root_), list), 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->objGuid, second);
  index_->delete_browse_memory(list);
  // The older holder keeps its own record.
  EXPECT_EQ(pathAt(*index_, first), "/x");
}

TEST_F(IndexPointInTimeTest, RenameWithANewVersionRecordsIt) {
  const std::string file = testGuid('f', 1);
  ASSERT_EQ(addFile(*index_, file, testGuid('v', 1), "/f", root_, 42), 0);
  uint64_t t1 = tick();
  uint64_t t2 = tick();
  index_iface_props rename;
  rename.objGuid = file;
  rename.verGuid = testGuid('v', 2);
  rename.path = "/g";
  rename.parentGuid = root_;
  rename.ctime = static_cast<int64_t>(t2);
  ASSERT_EQ(index_->rename_item(rename, root_, "/f", false), 0);
  index_iface_props props;
  ASSERT_EQ(index_->find_by_guid(byGuid(file, t1), props), 0);
  EXPECT_EQ(props.verGuid, testGuid('v', 1));
  ASSERT_EQ(index_->find_by_path(byPath("/g"), props), 0);
  EXPECT_EQ(props.verGuid, testGuid('v', 2));
  EXPECT_EQ(props.size, 42);
  EXPECT_EQ(props.ctime, static_cast<int64_t>(t2));
  EXPECT_EQ(props.vtime, nowNs());
}

TEST_F(IndexPointInTimeTest, RenameResolvesAMissingParentFromThePath) {
  const std::string d = testGuid('d', 1);
  const std::string file = testGuid('f', 1);
  ASSERT_EQ(addDir(*index_, d, "/d", root_), 0);
  ASSERT_EQ(addFile(*index_, file, testGuid('v', 1), "/f", root_), 0);
  tick();
  ASSERT_EQ(renameTo(*index_, file, "/d/f", "", root_, "/f", false), 0);
  index_iface_props props;
  ASSERT_EQ(index_->find_by_path(byPath("/d/f"), props), 0);
  EXPECT_EQ(props.parentGuid, d);
  EXPECT_EQ(renameTo(*index_, file, "/nowhere/f", "", d, "/d/f", false), ENOENT);
  EXPECT_EQ(renameTo(*index_, file, "", d, d, "/d/f", false), EINVAL);
  EXPECT_EQ(renameTo(*index_, root_, "/r", root_, "", "/", true), EINVAL);
}

TEST_F(IndexPointInTimeTest, DeletedDirectoryHidesItsSubtree) {
  const std::string d = testGuid('d', 1);
  const std::string f = testGuid('f', 1);
  ASSERT_EQ(addDir(*index_, d, "/d", root_), 0);
  ASSERT_EQ(addFile(*index_, f, testGuid('v', 1), "/d/f", d), 0);
  uint64_t t1 = tick();
  uint64_t t2 = tick();
  ASSERT_EQ(deleteAt(*index_, d), 0);
  EXPECT_EQ(guidAt(*index_, "/d/f", t1), f);
  EXPECT_EQ(guidAt(*index_, "/d/f", t2), "");
  EXPECT_EQ(pathAt(*index_, f, t1), "/d/f");
  EXPECT_EQ(pathAt(*index_, f, t2), "");
  EXPECT_EQ(childNames(*index_, d, t1), std::vector<std::string>{"f"});
  EXPECT_EQ(childNames(*index_, d, t2),
            std::vector<std::string>{"error " + std::to_string(ENOENT)});
  // The child's own record stays: renamed out, it is reachable again.
  EXPECT_EQ(renameTo(*index_, f, "/f", root_, d, "/d/f", false), 0);
  EXPECT_EQ(pathAt(*index_, f), "/f");
}

TEST_F(IndexPointInTimeTest, BrowseAsOfTime) {
  const std::string d = testGuid('d', 1);
  const std::string a = testGuid('f', 1);
  const std::string b = testGuid('f', 2);
  const std::string c = testGuid('d', 2);
  ASSERT_EQ(addDir(*index_, d, "/d", root_), 0);
  uint64_t empty = nowSec();
  tick();
  ASSERT_EQ(addFile(*index_, b, testGuid('v', 2), "/d/b", d, 7), 0);
  uint64_t t1 = nowSec();
  tick();
  ASSERT_EQ(addFile(*index_, a, testGuid('v', 1), "/d/a", d), 0);
  ASSERT_EQ(addDir(*index_, c, "/d/c", d), 0);
  uint64_t t2 = nowSec();
  uint64_t t3 = tick();
  ASSERT_EQ(deleteAt(*index_, b), 0);

  EXPECT_EQ(childNames(*index_, d, empty), std::vector<std::string>{});
  EXPECT_EQ(childNames(*index_, d, t1), std::vector<std::string>{"b"});
  EXPECT_EQ(childNames(*index_, d, t2), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(childNames(*index_, d, t3), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(childNames(*index_, d), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(childNames(*index_, d, rootSec_),
            std::vector<std::string>{"error " + std::to_string(ENOENT)});

  std::vector<index_iface_props*> list;
  ASSERT_EQ(index_->browse_by_guid(byGuid(d, t2), list), 0);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1]->objGuid, b);
  EXPECT_EQ(list[1]->path, "/d/b");
  EXPECT_EQ(list[1]->verGuid, testGuid('v', 2));
  EXPECT_EQ(list[1]->parentGuid, d);
  EXPECT_EQ(list[1]->size, 7);
  EXPECT_EQ(list[1]->mode, 0x81A4);
  EXPECT_EQ(list[2]->verGuid, c + "-0");
  EXPECT_EQ(list[2]->mode, 0x41ED);
  index_->delete_browse_memory(list);

  EXPECT_EQ(index_->browse_by_guid(byGuid(a), list), ENOTDIR);
  EXPECT_EQ(index_->browse_by_guid(byGuid(testGuid('d', 9)), list), ENOENT);
  EXPECT_TRUE(list.empty());
}

TEST_F(IndexPointInTimeTest, ExtentIsFoundByGuid) {
  const std::string file = testGuid('f', 1);
  ASSERT_EQ(addFile(*index_, file, testGuid('v', 1), "/f", root_, 3 << 20), 0);
  ASSERT_EQ(addExtent(*index_, file, testGuid('v', 1), 2, 3 << 20), 0);
  index_iface_props props;
  ASSERT_EQ(index_->find_by_guid(byGuid(extentGuidOf(file, 2)), props), 0);
  EXPECT_EQ(props.objGuid, extentGuidOf(file, 2));
  EXPECT_EQ(props.verGuid, extentGuidOf(testGuid('v', 1), 2));
  EXPECT_EQ(props.parentGuid, file);
  EXPECT_EQ(props.path, "");
  EXPECT_EQ(props.updateSelector, 1u);
  EXPECT_EQ(props.extentNumber, 2u);
  EXPECT_EQ(props.extentSize, 1 << 20);
  EXPECT_EQ(props.afileId, -1);
  EXPECT_EQ(props.afileOffset, -1);
}

TEST_F(IndexPointInTimeTest, SymbolicLinkKeepsItsTarget) {
  const std::string link = testGuid('l', 1);
  index_iface_props props = item(link, testGuid('v', 1), "/ln", root_, 0xA1FF, nowNs());
  props.linkTarget = "/some/where";
  props.size = 11;
  ASSERT_EQ(index_->add_item(props), 0);
  index_iface_props found;
  ASSERT_EQ(index_->find_by_path(byPath("/ln"), found), 0);
  EXPECT_EQ(found.linkTarget, "/some/where");
  EXPECT_EQ(found.mode, 0xA1FF);
  EXPECT_EQ(found.itemFlag, 0u);
}

class IndexCaseTest : public IndexTest {};

TEST_F(IndexCaseTest, CaseInsensitiveShareFindsAnySpelling) {
  auto index = openIndex("nocase", false);
  const std::string root = testGuid('a', 1);
  const std::string docs = testGuid('d', 1);
  const std::string readme = testGuid('f', 1);
  ASSERT_EQ(addRoot(*index, root), 0);
  ASSERT_EQ(addDir(*index, docs, "/Docs", root), 0);
  ASSERT_EQ(addFile(*index, readme, testGuid('v', 1), "/Docs/ReadMe", docs), 0);
  index_iface_props props;
  ASSERT_EQ(index->find_by_path(byPath("/docs/README"), props), 0);
  EXPECT_EQ(props.objGuid, readme);
  EXPECT_EQ(props.path, "/Docs/ReadMe");  // spelled as stored
  EXPECT_EQ(guidAt(*index, "/DOCS"), docs);
  EXPECT_EQ(guidAt(*index, "/Docs/ReadMe2"), "");
}

TEST_F(IndexCaseTest, CaseSensitiveShareComparesExactly) {
  auto index = openIndex("exact", true);
  const std::string root = testGuid('a', 1);
  const std::string upper = testGuid('f', 1);
  const std::string lower = testGuid('f', 2);
  ASSERT_EQ(addRoot(*index, root), 0);
  ASSERT_EQ(addFile(*index, upper, testGuid('v', 1), "/README", root), 0);
  ASSERT_EQ(addFile(*index, lower, testGuid('v', 2), "/readme", root), 0);
  EXPECT_EQ(guidAt(*index, "/README"), upper);
  EXPECT_EQ(guidAt(*index, "/readme"), lower);
  EXPECT_EQ(guidAt(*index, "/ReadMe"), "");
  EXPECT_EQ(childNames(*index, root), (std::vector<std::string>{"README", "readme"}));
}

class IndexRootTest : public IndexTest {};

TEST_F(IndexRootTest, ContentRootBeforeAndAfterItIsRecorded) {
  auto index = openIndex();
  index_iface_props first;
  index->get_content_root_dir(first);
  EXPECT_TRUE(first.verGuid.empty());
  ASSERT_EQ(first.objGuid.size(), 32u);
  EXPECT_EQ(first.objGuid.find_first_not_of("0123456789abcdef"), std::string::npos);
  index_iface_props again;
  index->get_content_root_dir(again);
  EXPECT_EQ(again.objGuid, first.objGuid);
  EXPECT_EQ(guidAt(*index, "/"), "");

  uint64_t before = nowSec();
  tick();
  ASSERT_EQ(addRoot(*index, first.objGuid), 0);
  index_iface_props root;
  index->get_content_root_dir(root);
  EXPECT_EQ(root.objGuid, first.objGuid);
  EXPECT_EQ(root.verGuid, first.objGuid + "-0");
  EXPECT_EQ(root.path, "/");
  EXPECT_EQ(root.mode, 0x41ED);
  EXPECT_EQ(guidAt(*index, "/"), first.objGuid);
  EXPECT_EQ(guidAt(*index, "/", before), "");
  EXPECT_EQ(pathAt(*index, first.objGuid), "/");
}

TEST_F(IndexRootTest, RootRecordedWithoutItsItemStillAnswers) {
  auto index = openIndex();
  index_iface_props root;
  root.objGuid = testGuid('a', 5);
  root.verGuid = root.objGuid + "-0";
  index->set_content_root_props(root);
  index_iface_props found;
  index->get_content_root_dir(found);
  EXPECT_EQ(found.objGuid, root.objGuid);
  EXPECT_EQ(found.verGuid, root.verGuid);
  EXPECT_EQ(found.path, "/");
}

}  // namespace
}  // namespace ObjectStore::test
