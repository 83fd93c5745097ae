// Directory listing: the paged readdir and the directory handles (opendir,
// readdir, readdir_ex, seekdir, telldir, closedir).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/StoreOpsFixture.h"

namespace ObjectStore {
namespace {

using test::fakeGuid;
using test::LogCapture;

// Owns a handle from opendir and closes it at the end of the test.
struct HandleCloser {
  ObjectStore* store = nullptr;
  DirHandle* handle = nullptr;
  ~HandleCloser() {
    if (store != nullptr) EXPECT_OK(store->closedir(handle));
  }
};

class ListingTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    openLiveStore();
  }

  static std::vector<std::string> names(const GuidPathList& list) {
    std::vector<std::string> out;
    for (const auto& entry : list) out.push_back(entry.second);
    return out;
  }

  // Every name the handle still gives, in order.
  std::vector<std::string> drain(DirHandle* handle) {
    std::vector<std::string> out;
    for (;;) {
      struct dirent* entry = nullptr;
      guid_t guid;
      EXPECT_OK(store_->readdir(handle, &entry, guid));
      if (entry == nullptr) return out;
      out.push_back(entry->d_name);
    }
  }
};

// A stat record filled with a pattern, to see whether a call touched it.
struct stat patternStat() {
  struct stat st;
  std::memset(&st, 0xA5, sizeof(st));
  return st;
}

bool sameBytes(const struct stat& a, const struct stat& b) {
  return std::memcmp(&a, &b, sizeof(a)) == 0;
}

TEST_F(ListingTest, EmptyDirectoryListsExactlyDotAndDotDot) {
  const guid_t dir = makeDir("/d");
  ItemName item("/d");
  GuidPathList out;
  bool done = false;
  ASSERT_OK(store_->readdir(item, out, 0, DIRENT_READ_ALL, done));
  EXPECT_EQ(out, (GuidPathList{{dir, "."}, {store_->getRootGuid(), ".."}}));
  EXPECT_TRUE(done);

  HandleCloser closer{store_};
  ItemName again("/d");
  ASSERT_OK(store_->opendir(&closer.handle, again));
  uint64_t cookie = 0;
  const struct stat untouched = patternStat();
  for (const char* expected : {".", ".."}) {
    struct stat st = patternStat();
    struct dirent* entry = nullptr;
    guid_t guid;
    ASSERT_OK(store_->readdir_ex(closer.handle, &entry, guid, st, &cookie));
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->d_name, expected);
    EXPECT_TRUE(sameBytes(st, untouched)) << expected;
  }
  EXPECT_EQ(cookie, 2u);
  struct stat st = patternStat();
  struct dirent* entry = &closer.handle->current;  // must be overwritten
  guid_t guid;
  ASSERT_OK(store_->readdir_ex(closer.handle, &entry, guid, st, &cookie));
  EXPECT_EQ(entry, nullptr);
  EXPECT_EQ(cookie, 2u);
  EXPECT_TRUE(sameBytes(st, untouched));
}

TEST_F(ListingTest, ReaddirExFillsChildAttributesMatchingTheEntry) {
  makeDir("/d");
  const guid_t file = makeFile("/d/f");
  const guid_t sub = makeDir("/d/sub");
  HandleCloser closer{store_};
  ItemName dir("/d");
  ASSERT_OK(store_->opendir(&closer.handle, dir));
  uint64_t cookie = 2;  // past "." and ".."
  std::vector<std::string> seen;
  for (;;) {
    struct stat st = patternStat();
    struct dirent* entry = nullptr;
    guid_t guid;
    ASSERT_OK(store_->readdir_ex(closer.handle, &entry, guid, st, &cookie));
    if (entry == nullptr) break;
    seen.push_back(entry->d_name);
    EXPECT_EQ(st.st_ino, entry->d_ino) << entry->d_name;
    if (seen.back() == "f") {
      EXPECT_EQ(guid, file);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_size, 0);
    } else {
      EXPECT_EQ(guid, sub);
      EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"f", "sub"}));
  EXPECT_EQ(cookie, 4u);
}

TEST_F(ListingTest, TelldirCountsEntriesAndSeekdirRepositions) {
  makeDir("/d");
  for (const char* name : {"/d/a", "/d/b", "/d/c"}) makeFile(name);
  HandleCloser closer{store_};
  ItemName dir("/d");
  ASSERT_OK(store_->opendir(&closer.handle, dir));
  for (int i = 0; i < 3; ++i) {
    struct dirent* entry = nullptr;
    guid_t guid;
    ASSERT_OK(store_->readdir(closer.handle, &entry, guid));
    ASSERT_NE(entry, nullptr);
  }
  unsigned long position = 0;
  ASSERT_OK(store_->telldir(closer.handle, position));
  EXPECT_EQ(position, 3u);

  ASSERT_OK(store_->seekdir(closer.handle, 1));
  struct dirent* entry = nullptr;
  guid_t guid;
  ASSERT_OK(store_->readdir(closer.handle, &entry, guid));
  ASSERT_NE(entry, nullptr);
  EXPECT_STREQ(entry->d_name, "..");
  EXPECT_EQ(guid, store_->getRootGuid());
  EXPECT_EQ(entry->d_off, 1);
  EXPECT_EQ(drain(closer.handle), (std::vector<std::string>{"a", "b", "c"}));

  // Past the end: the end, not an error.
  ASSERT_OK(store_->seekdir(closer.handle, 1000));
  EXPECT_TRUE(drain(closer.handle).empty());
  ASSERT_OK(store_->telldir(closer.handle, position));
  EXPECT_EQ(position, 1000u);
}

TEST_F(ListingTest, DirentFieldsComeFromGuidAndIndex) {
  DirHandle handle;
  const std::string longName(300, 'n');
  handle.entries = {{"0123456789abcdef00000000000000ff", "small"},
                    {"fedcba9876543210123456789abcdefz", "stops at z"},
                    {"short", "no digits"},
                    {fakeGuid('1'), longName}};
  struct dirent* entry = nullptr;
  guid_t guid;

  ASSERT_OK(store_->readdir(&handle, &entry, guid));
  ASSERT_EQ(entry, &handle.current);
  EXPECT_EQ(guid, "0123456789abcdef00000000000000ff");
  EXPECT_EQ(entry->d_ino, 255u);
  EXPECT_EQ(entry->d_off, 0);
  EXPECT_EQ(entry->d_reclen, 280);
  EXPECT_EQ(entry->d_type, 0);
  EXPECT_STREQ(entry->d_name, "small");

  ASSERT_OK(store_->readdir(&handle, &entry, guid));
  EXPECT_EQ(entry->d_ino, 0x123456789abcdefu);
  EXPECT_EQ(entry->d_off, 1);

  ASSERT_OK(store_->readdir(&handle, &entry, guid));
  EXPECT_EQ(entry->d_ino, 0u);
  EXPECT_EQ(entry->d_off, 2);
  EXPECT_STREQ(entry->d_name, "no digits");

  ASSERT_OK(store_->readdir(&handle, &entry, guid));
  EXPECT_EQ(std::string(entry->d_name), longName.substr(0, 255));
  EXPECT_EQ(entry->d_name[255], '\0');
  EXPECT_EQ(entry->d_off, 3);
  EXPECT_EQ(entry->d_ino, 0x1111111111111111u);

  ASSERT_OK(store_->readdir(&handle, &entry, guid));
  EXPECT_EQ(entry, nullptr);
  EXPECT_EQ(handle.position, 4u);
}

// New names are at most 255 bytes, but a list written before that limit can
// hold a longer one: the listing cuts it to what a directory entry holds.
TEST_F(ListingTest, LongNameOfARealChildIsCutTo255Bytes) {
  const guid_t dirGuid = makeDir("/d");
  const std::string longName(300, 'q');
  ItemName item;
  EXPECT_EQ(store_->create(item, "/d/" + longName, 0644, FILE_TYPE_REGULAR).errNo(),
            ENAMETOOLONG);
  const guid_t file = makeFile("/f");
  ASSERT_OK(store_->addToDirEnt(dirGuid, file, longName, true));
  HandleCloser closer{store_};
  ItemName dir("/d");
  ASSERT_OK(store_->opendir(&closer.handle, dir));
  EXPECT_EQ(drain(closer.handle), (std::vector<std::string>{".", "..", longName.substr(0, 255)}));
}

TEST_F(ListingTest, ReaddirExWithCookieAtTheEndLeavesItUnchanged) {
  makeDir("/d");
  makeFile("/d/a");
  HandleCloser closer{store_};
  ItemName dir("/d");
  ASSERT_OK(store_->opendir(&closer.handle, dir));
  ASSERT_EQ(closer.handle->entries.size(), 3u);
  uint64_t cookie = 3;
  struct stat st = patternStat();
  const struct stat untouched = patternStat();
  struct dirent* entry = &closer.handle->current;
  guid_t guid = "unchanged";
  ASSERT_OK(store_->readdir_ex(closer.handle, &entry, guid, st, &cookie));
  EXPECT_EQ(entry, nullptr);
  EXPECT_EQ(cookie, 3u);
  EXPECT_EQ(guid, "unchanged");
  EXPECT_TRUE(sameBytes(st, untouched));

  // A cookie positions the read wherever the handle was.
  cookie = 2;
  ASSERT_OK(store_->readdir_ex(closer.handle, &entry, guid, st, &cookie));
  ASSERT_NE(entry, nullptr);
  EXPECT_STREQ(entry->d_name, "a");
  EXPECT_EQ(cookie, 3u);
}

TEST_F(ListingTest, PagedReaddirAddsDotEntriesToEveryPage) {
  const guid_t dir = makeDir("/d");
  const guid_t a = makeFile("/d/a");
  const guid_t b = makeFile("/d/b");
  makeFile("/d/c");
  ItemName item("/d");
  GuidPathList out;
  bool done = true;
  ASSERT_OK(store_->readdir(item, out, 5, DIRENT_READ_ALL, done));
  EXPECT_EQ(out, (GuidPathList{{dir, "."}, {store_->getRootGuid(), ".."}}));

  ASSERT_OK(store_->readdir(item, out, 0, 2, done));
  EXPECT_EQ(out, (GuidPathList{{dir, "."}, {store_->getRootGuid(), ".."}, {a, "a"}, {b, "b"}}));

  ASSERT_OK(store_->readdir(item, out, 0, DIRENT_READ_ALL, done));
  EXPECT_EQ(names(out), (std::vector<std::string>{".", "..", "a", "b", "c"}));
  EXPECT_TRUE(done);
}

TEST_F(ListingTest, RootListsItselfAsDot) {
  const guid_t d = makeDir("/d");
  ItemName root("/");
  GuidPathList out;
  bool done = false;
  ASSERT_OK(store_->readdir(root, out, 0, DIRENT_READ_ALL, done));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], std::make_pair(store_->getRootGuid(), std::string(".")));
  EXPECT_EQ(out[1].second, "..");
  EXPECT_EQ(out[2], std::make_pair(d, std::string("d")));
}

TEST_F(ListingTest, HandleIsASnapshotTakenAtOpendir) {
  makeDir("/d");
  makeFile("/d/before");
  HandleCloser closer{store_};
  ItemName dir("/d");
  LogCapture log;
  ASSERT_OK(store_->opendir(&closer.handle, dir));
  EXPECT_TRUE(log.contains("[share_42] opendir [] [/d]", 3)) << log.dump();
  EXPECT_TRUE(log.contains("[share_42] readdir [] [/d] off=[0]", 3)) << log.dump();
  makeFile("/d/after");
  EXPECT_EQ(drain(closer.handle), (std::vector<std::string>{".", "..", "before"}));
}

TEST_F(ListingTest, MissingDirectoryFailsButStillHandsOutTheHandle) {
  HandleCloser closer{store_};
  ItemName dir("/nothing");
  CZnError err = store_->opendir(&closer.handle, dir);
  EXPECT_EQ(err.errNo(), ENOENT);
  ASSERT_NE(closer.handle, nullptr);
  EXPECT_TRUE(drain(closer.handle).empty());

  GuidPathList out{{"stale", "stale"}};
  bool done = true;
  ItemName again("/nothing");
  EXPECT_EQ(store_->readdir(again, out, 0, 10, done).errNo(), ENOENT);
}

TEST_F(ListingTest, NullHandlesAreRefusedAndClosedirAcceptsNull) {
  struct dirent* entry = nullptr;
  guid_t guid;
  struct stat st {};
  uint64_t cookie = 0;
  unsigned long position = 0;
  EXPECT_EQ(store_->readdir(nullptr, &entry, guid).errNo(), EINVAL);
  EXPECT_EQ(store_->readdir_ex(nullptr, &entry, guid, st, &cookie).errNo(), EINVAL);
  EXPECT_EQ(store_->seekdir(nullptr, 3).errNo(), EINVAL);
  EXPECT_EQ(store_->telldir(nullptr, position).errNo(), EINVAL);
  ItemName dir("/");
  EXPECT_EQ(store_->opendir(nullptr, dir).errNo(), EINVAL);
  EXPECT_OK(store_->closedir(nullptr));
}

}  // namespace
}  // namespace ObjectStore
