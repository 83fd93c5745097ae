// Fault injection into the backup transport, for tests of its callers (the
// backup controller and queue) and of the transport itself.
//
// One process-wide set of armed faults. A test arms what it needs, runs, and
// calls clear() (also at the start, to be independent of earlier tests in the
// same process). Arming and firing may happen on any thread. Production code
// never arms anything; an unarmed hook costs one lock-free check.
//
// Hooks, in the order a job meets them:
//   failGetController  the next `count` getController calls fail with the
//                      errno-style code given. With BACKUP_ERR_NO_STREAMS
//                      (5006) the job is half-started, as a real start without
//                      streams: controller is set to a job that the caller
//                      must end. Other codes leave controller untouched.
//   failSendItem       counting sendItem calls from the moment it is armed,
//                      the nth (1 = the next) fails before anything is read or
//                      written; with `persistent`, every later one too. The
//                      error carries win32Code (0: a plain errno error) and
//                      errNo; requeue is filled with the GUIDs given, or with
//                      the GUID being sent when none are given (nothing for
//                      ENOENT, which means "segment missing").
//   addMissingSegment  sendItem of this GUID reports ENOENT (segment not in
//                      the disk cache) without reading it; stays until clear().
//   failAfileSyncs     the next `count` fdatasync calls of afiles fail with
//                      EIO; the afile is then treated exactly as after a real
//                      failure (its uncommitted records are never committed
//                      and the next append starts a new afile).
//   failLocationRecords the next `count` location recordings fail (EIO) as
//                      if the index had refused them; the GUID is not
//                      committed and is named by the job's endBackup.
//   setCommitDelayMs   every commit batch waits this long before making its
//                      records durable (a slow target); 0 turns it off.
//   failEndBackup      the next endBackup fails with BACKUP_WIN32_REQUEUE
//                      (258, errno EIO) naming these GUIDs, in addition to any
//                      the job really failed to commit. The job still commits
//                      its pending records and ends.
#pragma once

#include <cstdint>
#include <list>
#include <string>

namespace ObjectStore {

class BackupTransportFaults {
 public:
  static void failGetController(int count, int errNo);
  static void failSendItem(uint64_t nth, uint32_t win32Code, int errNo,
                           std::list<std::string> requeue = {}, bool persistent = false);
  static void addMissingSegment(const std::string& guid);
  static void failAfileSyncs(int count);
  static void failLocationRecords(int count);
  static void setCommitDelayMs(uint32_t delayMs);
  static void failEndBackup(std::list<std::string> requeue);
  // Disarms everything and resets the sendItem count.
  static void clear();

  // ---- Used by the transport where each hook fires. ----

  struct SendFault {
    uint32_t win32Code = 0;
    int errNo = 0;
    std::list<std::string> requeue;
  };
  // Each returns true (and fills its outputs) when the armed fault fires now.
  static bool takeGetControllerFailure(int& errNo);
  static bool takeSendItemFailure(SendFault& fault);  // counts every sendItem call
  static bool isMissingSegment(const std::string& guid);
  static bool takeAfileSyncFailure();
  static bool takeLocationFailure();
  static uint32_t commitDelayMs();
  static bool takeEndBackupFailure(std::list<std::string>& requeue);
};

}  // namespace ObjectStore
