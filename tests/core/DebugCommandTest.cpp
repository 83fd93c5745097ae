// The debug commands: the container's dispatch (argument checks, answers,
// errno values), the store's cache dumps and flushes, the switch that turns
// them off, the debugCmd operation, and the crash points armed through the
// dispatch, run in a child process that must die at them; the parent then
// restarts on what the child left and keeps working.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ObjectStore/DebugFlags.h"
#include "core/StoreFixture.h"
#include "platform/restore/RestoreInterface.h"

namespace ObjectStore {
namespace {

using test::LogCapture;
using StatMap = std::map<std::string, std::string>;
using Words = std::vector<std::string>;

// Exit codes of a child that was not killed.
constexpr int CHILD_RETURNED_OK = 3;
constexpr int CHILD_RETURNED_ERROR = 4;
constexpr int CHILD_COMMAND_FAILED = 5;
// A child that hangs ends by SIGALRM, which fails the test instead of
// blocking it.
constexpr unsigned CHILD_TIME_LIMIT_SEC = 30;

const char* const STORE_COMMANDS[] = {"dumpdircache",  "dumpattribcache", "flushattribcache",
                                      "flushdircache", "killdelete",      "killrename"};

class DebugCommandTest : public test::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    ASSERT_TRUE(registerSubClient(SUBCLIENT, containerDir_ + "/backup"));
    ASSERT_OK(container_->openObjectStore(index_, liveConfig()));
  }

  CZnError run(const Words& words, std::string& response) {
    response = "stale";
    return container_->processDbgCommand(response, words);
  }

  void enableDebugCommands() { setRegistry("nEnableDbgCmds", "1"); }

  void makeFile(const std::string& path, const std::string& content, ObjectStoreIndex index = 0) {
    ItemName item;
    ASSERT_OK(container_->create(index, item, path, 0644));
    if (content.empty()) return;
    FileHandle handle;
    ItemName named(path);
    ASSERT_OK(container_->open(index, handle, named, O_RDWR, false));
    uint64_t len = content.size();
    ASSERT_OK(container_->write(index, handle, content.data(), len, 0, NO_SYNC));
    ASSERT_OK(container_->close(index, handle));
  }
  guid_t makeDir(const std::string& path) {
    ItemName item;
    EXPECT_OK(container_->mkdir(index_, item, path, 0755));
    return item.objGuid;
  }
  std::string readAll(const std::string& path) {
    FileHandle handle;
    ItemName named(path);
    CZnError err = container_->open(index_, handle, named, O_RDONLY, false);
    EXPECT_TRUE(err.ok()) << path << ": " << err.chain();
    if (!err.ok()) return "<unopenable>";
    std::string buffer(4096, '\0');
    uint64_t got = 0;
    EXPECT_OK(container_->read(index_, handle, buffer.data(), 0, buffer.size(), got));
    EXPECT_OK(container_->close(index_, handle));
    buffer.resize(got);
    return buffer;
  }
  // Children of a directory by name.
  std::map<std::string, guid_t> children(const std::string& path) {
    ItemName dir(path);
    GuidPathList list;
    bool done = false;
    EXPECT_OK(container_->readdir(index_, dir, list, 0, 1000, done));
    std::map<std::string, guid_t> out;
    for (const auto& [guid, name] : list)
      if (name != "." && name != "..") out[name] = guid;
    return out;
  }
  int getattrErrno(const std::string& path) {
    ItemName item(path);
    struct stat st {};
    return container_->getattr(index_, item, st).errNo();
  }
  StatMap counters() {
    StatMap stats;
    EXPECT_OK(container_->getObjStrCounters(stats, index_));
    return stats;
  }
  uint64_t counter(const std::string& key) {
    const StatMap stats = counters();
    auto it = stats.find(key);
    EXPECT_NE(it, stats.end()) << key;
    return it == stats.end() ? 0 : std::stoull(it->second);
  }

  // Runs `words` through the dispatch in a child process, then op there, and
  // expects the child to die by SIGKILL. The parent's own flags stay clear.
  void crashIn(const Words& words, const std::function<CZnError(ObjectContainer&)>& op) {
    // The pruner wakes every second and takes the cache's locks: forked in
    // the middle of a pass, the child would wait for them for ever. The
    // restart below starts a new one.
    cache_->shutdownPruner();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(CHILD_TIME_LIMIT_SEC);
      std::string response;
      if (container_->processDbgCommand(response, words).failed() || !response.empty())
        _exit(CHILD_COMMAND_FAILED);
      CZnError err = op(*container_);
      _exit(err.ok() ? CHILD_RETURNED_OK : CHILD_RETURNED_ERROR);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
    ASSERT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_EQ(DebugFlags[DEBUG_FLAG_KILL_DELETE].load(), 0);
    EXPECT_EQ(DebugFlags[DEBUG_FLAG_KILL_RENAME].load(), 0);
    restart();
  }

  // What a restarted file server does: a new disk cache adopting the cache
  // directory, a new container, the share opened again on its index.
  void restart() {
    container_.reset();  // deletes the stores without cleaning up their data
    cache_->shutdownPruner();
    cache_ = std::make_shared<test::RecordingDiskCache>();
    const std::string cacheDir = containerDir_ + "/cache";
    ASSERT_OK(cache_->init(cacheDir, {cacheDir}, 90, 80, 85, 100, nullptr, PruningMode::Random));
    container_ = std::make_unique<ObjectContainer>();
    ObjectContainerConfig config;
    config.containerDir = containerDir_;
    config.diskCache = cache_;
    ASSERT_OK(container_->init(config));
    ASSERT_OK(container_->openObjectStore(index_, liveConfig()));
  }

  ObjectStoreIndex index_ = 0;
};

// ---------------------------------------------------------------------------
// Dispatch

TEST_F(DebugCommandTest, OutOfSpaceSwitchesTheDiskCacheOnOnlyForOne) {
  std::string response;
  auto outOfSpace = [&]() {
    StatMap stats;
    container_->getStatus(stats);
    return stats["diskCache.outOfSpace"];
  };
  ASSERT_EQ(outOfSpace(), "0");
  ASSERT_OK(run({"outofspace", "1"}, response));
  EXPECT_EQ(response, "");
  EXPECT_EQ(outOfSpace(), "1");
  ItemName item;
  EXPECT_EQ(container_->create(index_, item, "/full", 0644).errNo(), ENOSPC);

  for (const char* off : {"0", "yes", "2", ""}) {
    ASSERT_OK(run({"outofspace", "1"}, response));
    ASSERT_OK(run({"outofspace", off}, response));
    EXPECT_EQ(response, "");
    EXPECT_EQ(outOfSpace(), "0") << off;
  }
  ItemName fits;
  EXPECT_OK(container_->create(index_, fits, "/fits", 0644));

  // Any other number of words changes nothing.
  for (const Words& words : {Words{"outofspace"}, Words{"outofspace", "1", "1"}}) {
    EXPECT_EQ(run(words, response).errNo(), EINVAL);
    EXPECT_EQ(response, "Wrong number of args");
  }
  EXPECT_EQ(outOfSpace(), "0");
}

TEST_F(DebugCommandTest, MissingAndUnknownCommandsAreRefused) {
  std::string response;
  EXPECT_EQ(run({}, response).errNo(), EINVAL);
  EXPECT_EQ(response, "No command");
  for (const Words& words : {Words{"bogus"}, Words{"bogus", "0"}, Words{"/dumpcache", "0"},
                             Words{"/dumpindex", "0"}, Words{"DUMPDIRCACHE", "0"}, Words{""}}) {
    EXPECT_EQ(run(words, response).errNo(), EINVAL) << words[0];
    EXPECT_EQ(response, "Unknown command") << words[0];
  }
}

TEST_F(DebugCommandTest, StoreCommandsCheckTheirArguments) {
  enableDebugCommands();
  std::string response;
  for (const char* command : STORE_COMMANDS) {
    SCOPED_TRACE(command);
    for (const Words& words : {Words{command}, Words{command, "0", "0"}}) {
      EXPECT_EQ(run(words, response).errNo(), EINVAL);
      EXPECT_EQ(response, "Wrong number of args");
    }
    for (const char* bad : {"x", "", "-1", "+0", " 0", "0x1", "1a", "99999999999999999999999"}) {
      EXPECT_EQ(run({command, bad}, response).errNo(), EINVAL) << bad;
      EXPECT_EQ(response, "invalid argument") << bad;
    }
    LogCapture log;
    EXPECT_EQ(run({command, "5"}, response).errNo(), ENOENT);
    EXPECT_EQ(response, "");
    EXPECT_EQ(log.count("Invalid store [5]", -1), 1u) << log.dump();
  }
  // None of them reached a store and armed a crash point.
  EXPECT_EQ(DebugFlags[DEBUG_FLAG_KILL_DELETE].load(), 0);
  EXPECT_EQ(DebugFlags[DEBUG_FLAG_KILL_RENAME].load(), 0);
}

TEST_F(DebugCommandTest, ContainerWithoutInitHasNoDiskCacheAndNoStores) {
  ObjectContainer fresh;
  std::string response;
  EXPECT_EQ(fresh.processDbgCommand(response, {"outofspace", "1"}).errNo(), ENODEV);
  EXPECT_EQ(response, "Not initialized");
  EXPECT_EQ(fresh.processDbgCommand(response, {"flushdircache", "0"}).errNo(), ENOENT);
  EXPECT_EQ(response, "");
  // The initialised container's disk cache was not touched.
  StatMap stats;
  container_->getStatus(stats);
  EXPECT_EQ(stats["diskCache.outOfSpace"], "0");
}

TEST_F(DebugCommandTest, ClosedStoreIndexIsNotFound) {
  enableDebugCommands();
  ASSERT_OK(container_->closeObjectStore(index_));
  std::string response;
  LogCapture log;
  EXPECT_EQ(run({"flushdircache", "0"}, response).errNo(), ENOENT);
  EXPECT_EQ(response, "");
  EXPECT_EQ(log.count("Invalid store [0]", -1), 1u);
}

// ---------------------------------------------------------------------------
// Store commands

TEST_F(DebugCommandTest, DumpDirCacheLogsEveryCachedDirectoryWithItsChildCount) {
  enableDebugCommands();
  const guid_t dir = makeDir("/d");
  makeFile("/d/a", "");
  makeFile("/d/b", "");
  makeFile("/top", "");
  ASSERT_EQ(children("/").size(), 2u);
  ASSERT_EQ(children("/d").size(), 2u);
  const guid_t root = container_->getRootGuid(index_);

  LogCapture log;
  std::string response;
  ASSERT_OK(run({"dumpdircache", "0"}, response));
  EXPECT_EQ(response, "");
  EXPECT_EQ(log.count("Dumping dirent cache", 0), 1u) << log.dump();
  EXPECT_EQ(log.count("[" + root + "] -> 2", 0), 1u) << log.dump();
  EXPECT_EQ(log.count("[" + dir + "] -> 2", 0), 1u) << log.dump();
}

TEST_F(DebugCommandTest, DumpAttribCacheLogsEveryEntry) {
  enableDebugCommands();
  makeFile("/f", "12345");
  ItemName item("/f");
  struct stat st {};
  ASSERT_OK(container_->getattr(index_, item, st));
  char fields[256];
  std::snprintf(fields, sizeof(fields), " sz=5 uid=%lu gid=%lu mode=%lu ctime=%lu mtime=%lu",
                static_cast<unsigned long>(st.st_uid), static_cast<unsigned long>(st.st_gid),
                static_cast<unsigned long>(st.st_mode), static_cast<unsigned long>(st.st_ctime),
                static_cast<unsigned long>(st.st_mtime));

  LogCapture log;
  std::string response;
  ASSERT_OK(run({"dumpattribcache", "0"}, response));
  EXPECT_EQ(log.count("Dumping attrib cache", 0), 1u);
  size_t matching = 0;
  for (const auto& record : log.records()) {
    if (record.level != 0 || record.message.find("] -> fname=[") == std::string::npos) continue;
    if (record.message.size() >= std::strlen(fields) &&
        record.message.compare(record.message.size() - std::strlen(fields), std::string::npos,
                               fields) == 0)
      ++matching;
  }
  EXPECT_GE(matching, 1u) << fields << "\n" << log.dump();
}

TEST_F(DebugCommandTest, FlushAttribCacheEmptiesAttributeAndXattrCaches) {
  enableDebugCommands();
  makeFile("/f", "abc");
  ItemName item("/f");
  const std::vector<unsigned char> value = {'v'};
  ASSERT_OK(container_->setxattr(index_, item, "user.k", value));
  std::vector<unsigned char> got;
  ASSERT_OK(container_->getxattr(index_, item, "user.k", got));
  struct stat st {};
  ASSERT_OK(container_->getattr(index_, item, st));
  // Warm: reading again hits both caches.
  uint64_t attrMisses = counter("attrCache.misses");
  uint64_t xattrMisses = counter("xattrCache.misses");
  ASSERT_OK(container_->getattr(index_, item, st));
  ASSERT_OK(container_->getxattr(index_, item, "user.k", got));
  ASSERT_EQ(counter("attrCache.misses"), attrMisses);
  ASSERT_EQ(counter("xattrCache.misses"), xattrMisses);

  LogCapture log;
  std::string response;
  ASSERT_OK(run({"flushattribcache", "0"}, response));
  EXPECT_EQ(log.count("Flushing attrib cache", 0), 1u);

  // Both miss once and are filled again; the answers do not change.
  attrMisses = counter("attrCache.misses");
  xattrMisses = counter("xattrCache.misses");
  struct stat again {};
  ASSERT_OK(container_->getattr(index_, item, again));
  EXPECT_GT(counter("attrCache.misses"), attrMisses);
  EXPECT_EQ(again.st_size, 3);
  EXPECT_EQ(again.st_mtime, st.st_mtime);
  got.clear();
  ASSERT_OK(container_->getxattr(index_, item, "user.k", got));
  EXPECT_GT(counter("xattrCache.misses"), xattrMisses);
  EXPECT_EQ(got, value);
}

TEST_F(DebugCommandTest, FlushDirCacheEmptiesTheDirentCacheWhichThenReloads) {
  enableDebugCommands();
  makeDir("/d");
  makeFile("/d/a", "x");
  ASSERT_EQ(children("/d").size(), 1u);
  ASSERT_GT(counter("dirEntCache.numEntries"), 0u);

  LogCapture log;
  std::string response;
  ASSERT_OK(run({"flushdircache", "0"}, response));
  EXPECT_EQ(log.count("Flushing directory cache", 0), 1u);
  EXPECT_EQ(counter("dirEntCache.numEntries"), 0u);
  EXPECT_EQ(counter("dirEntCache.totalWeight"), 0u);

  // The lists come back from disk.
  EXPECT_EQ(children("/d").size(), 1u);
  EXPECT_EQ(readAll("/d/a"), "x");
  EXPECT_GT(counter("dirEntCache.numEntries"), 0u);
}

TEST_F(DebugCommandTest, StoreCommandsDoNothingWhileSwitchedOff) {
  makeDir("/d");
  ASSERT_EQ(children("/d").size(), 0u);
  const uint64_t entries = counter("dirEntCache.numEntries");
  ASSERT_GT(entries, 0u);
  LogCapture log;
  std::string response;
  for (const char* command : STORE_COMMANDS) {
    // The dispatch still answers; the store ignores the command.
    ASSERT_OK(run({command, "0"}, response));
    EXPECT_EQ(response, "");
  }
  EXPECT_EQ(counter("dirEntCache.numEntries"), entries);
  EXPECT_EQ(log.count("Dumping dirent cache"), 0u);
  EXPECT_EQ(log.count("Flushing directory cache"), 0u);
  EXPECT_EQ(log.count("Killing process during delete"), 0u);
  EXPECT_EQ(DebugFlags[DEBUG_FLAG_KILL_DELETE].load(), 0);
  EXPECT_EQ(DebugFlags[DEBUG_FLAG_KILL_RENAME].load(), 0);

  // Switched on later without a restart, the same command works.
  enableDebugCommands();
  ASSERT_OK(run({"flushdircache", "0"}, response));
  EXPECT_EQ(counter("dirEntCache.numEntries"), 0u);
}

TEST_F(DebugCommandTest, SlashCommandsReachOnlyAStoreCalledDirectly) {
  enableDebugCommands();
  ObjectStore* store = openStore(liveConfig("direct", 77));
  ASSERT_NE(store, nullptr);
  LogCapture log;
  store->processDbgCommand("/dumpindex");
  EXPECT_EQ(log.count("Dumping index cache", 3), 1u) << log.dump();
  store->processDbgCommand("/dumpcache");
  EXPECT_EQ(log.count("---Dumping guid cache:"), 1u) << log.dump();
  EXPECT_EQ(log.count("---Dumping version cache:"), 1u) << log.dump();
  // Anything else is ignored.
  log.clear();
  store->processDbgCommand("nonsense");
  store->processDbgCommand("");
  EXPECT_EQ(log.countContaining("Dumping"), 0u);
}

// ---------------------------------------------------------------------------
// debugCmd

TEST_F(DebugCommandTest, DebugCmdDumpsQueuesRejectsOtherCommandsAndFlushesEveryIndex) {
  ObjectStoreIndex other = 0;
  ASSERT_OK(container_->openObjectStore(other, liveConfig("b", 43)));
  makeFile("/f", "x");

  LogCapture log;
  container_->debugCmd(index_, DEBUG_CMD_DUMP_BACKUP_QUEUES);
  EXPECT_EQ(log.countContaining("Modified List: currentTime=", 3), 1u) << log.dump();
  EXPECT_EQ(log.count("QueuedForBackup List:", 3), 1u);

  log.clear();
  container_->debugCmd(index_, static_cast<DebugCommand>(1));
  EXPECT_EQ(log.count("Invalid command: [1]", -1), 1u) << log.dump();
  container_->debugCmd(index_, static_cast<DebugCommand>(-3));
  EXPECT_EQ(log.count("Invalid command: [-3]", -1), 1u) << log.dump();

  log.clear();
  container_->debugCmd(9, DEBUG_CMD_DUMP_BACKUP_QUEUES);
  EXPECT_EQ(log.count("Invalid store [9]", -1), 1u) << log.dump();
  EXPECT_EQ(log.countContaining("Modified List"), 0u);

  // Flushing works on the share records, whatever index is given.
  log.clear();
  container_->debugCmd(12345, DEBUG_CMD_FLUSH_INDEXES);
  EXPECT_EQ(log.count("flushing share_42", 1), 1u) << log.dump();
  EXPECT_EQ(log.count("flushing b_43", 1), 1u) << log.dump();
  EXPECT_EQ(log.countContaining("Invalid store"), 0u);
  // The shares go on working after the flush.
  EXPECT_EQ(readAll("/f"), "x");
}

// ---------------------------------------------------------------------------
// Crash points armed through the dispatch

TEST_F(DebugCommandTest, KillDeleteEndsTheProcessInUnlinkAndTheShareStaysUsable) {
  enableDebugCommands();
  makeDir("/d");
  makeFile("/d/f", "doomed");
  makeFile("/d/g", "kept");
  crashIn({"killdelete", "0"}, [](ObjectContainer& container) {
    ItemName item("/d/f");
    return container.unlink(0, item);
  });

  // The restart finished the removal; the name can be reused.
  EXPECT_EQ(children("/d").count("f"), 0u);
  EXPECT_EQ(getattrErrno("/d/f"), ENOENT);
  makeFile("/d/f", "new");
  EXPECT_EQ(readAll("/d/f"), "new");
  EXPECT_EQ(readAll("/d/g"), "kept");
  ItemName g("/d/g");
  ASSERT_OK(container_->unlink(index_, g));
  EXPECT_EQ(getattrErrno("/d/g"), ENOENT);
  EXPECT_EQ(children("/d").size(), 1u);
}

TEST_F(DebugCommandTest, KillDeleteArmedThroughOneStoreFiresInAnother) {
  enableDebugCommands();
  ObjectStoreIndex other = 0;
  ASSERT_OK(container_->openObjectStore(other, liveConfig("b", 43)));
  ASSERT_EQ(other, 1u);
  makeFile("/victim", "v", other);
  crashIn({"killdelete", "0"}, [other](ObjectContainer& container) {
    ItemName item("/victim");
    return container.unlink(other, item);
  });
}

TEST_F(DebugCommandTest, KillDeleteDoesNotFireOnAFailedUnlink) {
  enableDebugCommands();
  makeFile("/f", "x");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(CHILD_TIME_LIMIT_SEC);
    std::string response;
    if (container_->processDbgCommand(response, {"killdelete", "0"}).failed())
      _exit(CHILD_COMMAND_FAILED);
    ItemName missing("/missing");
    CZnError err = container_->unlink(0, missing);
    _exit(err.errNo() == ENOENT ? CHILD_RETURNED_OK : CHILD_RETURNED_ERROR);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child died by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), CHILD_RETURNED_OK);
}

TEST_F(DebugCommandTest, KillRenameEndsTheProcessInRenameAndTheRestartCompletesIt) {
  enableDebugCommands();
  makeFile("/a", "content");
  crashIn({"killrename", "0"},
          [](ObjectContainer& container) { return container.rename(0, "/a", "/b", false); });

  EXPECT_EQ(readAll("/b"), "content");
  EXPECT_EQ(getattrErrno("/a"), ENOENT);
  const auto listing = children("/");
  EXPECT_EQ(listing.count("a"), 0u);
  EXPECT_EQ(listing.count("b"), 1u);
}

TEST_F(DebugCommandTest, KillRenameEndsTheProcessInDirectoryRenameAndTheRestartCompletesIt) {
  enableDebugCommands();
  makeDir("/d");
  makeFile("/d/x", "inside");
  crashIn({"killrename", "0"},
          [](ObjectContainer& container) { return container.rename(0, "/d", "/e", false); });

  EXPECT_EQ(readAll("/e/x"), "inside");
  EXPECT_EQ(getattrErrno("/d"), ENOENT);
  EXPECT_EQ(children("/").count("e"), 1u);
  EXPECT_EQ(children("/").count("d"), 0u);
  makeFile("/e/y", "more");
  EXPECT_EQ(children("/e").size(), 2u);
}

}  // namespace
}  // namespace ObjectStore
