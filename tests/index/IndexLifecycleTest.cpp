// The index's life: reopening, cleanup, damaged files, bad input, injected
// faults, counters and status, browses in flight, flush and process crashes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "index/IndexTestSupport.h"

namespace ObjectStore::test {
namespace {

class IndexLifecycleTest : public IndexTest {
 protected:
  std::string dbPath() { return path("index") + "/share.db"; }
  const std::string root_ = testGuid('a', 1);
};

TEST_F(IndexLifecycleTest, DatabaseFileIsNamedAfterTheShare) {
  auto index = openIndex();
  EXPECT_EQ(index->databasePath(), dbPath());
  EXPECT_TRUE(fileExists(dbPath()));
}

TEST_F(IndexLifecycleTest, ReopenKeepsEverything) {
  const std::string dir = testGuid('d', 1);
  const std::string file = testGuid('f', 1);
  uint64_t t1 = 0;
  uint64_t t2 = 0;
  {
    auto index = openIndex();
    ASSERT_EQ(addRoot(*index, root_), 0);
    ASSERT_EQ(addDir(*index, dir, "/d", root_), 0);
    ASSERT_EQ(addFile(*index, file, testGuid('v', 1), "/d/f", dir, 1), 0);
    t1 = nowSec();
    tick();
    ASSERT_EQ(addVersion(*index, file, testGuid('v', 2), 2), 0);
    ASSERT_EQ(renameTo(*index, dir, "/e", root_, root_, "/d", true), 0);
    ASSERT_EQ(index->set_backup_location(testGuid('v', 2), 4, 40), 0);
    t2 = nowSec();
  }
  auto reopened = openIndex();
  index_iface_props props;
  ASSERT_EQ(reopened->find_by_path(byPath("/d/f", t1), props), 0);
  EXPECT_EQ(props.verGuid, testGuid('v', 1));
  EXPECT_EQ(props.size, 1);
  ASSERT_EQ(reopened->find_by_path(byPath("/e/f", t2), props), 0);
  EXPECT_EQ(props.verGuid, testGuid('v', 2));
  EXPECT_EQ(props.afileId, 4);
  EXPECT_EQ(guidAt(*reopened, "/d/f"), "");
  index_iface_props rootProps;
  reopened->get_content_root_dir(rootProps);
  EXPECT_EQ(rootProps.objGuid, root_);
  EXPECT_EQ(rootProps.verGuid, root_ + "-0");
}

TEST_F(IndexLifecycleTest, CleanupReleasesAndLaterCallsReopen) {
  auto index = openIndex();
  ASSERT_EQ(addRoot(*index, root_), 0);
  index->cleanup();
  EXPECT_EQ(guidAt(*index, "/"), root_);
  ASSERT_EQ(addFile(*index, testGuid('f', 1), testGuid('v', 1), "/f", root_), 0);
  index->cleanup();
  index->cleanup();  // harmless when closed
  EXPECT_EQ(guidAt(*index, "/f"), testGuid('f', 1));
  EXPECT_EQ(index->init(), 0);  // also harmless when open
}

TEST_F(IndexLifecycleTest, JunkFileFailsInitWithEioAndALog) {
  ASSERT_EQ(::mkdir(path("index").c_str(), 0755), 0);
  std::string junk(8192, '\0');
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  writeFile(dbPath(), junk);
  LogCapture log(0);
  index_iface index(argsFor());
  EXPECT_EQ(index.init(), EIO);
  EXPECT_GT(log.countContaining("Error:", -1), 0u) << log.dump();
  index_iface_props props;
  EXPECT_EQ(index.find_by_path(byPath("/"), props), EIO);
  EXPECT_EQ(index.add_item(props = item(root_, root_ + "-0", "/", "", 0x41ED, nowNs())), EIO);
  std::vector<index_iface_props> items;
  EXPECT_EQ(index.get_initial_cache_items(items), EIO);
  std::map<std::string, std::string> counters;
  index.get_counters(counters);
  EXPECT_EQ(counters["index.errors"], "3");
}

TEST_F(IndexLifecycleTest, ForeignSqliteDatabaseIsRefused) {
  ASSERT_EQ(::mkdir(path("index").c_str(), 0755), 0);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dbPath().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  LogCapture log(0);
  index_iface index(argsFor());
  EXPECT_EQ(index.init(), EIO);
  EXPECT_EQ(log.countContaining("not an index database", -1), 1u) << log.dump();
}

TEST_F(IndexLifecycleTest, NewerSchemaVersionIsRefused) {
  { auto index = openIndex(); }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dbPath().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  index_iface index(argsFor());
  EXPECT_EQ(index.init(), EIO);
}

TEST_F(IndexLifecycleTest, DamagedPagesGiveEioNotACrash) {
  {
    auto index = openIndex();
    ASSERT_EQ(addRoot(*index, root_), 0);
    for (unsigned i = 0; i < 300; ++i) {
      ASSERT_EQ(
          addFile(*index, testGuid('f', i), testGuid('v', i), "/f" + std::to_string(i), root_, i),
          0);
    }
    index->flush();  // everything into the main file
  }
  struct stat st;
  ASSERT_EQ(::stat(dbPath().c_str(), &st), 0);
  ASSERT_GT(st.st_size, 16 * 4096);
  {
    // Junk over every page but the first (which holds the schema).
    std::fstream file(dbPath(), std::ios::in | std::ios::out | std::ios::binary);
    std::string junk(static_cast<size_t>(st.st_size) - 4096, '\x5A');
    file.seekp(4096);
    file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  LogCapture log(0);
  index_iface index(argsFor());
  int init = index.init();
  index_iface_props props;
  int found = init == 0 ? index.find_by_path(byPath("/f5"), props) : EIO;
  EXPECT_TRUE(init == EIO || found == EIO) << "init " << init << " find " << found;
  EXPECT_GT(log.countContaining("Error:", -1), 0u);
}

TEST_F(IndexLifecycleTest, BadInputIsRefused) {
  auto index = openIndex();
  ASSERT_EQ(addRoot(*index, root_), 0);
  index_iface_props props = item(testGuid('f', 1), testGuid('v', 1), "/f", root_, 0x81A4, 0);
  props.vtime = -1;
  EXPECT_EQ(index->add_item(props), EINVAL);
  props.vtime = 0;
  EXPECT_EQ(index->add_item(props), EINVAL);
  props.vtime = nowNs();
  props.verGuid.clear();
  EXPECT_EQ(index->add_item(props), EINVAL);
  props.verGuid = testGuid('v', 1);
  props.objGuid.clear();
  EXPECT_EQ(index->add_item(props), EINVAL);
  props.objGuid = testGuid('f', 1);
  props.path.clear();
  EXPECT_EQ(index->add_item(props), EINVAL);  // a new item needs a path
  props.path = "/missing/f";
  props.parentGuid.clear();
  EXPECT_EQ(index->add_item(props), ENOENT);  // and a parent
  EXPECT_EQ(guidAt(*index, "/f"), "");

  props.path = "/f";
  props.parentGuid = root_;
  ASSERT_EQ(index->add_item(props), 0);
  EXPECT_EQ(index->add_item(props), EEXIST);

  index_iface_props unknown;
  unknown.objGuid = testGuid('f', 9);
  unknown.verGuid = testGuid('v', 9);
  unknown.path = "/x";
  unknown.parentGuid = root_;
  EXPECT_EQ(index->update_item(unknown), ENOENT);
  EXPECT_EQ(index->delete_item(unknown), ENOENT);
  EXPECT_EQ(index->rename_item(unknown, root_, "/y", false), ENOENT);
  EXPECT_EQ(index->find_by_guid(byGuid(testGuid('f', 9)), unknown), ENOENT);
  EXPECT_EQ(index->find_by_path(byPath("/nothing/here"), unknown), ENOENT);
  EXPECT_EQ(index->find_by_path(byPath("relative"), unknown), ENOENT);
  EXPECT_EQ(index->find_by_guid(byGuid(""), unknown), EINVAL);
  EXPECT_EQ(index->find_by_path(byPath(""), unknown), EINVAL);

  index_iface::args noRoot = argsFor();
  noRoot.indexRoot.clear();
  index_iface broken(noRoot);
  EXPECT_EQ(broken.init(), EINVAL);
}

TEST_F(IndexLifecycleTest, InjectedFaultsFailTheNthCallAndChangeNothing) {
  auto index = openIndex();
  ASSERT_EQ(addRoot(*index, root_), 0);
  index->setFaultForTesting(index_iface::FaultOp::Add, 2, EIO, false);
  EXPECT_EQ(addFile(*index, testGuid('f', 1), testGuid('v', 1), "/f1", root_), 0);
  EXPECT_EQ(addFile(*index, testGuid('f', 2), testGuid('v', 2), "/f2", root_), EIO);
  EXPECT_EQ(addFile(*index, testGuid('f', 3), testGuid('v', 3), "/f3", root_), 0);
  EXPECT_EQ(guidAt(*index, "/f2"), "");
  EXPECT_EQ(guidAt(*index, "/f3"), testGuid('f', 3));

  index->setFaultForTesting(index_iface::FaultOp::Find, 1, ENOSPC, true);
  index_iface_props props;
  EXPECT_EQ(index->find_by_guid(byGuid(root_), props), ENOSPC);
  EXPECT_EQ(index->find_by_path(byPath("/"), props), ENOSPC);
  index->setFaultForTesting(index_iface::FaultOp::Find, 0, 0, false);
  EXPECT_EQ(index->find_by_guid(byGuid(root_), props), 0);

  index->setFaultForTesting(index_iface::FaultOp::Rename, 1, EIO, false);
  EXPECT_EQ(renameTo(*index, testGuid('f', 1), "/g", root_, root_, "/f1", false), EIO);
  EXPECT_EQ(guidAt(*index, "/f1"), testGuid('f', 1));
  index->setFaultForTesting(index_iface::FaultOp::Delete, 1, EIO, true);
  EXPECT_EQ(deleteAt(*index, testGuid('f', 1)), EIO);
  EXPECT_EQ(deleteAt(*index, testGuid('f', 1)), EIO);
  index->setFaultForTesting(index_iface::FaultOp::Update, 1, EBUSY, false);
  index_iface_props update;
  update.objGuid = testGuid('f', 1);
  update.size = 5;
  EXPECT_EQ(index->update_item(update), EBUSY);
  index->setFaultForTesting(index_iface::FaultOp::Browse, 1, EIO, false);
  std::vector<index_iface_props*> list;
  EXPECT_EQ(index->browse_by_guid(byGuid(root_), list), EIO);
  EXPECT_TRUE(list.empty());
  index->clearFaultsForTesting();
  EXPECT_EQ(deleteAt(*index, testGuid('f', 1)), 0);
  EXPECT_EQ(index->update_item(update), 0);
  EXPECT_EQ(childNames(*index, root_), std::vector<std::string>{"f3"});
}

TEST_F(IndexLifecycleTest, CountersAndStatus) {
  auto index = openIndex();
  EXPECT_EQ(index->get_flush_status_msg(), "ok, not flushed yet");
  ASSERT_EQ(addRoot(*index, root_), 0);
  ASSERT_EQ(addFile(*index, testGuid('f', 1), testGuid('v', 1), "/f", root_), 0);
  EXPECT_EQ(guidAt(*index, "/f"), testGuid('f', 1));
  EXPECT_EQ(guidAt(*index, "/nothing"), "");  // a miss is not an error
  EXPECT_EQ(pathAt(*index, testGuid('f', 1)), "/f");
  EXPECT_EQ(childNames(*index, root_).size(), 1u);
  EXPECT_EQ(index->add_item(*std::make_unique<index_iface_props>()), EINVAL);
  std::map<std::string, std::string> counters;
  index->get_counters(counters);
  EXPECT_EQ(counters["index.adds"], "2");
  EXPECT_EQ(counters["index.findsByPath"], "1");
  EXPECT_EQ(counters["index.findsByGuid"], "1");
  EXPECT_EQ(counters["index.browses"], "1");
  EXPECT_EQ(counters["index.errors"], "1");
  EXPECT_EQ(counters.size(), 10u);
  EXPECT_EQ(index->get_query_status_msg(), "errors: 1, 3 queries");
  index->clear_counters();
  index->get_counters(counters);
  for (const auto& [key, value] : counters) EXPECT_EQ(value, "0") << key;
  EXPECT_EQ(index->get_query_status_msg(), "ok, 0 queries");
  index->flush();
  EXPECT_EQ(index->get_flush_status_msg().rfind("ok, last flush ", 0), 0u)
      << index->get_flush_status_msg();
}

TEST_F(IndexLifecycleTest, FlushEmptiesTheWriteAheadLog) {
  auto index = openIndex();
  ASSERT_EQ(addRoot(*index, root_), 0);
  for (unsigned i = 0; i < 50; ++i) {
    ASSERT_EQ(addFile(*index, testGuid('f', i), testGuid('v', i), "/f" + std::to_string(i), root_),
              0);
  }
  struct stat st;
  ASSERT_EQ(::stat((dbPath() + "-wal").c_str(), &st), 0);
  EXPECT_GT(st.st_size, 0);
  index->flush();
  ASSERT_EQ(::stat((dbPath() + "-wal").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(guidAt(*index, "/f49"), testGuid('f', 49));
}

TEST_F(IndexLifecycleTest, DumpCachesListsThePreparedStatements) {
  auto index = openIndex();
  ASSERT_EQ(addRoot(*index, root_), 0);
  EXPECT_EQ(guidAt(*index, "/"), root_);
  LogCapture log(3);
  index->dump_caches();
  EXPECT_EQ(log.countContaining("cached statements", 3), 1u) << log.dump();
  EXPECT_GT(log.countContaining("INSERT INTO versions", 3), 0u) << log.dump();
  index->cleanup();
  log.clear();
  index->dump_caches();
  EXPECT_EQ(log.countContaining("is closed", 3), 1u) << log.dump();
}

TEST_F(IndexLifecycleTest, TinyStatementCacheStillAnswers) {
  index_iface::args args = argsFor();
  args.indexParam1 = 2;
  index_iface index(args);
  ASSERT_EQ(index.init(), 0);
  ASSERT_EQ(addRoot(index, root_), 0);
  const std::string dir = testGuid('d', 1);
  ASSERT_EQ(addDir(index, dir, "/d", root_), 0);
  for (unsigned i = 0; i < 10; ++i) {
    ASSERT_EQ(addFile(index, testGuid('f', i), testGuid('v', i), "/d/f" + std::to_string(i), dir),
              0);
  }
  EXPECT_EQ(childNames(index, dir).size(), 10u);
  EXPECT_EQ(pathAt(index, testGuid('f', 7)), "/d/f7");
  LogCapture log(3);
  index.dump_caches();
  EXPECT_EQ(log.countContaining("2 cached statements (capacity 2)", 3), 1u) << log.dump();
}

TEST_F(IndexLifecycleTest, StoppedBrowsesFailUntilInit) {
  auto index = openIndex();
  ASSERT_EQ(addRoot(*index, root_), 0);
  EXPECT_EQ(index->get_num_async_browses(), 0);
  index->beginAsyncBrowseForTesting();
  EXPECT_EQ(index->get_num_async_browses(), 1);
  index->stop_async_browses();
  std::vector<index_iface_props*> list;
  EXPECT_EQ(index->browse_by_guid(byGuid(root_), list), ECANCELED);
  EXPECT_EQ(index->browse_file_extents(byGuid(root_), list), ECANCELED);
  index_iface_props props;
  EXPECT_EQ(index->find_by_guid(byGuid(root_), props), 0);  // lookups go on

  // What the container's destructor does: poll until nothing is in flight.
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    while (index->get_num_async_browses() != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done.load());
  index->endAsyncBrowseForTesting();
  waiter.join();
  EXPECT_TRUE(done.load());

  ASSERT_EQ(index->init(), 0);
  EXPECT_EQ(index->browse_by_guid(byGuid(root_), list), 0);
  index->delete_browse_memory(list);
  index->stop_async_browses();
  index->cleanup();
  EXPECT_EQ(index->browse_by_guid(byGuid(root_), list), 0);
  index->delete_browse_memory(list);
}

// The calls of one operation in the perf-counter log lines, -1 if absent.
long loggedCalls(const LogCapture& log, const std::string& operation) {
  const std::string prefix = "[unit] index " + operation + ": calls=";
  for (const LogRecord& record : log.records()) {
    if (record.level == 0 && record.message.rfind(prefix, 0) == 0) {
      return std::stol(record.message.substr(prefix.size()));
    }
  }
  return -1;
}

TEST_F(IndexLifecycleTest, PerfCountersAreLogged) {
  auto index = openIndex();
  ASSERT_EQ(addRoot(*index, root_), 0);
  long before = 0;
  {
    LogCapture log(0);
    index_iface_log_perf_counters("unit");
    before = loggedCalls(log, "find_by_path");
    ASSERT_GE(before, 0) << log.dump();
    EXPECT_GE(loggedCalls(log, "add_item"), 1) << log.dump();
  }
  EXPECT_EQ(guidAt(*index, "/"), root_);
  LogCapture log(0);
  index_iface_log_perf_counters("unit");
  EXPECT_EQ(loggedCalls(log, "find_by_path"), before + 1) << log.dump();
}

// A process killed in the middle of its work loses nothing that the index
// acknowledged (WAL commits survive a process crash without a flush).
TEST_F(IndexLifecycleTest, KilledProcessKeepsAcknowledgedChanges) {
  {
    auto index = openIndex();
    ASSERT_EQ(addRoot(*index, root_), 0);
  }
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    index_iface index(argsFor());
    if (index.init() != 0) _exit(2);
    for (unsigned i = 0;; ++i) {
      index_iface_props props = item(testGuid('f', i), testGuid('v', i), "/f" + std::to_string(i),
                                     root_, 0x81A4, kIndexTestStartSec * kNsPerSec + i);
      if (index.add_item(props) != 0) _exit(3);
      if (write(fds[1], &i, sizeof(i)) != sizeof(i)) _exit(4);
    }
  }
  close(fds[1]);
  unsigned acknowledged = 0;
  unsigned last = 0;
  while (acknowledged < 200 && read(fds[0], &last, sizeof(last)) == sizeof(last)) ++acknowledged;
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  close(fds[0]);
  ASSERT_EQ(acknowledged, 200u);

  auto index = openIndex();
  for (unsigned i = 0; i < acknowledged; ++i) {
    ASSERT_EQ(guidAt(*index, "/f" + std::to_string(i)), testGuid('f', i)) << i;
  }
}

}  // namespace
}  // namespace ObjectStore::test
