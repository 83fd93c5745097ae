#include "platform/restore/RestoreInterface.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <map>

#include "platform/restore/AfileFormat.h"
#include "platform/restore/AfileReader.h"
#include "platform/support/HxCriticalSection.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

// The subclients known to this process. The container registers a share
// before its stores start and the store reads it at start-up, so the map sees
// few writers; it is never held during I/O.
struct SubClientRegistry {
  HxCriticalSection lock;
  std::map<uint64_t, SubClientInfo> subclients OS_GUARDED_BY(lock);
};

SubClientRegistry& registry() {
  static SubClientRegistry instance;
  return instance;
}

bool isReadableDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         access(path.c_str(), R_OK | X_OK) == 0;
}

}  // namespace

bool registerSubClient(uint64_t subclient, const std::string& backupDir) {
  if (backupDir.empty()) {
    OSLOG(-1, "Error: empty backup directory for subclient [%" PRIu64 "]", subclient);
    return false;
  }
  SubClientInfo info;
  info.subclient = subclient;
  info.backupDir = backupDir;
  SubClientRegistry& reg = registry();
  HxCriticalSectionGuard guard(reg.lock);
  reg.subclients[subclient] = info;
  OSLOG(2, "subclient [%" PRIu64 "] restores from [%s]", subclient, backupDir.c_str());
  return true;
}

bool GetSubClientInfo(uint64_t subclient, SubClientInfo& info) {
  SubClientRegistry& reg = registry();
  HxCriticalSectionGuard guard(reg.lock);
  auto it = reg.subclients.find(subclient);
  if (it == reg.subclients.end()) return false;
  info = it->second;
  return true;
}

RestoreInterface::RestoreInterface(const SubClientInfo& info) : info_(info) {
  if (info_.backupDir.empty() || !isReadableDirectory(info_.backupDir)) {
    OSLOG(-1, "Error: backup target [%s] of subclient [%" PRIu64 "] is not a readable directory",
          info_.backupDir.c_str(), info_.subclient);
    return;
  }
  // The subclient's own afile directory may not exist yet (nothing backed up
  // so far); restores then fail per call, which is right for a new share.
  reader_ = std::make_unique<AfileReader>(afileDirectory(info_.backupDir, info_.subclient),
                                          info_.subclient);
  initOk_ = true;
  OSLOG(2, "restore interface for subclient [%" PRIu64 "] on [%s], copy precedence %d",
        info_.subclient, info_.backupDir.c_str(), info_.copyPrecedence);
}

RestoreInterface::~RestoreInterface() = default;

bool RestoreInterface::Restore(const AfileInfo& afile, const std::string& path, uint64_t* size,
                               char* buffer, const std::string& /*reserved*/) {
  CZnError err;
  uint64_t restored = 0;
  if (size == nullptr || buffer == nullptr) {
    err = FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "no buffer");
  } else if (!initOk_) {
    err = FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "restore interface not initialised");
  } else {
    err = reader_->readRecord(afile.afileId, afile.afileOffset, buffer, *size, restored);
  }
  if (err.failed()) {
    if (size != nullptr) *size = 0;
    err.Push(FX_LOC,
             "Error: can't restore [%s] from afile [%" PRIu64 "] offset [%" PRIu64
             "] of subclient [%" PRIu64 "]",
             path.c_str(), afile.afileId, afile.afileOffset, info_.subclient);
    OSLOG_ERR(err);
    return false;
  }
  *size = restored;
  OSLOG(5, "restored [%" PRIu64 "] bytes of [%s] from afile [%" PRIu64 "] offset [%" PRIu64 "]",
        restored, path.c_str(), afile.afileId, afile.afileOffset);
  return true;
}

int getDiskLibrarySize(uint32_t subclient, uint64_t& totalMiB, uint64_t& freeMiB) {
  std::string backupDir;
  {
    SubClientRegistry& reg = registry();
    HxCriticalSectionGuard guard(reg.lock);
    // The store passes the low 32 bits of its subclient; an exact key wins,
    // otherwise the subclient whose low bits match.
    auto it = reg.subclients.find(subclient);
    if (it == reg.subclients.end()) {
      for (it = reg.subclients.begin(); it != reg.subclients.end(); ++it)
        if ((it->first & 0xFFFFFFFFull) == subclient) break;
    }
    if (it == reg.subclients.end()) return ENOENT;
    backupDir = it->second.backupDir;
  }
  struct statvfs vfs {};
  if (statvfs(backupDir.c_str(), &vfs) != 0) {
    int code = errno;
    OSLOG(-1, "Error: can't stat the backup target [%s] (%d)", backupDir.c_str(), code);
    return code;
  }
  const uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  constexpr uint64_t MIB = 1048576;
  totalMiB = static_cast<uint64_t>(vfs.f_blocks) * unit / MIB;
  freeMiB = static_cast<uint64_t>(vfs.f_bavail) * unit / MIB;
  return 0;
}

}  // namespace ObjectStore
