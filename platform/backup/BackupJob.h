// BackupJob: the transport's one implementation of BackupInterface.
//
// Created by BackupInterface::getController. A job sends segments into its
// share's afiles through the shared AfileWriter and commits them from its
// own commit thread (see BackupInterface.h for the commit rules).
//
// Locks: endMutex_ (held while the job ends) before the writer's lock
// before mutex_. mutex_ guards the job's state below; the writer's lock is
// taken before it (records are queued for commit from inside the append,
// so that they queue in file order); mutex_ is never held during I/O, a
// disk-cache read, an index call or a callback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/backup/AfileWriter.h"
#include "platform/backup/BackupInterface.h"
#include "platform/support/HxCriticalSection.h"

namespace ObjectStore {

class BackupJob : public BackupInterface {
 public:
  struct Settings {
    uint64_t jobId = 0;
    uint64_t subclient = 0;
    int streamCount = 0;  // 0: a job without streams (it only accepts endBackup)
    uint32_t commitBatch = 64;
    uint32_t commitIntervalMs = 200;
  };

  // index and writer may be null only for a job without streams.
  BackupJob(const Settings& settings, std::shared_ptr<index_iface> index,
            std::shared_ptr<AfileWriter> writer);
  // Ends the job as endBackup does when the caller has not (the callback's
  // context must still be alive then).
  ~BackupJob() override;

  // Starts the commit thread. EAGAIN when it can't be created.
  CZnError start();

  CZnError setCallBack(ChunkCommitCallBkp_t callback, void* context) override;
  CZnError sendItem(const char* guid, std::list<std::string>& requeue, int64_t& bytes,
                    int& streamNumber, DiskCache& diskCache, DiskCacheContext& context) override;
  CZnError endBackup(std::list<std::string>& requeue, bool itemsUncommitted) override;
  uint64_t jobId() const override { return settings_.jobId; }

 private:
  using SteadyClock = std::chrono::steady_clock;

  struct PendingRecord {
    std::string guid;
    AfileAppend placed;
    SteadyClock::time_point written;
  };

  // A segment's data section as read for a send: `length` bytes at the
  // front of `bytes`, which is kept between sends of the same thread.
  struct SendBuffer {
    std::vector<unsigned char> bytes;
    uint64_t length = 0;
  };
  CZnError readSegmentData(const std::string& guid, DiskCache& diskCache, DiskCacheContext& context,
                           SendBuffer& data, std::list<std::string>& requeue);
  CZnError appendRecord(const std::string& guid, const SendBuffer& data,
                        std::list<std::string>& requeue);
  void commitThreadMain();
  // Makes a batch durable, records its locations and reports it. Called
  // without mutex_.
  void commitBatch(std::vector<PendingRecord>& batch);
  // Ends sends, waits for those in progress, drains and stops the commit
  // thread; the GUIDs not committed go to notCommitted. True for the call
  // that ended the job, false when it had ended before.
  bool shutdown(std::list<std::string>& notCommitted);

  const Settings settings_;
  const std::shared_ptr<index_iface> index_;
  const std::shared_ptr<AfileWriter> writer_;

  std::mutex endMutex_;  // serialises endings; acquired before mutex_
  HxCriticalSection mutex_;
  std::condition_variable_any wakeCommit_;  // pending records, or stopping
  std::condition_variable_any sendsDone_;   // activeSends_ dropped to 0
  ChunkCommitCallBkp_t callback_ OS_GUARDED_BY(mutex_) = nullptr;
  void* callbackContext_ OS_GUARDED_BY(mutex_) = nullptr;
  std::vector<PendingRecord> pending_ OS_GUARDED_BY(mutex_);
  std::list<std::string> notCommitted_ OS_GUARDED_BY(mutex_);
  int activeSends_ OS_GUARDED_BY(mutex_) = 0;
  bool ending_ OS_GUARDED_BY(mutex_) = false;      // no more sends accepted
  bool stopCommit_ OS_GUARDED_BY(mutex_) = false;  // commit thread: drain and exit
  bool ended_ OS_GUARDED_BY(mutex_) = false;
  uint64_t nextStream_ OS_GUARDED_BY(mutex_) = 0;
  std::thread commitThread_;
};

}  // namespace ObjectStore
