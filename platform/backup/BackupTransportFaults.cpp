#include "platform/backup/BackupTransportFaults.h"

#include <atomic>
#include <set>

#include "platform/support/HxCriticalSection.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

struct FaultState {
  HxCriticalSection lock;
  // Set whenever anything is armed, so that the hooks of an untouched
  // process cost one atomic load.
  std::atomic<bool> armed{false};
  int getControllerFailures OS_GUARDED_BY(lock) = 0;
  int getControllerErrNo OS_GUARDED_BY(lock) = 0;
  uint64_t sendCalls OS_GUARDED_BY(lock) = 0;   // sendItem calls since failSendItem
  uint64_t sendFailAt OS_GUARDED_BY(lock) = 0;  // 0 = off
  bool sendPersistent OS_GUARDED_BY(lock) = false;
  BackupTransportFaults::SendFault sendFault OS_GUARDED_BY(lock);
  std::set<std::string> missingSegments OS_GUARDED_BY(lock);
  int syncFailures OS_GUARDED_BY(lock) = 0;
  int locationFailures OS_GUARDED_BY(lock) = 0;
  std::atomic<uint32_t> commitDelayMs{0};
  bool endBackupFails OS_GUARDED_BY(lock) = false;
  std::list<std::string> endBackupRequeue OS_GUARDED_BY(lock);
};

FaultState& state() {
  static FaultState instance;
  return instance;
}

}  // namespace

void BackupTransportFaults::failGetController(int count, int errNo) {
  FaultState& s = state();
  HxCriticalSectionGuard guard(s.lock);
  s.getControllerFailures = count;
  s.getControllerErrNo = errNo;
  s.armed = true;
}

void BackupTransportFaults::failSendItem(uint64_t nth, uint32_t win32Code, int errNo,
                                         std::list<std::string> requeue, bool persistent) {
  FaultState& s = state();
  HxCriticalSectionGuard guard(s.lock);
  s.sendCalls = 0;
  s.sendFailAt = nth;
  s.sendPersistent = persistent;
  s.sendFault.win32Code = win32Code;
  s.sendFault.errNo = errNo;
  s.sendFault.requeue = std::move(requeue);
  s.armed = true;
}

void BackupTransportFaults::addMissingSegment(const std::string& guid) {
  FaultState& s = state();
  HxCriticalSectionGuard guard(s.lock);
  s.missingSegments.insert(guid);
  s.armed = true;
}

void BackupTransportFaults::failAfileSyncs(int count) {
  FaultState& s = state();
  HxCriticalSectionGuard guard(s.lock);
  s.syncFailures = count;
  s.armed = true;
}

void BackupTransportFaults::failLocationRecords(int count) {
  FaultState& s = state();
  HxCriticalSectionGuard guard(s.lock);
  s.locationFailures = count;
  s.armed = true;
}

void BackupTransportFaults::setCommitDelayMs(uint32_t delayMs) { state().commitDelayMs = delayMs; }

void BackupTransportFaults::failEndBackup(std::list<std::string> requeue) {
  FaultState& s = state();
  HxCriticalSectionGuard guard(s.lock);
  s.endBackupFails = true;
  s.endBackupRequeue = std::move(requeue);
  s.armed = true;
}

void BackupTransportFaults::clear() {
  FaultState& s = state();
  HxCriticalSectionGuard guard(s.lock);
  s.armed = false;
  s.getControllerFailures = 0;
  s.getControllerErrNo = 0;
  s.sendCalls = 0;
  s.sendFailAt = 0;
  s.sendPersistent = false;
  s.sendFault = SendFault{};
  s.missingSegments.clear();
  s.syncFailures = 0;
  s.locationFailures = 0;
  s.commitDelayMs = 0;
  s.endBackupFails = false;
  s.endBackupRequeue.clear();
}

bool BackupTransportFaults::takeGetControllerFailure(int& errNo) {
  FaultState& s = state();
  if (!s.armed) return false;
  HxCriticalSectionGuard guard(s.lock);
  if (s.getControllerFailures <= 0) return false;
  --s.getControllerFailures;
  errNo = s.getControllerErrNo;
  OSLOG(2, "fault injection: getController fails with %d", errNo);
  return true;
}

bool BackupTransportFaults::takeSendItemFailure(SendFault& fault) {
  FaultState& s = state();
  if (!s.armed) return false;
  HxCriticalSectionGuard guard(s.lock);
  if (s.sendFailAt == 0) return false;
  const uint64_t call = ++s.sendCalls;
  if (call < s.sendFailAt || (call > s.sendFailAt && !s.sendPersistent)) return false;
  fault = s.sendFault;
  OSLOG(2, "fault injection: sendItem call %lu fails (win32 %u, errno %d)",
        static_cast<unsigned long>(call), fault.win32Code, fault.errNo);
  return true;
}

bool BackupTransportFaults::isMissingSegment(const std::string& guid) {
  FaultState& s = state();
  if (!s.armed) return false;
  HxCriticalSectionGuard guard(s.lock);
  return s.missingSegments.count(guid) != 0;
}

bool BackupTransportFaults::takeAfileSyncFailure() {
  FaultState& s = state();
  if (!s.armed) return false;
  HxCriticalSectionGuard guard(s.lock);
  if (s.syncFailures <= 0) return false;
  --s.syncFailures;
  OSLOG(2, "fault injection: afile sync fails");
  return true;
}

bool BackupTransportFaults::takeLocationFailure() {
  FaultState& s = state();
  if (!s.armed) return false;
  HxCriticalSectionGuard guard(s.lock);
  if (s.locationFailures <= 0) return false;
  --s.locationFailures;
  OSLOG(2, "fault injection: backup location not recorded");
  return true;
}

uint32_t BackupTransportFaults::commitDelayMs() { return state().commitDelayMs.load(); }

bool BackupTransportFaults::takeEndBackupFailure(std::list<std::string>& requeue) {
  FaultState& s = state();
  if (!s.armed) return false;
  HxCriticalSectionGuard guard(s.lock);
  if (!s.endBackupFails) return false;
  s.endBackupFails = false;
  requeue = std::move(s.endBackupRequeue);
  s.endBackupRequeue.clear();
  OSLOG(2, "fault injection: endBackup fails naming %zu items", requeue.size());
  return true;
}

}  // namespace ObjectStore
