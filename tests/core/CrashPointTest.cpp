// The crash points of unlink, rename and renameDir: a child process arms one,
// runs the operation and must die by SIGKILL at the documented step; the
// parent then reopens the store on what the child left and checks both that
// state and that later operations on the item work.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <string>

#include "ObjectStore/DebugFlags.h"
#include "ObjectStore/StoreHelpers.h"
#include "core/StoreOpsFixture.h"

namespace ObjectStore {
namespace {

// Exit codes of a child that was not killed.
constexpr int CHILD_RETURNED_OK = 3;
constexpr int CHILD_RETURNED_ERROR = 4;
// A child that hangs (a lock inherited in a held state) ends by SIGALRM,
// which fails the test instead of blocking it.
constexpr unsigned CHILD_TIME_LIMIT_SEC = 30;

// "<op>_<nth>": names what one kill point of a loop makes, and says where
// the child was killed.
std::string killPoint(DiskCacheOp op, uint64_t nth) {
  return std::to_string(static_cast<int>(op)) + "_" + std::to_string(nth);
}
std::string killedAt(DiskCacheOp op, uint64_t nth) {
  return "killed at disk op " + std::to_string(static_cast<int>(op)) + " call " +
         std::to_string(nth);
}

class CrashPointTest : public test::StoreOpsFixture {
 protected:
  void SetUp() override {
    StoreOpsFixture::SetUp();
    openLiveStore();
  }

  // Runs op in a child with crash point `flag` armed and expects the child to
  // be killed; then reopens the store (new caches, new index connection) on
  // what the child left.
  void crashIn(size_t flag, const std::function<CZnError(ObjectStore&)>& op,
               bool loseIntentLog = false) {
    const std::string intentLogPath = store_->intentLog().path();
    int status = 0;
    ASSERT_NO_FATAL_FAILURE(runInChild(
        [&] {
          DebugFlags[flag] = 1;
          return op(*store_).ok();
        },
        status));
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
    ASSERT_EQ(WTERMSIG(status), SIGKILL);

    // What an older run, or a lost log, leaves: only the entry lists and
    // the index tell what happened.
    if (loseIntentLog) {
      ASSERT_EQ(::unlink(intentLogPath.c_str()), 0);
    }
    restart();
  }

  // Runs work in a child (which arms the disk cache's kill itself) and
  // waits for it; status is the child's wait status. A child inherits only
  // the forking thread, so a lock that another thread (the pruner, the
  // backup queue) holds at the fork would stay held in the child for ever:
  // the share is closed first and the child opens it again, as a restarted
  // server would. The parent reopens it with restart().
  void runInChild(const std::function<bool()>& work, int& status) {
    shutDown();
    ASSERT_TRUE(test::waitUntil([] { return test::threadCount() == 1u; }, 5000))
        << test::threadCount() << " threads are left before the fork";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(CHILD_TIME_LIMIT_SEC);
      startUp();
      _exit(store_ != nullptr && work() ? CHILD_RETURNED_OK : CHILD_RETURNED_ERROR);
    }
    ASSERT_EQ(waitpid(child, &status, 0), child);
  }

  // What a restarted file server does: a new disk cache adopting the cache
  // directory, a new container, a new index connection and a new store.
  void restart() {
    shutDown();
    startUp();
  }

  void shutDown() {
    if (store_ != nullptr) closeStore(*store_);
    store_ = nullptr;
    indexes_.clear();
    container_.reset();
    cache_->shutdownPruner();
  }
  void startUp() {
    ASSERT_NO_FATAL_FAILURE(startContainer(std::make_shared<test::RecordingDiskCache>()));
    openLiveStore();
  }

  // The work of a write-kill child: opens `file` by GUID, runs `prepare` on
  // the handle, arms the kill at the nth call of `op`, writes `bytes` at
  // `offset` and, if asked, closes. True when everything succeeded.
  bool killedWrite(const guid_t& file, DiskCacheOp op, uint64_t nth, const std::string& bytes,
                   uint64_t offset, bool close,
                   const std::function<bool(FileHandle&)>& prepare = {}) {
    FileHandle handle;
    ItemName byGuid(file, false);
    if (!store_->open(handle, byGuid, O_RDWR, false).ok()) return false;
    if (prepare && !prepare(handle)) return false;
    cache_->setFaults({op, nth, EIO, false, true});
    uint64_t len = bytes.size();
    if (!store_->write(handle, bytes.data(), len, offset, NO_SYNC).ok()) return false;
    return !close || store_->close(handle, CLIENT_CLOSE).ok();
  }
};

using Listing = std::map<std::string, guid_t>;

TEST_F(CrashPointTest, KillDeleteIsFinishedByTheNextStart) {
  makeDir("/d");
  makeFile("/d/f", "doomed");
  const guid_t other = makeFile("/d/g", "kept");
  crashIn(DEBUG_FLAG_KILL_DELETE, [](ObjectStore& store) {
    ItemName item("/d/f");
    return store.unlink(item);
  });

  // The index delete was done before the kill; the start removed the entry.
  EXPECT_EQ(indexGuid("/d/f"), "");
  EXPECT_EQ(children("/d"), (Listing{{"g", other}}));
  ItemName gone("/d/f");
  struct stat st {};
  EXPECT_EQ(store_->getattr(gone, st).errNo(), ENOENT);
  // The name is free for a new file, listed once.
  const guid_t fresh = makeFile("/d/f", "new");
  EXPECT_EQ(children("/d"), (Listing{{"f", fresh}, {"g", other}}));
  EXPECT_EQ(readAll("/d/f"), "new");
  EXPECT_EQ(readAll("/d/g"), "kept");

  // Finishing is done once: another restart leaves the new file alone.
  restart();
  EXPECT_EQ(children("/d"), (Listing{{"f", fresh}, {"g", other}}));
  EXPECT_EQ(readAll("/d/f"), "new");
}

TEST_F(CrashPointTest, KillDeleteOfADirectoryIsFinishedByTheNextStart) {
  makeDir("/d");
  makeDir("/d/e");
  const guid_t other = makeFile("/d/g", "kept");
  crashIn(DEBUG_FLAG_KILL_DELETE, [](ObjectStore& store) {
    ItemName item("/d/e");
    return store.rmdir(item);
  });
  EXPECT_EQ(indexGuid("/d/e"), "");
  EXPECT_EQ(children("/d"), (Listing{{"g", other}}));
  makeDir("/d/e");
  EXPECT_TRUE(children("/d/e").empty());
}

// An unlink that fails after its index delete (the entry list can't be
// written) leaves the same state as a kill there, and the same repair.
TEST_F(CrashPointTest, UnlinkFailingAtAnyDiskWriteIsFinishedByTheNextStart) {
  makeDir("/d");
  for (uint64_t nth = 1; nth <= 6; ++nth) {
    SCOPED_TRACE("write " + std::to_string(nth));
    const std::string name = "f" + std::to_string(nth);
    const guid_t item = makeFile("/d/" + name, "bytes");
    DiskCacheFaults fault;
    fault.op = DiskCacheOp::Write;
    fault.nth = nth;
    fault.errNo = EIO;
    cache_->setFaults(fault);
    ItemName victim("/d/" + name);
    const CZnError err = store_->unlink(victim);
    cache_->clearFaults();
    if (err.ok()) {
      EXPECT_EQ(children("/d").count(name), 0u);
    }
    restart();
    const bool listed = children("/d").count(name) == 1;
    EXPECT_EQ(indexGuid("/d/" + name), listed ? item : "") << "unlink: " << err.text();
    if (err.ok()) {
      EXPECT_FALSE(listed);
    }
    if (listed) {
      EXPECT_EQ(readAll("/d/" + name), "bytes");
    }
  }
}

// A write killed at any of its disk writes into a file whose tail is a hole
// (grown by truncate): after the restart the file reads as it does then,
// and later writes and growth show nothing but their own bytes and zeros,
// never bytes of the killed write the file did not show.
TEST_F(CrashPointTest, KilledWriteIntoAHoleShowsNoBytesLater) {
  const uint64_t e = store_->getConfig().extentSize;
  ASSERT_GE(e, 16u);
  const std::string killed(e + e / 2, 'K');
  const std::string later(e * 3 / 4, 'L');
  for (uint64_t nth = 1;; ++nth) {
    ASSERT_LE(nth, 10u) << "the write never completed";
    SCOPED_TRACE("killed at disk write " + std::to_string(nth));
    const std::string path = "/f" + std::to_string(nth);
    const guid_t file = makeFile(path);
    ItemName named(path);
    ASSERT_OK(store_->truncate(named, e + e / 4, false));

    int status = 0;
    ASSERT_NO_FATAL_FAILURE(runInChild(
        [&] { return killedWrite(file, DiskCacheOp::Write, nth, killed, e / 2 + 7, false); },
        status));
    const bool survived = WIFEXITED(status);
    if (survived) {
      ASSERT_EQ(WEXITSTATUS(status), CHILD_RETURNED_OK);
    } else {
      ASSERT_EQ(WTERMSIG(status), SIGKILL);
    }
    restart();

    // Whatever the file shows now is what it holds from here on.
    FileHandle handle;
    openFile(handle, file);
    std::string want = readAt(handle, 0, 4 * e);
    writeAt(handle, later, e / 3);
    if (want.size() < e / 3 + later.size()) want.resize(e / 3 + later.size(), '\0');
    want.replace(e / 3, later.size(), later);
    const uint64_t grown = 2 * e - e / 8;
    if (grown > want.size()) ASSERT_OK(store_->_truncate(handle, grown, false));
    want.resize(std::max<uint64_t>(grown, want.size()), '\0');
    ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
    openFile(handle, file, O_RDONLY);
    const std::string got = readAt(handle, 0, 4 * e);
    ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
    EXPECT_TRUE(test::sameBytes(got, want));
    if (survived) break;
  }
}

// A file cut short and grown again has a hole where its old bytes were. A
// write into that hole killed at any of its disk operations must not bring
// the old bytes back: after the restart the hole reads as zeros, except for
// what the killed write itself may have landed. Cut and grown by path before
// the write's open, or through the write's own open (the cut extent is then
// only marked deleted, and the write brings it back).
TEST_F(CrashPointTest, KilledWriteIntoAHoleLeftByACutNeverShowsTheOldBytes) {
  const uint64_t e = store_->getConfig().extentSize;
  ASSERT_GE(e, 16u);
  const std::string old(2 * e, 'O');
  const std::string killed(e / 4, 'K');
  for (const bool sameOpen : {false, true})
  for (const DiskCacheOp op : {DiskCacheOp::Write, DiskCacheOp::Truncate, DiskCacheOp::Create}) {
    for (uint64_t nth = 1;; ++nth) {
      ASSERT_LE(nth, 10u) << "the write never completed";
      SCOPED_TRACE(std::string(sameOpen ? "cut in the same open, " : "cut by path, ") +
                   killedAt(op, nth));
      const std::string path = "/f" + std::to_string(sameOpen) + "_" + killPoint(op, nth);
      const guid_t file = makeFile(path);
      {
        FileHandle handle;
        openFile(handle, file);
        writeAt(handle, old, 0);
        ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
      }
      if (!sameOpen) {
        ItemName named(path);
        ASSERT_OK(store_->truncate(named, e / 2, false));
        ASSERT_OK(store_->truncate(named, e + e / 2, false));
      }

      int status = 0;
      ASSERT_NO_FATAL_FAILURE(runInChild(
          [&] {
            return killedWrite(file, op, nth, killed, e + e / 8, true, [&](FileHandle& handle) {
              return !sameOpen || (store_->_truncate(handle, e / 2, false).ok() &&
                                   store_->_truncate(handle, e + e / 2, false).ok());
            });
          },
          status));
      const bool survived = WIFEXITED(status);
      if (survived) {
        ASSERT_EQ(WEXITSTATUS(status), CHILD_RETURNED_OK);
      } else {
        ASSERT_EQ(WTERMSIG(status), SIGKILL);
      }
      restart();

      FileHandle handle;
      openFile(handle, file, O_RDONLY);
      const std::string got = readAt(handle, 0, 4 * e);
      ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
      // A growth through an open handle reaches the header at its close:
      // killed before that, the file may still end at the cut.
      ASSERT_GE(got.size(), sameOpen ? e / 2 : e + e / 2);
      EXPECT_EQ(got.substr(0, e / 2), old.substr(0, e / 2));
      EXPECT_EQ(got.find('O', e / 2), std::string::npos) << "old bytes are back";
      for (size_t i = e / 2; i < got.size(); ++i) {
        const bool inKilled = i >= e + e / 8 && i < e + e / 8 + killed.size();
        if (got[i] != '\0' && !(inKilled && got[i] == 'K')) {
          ADD_FAILURE() << "byte " << i << " is '" << got[i] << "'";
          break;
        }
      }
      if (survived) break;
    }
  }
}

// A file grown by truncate and then written across the grown part by a write
// killed at any of its disk operations: whatever the file shows after the
// restart, it keeps showing through later writes past it, syncs and restarts.
TEST_F(CrashPointTest, KilledWriteAcrossAGrownFileKeepsWhatItShowsAfterTheRestart) {
  const uint64_t e = store_->getConfig().extentSize;
  ASSERT_GE(e, 16u);
  const std::string killed(e + e / 100, 'K');
  const std::string later(e + e / 2, 'L');
  for (const DiskCacheOp op : {DiskCacheOp::Write, DiskCacheOp::Create, DiskCacheOp::Truncate}) {
    for (uint64_t nth = 1;; ++nth) {
      ASSERT_LE(nth, 12u) << "the write never completed";
      SCOPED_TRACE(killedAt(op, nth));
      const std::string path = "/g" + killPoint(op, nth);
      const guid_t file = makeFile(path);
      ItemName named(path);
      ASSERT_OK(store_->truncate(named, e * 9 / 10, false));
      int status = 0;
      ASSERT_NO_FATAL_FAILURE(runInChild(
          [&] { return killedWrite(file, op, nth, killed, e * 15 / 100, true); },
          status));
      const bool survived = WIFEXITED(status);
      restart();
      FileHandle handle;
      openFile(handle, file);
      std::string want = readAt(handle, 0, 4 * e);
      ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
      restart();
      openFile(handle, file);
      const uint64_t at = e + e * 28 / 100;
      writeAt(handle, later, at);
      ASSERT_OK(store_->fsync(handle.name));
      ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
      if (want.size() < at) want.resize(at, '\0');
      want.resize(at);
      want += later;
      restart();
      openFile(handle, file, O_RDONLY);
      const std::string got = readAt(handle, 0, 4 * e);
      ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
      EXPECT_TRUE(test::sameBytes(got, want))
          << "at the write's start: shown after the restart '" << want[e * 15 / 100]
          << "', now '" << got[e * 15 / 100] << "'";
      if (survived) break;
    }
  }
}

// A file grown by truncate is one hole. A write into its middle is killed
// after its bytes reached the extent's segment; after the restart a write
// further down splits the hole, and one range can only keep its lower part:
// the killed write's extent must still read as zeros, then and after
// another restart.
TEST_F(CrashPointTest, KilledWriteInAHoleStaysHiddenWhenALaterWriteSplitsTheHole) {
  const uint64_t e = store_->getConfig().extentSize;
  ASSERT_GE(e, 16u);
  const std::string killed(e / 2, 'K');
  const std::string later(e / 4, 'L');
  int failedSplits = 0;
  for (uint64_t nth = 1;; ++nth) {
    ASSERT_LE(nth, 12u) << "the write never completed";
    SCOPED_TRACE(killedAt(DiskCacheOp::Write, nth));
    const std::string path = "/s" + std::to_string(nth);
    const guid_t file = makeFile(path);
    ItemName named(path);
    ASSERT_OK(store_->truncate(named, 10 * e, false));
    int status = 0;
    ASSERT_NO_FATAL_FAILURE(runInChild(
        [&] { return killedWrite(file, DiskCacheOp::Write, nth, killed, 7 * e, true); },
        status));
    const bool survived = WIFEXITED(status);
    restart();
    FileHandle handle;
    openFile(handle, file);
    if (!survived) {
      // A split whose clearing fails fails the write and keeps the hole.
      cache_->setFaults({DiskCacheOp::Truncate, 1, EIO, true});
      uint64_t len = later.size();
      const CZnError err = store_->write(handle, later.data(), len, 3 * e, NO_SYNC);
      cache_->clearFaults();
      if (!err.ok()) {
        ++failedSplits;
        EXPECT_EQ(err.errNo(), EIO) << err.chain();
        EXPECT_TRUE(test::sameBytes(readAt(handle, 7 * e, e), std::string(e, '\0')));
      }
    }
    writeAt(handle, later, 3 * e);
    ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
    for (int pass = 0; pass < 2; ++pass) {
      openFile(handle, file, O_RDONLY);
      const std::string got = readAt(handle, 0, 10 * e);
      ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
      std::string want(10 * e, '\0');
      want.replace(3 * e, later.size(), later);
      if (survived) want.replace(7 * e, killed.size(), killed);
      EXPECT_TRUE(test::sameBytes(got, want)) << (pass == 0 ? "before" : "after")
                                              << " another restart";
      restart();
    }
    if (survived) break;
  }
  EXPECT_GE(failedSplits, 1) << "no kill left bytes in the hole";
}

// A write cut off between creating an extent's segment and recording it in
// the index leaves a segment the file does not hold. The next write into
// that extent takes it over: empty, and recorded, so that what it writes is
// still there after a restart.
TEST_F(CrashPointTest, WriteTakesOverASegmentACutOffWriteLeftUnrecorded) {
  const uint64_t e = store_->getConfig().extentSize;
  const guid_t file = makeFile("/f");
  FileHandle handle;
  openFile(handle, file);
  const guid_t version = handle.name.verGuid;
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));

  // What the cut-off write left: the segment, with bytes, and no record.
  index_iface_props leftover;
  leftover.objGuid = fileToExtentGuid(file, 0);
  leftover.verGuid = fileToExtentGuid(version, 0);
  leftover.parentGuid = file;
  leftover.modeValid = leftover.uidValid = leftover.gidValid = true;
  leftover.extentSize = static_cast<int64_t>(e);
  leftover.updateSelector = 1;
  leftover.extentNumber = 0;
  leftover.vtime = 1;
  ASSERT_OK(store_->createSegment(leftover, false));
  const std::string stale(e, 'S');
  ASSERT_OK(cache_->writeSections(store_->diskCacheContext(), leftover.verGuid,
                                  {makeWriteSection(SECTION_DATA, 0, stale.data(), e)}, false,
                                  0));
  restart();

  const std::string later(e / 2, 'L');
  openFile(handle, file);
  writeAt(handle, later, e / 4);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  const std::string want = std::string(e / 4, '\0') + later;
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass == 0 ? "before a restart" : "after a restart");
    openFile(handle, file, O_RDONLY);
    const std::string got = readAt(handle, 0, e);
    ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
    EXPECT_TRUE(test::sameBytes(got, want));
    restart();
  }
}

TEST_F(CrashPointTest, KillDeleteWithoutItsLogIsRepairedByTheNextUnlink) {
  const guid_t dir = makeDir("/d");
  const guid_t victim = makeFile("/d/f", "doomed");
  const guid_t other = makeFile("/d/g", "kept");
  crashIn(
      DEBUG_FLAG_KILL_DELETE,
      [](ObjectStore& store) {
        ItemName item("/d/f");
        return store.unlink(item);
      },
      true);

  // The index delete was done, the entry-list change was not.
  EXPECT_EQ(indexGuid("/d/f"), "");
  EXPECT_EQ(children("/d"), (Listing{{"f", victim}, {"g", other}}));

  // Removing the name again drops the leftover entry.
  ItemName leftover("/d/f");
  ASSERT_OK(store_->unlink(leftover));
  EXPECT_EQ(children("/d"), (Listing{{"g", other}}));
  // The name is free for a new file, listed once.
  const guid_t fresh = makeFile("/d/f", "new");
  EXPECT_EQ(children("/d"), (Listing{{"f", fresh}, {"g", other}}));
  EXPECT_EQ(readAll("/d/f"), "new");
  // And the rest of the directory works as before.
  ASSERT_OK(store_->rename("/d/g", "/d/h", false));
  EXPECT_EQ(readAll("/d/h"), "kept");
  for (const char* path : {"/d/f", "/d/h"}) {
    ItemName item(path);
    ASSERT_OK(store_->unlink(item));
  }
  ItemName d("/d");
  ASSERT_OK(store_->rmdir(d));
  EXPECT_EQ(indexGuid("/d"), "");
  EXPECT_TRUE(children("/").empty());
  (void)dir;
}

TEST_F(CrashPointTest, KillDeleteLeftoverWithoutItsLogIsReplacedByARenameOntoItsName) {
  makeDir("/d");
  const guid_t victim = makeFile("/d/x", "doomed");
  const guid_t mover = makeFile("/m", "moved in");
  crashIn(
      DEBUG_FLAG_KILL_DELETE,
      [](ObjectStore& store) {
        ItemName item("/d/x");
        return store.unlink(item);
      },
      true);
  EXPECT_EQ(children("/d"), (Listing{{"x", victim}}));
  ASSERT_OK(store_->rename("/m", "/d/x", false));
  EXPECT_EQ(children("/d"), (Listing{{"x", mover}}));
  EXPECT_EQ(readAll("/d/x"), "moved in");
}

TEST_F(CrashPointTest, KillRenameOfFileIsFinishedByTheNextStart) {
  makeDir("/a");
  makeDir("/b");
  const guid_t file = makeFile("/a/f", "hello");
  const guid_t other = makeFile("/a/g", "other");
  crashIn(DEBUG_FLAG_KILL_RENAME,
          [](ObjectStore& store) { return store.rename("/a/f", "/b/f", true); });
  EXPECT_EQ(indexGuid("/b/f"), file);
  EXPECT_EQ(children("/a"), (Listing{{"g", other}}));
  EXPECT_EQ(children("/b"), (Listing{{"f", file}}));
  // The new version the rename made is the one read and written.
  EXPECT_EQ(readAll("/b/f"), "hello");
  FileHandle handle;
  openFile(handle, file);
  writeAt(handle, "J", 0);
  ASSERT_OK(store_->close(handle, CLIENT_CLOSE));
  restart();
  EXPECT_EQ(readAll("/b/f"), "Jello");
  EXPECT_EQ(children("/b"), (Listing{{"f", file}}));
}

// A rename onto a free name killed at any of its disk writes: after the
// restart the item is listed exactly once, and once it is unlinked no entry
// of it is left behind.
TEST_F(CrashPointTest, RenameKilledAtAnyDiskWriteLeavesOneEntryThatAnUnlinkRemoves) {
  makeDir("/a");
  auto records = [this](const std::string& dir) {
    guid_t dirGuid = dir == "/" ? store_->getRootGuid() : indexGuid(dir);
    GuidPathList out;
    guid_t parent;
    bool done = false;
    ItemName item(dirGuid, dir == "/");
    EXPECT_OK(store_->readDirEnt(out, parent, done, item, 0, DIRENT_READ_ALL));
    return out;
  };
  for (uint64_t nth = 1;; ++nth) {
    ASSERT_LE(nth, 20u) << "the rename never completed";
    SCOPED_TRACE("killed at disk write " + std::to_string(nth));
    const std::string from = "/a/g" + std::to_string(nth);
    const std::string to = "/h" + std::to_string(nth);
    const guid_t file = makeFile(from, "bytes");
    int status = 0;
    ASSERT_NO_FATAL_FAILURE(runInChild(
        [&] {
          cache_->setFaults({DiskCacheOp::Write, nth, EIO, false, true});
          return store_->rename(from, to, false).ok();
        },
        status));
    const bool survived = WIFEXITED(status);
    restart();
    size_t listed = 0;
    for (const std::string& dir : {std::string("/"), std::string("/a")})
      for (const auto& [guid, name] : records(dir)) listed += guid == file ? 1 : 0;
    EXPECT_EQ(listed, 1u);
    const std::string now = indexGuid(to) == file ? to : from;
    ItemName named(now);
    ASSERT_OK(store_->unlink(named));
    restart();
    for (const std::string& dir : {std::string("/"), std::string("/a")})
      for (const auto& [guid, name] : records(dir))
        EXPECT_NE(guid, file) << "[" << name << "] still lists the unlinked item in " << dir;
    if (survived) break;
  }
}

// A rename out of a directory, killed inside its rewrite of that
// directory's list (between writing the shorter list and cutting the
// section), must not hide what is added to the directory later.
TEST_F(CrashPointTest, EntriesAddedAfterARenameKilledInsideItsListRewriteAreListed) {
  for (const DiskCacheOp op : {DiskCacheOp::Write, DiskCacheOp::Truncate}) {
    for (uint64_t nth = 1;; ++nth) {
      ASSERT_LE(nth, 20u) << "the rename never completed";
      SCOPED_TRACE(killedAt(op, nth));
      const std::string dir = "/d" + killPoint(op, nth);
      makeDir(dir);
      const guid_t moved = makeFile(dir + "/g", "bytes");
      int status = 0;
      ASSERT_NO_FATAL_FAILURE(runInChild(
          [&] {
            cache_->setFaults({op, nth, EIO, false, true});
            const bool ok = store_->rename(dir + "/g", dir + "_k", false).ok();
            return ok;
          },
          status));
      const bool survived = WIFEXITED(status);
      restart();
      const guid_t added = makeFile(dir + "/x", "new");
      restart();
      const Listing listed = children(dir);
      EXPECT_EQ(listed.count("x"), 1u) << "an entry added after the cut-off rename is lost";
      if (listed.count("x") != 0) {
        EXPECT_EQ(listed.at("x"), added);
      }
      // And the renamed item is where the index has it, and only there.
      EXPECT_EQ(listed.count("g"), indexGuid(dir + "_k") == moved ? 0u : 1u);
      if (survived) break;
    }
  }
}

TEST_F(CrashPointTest, KillRenameWithinOneDirectoryIsFinishedByTheNextStart) {
  makeDir("/a");
  const guid_t file = makeFile("/a/f", "hello");
  crashIn(DEBUG_FLAG_KILL_RENAME,
          [](ObjectStore& store) { return store.rename("/a/f", "/a/h", false); });
  EXPECT_EQ(children("/a"), (Listing{{"h", file}}));
  EXPECT_EQ(readAll("/a/h"), "hello");
}

TEST_F(CrashPointTest, KillRenameOfDirectoryIsFinishedByTheNextStart) {
  makeDir("/a");
  const guid_t sub = makeDir("/a/sub");
  const guid_t x = makeFile("/a/sub/x", "inner");
  EXPECT_EQ(readAll("/a/sub/x"), "inner");  // its path is cached
  crashIn(DEBUG_FLAG_KILL_RENAME,
          [](ObjectStore& store) { return store.rename("/a/sub", "/c", false); });
  EXPECT_TRUE(children("/a").empty());
  EXPECT_EQ(children("/").at("c"), sub);
  EXPECT_EQ(children("/c"), (Listing{{"x", x}}));
  EXPECT_EQ(readAll("/c/x"), "inner");
  ItemName old("/a/sub/x");
  struct stat st {};
  EXPECT_EQ(store_->getattr(old, st).errNo(), ENOENT);
  makeDir("/a/sub");  // the old name is free
  EXPECT_TRUE(children("/a/sub").empty());
}

// A process killed after a rename's last entry-list change but before the
// rename was marked complete: the start finds the rename done and must keep
// the item's one entry.
TEST_F(CrashPointTest, RenameKilledJustBeforeItsMarkKeepsItsEntry) {
  const guid_t a = makeDir("/a");
  const guid_t b = makeDir("/b");
  const guid_t file = makeFile("/a/f", "one");
  const guid_t other = makeFile("/a/x", "two");
  ASSERT_OK(store_->rename("/a/f", "/a/g", false));
  ASSERT_OK(store_->rename("/a/x", "/b/y", false));
  // What the killed processes left: the records without their marks.
  test::writeFile(store_->intentLog().path(),
            IntentLog::beginLine(1001, IntentLog::Move{file, a, a, "f", "g", "/a/f", "/a/g",
                                                       false}) +
                IntentLog::beginLine(1002, IntentLog::Move{other, a, b, "x", "y", "/a/x",
                                                           "/b/y", false}));
  restart();
  EXPECT_EQ(children("/a"), (Listing{{"g", file}}));
  EXPECT_EQ(children("/b"), (Listing{{"y", other}}));
  restart();  // the cached lists above were not the only ones right
  EXPECT_EQ(children("/a"), (Listing{{"g", file}}));
  EXPECT_EQ(children("/b"), (Listing{{"y", other}}));
  EXPECT_EQ(readAll("/a/g"), "one");
  EXPECT_EQ(readAll("/b/y"), "two");
}

TEST_F(CrashPointTest, KillRenameWithoutItsLogIsCompletedByRenamingAgain) {
  makeDir("/a");
  makeDir("/b");
  const guid_t file = makeFile("/a/f", "hello");
  crashIn(
      DEBUG_FLAG_KILL_RENAME,
      [](ObjectStore& store) { return store.rename("/a/f", "/b/f", false); }, true);

  // The index has the new name, the entry lists the old one.
  EXPECT_EQ(indexGuid("/b/f"), file);
  EXPECT_EQ(children("/a"), (Listing{{"f", file}}));
  EXPECT_TRUE(children("/b").empty());
  // The item is still found where it is listed.
  ItemName listed("/a/f");
  struct stat st {};
  ASSERT_OK(store_->getattr(listed, st));
  EXPECT_EQ(st.st_size, 5);

  ASSERT_OK(store_->rename("/a/f", "/b/f", false));
  EXPECT_TRUE(children("/a").empty());
  EXPECT_EQ(children("/b"), (Listing{{"f", file}}));
  EXPECT_EQ(readAll("/b/f"), "hello");
  ItemName item("/b/f");
  ASSERT_OK(store_->unlink(item));
  EXPECT_TRUE(children("/b").empty());
  EXPECT_EQ(indexGuid("/b/f"), "");
}

TEST_F(CrashPointTest, KillRenameWithoutItsLogThenRenameElsewhereLeavesOneEntry) {
  makeDir("/a");
  makeDir("/b");
  const guid_t file = makeFile("/a/f", "payload");
  crashIn(
      DEBUG_FLAG_KILL_RENAME,
      [](ObjectStore& store) { return store.rename("/a/f", "/b/f", true); }, true);
  EXPECT_EQ(indexGuid("/b/f"), file);

  ASSERT_OK(store_->rename("/a/f", "/a/g", false));
  EXPECT_EQ(children("/a"), (Listing{{"g", file}}));
  EXPECT_TRUE(children("/b").empty());
  EXPECT_EQ(indexGuid("/a/g"), file);
  EXPECT_EQ(indexGuid("/b/f"), "");
  EXPECT_EQ(readAll("/a/g"), "payload");
}

TEST_F(CrashPointTest, KillRenameOfDirectoryWithoutItsLogIsCompletedByRenamingAgain) {
  makeDir("/a");
  const guid_t sub = makeDir("/a/sub");
  const guid_t x = makeFile("/a/sub/x", "inner");
  crashIn(
      DEBUG_FLAG_KILL_RENAME,
      [](ObjectStore& store) { return store.rename("/a/sub", "/c", false); }, true);

  EXPECT_EQ(indexGuid("/c"), sub);
  EXPECT_EQ(indexGuid("/c/x"), x);
  EXPECT_EQ(children("/a"), (Listing{{"sub", sub}}));
  EXPECT_EQ(children("/").count("c"), 0u);

  ASSERT_OK(store_->rename("/a/sub", "/c", false));
  EXPECT_TRUE(children("/a").empty());
  EXPECT_EQ(children("/").at("c"), sub);
  EXPECT_EQ(children("/c"), (Listing{{"x", x}}));
  EXPECT_EQ(readAll("/c/x"), "inner");
  ItemName a("/a");
  ASSERT_OK(store_->rmdir(a));
  ItemName cx("/c/x");
  ASSERT_OK(store_->unlink(cx));
  ItemName c("/c");
  ASSERT_OK(store_->rmdir(c));
  EXPECT_TRUE(children("/").empty());
}

}  // namespace
}  // namespace ObjectStore
