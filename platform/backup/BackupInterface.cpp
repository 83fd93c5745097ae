#include "platform/backup/BackupInterface.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <map>

#include "platform/backup/AfileWriter.h"
#include "platform/backup/BackupJob.h"
#include "platform/backup/BackupTransportFaults.h"
#include "platform/restore/AfileFormat.h"
#include "platform/support/HXPlatformInfo.h"
#include "platform/support/HxCriticalSection.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace OBJECTOPSAPI {

JobInfo::JobInfo(int streamCountIn, int backupLevelIn, uint64_t jobIdIn,
                 const std::string& jobTextIn, int opTypeIn, uint64_t subclientIn, int jobFlagsIn)
    : streamCount(streamCountIn),
      backupLevel(backupLevelIn),
      jobId(jobIdIn),
      jobText(jobTextIn),
      opType(opTypeIn),
      subclient(subclientIn),
      jobFlags(jobFlagsIn) {}

}  // namespace OBJECTOPSAPI

namespace ObjectStore {

namespace {

struct ShareTarget {
  std::shared_ptr<index_iface> index;
  std::string backupDir;  // empty: the default target
};

// What the transport knows process-wide: the default target, the registered
// shares, and one afile writer per afile directory (shared by the jobs of a
// share while any of them runs). The lock is held for map lookups and while a
// writer is opened (its recovery scan), never while a job runs.
struct TransportRegistry {
  HxCriticalSection lock;
  std::string defaultBackupDir OS_GUARDED_BY(lock);
  std::map<uint64_t, ShareTarget> shares OS_GUARDED_BY(lock);
  std::map<std::string, std::weak_ptr<AfileWriter>> writers OS_GUARDED_BY(lock);
  std::atomic<uint64_t> nextJobId{1};
};

TransportRegistry& registry() {
  static TransportRegistry instance;
  return instance;
}

// Creating and removing a file proves the directory writable for us (access()
// would not account for read-only mounts or full inode tables).
int probeWritable(const std::string& dir) {
  const std::string probe = dir + "/.probe-" + std::to_string(getpid());
  int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int rc = write(fd, "p", 1) == 1 ? 0 : (errno != 0 ? errno : EIO);
  close(fd);
  unlink(probe.c_str());
  return rc;
}

struct JobSettingsFromConfig {
  uint32_t commitBatch;
  uint32_t commitIntervalMs;
  uint64_t maxAfileBytes;
};

JobSettingsFromConfig readJobSettings() {
  JobSettingsFromConfig s;
  s.commitBatch = static_cast<uint32_t>(
      std::clamp(getRegistryValue("nBackupCommitBatch", 64, 1, 100000), 1, 100000));
  s.commitIntervalMs = static_cast<uint32_t>(
      std::clamp(getRegistryValue("nBackupCommitIntervalMs", 200, 1, 60000), 1, 60000));
  const int maxKiB =
      std::clamp(getRegistryValue("nBackupAfileMaxKiB", 65536, 1, 4194304), 1, 4194304);
  s.maxAfileBytes = static_cast<uint64_t>(maxKiB) * 1024;
  return s;
}

// The share's writer, opening (and recovering) it when no job holds it.
CZnError sharedWriter(const std::string& afileDir, uint64_t subclient, uint64_t maxAfileBytes,
                      std::shared_ptr<AfileWriter>& writer) {
  TransportRegistry& reg = registry();
  HxCriticalSectionGuard guard(reg.lock);
  writer = reg.writers[afileDir].lock();
  if (writer) {
    writer->setMaxAfileBytes(maxAfileBytes);
    return CZnError::Success;
  }
  auto opened = std::make_shared<AfileWriter>(afileDir, subclient, maxAfileBytes);
  CZnError err = opened->open();
  if (err.failed()) return err;
  reg.writers[afileDir] = opened;
  writer = std::move(opened);
  return CZnError::Success;
}

CZnError startHalfJob(uint64_t subclient, std::shared_ptr<BackupInterface>& controller,
                      const char* why) {
  BackupJob::Settings settings;
  settings.jobId = registry().nextJobId++;
  settings.subclient = subclient;
  settings.streamCount = 0;
  controller = std::make_shared<BackupJob>(settings, nullptr, nullptr);
  return FXErrorUtil::ErrorErrNo(FX_LOC, BACKUP_ERR_NO_STREAMS,
                                 "backup job [%" PRIu64 "] of subclient [%" PRIu64
                                 "] started without streams (%s)",
                                 settings.jobId, subclient, why);
}

}  // namespace

bool initBackupInterace(const std::string& backupDir) {
  if (backupDir.empty()) {
    OSLOG(-1, "Error: empty backup directory");
    return false;
  }
  int rc = createDir(backupDir);
  if (rc == 0) rc = probeWritable(backupDir);
  if (rc != 0) {
    OSLOG(-1, "Error: backup target [%s] is not usable: %s", backupDir.c_str(), strerror(rc));
    return false;
  }
  TransportRegistry& reg = registry();
  HxCriticalSectionGuard guard(reg.lock);
  reg.defaultBackupDir = backupDir;
  OSLOG(1, "backup target [%s] ready", backupDir.c_str());
  return true;
}

void registerShareIndex(uint64_t subclient, std::shared_ptr<index_iface> index,
                        const std::string& backupDir) {
  TransportRegistry& reg = registry();
  HxCriticalSectionGuard guard(reg.lock);
  reg.shares[subclient] = ShareTarget{std::move(index), backupDir};
  OSLOG(2, "subclient [%" PRIu64 "] backs up to [%s]", subclient,
        backupDir.empty() ? reg.defaultBackupDir.c_str() : backupDir.c_str());
}

void unregisterShareIndex(uint64_t subclient) {
  TransportRegistry& reg = registry();
  HxCriticalSectionGuard guard(reg.lock);
  reg.shares.erase(subclient);
}

BackupInterface::~BackupInterface() = default;

CZnError BackupInterface::getController(std::shared_ptr<OBJECTOPSAPI::JobInfo> jobInfo,
                                        std::shared_ptr<BackupInterface>& controller,
                                        bool /*reserved*/) {
  if (!jobInfo) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "no job description");
  const uint64_t subclient = jobInfo->subclient;

  int injected = 0;
  if (BackupTransportFaults::takeGetControllerFailure(injected)) {
    if (injected == BACKUP_ERR_NO_STREAMS) return startHalfJob(subclient, controller, "injected");
    return FXErrorUtil::ErrorErrNo(FX_LOC, injected, "injected job start failure");
  }

  ShareTarget target;
  {
    TransportRegistry& reg = registry();
    HxCriticalSectionGuard guard(reg.lock);
    auto it = reg.shares.find(subclient);
    if (it == reg.shares.end())
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "subclient [%" PRIu64 "] is not registered",
                                     subclient);
    target = it->second;
    if (target.backupDir.empty()) target.backupDir = reg.defaultBackupDir;
  }
  if (target.backupDir.empty() || !target.index)
    return FXErrorUtil::ErrorErrNo(
        FX_LOC, EINVAL, "subclient [%" PRIu64 "] has no backup target or no index", subclient);
  if (jobInfo->streamCount <= 0) return startHalfJob(subclient, controller, "none requested");

  const JobSettingsFromConfig config = readJobSettings();
  std::shared_ptr<AfileWriter> writer;
  CZnError err = sharedWriter(afileDirectory(target.backupDir, subclient), subclient,
                              config.maxAfileBytes, writer);
  if (err.failed())
    return err.Push(FX_LOC, "Error: can't prepare the afiles of subclient [%" PRIu64 "]",
                    subclient);

  BackupJob::Settings settings;
  settings.jobId = registry().nextJobId++;
  settings.subclient = subclient;
  settings.streamCount = std::min(jobInfo->streamCount, BACKUP_MAX_STREAMS);
  settings.commitBatch = config.commitBatch;
  settings.commitIntervalMs = config.commitIntervalMs;
  auto job = std::make_shared<BackupJob>(settings, target.index, writer);
  err = job->start();
  if (err.failed()) return err;

  jobInfo->streamCount = settings.streamCount;
  jobInfo->jobId = settings.jobId;
  jobInfo->jobText =
      "backup job " + std::to_string(settings.jobId) + " of subclient " + std::to_string(subclient);
  controller = std::move(job);
  backupTransportAtomics().jobsStarted++;
  OSLOG(1,
        "backup job [%" PRIu64 "] started: subclient [%" PRIu64
        "] streams %d level %d "
        "op %d flags %d afiles [%s] batch %u interval %u ms",
        settings.jobId, subclient, settings.streamCount, jobInfo->backupLevel, jobInfo->opType,
        jobInfo->jobFlags, writer->afileDir().c_str(), settings.commitBatch,
        settings.commitIntervalMs);
  return CZnError::Success;
}

}  // namespace ObjectStore
