// A fixture for the backup queue and controller: the transport fixture's
// real disk cache (one registered share context), real index and registered
// backup target, plus a store object (constructed, not opened: the queue
// only asks it for its name) and helpers to start, restart and inspect a
// queue and its journal.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/BackupControllerThread.h"
#include "ObjectStore/BackupQueue.h"
#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStore.h"
#include "backup/BackupFixture.h"
#include "platform/support/Clock.h"

namespace ObjectStore::test {

class BackupQueueFixture : public BackupFixture {
 protected:
  void SetUp() override {
    BackupFixture::SetUp();
    BackupTimings::resetForTesting();
    BackupQueue::setMaxJournalSizeForTesting(0);
    baseDir_ = path("objstr");
    container_ = std::make_unique<ObjectContainer>();
    // The store is never opened: the queue uses only its name.
    store_ = std::make_unique<ObjectStore>(
        *container_, std::shared_ptr<DiskCache>(cache_.get(), [](DiskCache*) {}), nullptr);
  }

  void TearDown() override {
    queue_.reset();
    clock_.reset();  // after every thread that reads it is gone
    store_.reset();
    container_.reset();
    BackupTimings::resetForTesting();
    BackupQueue::setMaxJournalSizeForTesting(0);
    BackupFixture::TearDown();
  }

  // Replaces the clock until the end of the test; call before startQueue.
  ManualClock& useManualClock(int64_t startSec = 1000000) {
    clock_ = std::make_unique<ManualClock>(startSec);
    return *clock_;
  }

  // Timings short enough for tests; each test may change single values.
  static BackupTimings fastTimings() {
    BackupTimings t;
    t.outerWaitMs = 50;
    t.firstStartRetryMs = 100;
    t.restartPauseMs = 100;
    t.restartRetryMs = 100;
    t.pollMs = 100;
    t.workerWaitMs = 20;
    return t;
  }

  // Keeps the controller from ever starting a job, so that a test sees the
  // queue alone: every job start fails and the controller pauses (the pause
  // is interrupted when the queue closes).
  static void blockJobs() { BackupTransportFaults::failGetController(1000000, EIO); }

  CZnError startQueue(uint64_t timeout = 15, uint64_t jobIdleTimeoutMs = 300000) {
    queue_ = std::make_unique<BackupQueue>(*store_, *cache_);
    return queue_->initialize(BACKUP_TEST_SUBCLIENT, timeout, jobIdleTimeoutMs, baseDir_, ctx_);
  }
  void restartQueue(uint64_t timeout = 15, uint64_t jobIdleTimeoutMs = 300000) {
    queue_.reset();
    CZnError err = startQueue(timeout, jobIdleTimeoutMs);
    ASSERT_TRUE(err.ok()) << err.chain();
  }

  std::string journalDirPath() const {
    return baseDir_ + "/" + JOURNAL_DIR + "/" + std::to_string(BACKUP_TEST_SUBCLIENT);
  }
  std::string savedDirPath() const {
    return baseDir_ + ".bkp/" + std::to_string(BACKUP_TEST_SUBCLIENT);
  }

  static std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // Every record of the journal directory, oldest file first.
  std::vector<std::string> journalRecords() const {
    std::vector<std::string> records;
    for (const std::string& name : listDir(journalDirPath())) {
      const std::string text = readFile(journalDirPath() + "/" + name);
      size_t start = 0;
      for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        records.push_back(text.substr(start, nl - start));
        start = nl + 1;
      }
    }
    return records;
  }
  size_t countRecord(int code, const std::string& guid) const {
    const std::string wanted = std::to_string(code) + "," + guid;
    size_t n = 0;
    for (const std::string& r : journalRecords()) n += r == wanted ? 1 : 0;
    return n;
  }

  // A prunable segment holding `data`, without an index record (enough for
  // the queue; a job can send it but not commit it).
  std::string makeSegment(const std::string& name, const std::string& data = "bytes") {
    putSegmentData(name, data, true);
    return name;
  }

  std::map<std::string, std::string> statusVerGuid(const std::string& guid) {
    std::map<std::string, std::string> status;
    queue_->getStatusVerGuid(status, guid);
    return status;
  }
  std::map<std::string, std::string> counters() {
    std::map<std::string, std::string> c;
    queue_->getCounters(c);
    return c;
  }

  static bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  std::string baseDir_;
  std::unique_ptr<ObjectContainer> container_;
  std::unique_ptr<ObjectStore> store_;
  std::unique_ptr<BackupQueue> queue_;
  std::unique_ptr<ManualClock> clock_;
};

// A 32-digit GUID of one repeated character.
inline std::string guidOf(char c) { return std::string(32, c); }

}  // namespace ObjectStore::test
