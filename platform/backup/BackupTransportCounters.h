// Counters of the backup transport, for status reports and tests.
//
// Process-wide (every job of every share adds to them); lock-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

namespace ObjectStore {

// A snapshot of the counters.
struct BackupTransportCounters {
  uint64_t jobsStarted = 0;     // getController successes
  uint64_t jobsEnded = 0;       // endBackup calls that ended a job
  uint64_t recordsWritten = 0;  // records appended to afiles
  uint64_t bytesWritten = 0;    // data bytes in those records
  uint64_t sendErrors = 0;      // sendItem failures (missing segments included)
  uint64_t commits = 0;         // commit batches that committed at least one record
  uint64_t itemsCommitted = 0;  // records reported to a callback (or committed without one)
  uint64_t commitFailures = 0;  // records not committed (afile sync or location failed)
  uint64_t afilesCreated = 0;   // new afiles started
  uint64_t afileSyncs = 0;      // fdatasync calls that succeeded
  uint64_t tailRepairs = 0;     // afiles whose unfinished tail was cut or that were set aside
};

BackupTransportCounters getBackupTransportCounters();
// The same as "transport.<name>" = decimal value.
void getBackupTransportCounters(std::map<std::string, std::string>& counters);
void clearBackupTransportCounters();

// The live counters, for the transport's own code.
struct BackupTransportAtomics {
  std::atomic<uint64_t> jobsStarted{0};
  std::atomic<uint64_t> jobsEnded{0};
  std::atomic<uint64_t> recordsWritten{0};
  std::atomic<uint64_t> bytesWritten{0};
  std::atomic<uint64_t> sendErrors{0};
  std::atomic<uint64_t> commits{0};
  std::atomic<uint64_t> itemsCommitted{0};
  std::atomic<uint64_t> commitFailures{0};
  std::atomic<uint64_t> afilesCreated{0};
  std::atomic<uint64_t> afileSyncs{0};
  std::atomic<uint64_t> tailRepairs{0};
};
BackupTransportAtomics& backupTransportAtomics();

}  // namespace ObjectStore
