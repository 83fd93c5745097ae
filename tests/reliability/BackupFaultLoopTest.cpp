// Backup faults never lose what was written: files are written on a live
// share whose backup runs at once while the transport fails (a send, once or
// from then on; the sync of an afile; the recording of locations in the
// index; the end of a job), failing the 1st, 2nd, 3rd such call. Once the
// faults are cleared (and, in half of the runs, after the share was dropped
// without a close and started again, so that the journal is replayed) the
// queue drains, and every extent of every file is committed: the index
// names its place in the backup, and the bytes restored from there are the
// file's last bytes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ObjectStore/BackupQueue.h"
#include "common/TestEnv.h"
#include "platform/backup/BackupTransportCounters.h"
#include "platform/backup/BackupTransportFaults.h"
#include "platform/restore/RestoreInterface.h"
#include "reliability/ReliabilityFixture.h"

namespace ObjectStore {
namespace {

using test::LiveShare;

constexpr uint64_t E = test::SMALL_EXTENT;
constexpr int FILES = 3;

struct BackupFault {
  const char* name;
  std::function<void(uint64_t nth)> arm;
  // Whether the fault struck, from the transport's counters since arming.
  std::function<bool(const BackupTransportCounters&)> fired;
};

const BackupFault SEND_ONCE{
    "send fails once",
    [](uint64_t nth) { BackupTransportFaults::failSendItem(nth, 0, EIO); },
    [](const BackupTransportCounters& c) { return c.sendErrors > 0; }};
const BackupFault SEND_PERSISTENT{
    "send fails from then on",
    [](uint64_t nth) { BackupTransportFaults::failSendItem(nth, 0, EIO, {}, true); },
    [](const BackupTransportCounters& c) { return c.sendErrors > 0; }};
const BackupFault AFILE_SYNC{
    "afile sync fails",
    [](uint64_t nth) { BackupTransportFaults::failAfileSyncs(static_cast<int>(nth)); },
    // The first sync of an afile makes its header durable: failing it fails
    // the send that started the afile.
    [](const BackupTransportCounters& c) { return c.commitFailures > 0 || c.sendErrors > 0; }};
const BackupFault LOCATIONS{
    "location records fail",
    [](uint64_t nth) { BackupTransportFaults::failLocationRecords(static_cast<int>(nth)); },
    [](const BackupTransportCounters& c) { return c.commitFailures > 0; }};
const BackupFault END_BACKUP{
    "end of job fails",
    [](uint64_t) { BackupTransportFaults::failEndBackup({}); },
    [](const BackupTransportCounters& c) { return c.jobsEnded > 0; }};

struct WrittenFile {
  guid_t objGuid;
  guid_t verGuid;
  std::string content;
};

class BackupFaultLoopTest : public test::TestEnv {
 protected:
  void SetUp() override {
    TestEnv::SetUp();
    test::useFastBackupTimings();
    ObjectContainer::setAsyncBrowsePollIntervalMsForTesting(10);
    BackupTransportFaults::clear();
  }
  void TearDown() override {
    BackupTransportFaults::clear();
    BackupTimings::resetForTesting();
    TestEnv::TearDown();
  }

  std::set<guid_t> pendingInJournal(const std::string& containerDir) {
    std::set<guid_t> pending;
    CZnError err = BackupQueue::readPendingFromJournal(
        BackupQueue::journalDirOf(containerDir + "/objstr",
                                  std::to_string(test::RELIABILITY_SUBCLIENT)),
        pending);
    EXPECT_TRUE(err.ok()) << err.chain();
    return pending;
  }

  void writeFiles(LiveShare& share, unsigned seed, std::vector<WrittenFile>& files);
  void expectAllCommitted(LiveShare& share, const std::vector<WrittenFile>& files);
  void runOnce(const BackupFault& fault, uint64_t nth, bool dropBeforeDrain);
  void loop(const std::vector<BackupFault>& faults);

  uint64_t runs_ = 0;
  uint64_t firedRuns_ = 0;
};

void BackupFaultLoopTest::writeFiles(LiveShare& share, unsigned seed,
                                     std::vector<WrittenFile>& files) {
  for (int n = 0; n < FILES; ++n) {
    const std::string path = "/f" + std::to_string(n);
    WrittenFile file;
    file.content = test::patternBytes(2 * E + 700 * (n + 1), seed * 10 + n);
    ItemName item;
    ASSERT_TRUE(share.container->create(share.index, item, path, 0644).ok());
    ItemName byPath(path);
    FileHandle handle;
    ASSERT_TRUE(share.container->open(share.index, handle, byPath, O_RDWR, false).ok());
    uint64_t len = file.content.size();
    ASSERT_TRUE(share.container->write(share.index, handle, file.content.data(), len, 0, NO_SYNC)
                    .ok());
    file.objGuid = handle.name.objGuid;
    file.verGuid = handle.name.verGuid;
    ASSERT_TRUE(share.container->close(share.index, handle).ok());
    files.push_back(file);
  }
}

void BackupFaultLoopTest::expectAllCommitted(LiveShare& share,
                                             const std::vector<WrittenFile>& files) {
  std::shared_ptr<index_iface> index = share.shareIndex();
  ASSERT_TRUE(index);
  SubClientInfo info;
  ASSERT_TRUE(GetSubClientInfo(test::RELIABILITY_SUBCLIENT, info));
  RestoreInterface restore(info);
  ASSERT_TRUE(restore.IsInitSuccessFull());
  std::string buffer(E + 4096, '\0');
  for (const WrittenFile& file : files) {
    for (uint64_t n = 0; n * E < file.content.size(); ++n) {
      index_iface_browse_fields fields;
      fields.guid = fileToExtentGuid(file.objGuid, n);
      index_iface_props props;
      ASSERT_EQ(index->find_by_guid(fields, props), 0) << "extent " << n << " of " << file.objGuid;
      EXPECT_EQ(props.verGuid, fileToExtentGuid(file.verGuid, n));
      ASSERT_GT(props.afileId, 0) << "extent " << n << " of " << file.objGuid << " not committed";
      AfileInfo where;
      where.afileId = static_cast<uint64_t>(props.afileId);
      where.afileOffset = static_cast<uint64_t>(props.afileOffset);
      uint64_t size = buffer.size();
      ASSERT_TRUE(restore.Restore(where, "/f", &size, buffer.data(), ""))
          << "extent " << n << " of " << file.objGuid;
      EXPECT_EQ(std::string(buffer.data(), size), file.content.substr(n * E, E))
          << "extent " << n << " of " << file.objGuid << " restores other bytes";
    }
  }
}

void BackupFaultLoopTest::runOnce(const BackupFault& fault, uint64_t nth, bool dropBeforeDrain) {
  const std::string dir = path("run" + std::to_string(runs_++));
  ObjectStoreConfig config = test::reliabilityConfig(0);
  // Records a job failed to commit are sent again when the job ends; an idle
  // job ends after this long.
  config.jobIdleTimeoutMs = 300;
  LiveShare share;
  ASSERT_TRUE(share.start(dir, config).ok());
  BackupTransportFaults::clear();
  clearBackupTransportCounters();
  fault.arm(nth);
  std::vector<WrittenFile> files;
  ASSERT_NO_FATAL_FAILURE(writeFiles(share, static_cast<unsigned>(runs_), files));
  // The backup meets the fault (or, for a later call, may finish without
  // reaching it; a job's end comes after everything was committed).
  (void)test::waitUntil(
      [&] {
        return fault.fired(getBackupTransportCounters()) ||
               (nth > 1 && pendingInJournal(dir).empty());
      },
      10000);
  const bool fired = fault.fired(getBackupTransportCounters());
  if (fired) ++firedRuns_;
  if (nth == 1) {
    EXPECT_TRUE(fired) << "the first call never failed";
  }
  BackupTransportFaults::clear();
  if (dropBeforeDrain) {
    share.dropAll();
    CZnError err = share.start(dir, config);
    ASSERT_TRUE(err.ok()) << "reopen: " << err.text() << " " << err.chain();
  }
  ASSERT_TRUE(test::waitUntil([&] { return pendingInJournal(dir).empty(); }, 30000))
      << pendingInJournal(dir).size() << " segments still pending once the faults cleared";
  ASSERT_NO_FATAL_FAILURE(expectAllCommitted(share, files));
  share.dropAll();
}

void BackupFaultLoopTest::loop(const std::vector<BackupFault>& faults) {
  for (const BackupFault& fault : faults) {
    for (uint64_t nth = 1; nth <= 3; ++nth) {
      for (bool drop : {false, true}) {
        SCOPED_TRACE(std::string(fault.name) + ", call " + std::to_string(nth) +
                     (drop ? ", dropped and started again" : ", same process"));
        ASSERT_NO_FATAL_FAILURE(runOnce(fault, nth, drop));
      }
    }
  }
  std::printf("%lu runs, %lu with the fault injected\n", static_cast<unsigned long>(runs_),
              static_cast<unsigned long>(firedRuns_));
  RecordProperty("runs", std::to_string(runs_));
  RecordProperty("faultsInjected", std::to_string(firedRuns_));
}

TEST_F(BackupFaultLoopTest, FailingSendsLoseNothing) { loop({SEND_ONCE, SEND_PERSISTENT}); }

TEST_F(BackupFaultLoopTest, FailingCommitsLoseNothing) { loop({AFILE_SYNC, LOCATIONS, END_BACKUP}); }

}  // namespace
}  // namespace ObjectStore
