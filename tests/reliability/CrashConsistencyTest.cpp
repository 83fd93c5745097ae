// Crash consistency: a child process runs a seeded random workload on the
// live share (backup running, every change queued at once) and writes each
// operation to a log before it starts ("B ...") and once it returned success
// ("A ..."); an fsync's "A" line means the fsync was acknowledged. The parent
// kills the child with SIGKILL after a random number of acknowledged
// operations, starts the share again on what the child left and checks:
//   - the share opens and the backup journal replays: the queue drains;
//   - the whole tree walks: every listing parses, every listed item's header
//     reads (getattr), every file reads to its end;
//   - nothing acknowledged as synced is lost: a file whose fsync was
//     acknowledged holds at least the bytes it had then, unless a later
//     acknowledged operation changed it;
//   - more strictly, the tree is the tree of the acknowledged operations,
//     with the operation in flight at the kill wholly done or wholly not (a
//     killed process loses no written bytes; only a power loss would), except
//     that a write in flight may have landed some of its bytes;
//   - after the last round, a clean close and a start that restores the whole
//     share from the backup gives the same tree.
//
// OBJSTORE_CRASH_SEED=<s> starts the seeds at s; OBJSTORE_CRASH_KILLS=<k>
// runs k kills instead of the default; OBJSTORE_CRASH_SHRINK=0 and
// OBJSTORE_CRASH_RENAME=0 leave shrinking truncates and renames out of the
// workload (to tell which kind of operation a finding needs).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/BackupQueue.h"
#include "common/TestEnv.h"
#include "reliability/ReliabilityFixture.h"

namespace ObjectStore {
namespace {

using test::LiveShare;
using test::SeenNode;
using test::TreeModel;
using test::TreeNode;

constexpr uint64_t E = test::SMALL_EXTENT;
constexpr int DEFAULT_KILLS = 8;
constexpr unsigned DEFAULT_FIRST_SEED = 101;
// A child that hangs ends by SIGALRM, which fails the round instead of
// blocking the test.
constexpr unsigned CHILD_TIME_LIMIT_SEC = 60;
const std::vector<std::string> DIR_NAMES = {"a", "b", "c"};
const std::vector<std::string> FILE_NAMES = {"f", "g", "h", "k"};

uint64_t envNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// One workload operation, as logged: a letter and its arguments.
//   C path            create a file        M path         mkdir
//   W path off len s  write patternBytes(len, s) at off
//   T path size       truncate             R from to      rename
//   U path            unlink               D path         rmdir
//   S path            fsync
struct WorkOp {
  char kind = 0;
  std::string path;
  std::string to;
  uint64_t a = 0;
  uint64_t b = 0;
  unsigned seed = 0;

  std::string text() const {
    std::ostringstream out;
    out << kind << ' ' << path;
    if (kind == 'R') out << ' ' << to;
    if (kind == 'W') out << ' ' << a << ' ' << b << ' ' << seed;
    if (kind == 'T') out << ' ' << a;
    return out.str();
  }
  static bool parse(const std::string& line, WorkOp& op) {
    std::istringstream in(line);
    in >> op.kind >> op.path;
    if (op.kind == 'R') in >> op.to;
    if (op.kind == 'W') in >> op.a >> op.b >> op.seed;
    if (op.kind == 'T') in >> op.a;
    return !in.fail();
  }

  void apply(TreeModel& model) const {
    switch (kind) {
      case 'C': model.add(path, false, 0644); break;
      case 'M': model.add(path, true, 0755); break;
      case 'W': model.writeAt(path, a, test::patternBytes(b, seed)); break;
      case 'T': model.at(path).data.resize(a, '\0'); break;
      case 'R': model.moveTree(path, to); break;
      case 'U':
      case 'D': model.removeTree(path); break;
      default: break;
    }
  }

  CZnError run(LiveShare& share) const {
    ObjectContainer& c = *share.container;
    const ObjectStoreIndex i = share.index;
    ItemName item(path);
    switch (kind) {
      case 'C': return c.create(i, item, path, 0644);
      case 'M': return c.mkdir(i, item, path, 0755);
      case 'T': return c.truncate(i, item, a, false);
      case 'R': return c.rename(i, path, to, false);
      case 'U': return c.unlink(i, item);
      case 'D': return c.rmdir(i, item);
      case 'S': return c.fsync(i, item);
      case 'W': {
        FileHandle handle;
        CZnError err = c.open(i, handle, item, O_RDWR, false);
        if (!err.ok()) return err;
        const std::string bytes = test::patternBytes(b, seed);
        uint64_t len = bytes.size();
        err = c.write(i, handle, bytes.data(), len, a, NO_SYNC);
        CZnError closeErr = c.close(i, handle);
        return err.ok() ? closeErr : err;
      }
      default: return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "unknown operation");
    }
  }
};

// The tree the share holds, as a model (used by a child to learn where the
// previous round left off).
bool modelFromShare(LiveShare& share, TreeModel& model, std::string& error) {
  std::map<std::string, SeenNode> seen;
  if (!test::walkTree(*share.container, share.index, seen, error)) return false;
  model = TreeModel();
  for (const auto& [path, node] : seen) {
    if (path == "/") continue;
    TreeNode& added = model.add(path, node.dir, node.mode);
    added.link = node.link;
    added.data = node.data;
  }
  return true;
}

// Picks a valid next operation for the model.
WorkOp nextOp(const TreeModel& model, std::mt19937_64& rng) {
  auto uniform = [&rng](uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
  };
  std::vector<std::string> dirs = model.paths(true, false, false);
  dirs.push_back("/");
  const std::vector<std::string> files = model.paths(false, true, false);
  const uint64_t dice = uniform(1, 100);
  WorkOp op;
  auto freePath = [&](const std::vector<std::string>& names) {
    for (int attempt = 0; attempt < 8; ++attempt) {
      std::string parent = dirs[uniform(0, dirs.size() - 1)];
      if (std::count(parent.begin(), parent.end(), '/') >= 2) parent = "/";
      const std::string path = test::childPath(parent, names[uniform(0, names.size() - 1)]);
      if (!model.exists(path)) return path;
    }
    return std::string();
  };
  if (files.empty() || dice <= 12) {
    op.kind = 'C';
    op.path = freePath(FILE_NAMES);
  } else if (dice <= 18) {
    op.kind = 'M';
    op.path = freePath(DIR_NAMES);
  } else if (dice <= 50) {
    op.kind = 'W';
    op.path = files[uniform(0, files.size() - 1)];
    const uint64_t size = model.at(op.path).data.size();
    op.a = uniform(0, size + E / 2);
    op.b = uniform(1, 2 * E + 100);
    op.seed = static_cast<unsigned>(uniform(1, 1000000));
  } else if (dice <= 58) {
    op.kind = 'T';
    op.path = files[uniform(0, files.size() - 1)];
    const uint64_t size = model.at(op.path).data.size();
    op.a = envNumber("OBJSTORE_CRASH_SHRINK", 1) != 0 ? uniform(0, size + E)
                                                       : uniform(size, size + E);
  } else if (dice <= 66 && envNumber("OBJSTORE_CRASH_RENAME", 1) != 0) {
    op.kind = 'R';
    const std::vector<std::string> items = model.paths(true, true, false);
    op.path = items[uniform(0, items.size() - 1)];
    op.to = freePath(model.isDir(op.path) ? DIR_NAMES : FILE_NAMES);
    if (op.to.empty() || test::isStrictlyBelow(op.to, op.path)) op.to.clear();
  } else if (dice <= 74) {
    op.kind = 'U';
    op.path = files[uniform(0, files.size() - 1)];
  } else if (dice <= 78) {
    op.kind = 'D';
    for (const std::string& dir : dirs)
      if (dir != "/" && model.children(dir).empty()) op.path = dir;
  } else {
    op.kind = 'S';
    op.path = files[uniform(0, files.size() - 1)];
  }
  if (op.path.empty() || (op.kind == 'R' && op.to.empty())) {
    op.kind = 'S';
    op.path = files.empty() ? std::string() : files[uniform(0, files.size() - 1)];
  }
  return op;
}

// The child: runs operations until it is killed. Exit codes name what went
// wrong when it stops on its own.
[[noreturn]] void workUntilKilled(const std::string& containerDir, const std::string& logPath,
                                  uint64_t seed) {
  alarm(CHILD_TIME_LIMIT_SEC);
  test::useFastBackupTimings();
  LiveShare share;
  if (!share.start(containerDir, test::reliabilityConfig(0)).ok()) _exit(2);
  TreeModel model;
  std::string error;
  if (!modelFromShare(share, model, error)) _exit(3);
  FILE* log = std::fopen(logPath.c_str(), "a");
  if (log == nullptr) _exit(4);
  std::mt19937_64 rng(seed);
  for (int step = 0; step < 1000000; ++step) {
    const WorkOp op = nextOp(model, rng);
    if (op.path.empty()) continue;
    std::fprintf(log, "B %s\n", op.text().c_str());
    std::fflush(log);
    CZnError err = op.run(share);
    if (!err.ok()) {
      std::fprintf(log, "F %s errno %d: %s %s\n", op.text().c_str(), err.errNo(),
                   err.text().c_str(), err.chain().c_str());
      std::fflush(log);
      _exit(5);
    }
    op.apply(model);
    std::fprintf(log, "A %s\n", op.text().c_str());
    std::fflush(log);
  }
  _exit(0);
}

class CrashConsistencyTest : public test::TestEnv {
 protected:
  void SetUp() override {
    TestEnv::SetUp();
    containerDir_ = path("container");
    test::useFastBackupTimings();
    ObjectContainer::setAsyncBrowsePollIntervalMsForTesting(10);
  }
  void TearDown() override {
    share_.dropAll();
    BackupTimings::resetForTesting();
    TestEnv::TearDown();
  }

  std::set<guid_t> pendingInJournal() {
    std::set<guid_t> pending;
    CZnError err = BackupQueue::readPendingFromJournal(
        BackupQueue::journalDirOf(containerDir_ + "/objstr",
                                  std::to_string(test::RELIABILITY_SUBCLIENT)),
        pending);
    EXPECT_TRUE(err.ok()) << err.chain();
    return pending;
  }

  // Every line of a log.
  static std::vector<std::string> logLines(const std::string& logPath) {
    std::vector<std::string> lines;
    std::ifstream in(logPath);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }
  static size_t countAcked(const std::string& logPath) {
    size_t count = 0;
    for (const std::string& line : logLines(logPath)) count += line.rfind("A ", 0) == 0 ? 1 : 0;
    return count;
  }

  void oneRound(int round, uint64_t seed);
  // Compares what the share holds with the acknowledged operations.
  void checkAgainstLog(const std::vector<std::string>& lines, size_t from);

  std::string containerDir_;
  LiveShare share_;
  TreeModel model_;  // the tree after every acknowledged operation so far
  size_t syncedFilesChecked_ = 0;
  size_t inFlightAtKill_ = 0;
  size_t ackedTotal_ = 0;
  size_t partialWrites_ = 0;
  std::vector<std::string> history_;  // every log line of every round
};

void CrashConsistencyTest::checkAgainstLog(const std::vector<std::string>& lines, size_t from) {
  // Replays the acknowledged operations; notes what each acknowledged fsync
  // promised and the operation left in flight.
  std::map<std::string, std::string> synced;  // path -> bytes when its fsync returned
  bool inFlight = false;
  WorkOp pending;
  history_.push_back("-- restart after a kill");
  for (size_t n = from; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    history_.push_back(line);
    WorkOp op;
    if (line.size() < 2 || !WorkOp::parse(line.substr(2), op)) {
      // Only the last line can be cut short by the kill.
      ASSERT_EQ(n + 1, lines.size()) << "unreadable log line: " << line;
      continue;
    }
    if (line[0] == 'F') FAIL() << "the workload failed: " << line;
    if (line[0] == 'B') {
      inFlight = true;
      pending = op;
      continue;
    }
    inFlight = false;
    ++ackedTotal_;
    op.apply(model_);
    if (op.kind == 'S') synced[op.path] = model_.at(op.path).data;
    // A later acknowledged change of the file (or of its name) replaces what
    // its fsync promised.
    for (auto it = synced.begin(); it != synced.end();) {
      const bool touched = op.kind != 'S' && (it->first == op.path || op.to == it->first ||
                                              test::isStrictlyBelow(it->first, op.path));
      it = touched ? synced.erase(it) : std::next(it);
    }
  }
  TreeModel done = model_;
  if (inFlight) {
    ++inFlightAtKill_;
    pending.apply(done);
  }

  std::map<std::string, SeenNode> seen;
  std::string error;
  ASSERT_TRUE(test::walkTree(*share_.container, share_.index, seen, error)) << error;

  // Nothing acknowledged as synced is lost.
  for (const auto& [path, bytes] : synced) {
    ++syncedFilesChecked_;
    auto it = seen.find(path);
    const bool changedInFlight = inFlight && (pending.path == path || pending.to == path ||
                                              test::isStrictlyBelow(path, pending.path));
    if (changedInFlight) continue;
    ASSERT_NE(it, seen.end()) << "synced file " << path << " is gone";
    // No later acknowledged operation changed it, so it holds exactly those.
    EXPECT_EQ(it->second.data, bytes) << "synced file " << path << " lost bytes ("
                                      << it->second.data.size() << " bytes, synced "
                                      << bytes.size() << ")";
  }

  // The whole tree: every acknowledged operation, the one in flight wholly
  // done or not at all (a write in flight may have landed some of its bytes).
  std::string whyNot;
  std::string whyNotDone;
  const bool asAcked = test::treeMatches(seen, model_, whyNot);
  bool asDone = inFlight && test::treeMatches(seen, done, whyNotDone);
  if (inFlight && !asAcked && !asDone && pending.kind == 'W' && seen.count(pending.path) != 0 &&
      test::plausibleAfterFailedWrite(pending.a, test::patternBytes(pending.b, pending.seed),
                                      model_.at(pending.path).data, done.at(pending.path).data,
                                      seen.at(pending.path).data)) {
    // The write in flight landed some of its bytes.
    done = model_;
    done.at(pending.path).data = seen.at(pending.path).data;
    asDone = test::treeMatches(seen, done, whyNotDone);
    ++partialWrites_;
  }
  if (!asAcked && !asDone) {
    std::string history;
    for (const std::string& line : history_) history += "  " + line + "\n";
    ADD_FAILURE() << "after the acknowledged operations: " << whyNot
                  << (inFlight ? "; with [" + pending.text() + "] done: " + whyNotDone
                               : std::string())
                  << "\nevery operation so far, rounds separated by kills:\n"
                  << history;
  }
  if (asDone && !asAcked) model_ = done;
}

void CrashConsistencyTest::oneRound(int round, uint64_t seed) {
  // A child of a process with other threads could inherit held locks. A
  // joined thread can stay listed by the kernel for a moment after the
  // join returns, so give it that moment before calling it a leak.
  ASSERT_TRUE(test::waitUntil([&] { return test::threadCount() == 1u; }, 5000))
      << test::threadCount() << " threads: a thread outlived the previous round";
  const std::string logPath = path("log" + std::to_string(round));
  std::mt19937_64 rng(seed * 7919);
  const size_t killAfterAcks = 5 + rng() % 60;

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) workUntilKilled(containerDir_, logPath, seed);
  const bool reached =
      test::waitUntil([&] { return countAcked(logPath) >= killAfterAcks; }, 30000);
  // A few more milliseconds let the kill land anywhere inside an operation.
  std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
  ASSERT_EQ(kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  const std::vector<std::string> lines = logLines(logPath);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
      << "the child ended on its own (exit " << WEXITSTATUS(status) << "), last log line: "
      << (lines.empty() ? std::string() : lines.back());
  ASSERT_TRUE(reached) << "the child acknowledged only " << countAcked(logPath) << " operations";

  CZnError err = share_.start(containerDir_, test::reliabilityConfig(0));
  ASSERT_TRUE(err.ok()) << "reopen: " << err.text() << " " << err.chain();
  ASSERT_TRUE(test::waitUntil([&] { return pendingInJournal().empty(); }, 30000))
      << pendingInJournal().size() << " segments still pending after the restart";
  ASSERT_NO_FATAL_FAILURE(checkAgainstLog(lines, 0));
  share_.dropAll();
}

TEST_F(CrashConsistencyTest, KilledWorkloadsLeaveAConsistentShare) {
  const uint64_t firstSeed = envNumber("OBJSTORE_CRASH_SEED", DEFAULT_FIRST_SEED);
  const int kills = static_cast<int>(envNumber("OBJSTORE_CRASH_KILLS", DEFAULT_KILLS));
  for (int round = 0; round < kills; ++round) {
    const uint64_t seed = firstSeed + static_cast<uint64_t>(round);
    SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed) +
                 " (replay: OBJSTORE_CRASH_SEED=" + std::to_string(firstSeed) + ")");
    ASSERT_NO_FATAL_FAILURE(oneRound(round, seed));
    if (HasFailure()) return;
  }
  // The backup holds the same tree: a clean close drops the local data and
  // the next start restores everything from the backup.
  ASSERT_TRUE(share_.start(containerDir_, test::reliabilityConfig(0)).ok());
  ASSERT_TRUE(share_.closeCleanly().ok());
  ASSERT_TRUE(share_.start(containerDir_, test::reliabilityConfig(0)).ok());
  std::map<std::string, SeenNode> seen;
  std::string error;
  ASSERT_TRUE(test::walkTree(*share_.container, share_.index, seen, error)) << error;
  std::string why;
  EXPECT_TRUE(test::treeMatches(seen, model_, why)) << "restored from the backup: " << why;

  std::printf("%d kills, %zu acknowledged operations, %zu kills inside an operation "
              "(%zu inside a write that landed some bytes), %zu synced files checked\n",
              kills, ackedTotal_, inFlightAtKill_, partialWrites_, syncedFilesChecked_);
  RecordProperty("kills", kills);
  EXPECT_GT(ackedTotal_, static_cast<size_t>(kills) * 5);
}

}  // namespace
}  // namespace ObjectStore
