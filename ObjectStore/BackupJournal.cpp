// BackupQueue's journal: file names, records, rotation, compaction and the
// replay at start-up.
#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <tuple>

#include "ObjectStore/BackupQueue.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

std::atomic<uint64_t> g_maxJournalSize{MAX_JOURNAL_SIZE};

// Splits at every ',' keeping empty fields, so "1," gives two fields.
std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t comma = line.find(',', start);
    if (comma == std::string::npos) {
      fields.push_back(line.substr(start));
      return fields;
    }
    fields.push_back(line.substr(start, comma - start));
    start = comma + 1;
  }
}

// Every complete line of a file. The bytes after the last newline are a
// record torn by a crash; they come back in `torn`.
std::vector<std::string> readLines(const std::string& path, std::string& torn) {
  std::vector<std::string> lines;
  torn.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return lines;
  std::stringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  size_t start = 0;
  for (;;) {
    const size_t newline = text.find('\n', start);
    if (newline == std::string::npos) break;
    lines.push_back(text.substr(start, newline - start));
    start = newline + 1;
  }
  if (start < text.size()) torn = text.substr(start);
  return lines;
}

// Applies one record to the replay map (GUID -> codes in journal order).
// quiet: only errors are logged (a replay that is not a start-up).
void replayRecord(std::map<guid_t, std::vector<int>>& replay, const std::string& line,
                  const std::string& fileName, bool quiet = false) {
  const std::vector<std::string> fields = splitFields(line);
  if (fields.size() != 2 || fields[1].empty()) {
    OSLOG(-1, "Error: Can't parse [%s] from [%s]", line.c_str(), fileName.c_str());
    return;
  }
  const int code = std::atoi(fields[0].c_str());
  const guid_t& guid = fields[1];
  switch (code) {
    case EVENT_MODIFIED:
    case EVENT_SENT: {
      auto found = replay.find(guid);
      if (found == replay.end()) {
        replay[guid] = {code};
        if (!quiet) OSLOG(3, "%d, [ %s ] inserted", code, guid.c_str());
      } else {
        found->second.push_back(code);
        if (!quiet) OSLOG(3, "%d, [ %s ] added again", code, guid.c_str());
      }
      break;
    }
    case EVENT_COMMITTED: {
      auto found = replay.find(guid);
      if (found == replay.end()) break;
      std::vector<int>& codes = found->second;
      // A commit settles the first send and every modification before it; a
      // modification after that send still needs a backup.
      auto sent = std::find(codes.begin(), codes.end(), static_cast<int>(EVENT_SENT));
      if (sent != codes.end()) {
        auto nextModified = std::find(sent, codes.end(), static_cast<int>(EVENT_MODIFIED));
        codes.erase(codes.begin(), nextModified);
        if (!quiet) OSLOG(3, "2, [ %s ] removed", guid.c_str());
      }
      if (codes.empty()) {
        replay.erase(found);
        if (!quiet) OSLOG(3, "[ %s ] removed", guid.c_str());
      }
      break;
    }
    case EVENT_COMMIT_ERROR:
      break;
    default:
      OSLOG(-1, "Error: Invalid event in [%s]", line.c_str());
      break;
  }
}

// What identifies the state of a journal directory: every journal file's
// name, size and modification time. Appends change the size, rotation and
// compaction the names.
using JournalSignature = std::vector<std::tuple<std::string, int64_t, int64_t>>;

struct PendingCacheEntry {
  JournalSignature signature;
  std::set<guid_t> pending;
};

std::mutex g_pendingCacheMutex;
std::map<std::string, PendingCacheEntry> g_pendingCache;  // guarded by g_pendingCacheMutex

// Lists the journal files of a directory, sorted. ENOENT when it is missing.
int listJournalFiles(const std::string& journalDir, std::vector<std::string>& names) {
  DIR* dir = opendir(journalDir.c_str());
  if (dir == nullptr) return errno;
  const size_t prefixLength = std::strlen(JOURNAL_NAME);
  while (dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, JOURNAL_NAME, prefixLength) == 0)
      names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return 0;
}

JournalSignature signatureOf(const std::string& journalDir, const std::vector<std::string>& names) {
  JournalSignature signature;
  for (const std::string& name : names) {
    struct stat st {};
    const std::string path = journalDir + "/" + name;
    if (stat(path.c_str(), &st) != 0) {
      signature.emplace_back(name, -1, -1);  // gone meanwhile: differs from any real state
      continue;
    }
    signature.emplace_back(
        name, static_cast<int64_t>(st.st_size),
        static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
  }
  return signature;
}

}  // namespace

std::string BackupQueue::journalDirOf(const std::string& baseDir, const std::string& contextName) {
  std::string name = contextName;
  if (!name.empty() && name[0] == '/') name.erase(0, 1);
  return baseDir + "/" + JOURNAL_DIR + "/" + name;
}

CZnError BackupQueue::readPendingFromJournal(const std::string& journalDir,
                                             std::set<guid_t>& pending) {
  pending.clear();
  std::vector<std::string> names;
  if (int rc = listJournalFiles(journalDir, names); rc != 0) {
    if (rc == ENOENT) return CZnError::Success;  // the share never had a queue
    OSLOG(-1, "Error: can't open directory [%s] (%d)", journalDir.c_str(), rc);
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: can't open directory [%s]",
                                   journalDir.c_str());
  }
  // The signature is taken before the files are read: a file that grows
  // while it is read leaves a signature that no longer matches, so the next
  // call reads again rather than trusting an answer older than the files.
  JournalSignature signature = signatureOf(journalDir, names);
  {
    std::lock_guard<std::mutex> guard(g_pendingCacheMutex);
    auto cached = g_pendingCache.find(journalDir);
    if (cached != g_pendingCache.end() && cached->second.signature == signature) {
      pending = cached->second.pending;
      return CZnError::Success;
    }
  }
  std::map<guid_t, std::vector<int>> replay;
  for (const std::string& name : names) {
    std::string torn;
    for (const std::string& line : readLines(journalDir + "/" + name, torn))
      replayRecord(replay, line, name, true);
  }
  for (const auto& entry : replay) pending.insert(entry.first);
  std::lock_guard<std::mutex> guard(g_pendingCacheMutex);
  g_pendingCache[journalDir] = PendingCacheEntry{std::move(signature), pending};
  return CZnError::Success;
}

void BackupQueue::setMaxJournalSizeForTesting(uint64_t bytes) {
  g_maxJournalSize.store(bytes == 0 ? MAX_JOURNAL_SIZE : bytes);
}

std::string BackupQueue::getJournalPrefix() const { return journalDir_ + "/" + JOURNAL_NAME; }

std::string BackupQueue::getJournalName() {
  // Wall-clock stamp so that sorting names sorts files by creation time.
  // Two names made within one clock tick (or after the clock stepped back)
  // still differ and keep increasing: a name reused for a new journal would
  // make compaction retire the file it has just written.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::pair<int64_t, int64_t> stamp{now.tv_sec, now.tv_nsec};
  if (stamp <= lastJournalStamp_) {
    stamp = lastJournalStamp_;
    if (++stamp.second >= 1000000000) {
      stamp.second = 0;
      ++stamp.first;
    }
  }
  lastJournalStamp_ = stamp;
  char name[128];
  std::snprintf(name, sizeof(name), "%s%010ld_%010ld", getJournalPrefix().c_str(),
                static_cast<long>(stamp.first), static_cast<long>(stamp.second));
  return name;
}

void BackupQueue::writeRecord(int code, const guid_t& guid) {
  // One flush per record: once this returns, the record is in the operating
  // system's hands and survives a kill of the process.
  journal_ << code << "," << guid << std::endl;
  journal_.flush();
}

void BackupQueue::rotateJournalIfFull() {
  const std::streamoff position = journal_.tellp();
  if (position > 0 && static_cast<uint64_t>(position) > g_maxJournalSize.load()) {
    (void)openNewJournal(true);  // logged inside; the operation itself succeeds
  }
}

CZnError BackupQueue::openNewJournal(bool compactFirst) {
  if (compactFirst) {
    OSLOG(1, "Going to compact the journal");
    CZnError err = compactJournal(false);
    if (err.failed()) {
      err.Push(FX_LOC, "Can't compact journal");
      OSLOG_ERR(err);
      return err;
    }
  }
  const std::string name = getJournalName();
  OSLOG(3, "Starting new backup journal [%s]", name.c_str());
  if (journal_.is_open()) journal_.close();
  journal_.clear();
  journal_.open(name, std::ios::out | std::ios::app);
  if (journal_.fail()) {
    const int code = errno != 0 ? errno : EIO;
    OSLOG(-1, "Can't open backup journal [%s] (%d)", name.c_str(), code);
    return FXErrorUtil::ErrorErrNo(FX_LOC, code, "Can't open backup journal [%s]", name.c_str());
  }
  ++counters_.journalOpens;
  return CZnError::Success;
}

CZnError BackupQueue::getJournalList(std::vector<std::string>& names) {
  if (const int code = listJournalFiles(journalDir_, names); code != 0) {
    OSLOG(-1, "Error: can't open directory [%s] (%d)", journalDir_.c_str(), code);
    return FXErrorUtil::ErrorErrNo(FX_LOC, code, "Error: can't open directory [%s]",
                                   journalDir_.c_str());
  }
  return CZnError::Success;
}

void BackupQueue::writeSnapshot() {
  for (const auto& [guid, count] : uncommitted_) writeRecord(EVENT_SENT, guid);
  for (const QueueElement& element : modified_) writeRecord(EVENT_MODIFIED, element.guid);
  for (const QueueElement& element : queuedForBackup_) writeRecord(EVENT_MODIFIED, element.guid);
}

void BackupQueue::retireJournal(const std::string& name) {
  const std::string source = journalDir_ + "/" + name;
  if (savedJournalDir_.empty()) {
    OSLOG(5, "deleting [%s]", source.c_str());
    if (std::remove(source.c_str()) != 0) OSLOG(-1, "Error: Can't remove [%s]", source.c_str());
    return;
  }
  OSLOG(5, "moving [%s] to [%s]", source.c_str(), savedJournalDir_.c_str());
  const std::string target = savedJournalDir_ + "/" + name;
  if (std::rename(source.c_str(), target.c_str()) != 0)
    OSLOG(-1, "Error: Can't move [%s] to [%s]", source.c_str(), savedJournalDir_.c_str());
}

CZnError BackupQueue::compactJournal(bool force) {
  std::vector<std::string> names;
  CZnError err = getJournalList(names);
  if (err.failed()) {
    err.Push(FX_LOC, "Error: Can't get journal list");
    OSLOG_ERR(err);
    return err;
  }
  if (!force && names.size() <= static_cast<size_t>(MAX_JOURNAL_ENTRIES)) return CZnError::Success;
  OSLOG(3, "Compacting journal");
  err = openNewJournal(false);
  if (err.failed()) {
    err.Push(FX_LOC, "Error: Can't open new journal");
    OSLOG_ERR(err);
    return err;
  }
  writeSnapshot();
  // A file that can't be retired stays and is replayed again at the next
  // start; its records are all covered by the snapshot, so that is harmless.
  for (const std::string& name : names) retireJournal(name);
  ++counters_.journalCompacts;
  return CZnError::Success;
}

CZnError BackupQueue::recoverFromJournal() {
  OSLOG(5, "recoverFromJournal dir [%s]", journalDir_.c_str());
  std::vector<std::string> names;
  (void)getJournalList(names);  // logged inside; no files means nothing to replay
  std::map<guid_t, std::vector<int>> replay;
  for (const std::string& name : names) {
    const std::string path = journalDir_ + "/" + name;
    OSLOG(5, "parsing [%s]", path.c_str());
    std::string torn;
    for (const std::string& line : readLines(path, torn)) replayRecord(replay, line, name);
    if (!torn.empty()) {
      // The record was never acknowledged (its newline is missing).
      OSLOG(-1, "Error: Can't parse [%s] from [%s]", torn.c_str(), name.c_str());
    }
  }
  for (const auto& [guid, codes] : replay) {
    OSLOG(3, "queuing [%s] to backup", guid.c_str());
    if (!diskCache_.doesSegmentExist(context_, guid)) {
      OSLOG(5, "[%s] doesn't exist, ignoring", guid.c_str());
      continue;
    }
    if (queuedPos_.count(guid) != 0) continue;
    // Sent at once, without a new quiet period; a send that was never
    // committed is simply sent again.
    queuedForBackup_.push_back(QueueElement{guid, 0});
    queuedPos_[guid] = std::prev(queuedForBackup_.end());
  }
  updateSizes();
  counters_.itemsRecovered += replay.size();
  workEvent_.set();
  return CZnError::Success;
}

}  // namespace ObjectStore
