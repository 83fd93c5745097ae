// Resident size of a process that drives one share with the default
// configuration (cache limits, backup queue and all) while it creates many
// empty files: RSS when FILES files exist, and again after EXTRA_FILES more,
// to show whether it keeps growing with the number of files.
//
// The files go into directories of FILES_PER_DIR entries, as a file server's
// clients would spread them. Counters (MiB): rss_start before the first
// file, rss_files at FILES, rss_extra after the extra files (FILES / 2);
// "growth" is rss_extra - rss_files. FILES is 200,000 unless
// BENCH_MEMORY_FILES says otherwise; BENCH_SCALE divides it for quick runs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ObjectStore/ObjectContainer.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {
namespace {

constexpr uint64_t FILES_PER_DIR = 1000;

uint64_t scale() {
  const char* text = getenv("BENCH_SCALE");
  const long value = text != nullptr ? std::atol(text) : 1;
  return value > 1 ? static_cast<uint64_t>(value) : 1;
}
// BENCH_MEMORY_FILES sets the count outright (creating 200,000 files takes
// minutes at the store's create rate).
uint64_t files() {
  const char* text = getenv("BENCH_MEMORY_FILES");
  const long value = text != nullptr ? std::atol(text) : 0;
  return value > 0 ? static_cast<uint64_t>(value) : 200000 / scale();
}
uint64_t extraFiles() { return files() / 2; }

// Resident set size of this process in MiB (/proc/self/statm, second field).
double residentMiB() {
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return -1;
  unsigned long long size = 0;
  unsigned long long resident = 0;
  const int got = std::fscanf(statm, "%llu %llu", &size, &resident);
  std::fclose(statm);
  if (got != 2) return -1;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
         (1024.0 * 1024.0);
}

std::string makeRoot() {
  const char* given = getenv("BENCH_DIR");
  const char* tmp = getenv("TMPDIR");
  std::string base = given != nullptr && *given ? given : (tmp != nullptr && *tmp ? tmp : "/tmp");
  createDir(base);
  std::string pattern = base + "/memory-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return "";
  return buf.data();
}

void ResidentSize(benchmark::State& state) {
  const std::string root = makeRoot();
  if (root.empty()) {
    state.SkipWithError("no temporary directory");
    return;
  }
  double start = 0;
  double atFiles = 0;
  double atExtra = 0;
  double peak = 0;
  bool ok = true;
  for (auto _ : state) {
    ObjectContainer container;
    ObjectContainerConfig config;
    config.containerDir = root + "/container";
    ObjectStoreConfig shareConfig;  // the defaults, cache limits included
    shareConfig.name = "memory";
    shareConfig.subclient = 21;
    shareConfig.pitName = "0";
    ObjectStoreIndex share = 0;
    if (!container.init(config).ok() || !container.openObjectStore(share, shareConfig).ok()) {
      state.SkipWithError("setup failed");
      break;
    }
    const guid_t rootGuid = container.getRootGuid(share);
    start = residentMiB();
    const uint64_t total = files() + extraFiles();
    ItemName dir;
    for (uint64_t n = 0; ok && n < total; ++n) {
      if (n % FILES_PER_DIR == 0) {
        ItemName parent(rootGuid, true);
        dir = ItemName();
        ok = container.mkdir(share, parent, dir, "d" + std::to_string(n / FILES_PER_DIR), 0755)
                 .ok();
        if (!ok) break;
      }
      FileHandle handle;
      struct stat st {};
      ItemName parent = dir;
      ok = container.createAndOpen(share, handle, parent, "f" + std::to_string(n), st, O_RDWR)
               .ok() &&
           container.close(share, handle).ok();
      if ((n + 1) % 10000 == 0) {
        const double now = residentMiB();
        if (now > peak) peak = now;
      }
      if (n + 1 == files()) atFiles = residentMiB();
    }
    atExtra = residentMiB();
    (void)container.closeObjectStore(share);
  }
  rmTree(root);
  if (!ok) {
    state.SkipWithError("creating the files failed");
    return;
  }
  state.counters["files"] = static_cast<double>(files());
  state.counters["extra_files"] = static_cast<double>(extraFiles());
  state.counters["rss_start_MiB"] = start;
  state.counters["rss_files_MiB"] = atFiles;
  state.counters["rss_extra_MiB"] = atExtra;
  state.counters["rss_peak_MiB"] = peak;
  state.counters["growth_MiB"] = atExtra - atFiles;
  state.SetItemsProcessed(static_cast<int64_t>(files() + extraFiles()));
}

BENCHMARK(ResidentSize)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace
}  // namespace ObjectStore

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (ObjectStore::LogWriter* writer = ObjectStore::defaultLogWriter()) writer->setQuiet(true);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
