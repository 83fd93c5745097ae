// Collect-file sync: changes other writers recorded in the index while this
// cache did not follow them are replayed at start-up onto the local entry
// lists and headers, and only onto those.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ObjectStore/StoreHelpers.h"
#include "core/StoreFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore {
namespace {

using test::LogCapture;

constexpr int64_t kNow = 1660000000;

// The share's real index, except that the change feed hands out the records
// a test scripted (once), so that every field can be chosen.
class ScriptedFeedIndex : public test::RecordingIndex {
 public:
  using RecordingIndex::RecordingIndex;

  void script(std::vector<index_iface_props> records) {
    std::lock_guard<std::mutex> guard(mutex_);
    scripted_ = std::move(records);
    armed_ = true;
  }
  int feedReads() const { return feedReads_; }

  int get_initial_cache_items(std::vector<index_iface_props>& items) override {
    ++feedReads_;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!armed_) return RecordingIndex::get_initial_cache_items(items);
    armed_ = false;
    items = std::move(scripted_);
    scripted_.clear();
    return 0;
  }

 private:
  std::mutex mutex_;
  std::vector<index_iface_props> scripted_;
  bool armed_ = false;
  std::atomic<int> feedReads_{0};
};

class CollectFilesTest : public test::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    clock_ = std::make_unique<ManualClock>(kNow);
    const ObjectStoreConfig config = liveConfig();
    index_iface::args args;
    args.subclient = config.subclient;
    args.indexRoot = containerDir_ + "/index";
    args.shareKey = ObjectContainer::shareKeyOf(config.name, config.subclient);
    index_ = std::make_shared<ScriptedFeedIndex>(args);
    ASSERT_EQ(index_->init(), 0);
    indexes_[args.shareKey] = index_;
    store_ = openStore(config);
    ASSERT_NE(store_, nullptr);
    ASSERT_OK(store_->mkdir(dirA_, "/A", 0755));
    ASSERT_OK(store_->mkdir(dirB_, "/B", 0755));
    ASSERT_OK(store_->create(file_, "/A/f", 0640, FILE_TYPE_REGULAR));
    ASSERT_OK(store_->create(clash_, "/B/g", 0644, FILE_TYPE_REGULAR));
  }
  void TearDown() override {
    StoreFixture::TearDown();
    clock_.reset();
  }

  // Restarts the live store with these change records waiting in the feed.
  void restartWith(std::vector<index_iface_props> records) {
    closeStore(*store_);
    index_->script(std::move(records));
    store_ = openStore(liveConfig());
    ASSERT_NE(store_, nullptr);
  }

  static index_iface_props change(uint32_t kind, const ItemName& item, const guid_t& parent,
                                  const std::string& path) {
    index_iface_props record;
    record.changeKind = kind;
    record.objGuid = item.objGuid;
    record.verGuid = item.verGuid;
    record.parentGuid = parent;
    record.path = path;
    record.name = path.substr(path.rfind('/') + 1);
    return record;
  }

  // What the entry list on disk holds, in order (the cache is not asked).
  std::vector<std::pair<guid_t, std::string>> listOnDisk(const ItemName& dir) {
    std::vector<std::pair<guid_t, std::string>> out;
    auto sections = readAllRaw(*store_, store_->fullDirGuid(dir.objGuid));
    const SectionV* s = findSection(sections, SECTION_DATA);
    if (s == nullptr) return out;
    const auto& bytes = s->data;
    size_t pos = 0;
    while (pos < bytes.size() && bytes[pos] != 0) {
      const size_t guidEnd = std::find(bytes.begin() + pos, bytes.end(), 0) - bytes.begin();
      const size_t nameEnd = std::find(bytes.begin() + guidEnd + 1, bytes.end(), 0) - bytes.begin();
      out.emplace_back(std::string(bytes.begin() + pos, bytes.begin() + guidEnd),
                       std::string(bytes.begin() + guidEnd + 1, bytes.begin() + nameEnd));
      pos = nameEnd + 1;
    }
    return out;
  }
  CXFileHeader attributesOnDisk(const guid_t& segment) {
    CXFileHeader header;
    auto sections = readAllRaw(*store_, segment);
    const SectionV* s = findSection(sections, SECTION_ATTRIBUTE);
    EXPECT_NE(s, nullptr);
    if (s != nullptr) std::memcpy(&header, s->data.data(), sizeof(header));
    return header;
  }
  guid_t lookup(const std::string& path) {
    guid_t guid;
    EXPECT_OK(store_->lookupPathInDirEnt(guid, path));
    return guid;
  }

  std::unique_ptr<ManualClock> clock_;
  std::shared_ptr<ScriptedFeedIndex> index_;
  ObjectStore* store_ = nullptr;
  ItemName dirA_, dirB_, file_, clash_;
};

TEST_F(CollectFilesTest, AddAppendsToALocalParentOnceAndOnlyThere) {
  const ItemName newcomer(test::fakeGuid('1'), false);
  const ItemName listed = file_;
  ItemName elsewhere(test::fakeGuid('2'), false);
  LogCapture log;
  restartWith({change(1, newcomer, dirA_.objGuid, "/A/new"),
               change(1, listed, dirA_.objGuid, "/A/f"),
               change(1, elsewhere, test::fakeGuid('3'), "/nowhere/x")});
  EXPECT_TRUE(log.contains("[share_42] Syncing 3 items", 0)) << log.dump();
  EXPECT_TRUE(log.contains("processing ADD [" + newcomer.objGuid + "]", 5));
  const auto onDisk = listOnDisk(dirA_);
  ASSERT_EQ(onDisk.size(), 2u);
  EXPECT_EQ(onDisk[0], std::make_pair(file_.objGuid, std::string("f")));
  EXPECT_EQ(onDisk[1], std::make_pair(newcomer.objGuid, std::string("new")));
  EXPECT_FALSE(cache_->DiskCache::doesSegmentExist(store_->diskCacheContext(),
                                                   store_->fullDirGuid(test::fakeGuid('3'))));
}

TEST_F(CollectFilesTest, DeleteRemovesTheEntryAndItsCachedPath) {
  LogCapture log;
  restartWith({change(3, file_, dirA_.objGuid, "/A/f")});
  EXPECT_TRUE(log.contains("processing DELETE [" + file_.objGuid + "]", 5));
  EXPECT_TRUE(listOnDisk(dirA_).empty());
  EXPECT_TRUE(lookup("/A/f").empty());
  std::string path;
  EXPECT_FALSE(store_->pathCache().findData(file_.objGuid, path).ok());
}

TEST_F(CollectFilesTest, RenameMovesTheEntryReplacingTheNameAtTheTarget) {
  // f is cached under its old name before the restart's sync runs.
  LogCapture log;
  restartWith({change(4, file_, dirB_.objGuid, "/B/g")});
  EXPECT_TRUE(log.contains("processing RENAME [" + file_.objGuid + "] name=[g]", 5));
  EXPECT_TRUE(listOnDisk(dirA_).empty());
  const auto inB = listOnDisk(dirB_);
  ASSERT_EQ(inB.size(), 1u);
  EXPECT_EQ(inB[0], std::make_pair(file_.objGuid, std::string("g")));
  EXPECT_EQ(lookup("/B/g"), file_.objGuid);
  EXPECT_TRUE(lookup("/A/f").empty());

  FileHeaderData data;
  ASSERT_OK(store_->readFileHeaderData(data, file_.verGuid));
  EXPECT_STREQ(data.parentGuid, dirB_.objGuid.c_str());
  auto sections = readAllRaw(*store_, file_.verGuid);
  std::memcpy(&data, findSection(sections, SECTION_HEADER)->data.data(), sizeof(data));
  EXPECT_STREQ(data.parentGuid, dirB_.objGuid.c_str());
  std::string path;
  ASSERT_OK(store_->pathCache().findData(file_.objGuid, path));
  EXPECT_EQ(path, "/B/g");
}

TEST_F(CollectFilesTest, RenameWithinADirectoryForgetsTheOldName) {
  LogCapture log;
  // A cached list of A exists when the rename is replayed: an ADD first
  // makes the sync read it.
  restartWith({change(1, ItemName(test::fakeGuid('6'), false), dirA_.objGuid, "/A/other"),
               change(4, file_, dirA_.objGuid, "/A/renamed")});
  const auto inA = listOnDisk(dirA_);
  ASSERT_EQ(inA.size(), 2u);
  EXPECT_EQ(inA[1], std::make_pair(file_.objGuid, std::string("renamed")));
  EXPECT_EQ(lookup("/A/renamed"), file_.objGuid);
  EXPECT_TRUE(lookup("/A/f").empty());
}

TEST_F(CollectFilesTest, UpdateChangesOnlyTheValuesTheRecordCarries) {
  index_iface_props update = change(2, file_, dirA_.objGuid, "/A/f");
  update.size = 4321;
  update.uidValid = true;
  update.uid = 77;
  update.mtime = kNow + 100;
  // No mode, gid or ctime in the record.
  const CXFileHeader before = attributesOnDisk(file_.verGuid);
  LogCapture log;
  restartWith({update});
  EXPECT_TRUE(log.contains("processing UPDATE [" + file_.objGuid + "]", 5));
  const CXFileHeader after = attributesOnDisk(file_.verGuid);
  EXPECT_EQ(after.size, 4321u);
  EXPECT_EQ(after.uid, 77u);
  EXPECT_EQ(after.mtime, static_cast<uint64_t>(kNow + 100));
  EXPECT_EQ(after.mode, before.mode);
  EXPECT_EQ(after.mode, static_cast<uint64_t>(S_IFREG | 0640));
  EXPECT_EQ(after.gid, before.gid);
  EXPECT_EQ(after.ctime, before.ctime);
  // Readers see it too, not a cached older copy.
  struct stat st {};
  ItemName item("/A/f");
  ASSERT_OK(store_->getattr(item, st));
  EXPECT_EQ(st.st_size, 4321);
  EXPECT_EQ(st.st_uid, 77u);
  EXPECT_EQ(st.st_mode, S_IFREG | 0640);
}

TEST_F(CollectFilesTest, RecordsOfExtentsAreSkipped) {
  index_iface_props update = change(2, file_, dirA_.objGuid, "/A/f");
  update.modeValid = true;
  update.mode = S_IFREG | 0777;
  update.updateSelector = 1;
  index_iface_props add = change(1, ItemName(test::fakeGuid('8'), false), dirA_.objGuid, "/A/x");
  add.updateSelector = 1;
  LogCapture log;
  restartWith({update, add});
  EXPECT_TRUE(log.contains("processing [" + file_.objGuid + "]", 5));
  EXPECT_FALSE(log.contains("processing UPDATE [" + file_.objGuid + "]"));
  EXPECT_EQ(attributesOnDisk(file_.verGuid).mode, static_cast<uint64_t>(S_IFREG | 0640));
  EXPECT_EQ(listOnDisk(dirA_).size(), 1u);
}

TEST_F(CollectFilesTest, ChangesOfAnotherWriterArriveThroughTheRealFeed) {
  closeStore(*store_);
  // A second writer of the same share, reading the feed under its own name.
  index_iface::args args = index_->arguments();
  index_iface other(args);
  ASSERT_EQ(other.init(), 0);
  other.setChangeConsumer("other-writer");
  std::vector<index_iface_props> ignored;
  ASSERT_EQ(other.get_initial_cache_items(ignored), 0);
  index_iface_props props;
  props.objGuid = test::fakeGuid('a');
  props.verGuid = test::fakeGuid('b');
  props.path = "/A/fromafar";
  props.parentGuid = dirA_.objGuid;
  props.modeValid = props.uidValid = props.gidValid = true;
  props.mode = S_IFREG | 0600;
  props.uid = props.gid = 0;
  props.size = 0;
  props.atime = props.ctime = props.mtime = kNow;
  props.extentSize = 4096;
  props.itemFlag = 1;
  props.vtime = clockNowNs();
  ASSERT_EQ(other.add_item(props), 0);

  LogCapture log;
  store_ = openStore(liveConfig());
  ASSERT_NE(store_, nullptr);
  const auto inA = listOnDisk(dirA_);
  ASSERT_EQ(inA.size(), 2u);
  EXPECT_EQ(inA[1], std::make_pair(props.objGuid, std::string("fromafar")));

  // Its own changes never come back to it.
  closeStore(*store_);
  log.clear();
  store_ = openStore(liveConfig());
  ASSERT_NE(store_, nullptr);
  EXPECT_TRUE(log.contains("[share_42] No items to sync", 0)) << log.dump();
}

TEST_F(CollectFilesTest, PointInTimeViewsNeitherReplayNorConsumeTheFeed) {
  const int readsBefore = index_->feedReads();
  index_->script({change(1, ItemName(test::fakeGuid('c'), false), dirA_.objGuid, "/A/late")});
  clock_->advanceSec(5);
  ObjectStore* view = openStore(pitConfig(kNow, "pit"));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(index_->feedReads(), readsBefore);
  // The live store still gets the change on its next start.
  closeStore(*store_);
  store_ = openStore(liveConfig());
  ASSERT_NE(store_, nullptr);
  EXPECT_EQ(listOnDisk(dirA_).back().second, "late");
}

}  // namespace
}  // namespace ObjectStore
