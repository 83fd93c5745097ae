#include "tools/objstore/Demo.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStoreConfig.h"
#include "platform/support/LogWriter.h"
#include "tools/objstore/DemoShare.h"

namespace ObjectStore::demo {

namespace {

constexpr const char* SHARE_NAME = "demo";
constexpr uint64_t SUBCLIENT = 1;
// Small extents, so that small files already span several of them.
constexpr uint64_t EXTENT_SIZE = 16384;
// Seconds a written extent waits before it is sent to the backup.
constexpr uint64_t QUIET_PERIOD_SEC = 1;
// Longest wait for the backup to commit one phase's writes, unless
// OBJSTORE_DEMO_BACKUP_WAIT_SEC says otherwise.
constexpr int DEFAULT_BACKUP_WAIT_SEC = 60;

int backupWaitSec() {
  const char* text = getenv("OBJSTORE_DEMO_BACKUP_WAIT_SEC");
  if (text == nullptr || *text == '\0') return DEFAULT_BACKUP_WAIT_SEC;
  char* end = nullptr;
  const long value = strtol(text, &end, 10);
  return *end == '\0' && value > 0 && value <= 3600 ? static_cast<int>(value)
                                                    : DEFAULT_BACKUP_WAIT_SEC;
}

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Content that can be recognised when looked at, and that differs per file,
// per version and per position, so that a misplaced extent never matches.

std::string textContent(const std::string& name, int version, size_t size) {
  static const char* const phrases[] = {
      "figures are in, totals agree with the ledger",
      "the quick brown fox jumps over the lazy dog",
      "nothing to report, all quiet on the server",
      "backup verified, restore tested, sleep well",
  };
  std::string text;
  char line[160];
  for (int n = 1; text.size() < size; ++n) {
    snprintf(line, sizeof(line), "%s v%d line %05d: %s\n", name.c_str(), version, n,
             phrases[n % 4]);
    text += line;
  }
  text.resize(size);
  return text;
}

std::string binaryContent(unsigned seed, size_t size) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 7u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(x >> 24);
  }
  return bytes;
}

// Seconds since the epoch, from the same wall clock the library stamps
// versions with.
int64_t clockNowSec() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string utcText(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  gmtime_r(&t, &parts);
  char text[64];
  strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

std::string stampText(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  gmtime_r(&t, &parts);
  char text[32];
  strftime(text, sizeof(text), "%Y%m%d-%H%M%S", &parts);
  return text;
}

std::string describe(const CZnError& err) { return err.text() + ": " + err.chain(); }

uint64_t extentsOf(uint64_t size) { return (size + EXTENT_SIZE - 1) / EXTENT_SIZE; }

// Sleeps until the clock shows at least this second.
void sleepUntilSecond(int64_t second) {
  while (clockNowSec() < second) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// The library's log during the demonstration. Unless the user asked for the
// log somewhere (OBJSTORE_LOG_FILE) or for more of it (OBJSTORE_DEBUG_LEVEL),
// it goes to a file in the container, so that the narration stays readable;
// errors are still counted and the first few shown in the summary.
class LibraryLog {
 public:
  ~LibraryLog() {
    if (writer_ != nullptr && listenerId_ != 0) writer_->removeListener(listenerId_);
  }

  void start(const std::string& containerDir) {
    writer_ = defaultLogWriter();
    if (writer_ == nullptr) return;
    if (getenv("OBJSTORE_LOG_FILE") == nullptr && getenv("OBJSTORE_DEBUG_LEVEL") == nullptr) {
      const std::string file = containerDir + "/objstore.log";
      if (writer_->setOutputFile(file)) path_ = file;
    } else {
      path_ = writer_->outputFile();
    }
    // Called with the writer's lock held: only records, never logs.
    listenerId_ = writer_->addListener([this](const LogRecord& record) {
      if (record.level >= 0) return;
      std::lock_guard<std::mutex> guard(mutex_);
      ++errors_;
      if (firstErrors_.size() < MAX_SHOWN) firstErrors_.push_back(record.message);
    });
  }

  // Where the log goes ("" for standard error).
  const std::string& path() const { return path_; }
  size_t errors() {
    std::lock_guard<std::mutex> guard(mutex_);
    return errors_;
  }
  std::vector<std::string> firstErrors() {
    std::lock_guard<std::mutex> guard(mutex_);
    return firstErrors_;
  }

 private:
  static constexpr size_t MAX_SHOWN = 3;
  LogWriter* writer_ = nullptr;
  int listenerId_ = 0;
  std::string path_;
  std::mutex mutex_;
  size_t errors_ = 0;
  std::vector<std::string> firstErrors_;
};

// ---------------------------------------------------------------------------

struct CheckResult {
  std::string name;
  bool ok = false;
  std::string detail;
};

class Demo {
 public:
  explicit Demo(std::string containerDir) : containerDir_(std::move(containerDir)) {}

  int run();

 private:
  // Steps; each returns false when the demonstration can't go on.
  bool openContainer(bool existed);
  bool writeFirstTree();
  bool changeTree();
  bool dropLocalCache();
  struct PruneResult {
    size_t before = 0;
    size_t pruned = 0;
    size_t kept = 0;
    std::set<std::string> left;  // names of the segments still there afterwards
  };
  PruneResult prunePass();
  void pruneWhileBackupPending(const std::set<guid_t>& written);
  bool checkView(const char* pitName, int64_t timestamp, const Tree& model, const char* title);
  bool checkScratchView();
  void closeEverything();
  int summary();

  bool openView(ObjectStoreIndex& out, const std::string& pitName, int64_t timestamp,
                bool discardWrites);
  // Waits until the backup has committed everything written; at least
  // `extents` segments must have been committed meanwhile.
  bool waitForBackup(const char* phase, size_t extents);
  bool backupBacklog(uint64_t& waiting);
  // The live share's backup queue's count of committed segments.
  uint64_t segmentsCommitted();
  // Checks that the share's tree matches the model and prints the table.
  bool compareAndPrint(Share& share, const Tree& model, const std::string& cacheArea,
                       const char* restoredHeading);
  void check(const std::string& name, bool ok, const std::string& detail = {});
  bool fail(const std::string& what, const CZnError& err);
  std::string cacheDir() const { return containerDir_ + "/cache"; }
  std::string liveCacheArea() const { return cacheDir() + "/" + std::to_string(SUBCLIENT); }
  std::string viewCacheArea(const std::string& pitName) const {
    return cacheDir() + "/views/" + std::to_string(SUBCLIENT) + "_" + pitName;
  }

  ObjectStoreConfig shareConfig() const {
    ObjectStoreConfig config;
    config.name = SHARE_NAME;
    config.subclient = SUBCLIENT;
    config.pitName = "0";
    config.extentSize = EXTENT_SIZE;
    config.backupTimeout = QUIET_PERIOD_SEC;
    return config;
  }

  std::string containerDir_;
  std::unique_ptr<ObjectContainer> container_;
  ObjectStoreIndex liveIndex_ = 0;
  bool liveOpen_ = false;
  std::vector<ObjectStoreIndex> views_;
  std::unique_ptr<Share> live_;
  std::string runDir_;  // absolute path in the share of this run's tree
  Tree atT1_;
  Tree atT2_;
  int64_t t1_ = 0;
  int64_t t2_ = 0;
  std::vector<CheckResult> checks_;
  LibraryLog log_;
};

void Demo::check(const std::string& name, bool ok, const std::string& detail) {
  checks_.push_back({name, ok, detail});
}

bool Demo::fail(const std::string& what, const CZnError& err) {
  printf("  FAILED: %s: %s\n", what.c_str(), describe(err).c_str());
  check(what, false, describe(err));
  return false;
}

bool Demo::openContainer(bool existed) {
  log_.start(containerDir_);
  container_ = std::make_unique<ObjectContainer>();
  ObjectContainerConfig config;
  config.containerDir = containerDir_;
  config.pruningMode = true;  // least recently used first
  printf("Container: %s (%s)\n", containerDir_.c_str(), existed ? "an existing container" : "new");
  if (CZnError err = container_->init(config); err.failed())
    return fail("initialise the container", err);
  if (CZnError err = container_->openObjectStore(liveIndex_, shareConfig()); err.failed())
    return fail("open the live share", err);
  liveOpen_ = true;
  runDir_ = "/run-" + stampText(clockNowSec());
  live_ = std::make_unique<Share>(*container_, liveIndex_, runDir_);
  printf(
      "Live share \"%s\" (subclient %llu) is open: extents of %llu KiB, backup quiet period "
      "%llu s.\nThis run works below %s in the share.\n",
      SHARE_NAME, static_cast<unsigned long long>(SUBCLIENT),
      static_cast<unsigned long long>(EXTENT_SIZE / 1024),
      static_cast<unsigned long long>(QUIET_PERIOD_SEC), runDir_.c_str());
  return true;
}

// What the live share's backup queue holds, from the container's status
// report: segments waiting out their quiet period, queued for sending, and
// sent but not yet committed. False when the report lacks the figures.
bool Demo::backupBacklog(uint64_t& waiting) {
  std::map<std::string, std::string> status;
  container_->getStatus(status);
  const std::string prefix = "store" + std::to_string(liveIndex_) + ".backupQ.";
  waiting = 0;
  for (const char* key : {"Modified", "Queued", "Uncommitted"}) {
    auto it = status.find(prefix + key);
    if (it == status.end()) return false;
    waiting += strtoull(it->second.c_str(), nullptr, 10);
  }
  return true;
}

uint64_t Demo::segmentsCommitted() {
  std::map<std::string, std::string> counters;
  if (container_->getObjStrCounters(counters, liveIndex_).failed()) return 0;
  auto it = counters.find("backupQ.committed");
  return it == counters.end() ? 0 : strtoull(it->second.c_str(), nullptr, 10);
}

bool Demo::waitForBackup(const char* phase, size_t extents) {
  const std::string name = std::string("backup of ") + phase + " committed";
  const uint64_t committedBefore = segmentsCommitted();
  const auto start = std::chrono::steady_clock::now();
  const int waitSec = backupWaitSec();
  uint64_t shown = UINT64_MAX;
  int emptyPolls = 0;
  printf("  waiting for the backup:");
  fflush(stdout);
  for (;;) {
    uint64_t waiting = 0;
    if (!backupBacklog(waiting)) {
      printf("\n");
      check(name, false, "the container's status report has no backup queue of the live share");
      return false;
    }
    const uint64_t committed = segmentsCommitted() - committedBefore;
    if (waiting != shown && waiting != 0) {
      shown = waiting;
      printf(" %llu waiting", static_cast<unsigned long long>(waiting));
      fflush(stdout);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The queue's sizes are read without its lock, so one empty reading may
    // fall between two of its updates: two in a row, and at least as many
    // commits as extents were written, make it certain.
    emptyPolls = waiting == 0 ? emptyPolls + 1 : 0;
    if (emptyPolls >= 2 && committed >= extents) {
      printf(" -> all committed (%llu segments in %.1f s)\n",
             static_cast<unsigned long long>(committed), seconds);
      check(name, true,
            std::to_string(committed) + " segments committed for " + std::to_string(extents) +
                " extents written");
      return true;
    }
    if (seconds > waitSec) {
      printf(" -> gave up\n");
      check(name, false,
            std::to_string(waiting) + " segments still waiting, " + std::to_string(committed) +
                " of " + std::to_string(extents) + " committed after " + std::to_string(waitSec) +
                " s");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

bool Demo::writeFirstTree() {
  printf("\n[1/6] T1: writing a small tree on the live share\n");
  ItemName item;
  if (CZnError err = container_->mkdir(liveIndex_, item, runDir_, 0755); err.failed())
    return fail("create " + runDir_, err);
  Writer w(*live_, atT1_, EXTENT_SIZE);
  struct FileSpec {
    const char* path;
    std::string bytes;
  };
  const std::vector<FileSpec> files = {
      {"docs/report.txt", textContent("report.txt", 1, 40000)},
      {"docs/notes.md", textContent("notes.md", 1, 900)},
      {"photos/2026/beach.raw", binaryContent(1, 50000)},
      {"photos/2026/old.raw", binaryContent(2, 20000)},
  };
  for (const char* dir : {"docs", "photos", "photos/2026"}) {
    if (CZnError err = w.mkdir(dir); err.failed()) return fail("write the T1 tree", err);
    printf("  dir   %s/\n", dir);
  }
  for (const FileSpec& file : files) {
    if (CZnError err = w.createFile(file.path, file.bytes); err.failed())
      return fail("write the T1 tree", err);
    printf("  file  %-24s %6zu bytes, %llu extent(s)\n", file.path, file.bytes.size(),
           static_cast<unsigned long long>(extentsOf(file.bytes.size())));
  }
  if (CZnError err = w.symlink("latest", "docs/report.txt"); err.failed())
    return fail("write the T1 tree", err);
  printf("  link  latest -> docs/report.txt\n");
  if (CZnError err = w.setXattr("docs/report.txt", "user.status", "draft"); err.failed())
    return fail("write the T1 tree", err);
  printf("  xattr user.status=draft on docs/report.txt\n");
  if (!waitForBackup("T1", w.extentsWritten())) return false;
  // Everything of this phase carries an earlier second than T1.
  t1_ = clockNowSec() + 1;
  sleepUntilSecond(t1_);
  printf("  T1 = %s (%lld)\n", utcText(t1_).c_str(), static_cast<long long>(t1_));
  return true;
}

bool Demo::changeTree() {
  printf("\n[2/6] T2: changing the tree\n");
  // The index keeps times in whole seconds: the changes go in two seconds
  // after T1, well clear of it.
  sleepUntilSecond(t1_ + 2);
  atT2_ = atT1_;
  Writer w(*live_, atT2_, EXTENT_SIZE);
  const std::string revised = textContent("report.txt", 2, 3000);
  if (CZnError err = w.writeAt("docs/report.txt", revised, 20000); err.failed())
    return fail("change the tree", err);
  const std::string appendix = textContent("appendix", 2, 10000);
  if (CZnError err = w.writeAt("docs/report.txt", appendix, 40000); err.failed())
    return fail("change the tree", err);
  printf("  write docs/report.txt: 3000 bytes rewritten at 20000, 10000 appended (now %zu)\n",
         atT2_["docs/report.txt"].data.size());
  if (CZnError err = w.setXattr("docs/report.txt", "user.status", "final"); err.failed())
    return fail("change the tree", err);
  printf("  xattr user.status=final on docs/report.txt\n");
  if (CZnError err = w.rename("docs/notes.md", "notes-moved.md"); err.failed())
    return fail("change the tree", err);
  printf("  rename docs/notes.md -> notes-moved.md\n");
  if (CZnError err = w.unlink("photos/2026/old.raw"); err.failed())
    return fail("change the tree", err);
  printf("  delete photos/2026/old.raw\n");
  pruneWhileBackupPending(w.segmentsWritten());
  if (!waitForBackup("T2", w.extentsWritten())) return false;
  t2_ = clockNowSec() + 1;
  sleepUntilSecond(t2_);
  printf("  T2 = %s (%lld)\n", utcText(t2_).c_str(), static_cast<long long>(t2_));
  return true;
}

// One pruning pass over the live share's cache area, made the way the disk
// cache's pruner makes it: for each segment the container is asked whether it
// may go, and the share lets one go only when no open file uses it and the
// backup has committed its bytes.
Demo::PruneResult Demo::prunePass() {
  PruneResult result;
  const std::vector<std::string> segments = segmentFiles(liveCacheArea());
  result.before = segments.size();
  const std::string subclient = std::to_string(SUBCLIENT);
  for (const std::string& path : segments) {
    const std::string name = fs::path(path).filename().string();
    if (container_->pruneFile(subclient, path, name))
      ++result.pruned;
    else
      ++result.kept;
  }
  for (const std::string& path : segmentFiles(liveCacheArea()))
    result.left.insert(fs::path(path).filename().string());
  return result;
}

// A pruning pass right after the changes, while the written extents wait
// out their quiet period: they are the only copy of those bytes and must stay.
// A segment the backup committed meanwhile (a slow machine) may go; one
// that the queue still waits for must not.
void Demo::pruneWhileBackupPending(const std::set<guid_t>& written) {
  const PruneResult pass = prunePass();
  size_t present = 0;
  size_t lost = 0;
  for (const guid_t& segment : written) {
    if (pass.left.count(segment) != 0) {
      ++present;
      continue;
    }
    std::map<std::string, std::string> status;
    if (container_->getStatusVerGuid(status, liveIndex_, segment).failed()) {
      ++lost;  // can't tell: count it against the share
      continue;
    }
    for (const char* key : {"backupQ.modified", "backupQ.queued", "backupQ.uncommitted"}) {
      if (status[key] == "1") {
        ++lost;
        break;
      }
    }
  }
  printf(
      "  pruning now, before the backup ran: pruned %zu, kept %zu; %zu of the %zu written\n"
      "  extents are still in the cache\n",
      pass.pruned, pass.kept, present, written.size());
  check("extents waiting for the backup survive pruning", lost == 0,
        std::to_string(lost) + " removed while waiting, " + std::to_string(present) + " of " +
            std::to_string(written.size()) + " kept");
}

bool Demo::dropLocalCache() {
  printf("\n[3/6] Emptying the local disk cache of the live share (the share stays open)\n");
  const PruneResult pass = prunePass();
  printf(
      "  how: one pruning pass by hand: for every segment file the container is asked, as the\n"
      "  cache's pruner asks it, whether the segment may go; the share says yes only to\n"
      "  segments that no open file uses and whose bytes the backup has committed.\n");
  printf("  %s: %zu segment files before, %zu after (pruned %zu, kept %zu)\n",
         liveCacheArea().c_str(), pass.before, pass.left.size(), pass.pruned, pass.kept);
  check("local cache emptied by pruning", pass.left.empty(),
        std::to_string(pass.left.size()) + " of " + std::to_string(pass.before) + " segments left");

  // Whatever is read now comes back from the index and the backup.
  printf("  reading the live share back (everything comes from the index and the backup):\n");
  check("live share reads back as at T2 after pruning",
        compareAndPrint(*live_, atT2_, liveCacheArea(), "restored; link target, xattrs"));
  return true;
}

bool Demo::compareAndPrint(Share& share, const Tree& model, const std::string& cacheArea,
                           const char* restoredHeading) {
  const std::vector<PathCheck> results = compareTree(share, model, cacheArea);
  printf("    %-26s %-5s %7s  %-8s %s\n", "path", "kind", "size", "check", restoredHeading);
  size_t bad = 0;
  for (const PathCheck& r : results) {
    std::string restored;
    if (r.restoredSegments > 0)
      restored = "yes (" + std::to_string(r.restoredSegments) +
                 (r.restoredSegments == 1 ? " segment)" : " segments)");
    else if (r.restoredSegments == 0)
      restored = "no (was local)";
    // A directory's size says nothing a reader would compare.
    const std::string size = r.kind == "file" || r.kind == "link" ? std::to_string(r.size) : "";
    std::string last = restored;
    if (!r.shown.empty()) last += (last.empty() ? "" : ", ") + r.shown;
    printf("    %-26s %-5s %7s  %-8s %s\n", r.path.c_str(), r.kind.c_str(), size.c_str(),
           r.ok ? "ok" : "MISMATCH", last.c_str());
    if (!r.ok) printf("      -> %s\n", r.problem.c_str());
    if (!r.ok) ++bad;
  }
  if (results.empty()) {
    printf("    (nothing listed)\n");
    return false;
  }
  if (bad != 0) printf("    %zu of %zu paths differ from what was written\n", bad, results.size());
  return bad == 0;
}

bool Demo::openView(ObjectStoreIndex& out, const std::string& pitName, int64_t timestamp,
                    bool discardWrites) {
  ObjectStoreConfig config = shareConfig();
  config.pitName = pitName;
  config.timestamp = static_cast<uint64_t>(timestamp);
  config.discardWrites = discardWrites;
  if (CZnError err = container_->openObjectStore(out, config); err.failed())
    return fail("open the view " + pitName, err);
  views_.push_back(out);
  return true;
}

bool Demo::checkView(const char* pitName, int64_t timestamp, const Tree& model, const char* title) {
  printf("\n%s: read-only view \"%s\" at %s\n", title, pitName, utcText(timestamp).c_str());
  ObjectStoreIndex index = 0;
  if (!openView(index, pitName, timestamp, false)) return false;
  Share view(*container_, index, runDir_);
  const bool ok =
      compareAndPrint(view, model, viewCacheArea(pitName), "restored; link target, xattrs");
  check(std::string("view ") + pitName + " shows the tree as it was", ok);
  return true;
}

bool Demo::checkScratchView() {
  printf("\n[6/6] Scratch view \"scratch\" at T1 that discards its writes\n");
  const uint64_t backupBefore = treeBytes(containerDir_ + "/backup");
  ObjectStoreIndex index = 0;
  if (!openView(index, "scratch", t1_, true)) return false;
  Share scratch(*container_, index, runDir_);
  Tree inScratch = atT1_;
  Writer w(scratch, inScratch);
  const std::string edit = "EDITED IN THE SCRATCH VIEW\n";
  if (CZnError err = w.writeAt("docs/report.txt", edit, 0); err.failed())
    return fail("write in the scratch view", err);
  if (CZnError err = w.createFile("docs/scratch.txt", "only in the scratch view\n"); err.failed())
    return fail("write in the scratch view", err);
  if (CZnError err = w.unlink("latest"); err.failed())
    return fail("write in the scratch view", err);
  printf(
      "  wrote %zu bytes at the start of docs/report.txt, created docs/scratch.txt,\n"
      "  deleted latest; the scratch view now shows:\n",
      edit.size());
  check("scratch view shows its own writes",
        compareAndPrint(scratch, inScratch, "", "link target, xattrs"));

  printf("  the live share still shows T2:\n");
  check("live share unchanged by the scratch view",
        compareAndPrint(*live_, atT2_, "", "link target, xattrs"));
  // Nothing of the scratch view may reach the backup.
  std::this_thread::sleep_for(std::chrono::milliseconds(QUIET_PERIOD_SEC * 1000 + 1500));
  const uint64_t backupAfter = treeBytes(containerDir_ + "/backup");
  printf("  backup target: %llu bytes before the scratch writes, %llu after\n",
         static_cast<unsigned long long>(backupBefore),
         static_cast<unsigned long long>(backupAfter));
  check("scratch writes never reach the backup", backupAfter == backupBefore,
        std::to_string(static_cast<int64_t>(backupAfter) - static_cast<int64_t>(backupBefore)) +
            " bytes added");
  return true;
}

void Demo::closeEverything() {
  if (!container_) return;
  for (ObjectStoreIndex index : views_) {
    if (CZnError err = container_->closeObjectStore(index); err.failed())
      check("close a view", false, describe(err));
  }
  views_.clear();
  if (liveOpen_) {
    liveOpen_ = false;
    if (CZnError err = container_->closeObjectStore(liveIndex_); err.failed())
      check("close the live share", false, describe(err));
  }
  container_.reset();
}

int Demo::summary() {
  size_t failed = 0;
  printf("\nSummary\n");
  for (const CheckResult& c : checks_) {
    printf("  %-6s %s%s%s\n", c.ok ? "ok" : "FAILED", c.name.c_str(), c.detail.empty() ? "" : ": ",
           c.detail.c_str());
    if (!c.ok) ++failed;
  }
  const std::string indexFile =
      containerDir_ + "/index/" + ObjectContainer::shareKeyOf(SHARE_NAME, SUBCLIENT) + ".db";
  printf(
      "\nThe container stays in %s:\n"
      "  index/    one SQLite database per share: every version, name and extent over time\n"
      "  backup/   the backup target's afiles: the committed bytes of every extent\n"
      "  objstr/   the share list (StoreInfo.txt) and the backup journals\n"
      "  cache/    the local disk cache (a share's cache goes when its last view closes)\n"
      "Look with: ls -R %s\n"
      "           sqlite3 %s .tables\n"
      "Run again with the same directory to add another run beside this one; set\n"
      "OBJSTORE_DEBUG_LEVEL=3 to see every operation logged.\n",
      containerDir_.c_str(), containerDir_.c_str(), indexFile.c_str());
  const size_t logErrors = log_.errors();
  printf("Library log: %s (%zu error line%s)\n",
         log_.path().empty() ? "standard error" : log_.path().c_str(), logErrors,
         logErrors == 1 ? "" : "s");
  for (const std::string& line : log_.firstErrors()) printf("  %s\n", line.c_str());
  if (failed == 0 && !checks_.empty()) {
    printf("\nDEMO PASSED: %zu checks passed\n", checks_.size());
    return 0;
  }
  printf("\nDEMO FAILED: %zu of %zu checks failed\n", failed, checks_.size());
  return 1;
}

int Demo::run() {
  std::error_code ec;
  const bool existed = fs::exists(containerDir_ + "/objstr", ec);
  printf("ObjectStore demonstration\n=========================\n");
  // A failed check is recorded and the later steps still run; a step that
  // can't be carried out at all stops the run.
  const bool completed = openContainer(existed) && writeFirstTree() && changeTree() &&
                         dropLocalCache() && checkView("t1", t1_, atT1_, "[4/6] T1") &&
                         checkView("t2", t2_, atT2_, "[5/6] T2") && checkScratchView();
  closeEverything();
  if (!completed) check("run every step", false, "stopped early (see above)");
  return summary();
}

// A directory the demonstration may use: new, empty, or a container.
bool usableDirectory(const std::string& dir) {
  std::error_code ec;
  if (!fs::exists(dir, ec)) return true;
  if (!fs::is_directory(dir, ec)) {
    fprintf(stderr, "objstore demo: %s exists and is not a directory\n", dir.c_str());
    return false;
  }
  if (fs::is_directory(dir + "/objstr", ec)) return true;
  if (fs::is_empty(dir, ec) && !ec) return true;
  fprintf(stderr,
          "objstore demo: %s is not empty and is not an object-store container; give a new or "
          "empty directory, or a container made by an earlier demo\n",
          dir.c_str());
  return false;
}

}  // namespace

int runDemo(const std::vector<std::string>& args) {
  if (args.size() > 1) {
    fprintf(stderr, "usage: objstore demo [CONTAINER_DIR]\n");
    return 2;
  }
  std::string dir;
  if (!args.empty()) {
    dir = args[0];
    if (dir.empty()) {
      fprintf(stderr, "objstore demo: the container directory must not be empty\n");
      return 2;
    }
    if (!usableDirectory(dir)) return 1;
  } else {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/objstore-demo-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
      fprintf(stderr, "objstore demo: can't create a temporary directory: %s\n", strerror(errno));
      return 1;
    }
    dir = buf.data();
  }
  std::error_code ec;
  const fs::path absolute = fs::absolute(dir, ec);
  if (!ec) dir = absolute.lexically_normal().string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (fs::create_directories(dir, ec); ec) {
    fprintf(stderr, "objstore demo: can't create container directory %s: %s\n", dir.c_str(),
            ec.message().c_str());
    return 1;
  }
  return Demo(dir).run();
}

}  // namespace ObjectStore::demo
