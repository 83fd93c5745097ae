#include "platform/backup/BackupTransportCounters.h"

namespace ObjectStore {

BackupTransportAtomics& backupTransportAtomics() {
  static BackupTransportAtomics counters;
  return counters;
}

BackupTransportCounters getBackupTransportCounters() {
  BackupTransportAtomics& c = backupTransportAtomics();
  BackupTransportCounters s;
  s.jobsStarted = c.jobsStarted.load();
  s.jobsEnded = c.jobsEnded.load();
  s.recordsWritten = c.recordsWritten.load();
  s.bytesWritten = c.bytesWritten.load();
  s.sendErrors = c.sendErrors.load();
  s.commits = c.commits.load();
  s.itemsCommitted = c.itemsCommitted.load();
  s.commitFailures = c.commitFailures.load();
  s.afilesCreated = c.afilesCreated.load();
  s.afileSyncs = c.afileSyncs.load();
  s.tailRepairs = c.tailRepairs.load();
  return s;
}

void getBackupTransportCounters(std::map<std::string, std::string>& counters) {
  const BackupTransportCounters s = getBackupTransportCounters();
  counters["transport.jobsStarted"] = std::to_string(s.jobsStarted);
  counters["transport.jobsEnded"] = std::to_string(s.jobsEnded);
  counters["transport.recordsWritten"] = std::to_string(s.recordsWritten);
  counters["transport.bytesWritten"] = std::to_string(s.bytesWritten);
  counters["transport.sendErrors"] = std::to_string(s.sendErrors);
  counters["transport.commits"] = std::to_string(s.commits);
  counters["transport.itemsCommitted"] = std::to_string(s.itemsCommitted);
  counters["transport.commitFailures"] = std::to_string(s.commitFailures);
  counters["transport.afilesCreated"] = std::to_string(s.afilesCreated);
  counters["transport.afileSyncs"] = std::to_string(s.afileSyncs);
  counters["transport.tailRepairs"] = std::to_string(s.tailRepairs);
}

void clearBackupTransportCounters() {
  BackupTransportAtomics& c = backupTransportAtomics();
  c.jobsStarted = 0;
  c.jobsEnded = 0;
  c.recordsWritten = 0;
  c.bytesWritten = 0;
  c.sendErrors = 0;
  c.commits = 0;
  c.itemsCommitted = 0;
  c.commitFailures = 0;
  c.afilesCreated = 0;
  c.afileSyncs = 0;
  c.tailRepairs = 0;
}

}  // namespace ObjectStore
