// Reading a file through a point-in-time view whose cache is empty, against
// reading the same bytes straight from the backup's afiles.
//
// Setup: a live share writes FILE_BYTES into one file in EXTENT_BYTES
// extents, and one backup job sends every extent segment to the afiles; the
// index then holds each extent's location.
//   ViewRead       a fresh view (nothing local) opens the file and reads it
//                  whole in EXTENT_BYTES reads: every extent is looked up in
//                  the index, read and verified by the restore library,
//                  handed to the reader and written into the view's cache
//   RestoreLibrary the restore library reads and verifies each extent's
//                  record into a buffer, nothing else
//   PlainAfileRead pread of the afile files whole (no verification): the
//                  floor of what the device and page cache give
// The summary gives view / restore-library and view / plain throughput.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStore.h"
#include "platform/backup/BackupInterface.h"
#include "platform/diskcache/DiskCache.h"
#include "platform/index/index_iface.h"
#include "platform/restore/RestoreInterface.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {
namespace {

constexpr uint64_t EXTENT_BYTES = 1024 * 1024;
constexpr uint64_t FILE_BYTES = 64 * EXTENT_BYTES;
constexpr uint64_t SUBCLIENT = 7;
const char* const SHARE = "bench";
const char* const FILE_PATH = "/big";

void ignoreCommit(unsigned int, std::list<std::string>, void*) {}

ObjectStoreConfig shareConfig(uint64_t timestamp, const std::string& pitName) {
  ObjectStoreConfig config;
  config.name = SHARE;
  config.subclient = SUBCLIENT;
  config.extentSize = EXTENT_BYTES;
  config.timestamp = timestamp;
  config.pitName = pitName;
  // The live share's own queue stays out of the way: the setup backs up.
  config.backupTimeout = 3600;
  return config;
}

struct BenchSetup {
  std::string dir;
  std::shared_ptr<DiskCache> cache;
  std::unique_ptr<ObjectContainer> container;
  std::shared_ptr<index_iface> index;
  std::vector<AfileInfo> locations;
  std::vector<std::string> afiles;
  std::string expected;
  uint64_t viewTime = 0;
  int views = 0;

  std::string storeDir(const std::string& pitName) const {
    return dir + "/objstr/" + ObjectContainer::shareKeyOf(SHARE, SUBCLIENT) + "_" + pitName;
  }

  std::unique_ptr<ObjectStore> openStore(const ObjectStoreConfig& config) {
    const std::string storePath = storeDir(config.pitName);
    if (createDir(storePath) != 0) return nullptr;
    auto store = std::make_unique<ObjectStore>(*container, cache, index);
    if (!store->initialize(config, storePath).ok()) {
      (void)store->uninitialize();
      return nullptr;
    }
    return store;
  }

  bool init() {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/objstore-pitbench-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return false;
    dir = buf.data();

    cache = std::make_shared<DiskCache>(0);
    if (cache->init(dir + "/cache", {dir + "/cache"}, 99, 98, 99, 1000, nullptr, PruningMode::Lru)
            .failed())
      return false;
    container = std::make_unique<ObjectContainer>();
    ObjectContainerConfig containerConfig;
    containerConfig.containerDir = dir;
    containerConfig.diskCache = cache;
    if (!container->init(containerConfig).ok()) return false;
    index_iface::args args;
    args.subclient = SUBCLIENT;
    args.indexRoot = dir + "/index";
    args.shareKey = ObjectContainer::shareKeyOf(SHARE, SUBCLIENT);
    index = std::make_shared<index_iface>(args);
    if (index->init() != 0) return false;
    const std::string backupDir = dir + "/backup";
    if (!registerSubClient(SUBCLIENT, backupDir)) return false;
    registerShareIndex(SUBCLIENT, index, backupDir);

    expected.resize(FILE_BYTES);
    for (uint64_t i = 0; i < FILE_BYTES; ++i)
      expected[i] = static_cast<char>((i * 2654435761u) >> 13);
    return writeAndBackUp();
  }

  bool writeAndBackUp() {
    std::unique_ptr<ObjectStore> live = openStore(shareConfig(0, "0"));
    if (!live) return false;
    ItemName item;
    if (!live->create(item, FILE_PATH, 0644, FILE_TYPE_REGULAR).ok()) return false;
    FileHandle handle;
    ItemName byPath(FILE_PATH);
    if (!live->open(handle, byPath, O_RDWR, false).ok()) return false;
    for (uint64_t offset = 0; offset < FILE_BYTES; offset += EXTENT_BYTES) {
      uint64_t len = EXTENT_BYTES;
      if (!live->write(handle, expected.data() + offset, len, offset, NO_SYNC).ok()) return false;
    }
    const guid_t objGuid = handle.name.objGuid;
    const guid_t verGuid = handle.name.verGuid;
    if (!live->close(handle, CLIENT_CLOSE).ok()) return false;

    auto info = std::make_shared<OBJECTOPSAPI::JobInfo>(2, 2, 0, "", 110, SUBCLIENT, 2);
    std::shared_ptr<BackupInterface> job;
    if (!BackupInterface::getController(info, job, false).ok()) return false;
    if (!job->setCallBack(&ignoreCommit, nullptr).ok()) return false;
    for (uint64_t n = 0; n * EXTENT_BYTES < FILE_BYTES; ++n) {
      std::list<std::string> requeue;
      int64_t bytes = 0;
      int stream = 0;
      const guid_t segment = fileToExtentGuid(verGuid, n);
      if (!job->sendItem(segment.c_str(), requeue, bytes, stream, live->diskCache(),
                         live->diskCacheContext())
               .ok())
        return false;
    }
    std::list<std::string> requeue;
    if (!job->endBackup(requeue, false).ok() || !requeue.empty()) return false;

    for (uint64_t n = 0; n * EXTENT_BYTES < FILE_BYTES; ++n) {
      index_iface_browse_fields fields;
      fields.guid = fileToExtentGuid(objGuid, n);
      index_iface_props props;
      if (index->find_by_guid(fields, props) != 0 || props.afileId < 0) return false;
      AfileInfo where;
      where.afileId = static_cast<uint64_t>(props.afileId);
      where.afileOffset = static_cast<uint64_t>(props.afileOffset);
      locations.push_back(where);
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(backupDir()))
      if (entry.is_regular_file()) afiles.push_back(entry.path().string());
    (void)live->uninitialize();
    // A view of the second after the backup sees every location.
    viewTime = static_cast<uint64_t>(clockNowSec()) + 1;
    return true;
  }

  std::string backupDir() const { return dir + "/backup"; }
};

BenchSetup* g_setup = nullptr;

void ViewRead(benchmark::State& state) {
  BenchSetup& setup = *g_setup;
  std::string out(FILE_BYTES, '\0');
  for (auto _ : state) {
    state.PauseTiming();
    const std::string pitName = "v" + std::to_string(setup.views++);
    std::unique_ptr<ObjectStore> view = setup.openStore(shareConfig(setup.viewTime, pitName));
    if (!view) {
      state.SkipWithError("can't open a view");
      break;
    }
    state.ResumeTiming();
    FileHandle handle;
    ItemName item(FILE_PATH);
    bool ok = view->open(handle, item, O_RDONLY, false).ok();
    for (uint64_t offset = 0; ok && offset < FILE_BYTES; offset += EXTENT_BYTES) {
      uint64_t len = EXTENT_BYTES;
      ok = view->read(handle, out.data() + offset, offset, len).ok() && len == EXTENT_BYTES;
    }
    ok = view->close(handle, CLIENT_CLOSE).ok() && ok;
    state.PauseTiming();
    if (!ok || out != setup.expected) {
      state.SkipWithError("the view read other bytes than were written");
      break;
    }
    (void)view->uninitialize();
    view.reset();
    std::filesystem::remove_all(setup.dir + "/cache/views/" + std::to_string(SUBCLIENT) + "_" +
                                pitName);
    std::filesystem::remove_all(setup.storeDir(pitName));
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FILE_BYTES));
}

void RestoreLibrary(benchmark::State& state) {
  BenchSetup& setup = *g_setup;
  SubClientInfo info;
  if (!GetSubClientInfo(SUBCLIENT, info)) {
    state.SkipWithError("unknown subclient");
    return;
  }
  RestoreInterface restore(info);
  std::vector<char> buffer(EXTENT_BYTES);
  for (auto _ : state) {
    for (const AfileInfo& where : setup.locations) {
      uint64_t size = buffer.size();
      if (!restore.Restore(where, FILE_PATH, &size, buffer.data(), "") || size != EXTENT_BYTES) {
        state.SkipWithError("restore failed");
        return;
      }
      benchmark::DoNotOptimize(buffer.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FILE_BYTES));
}

void PlainAfileRead(benchmark::State& state) {
  BenchSetup& setup = *g_setup;
  std::vector<char> buffer(EXTENT_BYTES);
  uint64_t total = 0;
  for (auto _ : state) {
    for (const std::string& path : setup.afiles) {
      const int fd = ::open(path.c_str(), O_RDONLY);
      if (fd < 0) {
        state.SkipWithError("can't open an afile");
        return;
      }
      off_t offset = 0;
      ssize_t n = 0;
      while ((n = ::pread(fd, buffer.data(), buffer.size(), offset)) > 0) {
        offset += n;
        total += static_cast<uint64_t>(n);
        benchmark::DoNotOptimize(buffer.data());
      }
      ::close(fd);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(total));
}

BENCHMARK(ViewRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RestoreLibrary)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PlainAfileRead)->Unit(benchmark::kMillisecond)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (run.error_occurred || it == run.counters.end()) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median || run.run_type == Run::RT_Iteration)
        (median ? medians_ : singles_)[run.run_name.function_name] = it->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto& rates = medians_.empty() ? singles_ : medians_;
    auto rate = [&](const char* name) {
      auto it = rates.find(name);
      return it == rates.end() ? 0.0 : it->second;
    };
    const double view = rate("ViewRead");
    std::printf("\nratio = point-in-time view read / direct afile read throughput (%s):\n",
                medians_.empty() ? "single runs" : "medians");
    for (const char* baseline : {"RestoreLibrary", "PlainAfileRead"}) {
      const double other = rate(baseline);
      if (view <= 0 || other <= 0) continue;
      std::printf("ratio view/%-15s %.2f  (%.0f vs %.0f MiB/s)\n", baseline, view / other,
                  view / (1024 * 1024), other / (1024 * 1024));
    }
  }

 private:
  std::map<std::string, double> medians_;
  std::map<std::string, double> singles_;
};

}  // namespace
}  // namespace ObjectStore

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (ObjectStore::LogWriter* writer = ObjectStore::defaultLogWriter()) writer->setQuiet(true);
  ObjectStore::BenchSetup setup;
  if (!setup.init()) {
    std::fprintf(stderr, "benchmark setup failed in [%s]\n", setup.dir.c_str());
    return 1;
  }
  ObjectStore::g_setup = &setup;
  ObjectStore::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  ObjectStore::g_setup = nullptr;
  ObjectStore::unregisterShareIndex(ObjectStore::SUBCLIENT);
  std::filesystem::remove_all(setup.dir);
  return 0;
}
