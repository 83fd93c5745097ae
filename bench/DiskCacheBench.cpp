// Disk cache section I/O against plain positioned I/O on files in the same
// directory: what the cache's bookkeeping (name lookup, per-segment lock,
// section table, accounting) costs on top of the system calls it makes.
//
// Segments are shaped like the store's extents: header sections 3 and 0,
// then a data section 1 of EXTENT_BYTES. The plain baseline keeps one file
// per extent with the data at the same file offset and its descriptor open.
//   write/read    overwrite or read a chunk at a rotating extent and offset
//   append        grow a fresh data section chunk by chunk (the first writes
//                 of a new extent), truncated again outside the timing
// Everything stays in the page cache: the ratios show the cache's overhead,
// not the device. A summary line per pair gives cache / plain throughput.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/diskcache/DiskCache.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {
namespace {

constexpr uint64_t EXTENT_BYTES = 4 * 1024 * 1024;
constexpr int EXTENTS = 16;
constexpr uint64_t DATA_OFFSET = 4096;  // where the cache puts a large data section

struct BenchSetup {
  std::string dir;
  std::unique_ptr<DiskCache> cache;
  DiskCacheContext ctx;
  std::vector<int> plainFds;
  std::vector<std::string> names;
  std::vector<unsigned char> data;

  bool init() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") +
                          "/objstore-bench-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return false;
    dir = buf.data();
    cache = std::make_unique<DiskCache>(0);
    if (cache->init(dir + "/cache", {dir + "/cache"}, 99, 98, 99, 1000, nullptr, PruningMode::Lru)
            .failed())
      return false;
    ctx.name = "1";
    ctx.noprunePath = "noprune/1_0";
    data.resize(EXTENT_BYTES);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 31 + 7);
    std::vector<unsigned char> header3(1120, 3), header0(1160, 0);
    createDir(dir + "/plain");
    for (int i = 0; i < EXTENTS; ++i) {
      names.push_back("extent" + std::to_string(i) + "-0123456789abcdef0123456789abcdef");
      if (cache->createSegment(ctx, names.back(), {section(3, header3), section(0, header0)},
                               false, false, false)
              .failed() ||
          cache->writeSections(ctx, names.back(), {section(1, data)}, false, 0).failed())
        return false;
      int fd = ::open((dir + "/plain/" + std::to_string(i)).c_str(),
                      O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0 || pwrite(fd, data.data(), data.size(), DATA_OFFSET) < 0) return false;
      plainFds.push_back(fd);
    }
    return true;
  }

  static Section section(int32_t number, const std::vector<unsigned char>& bytes,
                         uint64_t offset = 0, uint64_t length = 0) {
    Section s;
    s.number = number;
    s.offset = offset;
    s.size = length != 0 ? length : bytes.size();
    s.bufferLength = s.size;
    s.buffer = const_cast<unsigned char*>(bytes.data());
    return s;
  }

  ~BenchSetup() {
    for (int fd : plainFds) ::close(fd);
    if (cache) cache->shutdownPruner();
    cache.reset();
    if (!dir.empty()) rmTree(dir);
  }
};

BenchSetup* g_setup = nullptr;

// The position of the i-th chunk of `chunk` bytes: rotating over extents so
// that every access meets a different segment than the one before.
void position(uint64_t i, uint64_t chunk, int& extent, uint64_t& offset) {
  extent = static_cast<int>(i % EXTENTS);
  offset = ((i / EXTENTS) * chunk) % EXTENT_BYTES;
}

void CacheWrite(benchmark::State& state) {
  uint64_t chunk = static_cast<uint64_t>(state.range(0));
  uint64_t i = 0;
  for (auto _ : state) {
    int extent;
    uint64_t offset;
    position(i++, chunk, extent, offset);
    std::vector<Section> w{BenchSetup::section(1, g_setup->data, offset, chunk)};
    if (g_setup->cache->writeSections(g_setup->ctx, g_setup->names[static_cast<size_t>(extent)], w,
                                      false, 0)
            .failed())
      state.SkipWithError("write failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk));
}

void PlainWrite(benchmark::State& state) {
  uint64_t chunk = static_cast<uint64_t>(state.range(0));
  uint64_t i = 0;
  for (auto _ : state) {
    int extent;
    uint64_t offset;
    position(i++, chunk, extent, offset);
    if (pwrite(g_setup->plainFds[static_cast<size_t>(extent)], g_setup->data.data(), chunk,
               static_cast<off_t>(DATA_OFFSET + offset)) != static_cast<ssize_t>(chunk))
      state.SkipWithError("pwrite failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk));
}

void CacheRead(benchmark::State& state) {
  uint64_t chunk = static_cast<uint64_t>(state.range(0));
  std::vector<unsigned char> buffer(chunk);
  uint64_t i = 0;
  for (auto _ : state) {
    int extent;
    uint64_t offset;
    position(i++, chunk, extent, offset);
    Section r;
    r.number = 1;
    r.offset = offset;
    r.buffer = buffer.data();
    r.bufferLength = chunk;
    std::vector<Section> req{r};
    if (g_setup->cache->readSections(g_setup->ctx, g_setup->names[static_cast<size_t>(extent)],
                                     req, true)
            .failed() ||
        req[0].size != chunk)
      state.SkipWithError("read failed");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk));
}

void PlainRead(benchmark::State& state) {
  uint64_t chunk = static_cast<uint64_t>(state.range(0));
  std::vector<unsigned char> buffer(chunk);
  uint64_t i = 0;
  for (auto _ : state) {
    int extent;
    uint64_t offset;
    position(i++, chunk, extent, offset);
    if (pread(g_setup->plainFds[static_cast<size_t>(extent)], buffer.data(), chunk,
              static_cast<off_t>(DATA_OFFSET + offset)) != static_cast<ssize_t>(chunk))
      state.SkipWithError("pread failed");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk));
}

// Appends into section 1 of a segment that starts without one; every
// append lengthens the section and so rewrites the table.
void CacheAppend(benchmark::State& state) {
  uint64_t chunk = static_cast<uint64_t>(state.range(0));
  std::vector<unsigned char> header(1120, 3);
  const std::string name = "append-" + std::to_string(chunk);
  if (g_setup->cache->createSegment(g_setup->ctx, name, {BenchSetup::section(3, header)}, false,
                                    false, false)
          .failed())
    state.SkipWithError("create failed");
  uint64_t length = 0;
  for (auto _ : state) {
    if (length + chunk > EXTENT_BYTES) {
      state.PauseTiming();
      if (g_setup->cache->truncateSection(g_setup->ctx, name, 1, 0, 0).failed())
        state.SkipWithError("truncate failed");
      length = 0;
      state.ResumeTiming();
    }
    std::vector<Section> w{BenchSetup::section(1, g_setup->data, length, chunk)};
    if (g_setup->cache->writeSections(g_setup->ctx, name, w, false, 0).failed())
      state.SkipWithError("append failed");
    length += chunk;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk));
  (void)g_setup->cache->deleteSegment(g_setup->ctx, name, false, false, 0);  // cleanup only
}

void PlainAppend(benchmark::State& state) {
  uint64_t chunk = static_cast<uint64_t>(state.range(0));
  std::string path = g_setup->dir + "/plain/append-" + std::to_string(chunk);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) state.SkipWithError("open failed");
  uint64_t length = 0;
  for (auto _ : state) {
    if (length + chunk > EXTENT_BYTES) {
      state.PauseTiming();
      if (ftruncate(fd, static_cast<off_t>(DATA_OFFSET)) != 0) state.SkipWithError("ftruncate");
      length = 0;
      state.ResumeTiming();
    }
    if (pwrite(fd, g_setup->data.data(), chunk, static_cast<off_t>(DATA_OFFSET + length)) !=
        static_cast<ssize_t>(chunk))
      state.SkipWithError("pwrite failed");
    length += chunk;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chunk));
  if (fd >= 0) ::close(fd);
}

constexpr int64_t KIB64 = 64 * 1024;
constexpr int64_t MIB1 = 1024 * 1024;

BENCHMARK(CacheWrite)->Arg(MIB1)->Arg(KIB64)->MinTime(0.5)->UseRealTime();
BENCHMARK(PlainWrite)->Arg(MIB1)->Arg(KIB64)->MinTime(0.5)->UseRealTime();
BENCHMARK(CacheRead)->Arg(MIB1)->Arg(KIB64)->MinTime(0.5)->UseRealTime();
BENCHMARK(PlainRead)->Arg(MIB1)->Arg(KIB64)->MinTime(0.5)->UseRealTime();
BENCHMARK(CacheAppend)->Arg(MIB1)->Arg(KIB64)->MinTime(0.5)->UseRealTime();
BENCHMARK(PlainAppend)->Arg(MIB1)->Arg(KIB64)->MinTime(0.5)->UseRealTime();

// The console output plus, at the end, cache / plain throughput per pair:
// from the medians when the runs were repeated, else from the single runs.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (run.error_occurred || it == run.counters.end()) continue;
      std::string key = run.run_name.function_name + "/" + run.run_name.args;
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median) {
        medians_[key] = it->second.value;
      } else if (run.run_type == Run::RT_Iteration) {
        singles_[key] = it->second.value;
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto& rates = medians_.empty() ? singles_ : medians_;
    std::printf("\nratio = disk cache / plain file I/O throughput (%s):\n",
                medians_.empty() ? "single runs" : "medians");
    for (const auto& [name, rate] : rates) {
      if (name.rfind("Cache", 0) != 0) continue;
      auto plain = rates.find("Plain" + name.substr(5));
      if (plain == rates.end() || plain->second <= 0) continue;
      std::printf("ratio %-14s %.2f  (%.0f vs %.0f MiB/s)\n", name.substr(5).c_str(),
                  rate / plain->second, rate / (1024 * 1024), plain->second / (1024 * 1024));
    }
  }

 private:
  std::map<std::string, double> medians_;
  std::map<std::string, double> singles_;
};

}  // namespace
}  // namespace ObjectStore

int main(int argc, char** argv) {
  // Cache and plain runs alternate in random order and repeat, so that a
  // busy machine disturbs both sides of a pair alike; flags given on the
  // command line come later and win.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  char repetitions[] = "--benchmark_repetitions=3";
  char aggregates[] = "--benchmark_report_aggregates_only=true";
  args.insert(args.begin() + 1, {interleave, repetitions, aggregates});
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  argc = count;
  argv = args.data();
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
  return 0;
}
