// Backup throughput: segments committed through a store's backup queue, its
// controller and worker streams and the transport (afile records, fdatasync,
// locations recorded in the index, commit callbacks, journal records),
// against plainly copying the same bytes out of the disk cache into one file
// of the backup directory with one fdatasync at the end.
//
// The queued run starts a queue on a journal that lists every segment as
// modified, as a restart does: the replay queues them all at once, so the
// figure carries no quiet period. Both report MiB/s of segment data; the
// queued run also reports its throughput as a fraction of the plain copy's
// ("ratio_to_copy").
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ObjectStore/BackupControllerThread.h"
#include "ObjectStore/BackupQueue.h"
#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStore.h"
#include "platform/backup/BackupInterface.h"
#include "platform/diskcache/DiskCache.h"
#include "platform/index/index_iface.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {
namespace {

constexpr uint64_t SUBCLIENT = 7;
constexpr int SEGMENTS = 64;
constexpr uint64_t SEGMENT_BYTES = 256 * 1024;
constexpr double MIB = 1024.0 * 1024.0;

// Plain-copy throughput (MiB/s) of the last baseline run, for the ratio.
std::atomic<double> g_copyMiBps{0};

std::string makeTempRoot() {
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base ? base : "/tmp") + "/objstore-backup-bench-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return "";
  return buf.data();
}

// A disk cache holding SEGMENTS extent-shaped segments of SEGMENT_BYTES.
struct Segments {
  std::string root;
  std::shared_ptr<DiskCache> cache;
  DiskCacheContext ctx;
  std::vector<std::string> names;

  bool init() {
    root = makeTempRoot();
    if (root.empty()) return false;
    cache = std::make_shared<DiskCache>(0);
    cache->setPruneInterval(3600 * 1000);
    const std::string cacheDir = root + "/cache";
    if (cache->init(cacheDir, {cacheDir}, 99, 98, 99, 1000, nullptr, PruningMode::Lru).failed())
      return false;
    ctx.name = std::to_string(SUBCLIENT);
    ctx.noprunePath = "noprune/" + ctx.name + "_0";
    if (cache->registerContext(ctx).failed()) return false;
    std::vector<unsigned char> data(SEGMENT_BYTES);
    for (int i = 0; i < SEGMENTS; ++i) {
      for (size_t b = 0; b < data.size(); ++b) data[b] = static_cast<unsigned char>(b * 13 + i);
      char name[64];
      std::snprintf(name, sizeof(name), "%032x.%07d", 0xabc000 + i, 0);
      Section s;
      s.number = 1;
      s.size = s.bufferLength = data.size();
      s.buffer = data.data();
      if (cache->createSegment(ctx, name, {s}, false, false, false).failed()) return false;
      names.push_back(name);
    }
    return true;
  }
  ~Segments() {
    if (cache) {
      (void)cache->unregisterContext(ctx);  // the cache goes away next
      cache->shutdownPruner();
      cache.reset();
    }
    if (!root.empty()) rmTree(root);
  }
};

void BM_PlainCopyIntoBackupDir(benchmark::State& state) {
  Segments segments;
  if (!segments.init()) {
    state.SkipWithError("setup failed");
    return;
  }
  std::vector<char> buffer(SEGMENT_BYTES);
  int run = 0;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const std::string target = segments.root + "/copy" + std::to_string(run++);
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      state.SkipWithError("can't create the copy");
      return;
    }
    for (const std::string& name : segments.names) {
      Section s;
      s.number = 1;
      s.buffer = buffer.data();
      s.bufferLength = buffer.size();
      std::vector<Section> sections{s};
      if (segments.cache->readSections(segments.ctx, name, sections, false).failed() ||
          ::write(fd, buffer.data(), sections[0].size) != static_cast<ssize_t>(sections[0].size)) {
        state.SkipWithError("copy failed");
        ::close(fd);
        return;
      }
    }
    ::fdatasync(fd);
    ::close(fd);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
  }
  const double bytes = static_cast<double>(state.iterations()) * SEGMENTS * SEGMENT_BYTES;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["MiB_per_s"] = seconds > 0 ? bytes / MIB / seconds : 0;
}

void BM_CommitThroughQueue(benchmark::State& state) {
  BackupTimings timings;
  timings.outerWaitMs = 5;
  timings.pollMs = 1000;
  timings.workerWaitMs = 5;
  BackupTimings::setForTesting(timings);
  double seconds = 0;
  uint64_t committed = 0;
  for (auto _ : state) {
    Segments segments;
    if (!segments.init()) {
      state.SkipWithError("setup failed");
      return;
    }
    const std::string backupDir = segments.root + "/backup";
    if (!initBackupInterace(backupDir)) {
      state.SkipWithError("backup target unusable");
      return;
    }
    index_iface::args args;
    args.subclient = SUBCLIENT;
    args.indexRoot = segments.root + "/index";
    args.shareKey = "bench_" + std::to_string(SUBCLIENT);
    auto index = std::make_shared<index_iface>(args);
    if (index->init() != 0) {
      state.SkipWithError("index failed");
      return;
    }
    registerShareIndex(SUBCLIENT, index, backupDir);
    const std::string baseDir = segments.root + "/objstr";
    const std::string journalDir = BackupQueue::journalDirOf(baseDir, segments.ctx.name);
    createDir(journalDir);
    std::string journal;
    for (const std::string& name : segments.names) journal += "1," + name + "\n";
    FILE* file = std::fopen((journalDir + "/journal_0000000001_0000000000").c_str(), "w");
    if (file == nullptr) {
      state.SkipWithError("can't write the journal");
      return;
    }
    std::fwrite(journal.data(), 1, journal.size(), file);
    std::fclose(file);
    ObjectContainer container;  // the queue asks its store for a name only
    ObjectStore store(container, segments.cache, nullptr);
    auto queue = std::make_unique<BackupQueue>(store, *segments.cache);

    const auto start = std::chrono::steady_clock::now();
    if (queue->initialize(SUBCLIENT, 3600, 300000, baseDir, segments.ctx).failed()) {
      state.SkipWithError("queue failed");
      return;
    }
    const auto deadline = start + std::chrono::seconds(120);
    while (queue->counters().committed.load() < static_cast<uint64_t>(SEGMENTS) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    committed += queue->counters().committed.load();
    queue.reset();
    unregisterShareIndex(SUBCLIENT);
  }
  BackupTimings::resetForTesting();
  if (committed != static_cast<uint64_t>(state.iterations()) * SEGMENTS) {
    state.SkipWithError("not every segment was committed");
    return;
  }
  const double bytes = static_cast<double>(committed) * SEGMENT_BYTES;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  const double mibps = seconds > 0 ? bytes / MIB / seconds : 0;
  state.counters["MiB_per_s"] = mibps;
  const double copy = g_copyMiBps.load();
  if (copy > 0) state.counters["ratio_to_copy"] = mibps / copy;
}

// Keeps the plain copy's rate for the ratio of the queued run that follows.
class CopyRateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.benchmark_name().find("BM_PlainCopyIntoBackupDir") == 0 && !run.error_occurred) {
        const auto it = run.counters.find("MiB_per_s");
        if (it != run.counters.end()) g_copyMiBps.store(static_cast<double>(it->second));
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

// Only the measured part of each iteration counts (set up and tear-down of
// the cache, index and queue are outside it).
BENCHMARK(BM_PlainCopyIntoBackupDir)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();
BENCHMARK(BM_CommitThroughQueue)->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();

}  // namespace
}  // namespace ObjectStore

int main(int argc, char** argv) {
  // A private configuration file: the queue reads its settings from it.
  const std::string root = ObjectStore::makeTempRoot();
  if (!root.empty()) setenv("OBJSTORE_REGISTRY", (root + "/registry").c_str(), 0);
  benchmark::Initialize(&argc, argv);
  ObjectStore::CopyRateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (!root.empty()) ObjectStore::rmTree(root);
  return 0;
}
