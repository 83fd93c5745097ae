// Nothing written is lost to a crash: a child process writes files through a
// container on the live share while backups run, and is killed with SIGKILL
// at a random moment. After every kill the share is started again (a new disk
// cache and a new container on the same directory, the share records read
// back, the live view opened); the journal replay sends whatever was not yet
// committed, and once nothing is pending every file whose writes the child
// had completed is in the backup, extent by extent, with its last bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/BackupControllerThread.h"
#include "ObjectStore/BackupQueue.h"
#include "ObjectStore/ObjectContainer.h"
#include "common/TestEnv.h"
#include "platform/diskcache/DiskCache.h"
#include "platform/index/index_iface.h"
#include "platform/restore/RestoreInterface.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {
namespace {

constexpr uint64_t SUBCLIENT = 42;
constexpr uint64_t EXTENT_SIZE = 64 * 1024;
constexpr int ROUNDS = 6;
constexpr unsigned SEEDS[ROUNDS] = {11, 23, 37, 41, 59, 73};

using test::waitUntil;

std::string patternBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 99u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(x >> 24);
  }
  return bytes;
}

ObjectStoreConfig liveConfig() {
  ObjectStoreConfig config;
  config.name = "share";
  config.subclient = SUBCLIENT;
  config.pitName = "0";
  config.backupTimeout = 0;
  config.jobIdleTimeoutMs = 300000;
  config.extentSize = EXTENT_SIZE;
  return config;
}

void useFastTimings() {
  BackupTimings timings;
  timings.outerWaitMs = 50;
  timings.firstStartRetryMs = 100;
  timings.restartPauseMs = 100;
  timings.restartRetryMs = 100;
  timings.pollMs = 100;
  timings.workerWaitMs = 20;
  BackupTimings::setForTesting(timings);
}

// A file the child finished (its last close returned): its content is
// patternBytes(size, seed).
struct AckedFile {
  guid_t objGuid;
  guid_t verGuid;
  unsigned seed = 0;
  size_t size = 0;
};

// One container on the test's directory, as a process start makes it.
struct Share {
  std::shared_ptr<DiskCache> cache;
  std::unique_ptr<ObjectContainer> container;
  ObjectStoreIndex index = 0;

  CZnError start(const std::string& containerDir) {
    cache = std::make_shared<DiskCache>(0);
    const std::string cacheDir = containerDir + "/cache";
    CZnError err = cache->init(cacheDir, {cacheDir}, 90, 80, 85, 100, nullptr, PruningMode::Lru);
    if (!err.ok()) return err;
    container = std::make_unique<ObjectContainer>();
    ObjectContainerConfig config;
    config.containerDir = containerDir;
    config.diskCache = cache;
    if (err = container->init(config); !err.ok()) return err;
    (void)container->restoreStoreInfo();  // the first start has no share records yet
    return container->openObjectStore(index, liveConfig());
  }
  void stop() {
    if (container) (void)container->closeObjectStore(index);  // drains the queue
    container.reset();
    if (cache) cache->shutdownPruner();
    cache.reset();
  }
};

// The child: writes files until it is killed, and appends one line per
// finished file to the acknowledgement file, synced before the next write.
[[noreturn]] void writeUntilKilled(const std::string& containerDir, const std::string& ackPath,
                                   int round, unsigned seed) {
  useFastTimings();
  Share share;
  if (!share.start(containerDir).ok()) _exit(2);
  const int ack = ::open(ackPath.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (ack < 0) _exit(3);
  std::mt19937 rng(seed);
  for (int i = 0; i < 100000; ++i) {
    const std::string name = "r" + std::to_string(round) + "_" + std::to_string(i);
    const unsigned fileSeed = seed * 100000u + static_cast<unsigned>(i);
    const size_t size = 1 + rng() % (3 * EXTENT_SIZE);
    const std::string content = patternBytes(size, fileSeed);
    ItemName parent("/"), item;
    if (!share.container->create(share.index, parent, item, name, 0644).ok()) _exit(4);
    ItemName byPath("/" + name);
    FileHandle handle;
    if (!share.container->open(share.index, handle, byPath, O_RDWR, false).ok()) _exit(5);
    // Half the files in one write, half in two (the second rewrites part of
    // what the first wrote, so a segment is sent, changed and sent again).
    const Sync sync = (i % 3 == 0) ? DO_SYNC : NO_SYNC;
    if (i % 2 == 0) {
      uint64_t len = size;
      if (!share.container->write(share.index, handle, content.data(), len, 0, sync).ok()) _exit(6);
    } else {
      const std::string first = patternBytes(size, fileSeed + 7);
      uint64_t len = size;
      if (!share.container->write(share.index, handle, first.data(), len, 0, sync).ok()) _exit(6);
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 30));
      len = size;
      if (!share.container->write(share.index, handle, content.data(), len, 0, sync).ok()) _exit(6);
    }
    const guid_t objGuid = handle.name.objGuid;
    const guid_t verGuid = handle.name.verGuid;
    if (!share.container->close(share.index, handle).ok()) _exit(7);
    const std::string line = objGuid + " " + verGuid + " " + std::to_string(fileSeed) + " " +
                             std::to_string(size) + "\n";
    if (::write(ack, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(8);
    if (::fdatasync(ack) != 0) _exit(9);
  }
  _exit(0);
}

class BackupCrashTest : public test::TestEnv {
 protected:
  void SetUp() override {
    TestEnv::SetUp();
    containerDir_ = path("container");
    ackPath_ = path("acknowledged");
    useFastTimings();
  }
  void TearDown() override {
    share_.stop();
    BackupTimings::resetForTesting();
    TestEnv::TearDown();
  }

  std::set<guid_t> pendingInJournal() {
    std::set<guid_t> pending;
    CZnError err = BackupQueue::readPendingFromJournal(
        BackupQueue::journalDirOf(containerDir_ + "/objstr", std::to_string(SUBCLIENT)), pending);
    EXPECT_TRUE(err.ok()) << err.chain();
    return pending;
  }

  std::vector<AckedFile> acknowledged() {
    std::vector<AckedFile> files;
    std::ifstream in(ackPath_);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      AckedFile file;
      if (fields >> file.objGuid >> file.verGuid >> file.seed >> file.size) files.push_back(file);
    }
    return files;
  }

  // Every extent of every acknowledged file restores to its last bytes.
  void expectAllBackedUp(const std::vector<AckedFile>& files) {
    index_iface::args args;
    args.subclient = SUBCLIENT;
    args.indexRoot = containerDir_ + "/index";
    args.shareKey = ObjectContainer::shareKeyOf("share", SUBCLIENT);
    index_iface index(args);
    ASSERT_EQ(index.init(), 0);
    SubClientInfo info;
    ASSERT_TRUE(GetSubClientInfo(SUBCLIENT, info));
    RestoreInterface restore(info);
    ASSERT_TRUE(restore.IsInitSuccessFull());
    std::string buffer(EXTENT_SIZE + 4096, '\0');
    size_t missing = 0;
    for (const AckedFile& file : files) {
      const std::string content = patternBytes(file.size, file.seed);
      for (uint64_t n = 0; n * EXTENT_SIZE < file.size; ++n) {
        index_iface_browse_fields fields;
        fields.guid = fileToExtentGuid(file.objGuid, n);
        index_iface_props props;
        const bool found = index.find_by_guid(fields, props) == 0;
        AfileInfo where;
        where.afileId = static_cast<uint64_t>(props.afileId);
        where.afileOffset = static_cast<uint64_t>(props.afileOffset);
        uint64_t size = buffer.size();
        const bool restored = found && props.afileId > 0 &&
                              props.verGuid == fileToExtentGuid(file.verGuid, n) &&
                              restore.Restore(where, "/f", &size, buffer.data(), "");
        const bool same = restored && std::string(buffer.data(), size) ==
                                          content.substr(n * EXTENT_SIZE, EXTENT_SIZE);
        if (!same && ++missing <= 5) {
          ADD_FAILURE() << "extent " << n << " of " << file.objGuid << " (" << file.size
                        << " bytes): found=" << found << " afile=" << props.afileId
                        << " restored=" << restored;
        }
      }
    }
    EXPECT_EQ(missing, 0u) << "of " << files.size() << " acknowledged files";
  }

  std::string containerDir_;
  std::string ackPath_;
  Share share_;
};

TEST_F(BackupCrashTest, EverythingFinishedBeforeAKillIsBackedUpAfterTheRestart) {
  size_t roundsWithReplay = 0;
  for (int round = 0; round < ROUNDS; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // A child of a process with other threads could inherit held locks. A
    // joined thread can stay listed by the kernel for a moment after the
    // join returns, so give it that moment before calling it a leak.
    ASSERT_TRUE(waitUntil([&] { return test::threadCount() == 1u; }, 5000))
        << test::threadCount() << " threads: a thread outlived the previous round";
    std::mt19937 rng(SEEDS[round]);
    const int killAfterMs = 400 + static_cast<int>(rng() % 1200);
    const size_t ackedBefore = acknowledged().size();

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) writeUntilKilled(containerDir_, ackPath_, round, SEEDS[round]);
    std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended on its own, exit " << WEXITSTATUS(status);
    const std::vector<AckedFile> files = acknowledged();
    ASSERT_GT(files.size(), ackedBefore) << "the child finished no file before the kill";
    if (!pendingInJournal().empty()) ++roundsWithReplay;

    ASSERT_TRUE(share_.start(containerDir_).ok());
    ASSERT_TRUE(waitUntil([&] { return pendingInJournal().empty(); }, 60000))
        << pendingInJournal().size() << " segments still pending after the restart";
    expectAllBackedUp(files);
    share_.stop();
  }
  // The kills must have caught backups in flight, or the replay went untested.
  EXPECT_GT(roundsWithReplay, 0u);
}

}  // namespace
}  // namespace ObjectStore
