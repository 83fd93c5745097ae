// The container's file-system operations: every one reaches the store named
// by its index, counts itself under its own key (and the requested bytes for
// read and write), and fails with ENOENT "Invalid store" on an index that is
// not open, counted all the same.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/StoreFixture.h"

namespace ObjectStore {
namespace {

using test::Bytes;
using test::LogCapture;
using C = ContainerCounter;
using Snapshot = std::array<uint64_t, ObjectContainerCounters::NUM_COUNTERS>;
using Deltas = std::map<ContainerCounter, uint64_t>;

Bytes toBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

class ContainerOpsTest : public test::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    ASSERT_OK(container_->openObjectStore(index_, liveConfig()));
  }

  Snapshot snapshot() const {
    Snapshot values{};
    for (size_t i = 0; i < values.size(); ++i) values[i] = container_->counters().get(i);
    return values;
  }

  // Runs op and checks that exactly the counters in `expected` moved, each
  // by its amount. "pruneFile" is left out: the disk cache's pruner may
  // call in at any moment.
  void expectCounted(const std::string& what, const Deltas& expected,
                     const std::function<void()>& op) {
    const Snapshot before = snapshot();
    op();
    const Snapshot after = snapshot();
    for (size_t i = 0; i < before.size(); ++i) {
      if (static_cast<C>(i) == C::PRUNE_FILE) continue;
      auto it = expected.find(static_cast<C>(i));
      const uint64_t want = it == expected.end() ? 0 : it->second;
      EXPECT_EQ(after[i] - before[i], want)
          << what << ": counter " << ObjectContainerCounters::name(i);
    }
  }

  ObjectStoreIndex index_ = 0;
};

// ---------------------------------------------------------------------------
// Closed and unknown indexes

// One call of every operation on `index`, with the counters it must move.
struct Call {
  const char* name;
  Deltas counted;
  std::function<CZnError(ObjectContainer&, ObjectStoreIndex)> run;
};

std::vector<Call> everyOperation() {
  static FileHandle handle;
  static DirHandle* noDir = nullptr;
  static char buffer[64];
  return {
      {"create",
       {{C::CREATE, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName parent("/"), item;
         return c.create(i, parent, item, "f", 0644);
       }},
      {"create by path",
       {{C::CREATE, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item;
         return c.create(i, item, "/f", 0644);
       }},
      {"createAndOpen",
       {{C::CREATE_AND_OPEN, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName parent("/");
         struct stat st {};
         return c.createAndOpen(i, handle, parent, "f", st, O_RDWR);
       }},
      {"createSymbolicLink",
       {{C::CREATE_SYMLINK, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName parent("/"), item;
         return c.createSymbolicLink(i, parent, "l", item, "t");
       }},
      {"createSymbolicLink by path",
       {{C::CREATE_SYMLINK, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item;
         return c.createSymbolicLink(i, item, "/l", "t");
       }},
      {"mkdir",
       {{C::MKDIR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName parent("/"), item;
         return c.mkdir(i, parent, item, "d", 0755);
       }},
      {"mkdir by path",
       {{C::MKDIR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item;
         return c.mkdir(i, item, "/d", 0755);
       }},
      {"open",
       {{C::OPEN, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/f");
         return c.open(i, handle, item, O_RDONLY, false);
       }},
      {"close",
       {{C::CLOSE, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) { return c.close(i, handle); }},
      {"write",
       {{C::WRITE, 1}, {C::WRITE_BYTES, 123}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         uint64_t len = 123;
         return c.write(i, handle, buffer, len, 0, NO_SYNC);
       }},
      {"read",
       {{C::READ, 1}, {C::READ_BYTES, 77}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         uint64_t got = 999;
         CZnError err = c.read(i, handle, buffer, 5, 77, got);
         EXPECT_EQ(got, 0u) << "a failed read delivers nothing";
         return err;
       }},
      {"readdir",
       {{C::READDIR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName dir("/");
         GuidPathList list;
         bool done = false;
         return c.readdir(i, dir, list, 0, 10, done);
       }},
      {"unlink",
       {{C::UNLINK, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/f");
         return c.unlink(i, item);
       }},
      {"rmdir",
       {{C::RMDIR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/d");
         return c.rmdir(i, item);
       }},
      {"rename",
       {{C::RENAME, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) { return c.rename(i, "/a", "/b", false); }},
      {"getattr",
       {{C::GETATTR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/");
         struct stat st {};
         return c.getattr(i, item, st);
       }},
      {"fsync",
       {{C::FSYNC, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/f");
         return c.fsync(i, item);
       }},
      {"fdatasync",
       {{C::FDATASYNC, 1}, {C::FSYNC, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/f");
         return c.fdatasync(i, item);
       }},
      {"lock",
       {{C::LOCK, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         LockInfo request, conflict;
         request.fh = &handle;
         return c.lock(i, request, conflict);
       }},
      {"unlock",
       {{C::UNLOCK, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         LockInfo request;
         request.fh = &handle;
         return c.unlock(i, request);
       }},
      {"telllock",
       {{C::TELLLOCK, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         LockInfo request;
         request.fh = &handle;
         bool locked = false;
         return c.telllock(i, request, locked);
       }},
      {"chmod",
       {{C::CHMOD, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/f");
         return c.chmod(i, item, 0600);
       }},
      {"utimes",
       {{C::UTIMES, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/f");
         timeval t{};
         return c.utimes(i, item, t, t);
       }},
      {"chown",
       {{C::CHOWN, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/f");
         return c.chown(i, item, 1, 2);
       }},
      {"readLink",
       {{C::READ_LINK, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         std::string target;
         return c.readLink(i, ItemName("/l"), target);
       }},
      {"statfs",
       {{C::STATFS, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         struct statfs buf {};
         return c.statfs(i, buf);
       }},
      {"truncate",
       {{C::TRUNCATE, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/f");
         return c.truncate(i, item, 0, false);
       }},
      {"guidToPath",
       {{C::GUID_TO_PATH, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         std::string path;
         return c.guidToPath(i, test::fakeGuid('a'), path);
       }},
      {"pathToGuid",
       {{C::PATH_TO_GUID, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         guid_t guid;
         return c.pathToGuid(i, guid, "/f");
       }},
      {"opendir",
       {{C::OPENDIR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         DirHandle* dir = reinterpret_cast<DirHandle*>(&handle);  // must be overwritten
         ItemName item("/");
         CZnError err = c.opendir(i, &dir, item);
         EXPECT_EQ(dir, nullptr) << "no handle comes out of a failed opendir";
         return err;
       }},
      {"seekdir",
       {{C::SEEKDIR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) { return c.seekdir(i, noDir, 1); }},
      {"readdir by handle",
       {{C::READDIR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         struct dirent* entry = nullptr;
         guid_t guid;
         return c.readdir(i, noDir, &entry, guid);
       }},
      {"readdir_ex",
       {{C::READDIR_EX, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         struct dirent* entry = nullptr;
         guid_t guid;
         struct stat st {};
         uint64_t cookie = 0;
         return c.readdir_ex(i, noDir, &entry, guid, st, &cookie);
       }},
      {"telldir",
       {},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         unsigned long position = 0;
         return c.telldir(i, noDir, position);
       }},
      {"closedir",
       {{C::CLOSEDIR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) { return c.closedir(i, noDir); }},
      {"setxattr",
       {{C::SETXATTR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/f");
         return c.setxattr(i, item, "user.a", toBytes("v"));
       }},
      {"getxattr",
       {{C::GETXATTR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/f");
         Bytes value;
         return c.getxattr(i, item, "user.a", value);
       }},
      {"listxattr",
       {{C::LISTXATTR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/f");
         std::vector<std::string> names;
         return c.listxattr(i, item, names);
       }},
      {"removexattr",
       {{C::REMOVEXATTR, 1}},
       [](ObjectContainer& c, ObjectStoreIndex i) {
         ItemName item("/f");
         return c.removexattr(i, item, "user.a");
       }},
  };
}

TEST_F(ContainerOpsTest, EveryOperationOnAClosedIndexFailsWithEnoentAndIsCounted) {
  ASSERT_OK(container_->closeObjectStore(index_));
  const std::string message = "Invalid store [" + std::to_string(index_) + "]";
  for (const Call& call : everyOperation()) {
    LogCapture log;
    expectCounted(call.name, call.counted, [&] {
      CZnError err = call.run(*container_, index_);
      EXPECT_EQ(err.errNo(), ENOENT) << call.name;
    });
    EXPECT_EQ(log.count(message, -1), 1u) << call.name << "\n" << log.dump();
  }
}

TEST_F(ContainerOpsTest, AnIndexNeverHandedOutBehavesLikeAClosedOne) {
  const ObjectStoreIndex never = index_ + 1000;
  for (const Call& call : everyOperation()) {
    LogCapture log;
    expectCounted(call.name, call.counted,
                  [&] { EXPECT_EQ(call.run(*container_, never).errNo(), ENOENT) << call.name; });
    EXPECT_TRUE(log.contains("Invalid store [" + std::to_string(never) + "]", -1)) << call.name;
  }
}

TEST_F(ContainerOpsTest, CountersAreReportedUnderTheirKeys) {
  const ObjectStoreIndex closed = index_ + 50;
  uint64_t len = 4096;
  FileHandle handle;
  char buf[16] = {};
  (void)container_->write(closed, handle, buf, len, 0, NO_SYNC);  // fails: unknown index
  (void)container_->write(closed, handle, buf, len, 0, NO_SYNC);
  uint64_t got = 0;
  (void)container_->read(closed, handle, buf, 0, 10, got);
  ItemName item("/x");
  (void)container_->fdatasync(closed, item);
  std::string target;
  (void)container_->readLink(closed, ItemName("/l"), target);

  std::map<std::string, std::string> report;
  ASSERT_OK(container_->getCounters(report));
  EXPECT_EQ(report["write"], "2");
  EXPECT_EQ(report["writeBytes"], "8192");
  EXPECT_EQ(report["read"], "1");
  EXPECT_EQ(report["readBytes"], "10");
  EXPECT_EQ(report["fdatasync"], "1");
  EXPECT_EQ(report["fsync"], "1");
  EXPECT_EQ(report["readLink"], "1");
  EXPECT_EQ(report["mknod"], "0");
  for (size_t i = 0; i < ObjectContainerCounters::NUM_COUNTERS; ++i)
    EXPECT_EQ(report.count(ObjectContainerCounters::name(i)), 1u);
}

// ---------------------------------------------------------------------------
// Round trips through an open store

TEST_F(ContainerOpsTest, FilesRoundTripThroughTheContainer) {
  ItemName dir;
  expectCounted("mkdir", {{C::MKDIR, 1}},
                [&] { ASSERT_OK(container_->mkdir(index_, dir, "/d", 0755)); });
  ASSERT_EQ(dir.objGuid.size(), 32u);

  ItemName parent("/d"), file;
  expectCounted("create", {{C::CREATE, 1}},
                [&] { ASSERT_OK(container_->create(index_, parent, file, "f", 0640)); });
  ASSERT_EQ(file.objGuid.size(), 32u);

  FileHandle handle;
  ItemName byPath("/d/f");
  expectCounted("open", {{C::OPEN, 1}},
                [&] { ASSERT_OK(container_->open(index_, handle, byPath, O_RDWR, false)); });
  EXPECT_EQ(handle.name.objGuid, file.objGuid);
  EXPECT_TRUE(handle.isWrite);

  const std::string text = "hello, container";
  uint64_t len = text.size();
  expectCounted("write", {{C::WRITE, 1}, {C::WRITE_BYTES, text.size()}}, [&] {
    ASSERT_OK(container_->write(index_, handle, text.data(), len, 3, DO_SYNC));
  });
  EXPECT_EQ(len, text.size());

  // Ask for more than there is: the request is counted, the delivery is not.
  std::vector<char> buf(100, 'x');
  uint64_t got = 0;
  expectCounted("read", {{C::READ, 1}, {C::READ_BYTES, 100}},
                [&] { ASSERT_OK(container_->read(index_, handle, buf.data(), 0, 100, got)); });
  ASSERT_EQ(got, text.size() + 3);
  EXPECT_EQ(std::string(buf.data(), 3), std::string(3, '\0'));
  EXPECT_EQ(std::string(buf.data() + 3, text.size()), text);
  got = 7;
  ASSERT_OK(container_->read(index_, handle, buf.data(), 1000, 10, got));
  EXPECT_EQ(got, 0u);

  expectCounted("close", {{C::CLOSE, 1}}, [&] { ASSERT_OK(container_->close(index_, handle)); });

  struct stat st {};
  ItemName byGuid(file.objGuid, false);
  expectCounted("getattr", {{C::GETATTR, 1}},
                [&] { ASSERT_OK(container_->getattr(index_, byGuid, st)); });
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), text.size() + 3);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  expectCounted("truncate", {{C::TRUNCATE, 1}},
                [&] { ASSERT_OK(container_->truncate(index_, byPath, 5, false)); });
  ASSERT_OK(container_->getattr(index_, byGuid, st));
  EXPECT_EQ(st.st_size, 5);

  expectCounted("fsync", {{C::FSYNC, 1}}, [&] { ASSERT_OK(container_->fsync(index_, byPath)); });
  expectCounted("fdatasync", {{C::FDATASYNC, 1}, {C::FSYNC, 1}},
                [&] { ASSERT_OK(container_->fdatasync(index_, byPath)); });
  // A directory can't be synced; the store's answer comes through unchanged.
  ItemName dirByPath("/d");
  EXPECT_EQ(container_->fsync(index_, dirByPath).errNo(), EINVAL);

  std::string path;
  expectCounted("guidToPath", {{C::GUID_TO_PATH, 1}},
                [&] { ASSERT_OK(container_->guidToPath(index_, file.objGuid, path)); });
  EXPECT_EQ(path, "/d/f");
  guid_t guid;
  expectCounted("pathToGuid", {{C::PATH_TO_GUID, 1}},
                [&] { ASSERT_OK(container_->pathToGuid(index_, guid, "/d/f")); });
  EXPECT_EQ(guid, file.objGuid);

  expectCounted("rename", {{C::RENAME, 1}},
                [&] { ASSERT_OK(container_->rename(index_, "/d/f", "/d/g", false)); });
  ASSERT_OK(container_->pathToGuid(index_, guid, "/d/g"));
  EXPECT_EQ(guid, file.objGuid);

  ItemName renamed("/d/g");
  expectCounted("unlink", {{C::UNLINK, 1}},
                [&] { ASSERT_OK(container_->unlink(index_, renamed)); });
  ItemName gone("/d/g");
  EXPECT_EQ(container_->getattr(index_, gone, st).errNo(), ENOENT);

  ItemName dirAgain("/d");
  expectCounted("rmdir", {{C::RMDIR, 1}}, [&] { ASSERT_OK(container_->rmdir(index_, dirAgain)); });
  ItemName dirGone("/d");
  EXPECT_EQ(container_->getattr(index_, dirGone, st).errNo(), ENOENT);
}

TEST_F(ContainerOpsTest, CreateByPathAndCreateAndOpen) {
  ItemName item;
  ASSERT_OK(container_->create(index_, item, "/byPath", 0600));
  ItemName again;
  EXPECT_EQ(container_->create(index_, again, "/byPath", 0600).errNo(), EEXIST);

  ItemName parent("/");
  FileHandle handle;
  struct stat st {};
  st.st_mode = 0644;
  expectCounted("createAndOpen", {{C::CREATE_AND_OPEN, 1}}, [&] {
    ASSERT_OK(container_->createAndOpen(index_, handle, parent, "opened", st, O_RDWR));
  });
  ASSERT_NE(handle.info, nullptr);
  uint64_t len = 4;
  ASSERT_OK(container_->write(index_, handle, "data", len, 0, NO_SYNC));
  ASSERT_OK(container_->close(index_, handle));
  ItemName opened("/opened");
  ASSERT_OK(container_->getattr(index_, opened, st));
  EXPECT_EQ(st.st_size, 4);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(ContainerOpsTest, AttributesLinksAndStatfs) {
  ItemName file;
  ASSERT_OK(container_->create(index_, file, "/f", 0644));

  ItemName item("/f");
  expectCounted("chmod", {{C::CHMOD, 1}},
                [&] { ASSERT_OK(container_->chmod(index_, item, 0600)); });
  expectCounted("chown", {{C::CHOWN, 1}},
                [&] { ASSERT_OK(container_->chown(index_, item, 7, 8)); });
  timeval atime{1700000000, 0}, mtime{1700000100, 0};
  expectCounted("utimes", {{C::UTIMES, 1}},
                [&] { ASSERT_OK(container_->utimes(index_, item, atime, mtime)); });
  struct stat st {};
  ASSERT_OK(container_->getattr(index_, item, st));
  EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFREG | 0600));
  EXPECT_EQ(st.st_uid, 7u);
  EXPECT_EQ(st.st_gid, 8u);
  EXPECT_EQ(st.st_mtime, 1700000100);

  ItemName root("/"), link;
  expectCounted("createSymbolicLink", {{C::CREATE_SYMLINK, 1}}, [&] {
    ASSERT_OK(container_->createSymbolicLink(index_, root, "l1", link, "x/y"));
  });
  ItemName link2;
  expectCounted("createSymbolicLink by path", {{C::CREATE_SYMLINK, 1}}, [&] {
    ASSERT_OK(container_->createSymbolicLink(index_, link2, "/l2", "/abs/target"));
  });
  std::string target;
  expectCounted("readLink", {{C::READ_LINK, 1}},
                [&] { ASSERT_OK(container_->readLink(index_, ItemName("/l1"), target)); });
  EXPECT_EQ(target, "x/y");
  ASSERT_OK(container_->readLink(index_, ItemName(link2.objGuid, false), target));
  EXPECT_EQ(target, "/abs/target");

  struct statfs fs {};
  expectCounted("statfs", {{C::STATFS, 1}}, [&] { ASSERT_OK(container_->statfs(index_, fs)); });
  EXPECT_GT(fs.f_bsize, 0);
}

TEST_F(ContainerOpsTest, ExtendedAttributes) {
  ItemName file;
  ASSERT_OK(container_->create(index_, file, "/f", 0644));
  ItemName item("/f");
  expectCounted("setxattr", {{C::SETXATTR, 1}},
                [&] { ASSERT_OK(container_->setxattr(index_, item, "user.b", toBytes("two"))); });
  ASSERT_OK(container_->setxattr(index_, item, "user.a", toBytes("one")));
  Bytes value;
  expectCounted("getxattr", {{C::GETXATTR, 1}},
                [&] { ASSERT_OK(container_->getxattr(index_, item, "user.b", value)); });
  EXPECT_EQ(value, toBytes("two"));
  std::vector<std::string> names;
  expectCounted("listxattr", {{C::LISTXATTR, 1}},
                [&] { ASSERT_OK(container_->listxattr(index_, item, names)); });
  EXPECT_EQ(names, (std::vector<std::string>{"user.a", "user.b"}));
  expectCounted("removexattr", {{C::REMOVEXATTR, 1}},
                [&] { ASSERT_OK(container_->removexattr(index_, item, "user.b")); });
  EXPECT_EQ(container_->getxattr(index_, item, "user.b", value).errNo(), ENOENT);
  ASSERT_OK(container_->listxattr(index_, item, names));
  EXPECT_EQ(names, (std::vector<std::string>{"user.a"}));
}

TEST_F(ContainerOpsTest, ByteRangeLocks) {
  ItemName file;
  ASSERT_OK(container_->create(index_, file, "/f", 0644));
  FileHandle first, second;
  ItemName item("/f");
  ASSERT_OK(container_->open(index_, first, item, O_RDWR, false));
  ASSERT_OK(container_->open(index_, second, item, O_RDONLY, false));
  int ownerA = 0, ownerB = 0;

  LockInfo request{&first, 2, 0, 99, &ownerA}, conflict;
  expectCounted("lock", {{C::LOCK, 1}},
                [&] { ASSERT_OK(container_->lock(index_, request, conflict)); });
  LockInfo other{&second, LOCK_SHARED, 50, 60, &ownerB};
  EXPECT_EQ(container_->lock(index_, other, conflict).errNo(), EAGAIN);
  EXPECT_EQ(conflict.owner, &ownerA);
  bool locked = false;
  expectCounted("telllock", {{C::TELLLOCK, 1}},
                [&] { ASSERT_OK(container_->telllock(index_, other, locked)); });
  EXPECT_TRUE(locked);
  expectCounted("unlock", {{C::UNLOCK, 1}},
                [&] { ASSERT_OK(container_->unlock(index_, request)); });
  ASSERT_OK(container_->telllock(index_, other, locked));
  EXPECT_FALSE(locked);
  ASSERT_OK(container_->lock(index_, other, conflict));

  ASSERT_OK(container_->close(index_, second));
  ASSERT_OK(container_->close(index_, first));
}

TEST_F(ContainerOpsTest, DirectoryListingAndHandles) {
  for (const char* name : {"a", "b", "c"}) {
    ItemName item;
    ASSERT_OK(container_->create(index_, item, std::string("/") + name, 0644));
  }
  ItemName root("/");
  GuidPathList list;
  bool done = false;
  expectCounted("readdir", {{C::READDIR, 1}},
                [&] { ASSERT_OK(container_->readdir(index_, root, list, 0, 100, done)); });
  EXPECT_TRUE(done);
  std::vector<std::string> names;
  for (const auto& entry : list) names.push_back(entry.second);
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "a", "b", "c"}));

  DirHandle* dir = nullptr;
  ItemName rootAgain("/");
  expectCounted("opendir", {{C::OPENDIR, 1}},
                [&] { ASSERT_OK(container_->opendir(index_, &dir, rootAgain)); });
  ASSERT_NE(dir, nullptr);
  struct dirent* entry = nullptr;
  guid_t guid;
  expectCounted("readdir by handle", {{C::READDIR, 1}},
                [&] { ASSERT_OK(container_->readdir(index_, dir, &entry, guid)); });
  ASSERT_NE(entry, nullptr);
  EXPECT_STREQ(entry->d_name, ".");
  unsigned long position = 0;
  expectCounted("telldir", {}, [&] { ASSERT_OK(container_->telldir(index_, dir, position)); });
  EXPECT_EQ(position, 1u);
  expectCounted("seekdir", {{C::SEEKDIR, 1}},
                [&] { ASSERT_OK(container_->seekdir(index_, dir, 3)); });
  struct stat st {};
  uint64_t cookie = 3;
  expectCounted("readdir_ex", {{C::READDIR_EX, 1}},
                [&] { ASSERT_OK(container_->readdir_ex(index_, dir, &entry, guid, st, &cookie)); });
  ASSERT_NE(entry, nullptr);
  EXPECT_STREQ(entry->d_name, "b");
  EXPECT_EQ(cookie, 4u);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  expectCounted("closedir", {{C::CLOSEDIR, 1}},
                [&] { ASSERT_OK(container_->closedir(index_, dir)); });
}

TEST_F(ContainerOpsTest, ClosedirAfterTheStoreClosedStillReleasesTheHandle) {
  DirHandle* dir = nullptr;
  ItemName root("/");
  ASSERT_OK(container_->opendir(index_, &dir, root));
  ASSERT_NE(dir, nullptr);
  ASSERT_OK(container_->closeObjectStore(index_));
  // The handle is released here (a leak checker would flag it otherwise);
  // the caller still learns that the store is gone.
  EXPECT_EQ(container_->closedir(index_, dir).errNo(), ENOENT);
  // A null handle is accepted whether or not the store is open.
  EXPECT_EQ(container_->closedir(index_, nullptr).errNo(), ENOENT);
}

TEST_F(ContainerOpsTest, EachIndexReachesItsOwnStore) {
  ObjectStoreIndex other = 0;
  ASSERT_OK(container_->openObjectStore(other, liveConfig("other", 43)));
  ASSERT_NE(other, index_);
  ItemName a, b;
  ASSERT_OK(container_->create(index_, a, "/only-in-first", 0644));
  ASSERT_OK(container_->create(index_, b, "/shared-name", 0644));
  ItemName c;
  ASSERT_OK(container_->create(other, c, "/shared-name", 0644));
  EXPECT_NE(b.objGuid, c.objGuid);

  struct stat st {};
  ItemName inOther("/only-in-first");
  EXPECT_EQ(container_->getattr(other, inOther, st).errNo(), ENOENT);
  guid_t guid;
  ASSERT_OK(container_->pathToGuid(other, guid, "/shared-name"));
  EXPECT_EQ(guid, c.objGuid);

  // Closing one leaves the other working.
  ASSERT_OK(container_->closeObjectStore(index_));
  ItemName still("/shared-name");
  EXPECT_OK(container_->getattr(other, still, st));
}

// A file renamed onto a directory moves in under its own name; when the
// directory already holds that name, the file there is either replaced or the
// rename is refused, but the name is never listed twice and nothing else is
// lost.
TEST_F(ContainerOpsTest, RenameIntoADirectoryThatHoldsTheName) {
  ItemName dir, inside, outside;
  ASSERT_OK(container_->mkdir(index_, dir, "/d", 0755));
  ASSERT_OK(container_->create(index_, inside, "/d/f", 0644));
  ASSERT_OK(container_->create(index_, outside, "/f", 0644));

  CZnError err = container_->rename(index_, "/f", "/d", false);
  RecordProperty("outcome", err.ok() ? "replaced" : "refused errno " + std::to_string(err.errNo()));
  ItemName d("/d");
  GuidPathList list;
  bool done = false;
  ASSERT_OK(container_->readdir(index_, d, list, 0, 100, done));
  size_t listed = 0;
  guid_t listedGuid;
  for (const auto& [guid, name] : list) {
    if (name == "f") {
      ++listed;
      listedGuid = guid;
    }
  }
  EXPECT_EQ(listed, 1u) << "f listed " << listed << " times in /d";
  guid_t atRoot;
  const bool rootHasF = container_->pathToGuid(index_, atRoot, "/f").ok() && !atRoot.empty();
  if (err.ok()) {
    EXPECT_EQ(listedGuid, outside.objGuid) << "the moved file takes the name";
    EXPECT_FALSE(rootHasF);
  } else {
    EXPECT_EQ(listedGuid, inside.objGuid) << "a refused rename changes nothing";
    EXPECT_TRUE(rootHasF);
  }
}

// A file stays open for writing while it is renamed with a new version: the
// bytes written through the handle afterwards, and the size they give the
// file, must be what the renamed file holds.
TEST_F(ContainerOpsTest, RenameWithNewVersionKeepsWritesOfAnOpenHandle) {
  for (bool newVersion : {false, true}) {
    SCOPED_TRACE(newVersion ? "new version" : "same version");
    const std::string from = newVersion ? "/nv" : "/sv";
    ItemName item;
    ASSERT_TRUE(container_->create(index_, item, from, 0644).ok());
    FileHandle handle;
    ItemName toOpen(from);
    ASSERT_TRUE(container_->open(index_, handle, toOpen, O_RDWR, false).ok());
    const std::string first(5000, 'A');
    uint64_t len = first.size();
    ASSERT_TRUE(container_->write(index_, handle, first.data(), len, 0, NO_SYNC).ok());

    CZnError err = container_->rename(index_, from, from + "2", newVersion);
    ASSERT_TRUE(err.ok()) << err.text() << ": " << err.chain();
    const std::string second(5000, 'B');
    len = second.size();
    ASSERT_TRUE(container_->write(index_, handle, second.data(), len, 2000, NO_SYNC).ok());
    ASSERT_TRUE(container_->close(index_, handle).ok());

    FileHandle reader;
    ItemName renamed(from + "2");
    ASSERT_TRUE(container_->open(index_, reader, renamed, O_RDONLY, false).ok());
    std::string data(8000, '#');
    uint64_t got = 0;
    EXPECT_TRUE(container_->read(index_, reader, data.data(), 0, data.size(), got).ok());
    EXPECT_TRUE(container_->close(index_, reader).ok());
    ASSERT_EQ(got, 7000u);
    EXPECT_EQ(data.substr(0, 2000), first.substr(0, 2000));
    EXPECT_EQ(data.substr(2000, 5000), second);
  }
}

// Operations racing the close of their store: each call either runs on the
// open store or fails with ENOENT, a call that starts after the close has
// returned always fails, and every call is counted exactly once.
TEST_F(ContainerOpsTest, OperationsRacingACloseOfTheirStore) {
  constexpr int THREADS = 4;
  std::atomic<bool> closed{false};
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> creates{0};
  std::atomic<uint64_t> getattrs{0};
  std::atomic<uint64_t> succeeded{0};
  const Snapshot before = snapshot();

  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; !stop.load(); ++k) {
        const bool afterClose = closed.load();
        ItemName item;
        CZnError err;
        if (k % 2 == 0) {
          ++creates;
          err = container_->create(index_, item, "/t" + std::to_string(t) + "_" + std::to_string(k),
                                   0644);
        } else {
          ++getattrs;
          ItemName root("/");
          struct stat st {};
          err = container_->getattr(index_, root, st);
        }
        if (err.ok()) {
          ++succeeded;
          EXPECT_FALSE(afterClose) << "a call after the close reached the store";
        } else {
          EXPECT_EQ(err.errNo(), ENOENT) << err.text();
        }
      }
    });
  }
  // Bounded waits: a store that fails every call must fail the test, not
  // hang it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (succeeded.load() < 20 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_GE(succeeded.load(), 20u) << "the open store never answered";
  EXPECT_OK(container_->closeObjectStore(index_));
  closed = true;
  const uint64_t atClose = creates.load() + getattrs.load();
  while (creates.load() + getattrs.load() < atClose + 40 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  stop = true;
  for (auto& thread : threads) thread.join();

  const Snapshot after = snapshot();
  EXPECT_EQ(after[static_cast<size_t>(C::CREATE)] - before[static_cast<size_t>(C::CREATE)],
            creates.load());
  EXPECT_EQ(after[static_cast<size_t>(C::GETATTR)] - before[static_cast<size_t>(C::GETATTR)],
            getattrs.load());
}

}  // namespace
}  // namespace ObjectStore
