// Extended-attribute operations on items: round trips, the size limit, byte
// order of names, what the xattr section and the index hold, and what
// survives a reopen of the store.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/StoreOpsFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::Bytes;
using test::LogCapture;

constexpr int64_t kNow = 1600000000;

class XattrOpsTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    stopClockAt(kNow);
    ASSERT_NO_FATAL_FAILURE(openLiveStore());
    ASSERT_OK(store_->create(file_, "/f", 0644, FILE_TYPE_REGULAR));
  }
  // The attributes as the version's xattr section holds them.
  XattrMap sectionMap(ObjectStore& store, const guid_t& version) {
    XattrMap map;
    auto sections = readAllRaw(store, version);
    const SectionV* xattr = findSection(sections, SECTION_XATTR);
    EXPECT_NE(xattr, nullptr);
    if (xattr != nullptr) EXPECT_OK(ObjectStore::deserializeXattrs(map, xattr->data));
    return map;
  }

  // The attributes as the index records them for the object's latest version.
  XattrMap indexMap(ObjectStore& store, const guid_t& objGuid) {
    index_iface_props props;
    EXPECT_OK(store.findObjGuidFromIndex(objGuid, props));
    Bytes blob;
    EXPECT_TRUE(ObjectStore::decodeXattr(blob, props.xattrs));
    XattrMap map;
    EXPECT_OK(ObjectStore::deserializeXattrs(map, blob));
    return map;
  }

  Bytes get(const std::string& path, const std::string& name) {
    ItemName item(path);
    Bytes value;
    EXPECT_OK(store_->getxattr(item, name, value));
    return value;
  }

  std::vector<std::string> list(ObjectStore& store, const std::string& path) {
    ItemName item(path);
    std::vector<std::string> names;
    EXPECT_OK(store.listxattr(item, names));
    return names;
  }

  ItemName file_;
};

TEST_F(XattrOpsTest, SetGetListRemoveRoundTrip) {
  ItemName item("/f");
  ASSERT_OK(store_->setxattr(item, "user.one", Bytes{1, 2, 3}));
  ASSERT_OK(store_->setxattr(item, "user.empty", Bytes{}));
  EXPECT_EQ(get("/f", "user.one"), (Bytes{1, 2, 3}));
  EXPECT_EQ(get("/f", "user.empty"), Bytes{});
  EXPECT_EQ(list(*store_, "/f"), (std::vector<std::string>{"user.empty", "user.one"}));

  ASSERT_OK(store_->setxattr(item, "user.one", Bytes{9}));
  EXPECT_EQ(get("/f", "user.one"), (Bytes{9}));

  ASSERT_OK(store_->removexattr(item, "user.one"));
  Bytes value{7};
  EXPECT_EQ(store_->getxattr(item, "user.one", value).errNo(), ENOENT);
  EXPECT_EQ(value, (Bytes{7}));
  EXPECT_EQ(list(*store_, "/f"), (std::vector<std::string>{"user.empty"}));
  ASSERT_OK(store_->removexattr(item, "user.empty"));
  EXPECT_TRUE(list(*store_, "/f").empty());
}

TEST_F(XattrOpsTest, SectionAndIndexHoldTheWholeBlob) {
  ItemName item("/f");
  ASSERT_OK(store_->setxattr(item, "a", Bytes{0x01}));
  ASSERT_OK(store_->setxattr(item, "bc", Bytes{}));
  const XattrMap expected = {{"a", Bytes{0x01}}, {"bc", Bytes{}}};
  EXPECT_EQ(sectionMap(*store_, file_.verGuid), expected);
  EXPECT_EQ(indexMap(*store_, file_.objGuid), expected);

  // The section keeps its fixed size; the blob sits at its start.
  auto sections = readAllRaw(*store_, file_.verGuid);
  const SectionV* xattr = findSection(sections, SECTION_XATTR);
  ASSERT_NE(xattr, nullptr);
  EXPECT_EQ(xattr->data.size(), 4096u);
  Bytes blob;
  ASSERT_OK(ObjectStore::serializeXattrs(blob, expected));
  EXPECT_TRUE(std::equal(blob.begin(), blob.end(), xattr->data.begin()));
}

TEST_F(XattrOpsTest, AbsentNameGetFailsEnoentRemoveSucceedsWithoutWriting) {
  ItemName item("/f");
  ASSERT_OK(store_->setxattr(item, "kept", Bytes{5}));
  Bytes value;
  EXPECT_EQ(store_->getxattr(item, "missing", value).errNo(), ENOENT);

  cache_->resetCounts();
  index().resetCounts();
  LogCapture log;
  ASSERT_OK(store_->removexattr(item, "missing"));
  EXPECT_TRUE(log.contains("removexattr: [missing] not found in [" + file_.objGuid + "]", 3))
      << log.dump();
  EXPECT_EQ(cache_->writeCalls.load(), 0);
  EXPECT_EQ(index().updateCalls.load(), 0);
  EXPECT_EQ(get("/f", "kept"), (Bytes{5}));
}

TEST_F(XattrOpsTest, NamesAreListedInByteOrder) {
  ItemName item("/f");
  ASSERT_OK(store_->setxattr(item, "a", Bytes{1}));
  ASSERT_OK(store_->setxattr(item, "B", Bytes{2}));
  ASSERT_OK(store_->setxattr(item, "_", Bytes{3}));
  EXPECT_EQ(list(*store_, "/f"), (std::vector<std::string>{"B", "_", "a"}));
}

TEST_F(XattrOpsTest, BlobOverTheLimitFailsEfbigAndChangesNothing) {
  ItemName item("/f");
  ASSERT_OK(store_->setxattr(item, "a", Bytes{1}));
  // 4 (count) + 4+1+4+1 ("a") + 4+1+4+n ("b") = 23 + n bytes.
  cache_->resetCounts();
  index().resetCounts();
  LogCapture log;
  CZnError err = store_->setxattr(item, "b", Bytes(4074, 0xAB));
  EXPECT_EQ(err.errNo(), EFBIG);
  EXPECT_TRUE(log.contains("Error: Extended attributes exceed max size of 4096 bytes", -1));
  EXPECT_EQ(cache_->writeCalls.load(), 0);
  EXPECT_EQ(index().updateCalls.load(), 0);
  EXPECT_EQ(list(*store_, "/f"), (std::vector<std::string>{"a"}));
  EXPECT_EQ(get("/f", "a"), (Bytes{1}));
  EXPECT_EQ(sectionMap(*store_, file_.verGuid), (XattrMap{{"a", Bytes{1}}}));

  // Exactly the limit fits.
  ASSERT_OK(store_->setxattr(item, "b", Bytes(4073, 0xCD)));
  EXPECT_EQ(get("/f", "b"), Bytes(4073, 0xCD));
  EXPECT_EQ(sectionMap(*store_, file_.verGuid).at("b").size(), 4073u);
}

TEST_F(XattrOpsTest, AttributesSurviveAReopenOfTheStore) {
  ItemName item("/f");
  ASSERT_OK(store_->setxattr(item, "user.x", Bytes{'v', 'a', 'l'}));
  ASSERT_OK(store_->setxattr(item, "user.y", Bytes{0, 0xFF}));
  ASSERT_OK(store_->removexattr(item, "user.y"));
  closeStore(*store_);

  store_ = openStore(liveConfig());
  ASSERT_NE(store_, nullptr);
  EXPECT_FALSE(store_->xattrCache().contains(file_.verGuid));
  EXPECT_EQ(get("/f", "user.x"), (Bytes{'v', 'a', 'l'}));
  EXPECT_EQ(list(*store_, "/f"), (std::vector<std::string>{"user.x"}));
  // The index holds the same set, without the removed attribute.
  EXPECT_EQ(indexMap(*store_, file_.objGuid), (XattrMap{{"user.x", Bytes{'v', 'a', 'l'}}}));
}

TEST_F(XattrOpsTest, RecentlyChangedItemIsAnsweredFromTheCaches) {
  ItemName item("/f");
  ASSERT_OK(store_->setxattr(item, "c", Bytes{4}));
  cache_->resetCounts();
  LogCapture log;
  ItemName byGuid(file_.objGuid, false);
  Bytes value;
  ASSERT_OK(store_->getxattr(byGuid, "c", value));
  EXPECT_EQ(value, (Bytes{4}));
  EXPECT_EQ(cache_->readSectionsCalls.load(), 0);
  EXPECT_EQ(log.countContaining("] open ["), 0u) << log.dump();
  EXPECT_EQ(store_->findOpenFile(file_.objGuid), nullptr);
}

TEST_F(XattrOpsTest, AttributesOfADirectoryAndOfALink) {
  ItemName dir;
  ASSERT_OK(store_->mkdir(dir, "/d", 0755));
  ItemName link;
  ASSERT_OK(store_->createSymbolicLink(link, "f", "/d/l"));
  ItemName dirName("/d");
  ItemName linkName("/d/l");
  ASSERT_OK(store_->setxattr(dirName, "on.dir", Bytes{1}));
  ASSERT_OK(store_->setxattr(linkName, "on.link", Bytes{2}));
  EXPECT_EQ(get("/d", "on.dir"), (Bytes{1}));
  EXPECT_EQ(get("/d/l", "on.link"), (Bytes{2}));
  EXPECT_EQ(sectionMap(*store_, dir.verGuid), (XattrMap{{"on.dir", Bytes{1}}}));
  EXPECT_EQ(list(*store_, "/f"), std::vector<std::string>{});
  // The link's target is not disturbed by its attributes.
  std::string target;
  ASSERT_OK(store_->readLink(ItemName("/d/l"), target));
  EXPECT_EQ(target, "f");
}

TEST_F(XattrOpsTest, MissingItemFailsEnoent) {
  ItemName missing("/none");
  Bytes value;
  std::vector<std::string> names;
  EXPECT_EQ(store_->getxattr(missing, "a", value).errNo(), ENOENT);
  EXPECT_EQ(store_->setxattr(missing, "a", Bytes{1}).errNo(), ENOENT);
  EXPECT_EQ(store_->listxattr(missing, names).errNo(), ENOENT);
  EXPECT_EQ(store_->removexattr(missing, "a").errNo(), ENOENT);
}

TEST_F(XattrOpsTest, UnreadableSectionFailsInsteadOfDroppingTheOtherAttributes) {
  ItemName item("/f");
  ASSERT_OK(store_->setxattr(item, "old", Bytes{1}));
  store_->xattrCache().clear();
  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Read, 1, EIO, true});
  index().resetCounts();
  CZnError err = store_->setxattr(item, "new", Bytes{2});
  cache_->clearFaults();
  EXPECT_FALSE(err.ok());
  EXPECT_EQ(index().updateCalls.load(), 0);
  EXPECT_EQ(indexMap(*store_, file_.objGuid), (XattrMap{{"old", Bytes{1}}}));
}

TEST_F(XattrOpsTest, DamagedBlobIsReportedNotOverwritten) {
  ItemName item("/f");
  ASSERT_OK(store_->setxattr(item, "x", Bytes{1}));
  store_->xattrCache().clear();
  // One entry whose name would run past the end of the section: the next
  // change must not replace what it can't read.
  Bytes section(4096, 0);
  section[0] = 0x01;
  section[4] = 0x88;  // name size 5000
  section[5] = 0x13;
  ASSERT_OK(store_->writeXattrDataToSegment(file_.verGuid, section));
  index().resetCounts();
  EXPECT_EQ(store_->setxattr(item, "y", Bytes{2}).errNo(), EINVAL);
  EXPECT_EQ(index().updateCalls.load(), 0);
  std::vector<std::string> names;
  EXPECT_EQ(store_->listxattr(item, names).errNo(), EINVAL);
  Bytes value;
  EXPECT_EQ(store_->getxattr(item, "x", value).errNo(), EINVAL);
}

TEST_F(XattrOpsTest, ReadOnlyStoreRefusesChangesButAnswersReads) {
  ItemName item("/f");
  ASSERT_OK(store_->setxattr(item, "a", Bytes{1}));
  closeStore(*store_);
  ObjectStoreConfig config = liveConfig();
  config.readOnly = true;
  store_ = openStore(config);
  ASSERT_NE(store_, nullptr);
  ItemName again("/f");
  EXPECT_EQ(store_->setxattr(again, "b", Bytes{2}).errNo(), EPERM);
  EXPECT_EQ(store_->removexattr(again, "a").errNo(), EPERM);
  EXPECT_EQ(get("/f", "a"), (Bytes{1}));
  EXPECT_EQ(list(*store_, "/f"), (std::vector<std::string>{"a"}));
}

TEST_F(XattrOpsTest, DiscardWritesStoreKeepsAttributesOutOfTheIndex) {
  ObjectStore* view = openStore(pitConfig(kNow - 10, "pit", true, "view"));
  ASSERT_NE(view, nullptr);
  ItemName local;
  ASSERT_OK(view->create(local, "/g", 0644, FILE_TYPE_REGULAR));
  auto& viewIndex = *shareIndex(view->getConfig());
  viewIndex.resetCounts();
  ItemName item("/g");
  ASSERT_OK(view->setxattr(item, "k", Bytes{3}));
  EXPECT_EQ(viewIndex.updateCalls.load(), 0);
  EXPECT_EQ(sectionMap(*view, local.verGuid), (XattrMap{{"k", Bytes{3}}}));
  EXPECT_EQ(list(*view, "/g"), (std::vector<std::string>{"k"}));
}

}  // namespace
}  // namespace ObjectStore
