// The container's file operations against the same work done with plain
// POSIX calls on a directory of the same file system, side by side.
//
// Every figure is a pair of benchmarks, Store<Figure> and Posix<Figure>; the
// report step (bench/report.py) divides one by the other. The container and
// the plain directory both live below BENCH_DIR (default: a fresh directory
// under $TMPDIR or /tmp), so both sides write to the same disk.
//
//   SeqWrite      a new file written in 1 MiB writes, then closed
//   SeqRead       a written, already read file read again in 1 MiB reads
//   RandRead      4 KiB reads at random aligned offsets of a warm file
//   CreateClose   empty files created and closed in one fresh directory
//   Getattr       attributes of one cached item (calls per second)
//   Readdir       a whole directory listed, page by page for the store,
//                 with readdir(3) for the plain directory
//
// Nothing is synced on either side: the figures compare the paths the
// bytes take, not the device. Sizes can be reduced with BENCH_SCALE (a
// divisor, for quick runs); the report prints the sizes used.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ObjectStore/ObjectContainer.h"
#include "platform/support/LogWriter.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {
namespace {

constexpr uint64_t MIB = 1024 * 1024;
constexpr uint64_t SUBCLIENT = 11;

uint64_t scale() {
  const char* text = getenv("BENCH_SCALE");
  const long value = text != nullptr ? std::atol(text) : 1;
  return value > 1 ? static_cast<uint64_t>(value) : 1;
}

// Sizes of the figures (divided by BENCH_SCALE).
uint64_t seqBytes() { return 256 * MIB / scale(); }
uint64_t randFileBytes() { return 64 * MIB / scale(); }
constexpr uint64_t RAND_BLOCK = 4096;
uint64_t randReads() { return 16384 / scale(); }
uint64_t manyFiles() { return 20000 / scale(); }
constexpr uint64_t READDIR_PAGE = 256;  // entries per paged readdir call

std::string fileName(uint64_t n) {
  char name[32];
  std::snprintf(name, sizeof(name), "file%07llu", static_cast<unsigned long long>(n));
  return name;
}

// Deterministic, non-repeating-looking bytes (defeats nothing, but keeps the
// written data from being all zeros).
std::vector<char> pattern(uint64_t bytes) {
  std::vector<char> data(bytes);
  for (uint64_t i = 0; i < bytes; ++i) data[i] = static_cast<char>((i * 2654435761u) >> 11);
  return data;
}

struct Setup {
  std::string root;
  std::string posixDir;
  std::unique_ptr<ObjectContainer> container;
  ObjectStoreIndex share = 0;
  guid_t rootGuid;
  uint64_t serial = 0;  // makes each iteration's names unique

  bool init() {
    const char* given = getenv("BENCH_DIR");
    const char* tmp = getenv("TMPDIR");
    std::string base = given != nullptr && *given ? given : (tmp != nullptr && *tmp ? tmp : "/tmp");
    createDir(base);
    std::string patternPath = base + "/store-vs-posix-XXXXXX";
    std::vector<char> buf(patternPath.begin(), patternPath.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return false;
    root = buf.data();
    posixDir = root + "/posix";
    if (createDir(posixDir) != 0) return false;

    container = std::make_unique<ObjectContainer>();
    ObjectContainerConfig config;
    config.containerDir = root + "/container";
    config.highWatermark = 99;
    config.lowWatermark = 97;
    config.thirdWatermark = 98;
    if (!container->init(config).ok()) return false;
    ObjectStoreConfig share;
    share.name = "bench";
    share.subclient = SUBCLIENT;
    share.pitName = "0";
    // The backup queue would start copying segments part-way through a
    // figure; it has its own benchmark.
    share.backupTimeout = 3600;
    if (!container->openObjectStore(this->share, share).ok()) return false;
    rootGuid = container->getRootGuid(this->share);
    return !rootGuid.empty();
  }

  ~Setup() {
    if (container) (void)container->closeObjectStore(share);
    container.reset();
    if (!root.empty()) rmTree(root);
  }

  ItemName rootItem() const { return ItemName(rootGuid, true); }

  // A new store directory under the root (its name made unique, since a
  // benchmark function runs once per repetition); returns its item.
  bool storeMkdir(const std::string& name, ItemName& dir) {
    ItemName parent = rootItem();
    return container->mkdir(share, parent, dir, name + std::to_string(serial++), 0755).ok();
  }

  // Items made once and shared by the repetitions of one figure.
  std::map<std::string, ItemName> madeItems;

  // A store file `key` holding `data`, made on first use.
  bool storeFile(const std::string& key, const std::vector<char>& data, ItemName& item) {
    auto found = madeItems.find(key);
    if (found != madeItems.end()) {
      item = found->second;
      return true;
    }
    ItemName dir;
    if (!storeMkdir(key, dir) || !storeWriteFile(dir, "file", data, item)) return false;
    madeItems[key] = item;
    return true;
  }

  // Writes `bytes` into a new store file in 1 MiB writes.
  bool storeWriteFile(ItemName& parent, const std::string& name, const std::vector<char>& data,
                      ItemName& item) {
    FileHandle handle;
    struct stat st {};
    if (!container->createAndOpen(share, handle, parent, name, st, O_RDWR).ok()) return false;
    bool ok = true;
    for (uint64_t offset = 0; ok && offset < data.size(); offset += MIB) {
      uint64_t len = std::min<uint64_t>(MIB, data.size() - offset);
      ok = container->write(share, handle, data.data() + offset, len, offset, NO_SYNC).ok();
    }
    item = handle.name;
    return container->close(share, handle).ok() && ok;
  }

  bool storeReadAll(FileHandle& handle, std::vector<char>& out, uint64_t bytes) {
    for (uint64_t offset = 0; offset < bytes; offset += MIB) {
      uint64_t got = 0;
      const uint64_t want = std::min<uint64_t>(MIB, bytes - offset);
      if (!container->read(share, handle, out.data(), offset, want, got).ok() || got != want)
        return false;
    }
    return true;
  }
};

Setup* g_setup = nullptr;

bool posixWriteFile(const std::string& path, const std::vector<char>& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  for (uint64_t offset = 0; ok && offset < data.size(); offset += MIB) {
    const size_t len = std::min<uint64_t>(MIB, data.size() - offset);
    ok = ::pwrite(fd, data.data() + offset, len, static_cast<off_t>(offset)) ==
         static_cast<ssize_t>(len);
  }
  return ::close(fd) == 0 && ok;
}

bool posixReadAll(int fd, std::vector<char>& out, uint64_t bytes) {
  for (uint64_t offset = 0; offset < bytes; offset += MIB) {
    const size_t want = std::min<uint64_t>(MIB, bytes - offset);
    if (::pread(fd, out.data(), want, static_cast<off_t>(offset)) != static_cast<ssize_t>(want))
      return false;
  }
  return true;
}

// ---- sequential write ---------------------------------------------------------

void StoreSeqWrite(benchmark::State& state) {
  Setup& s = *g_setup;
  const std::vector<char> data = pattern(seqBytes());
  ItemName dir;
  if (!s.storeMkdir("seqwrite", dir)) {
    state.SkipWithError("mkdir failed");
    return;
  }
  for (auto _ : state) {
    ItemName item;
    if (!s.storeWriteFile(dir, fileName(s.serial++), data, item)) {
      state.SkipWithError("write failed");
      return;
    }
    state.PauseTiming();
    (void)s.container->unlink(s.share, item);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void PosixSeqWrite(benchmark::State& state) {
  Setup& s = *g_setup;
  const std::vector<char> data = pattern(seqBytes());
  for (auto _ : state) {
    const std::string path = s.posixDir + "/" + fileName(s.serial++);
    if (!posixWriteFile(path, data)) {
      state.SkipWithError("write failed");
      return;
    }
    state.PauseTiming();
    ::unlink(path.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// ---- sequential read, warm ------------------------------------------------------

void StoreSeqRead(benchmark::State& state) {
  Setup& s = *g_setup;
  const std::vector<char> data = pattern(seqBytes());
  ItemName item;
  if (!s.storeFile("seqread", data, item)) {
    state.SkipWithError("setup failed");
    return;
  }
  FileHandle handle;
  if (!s.container->open(s.share, handle, item, O_RDONLY, false).ok()) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<char> out(MIB);
  // One untimed pass warms every cache on the way.
  bool ok = s.storeReadAll(handle, out, data.size());
  for (auto _ : state) {
    if (!ok || !s.storeReadAll(handle, out, data.size())) break;
    benchmark::DoNotOptimize(out.data());
  }
  (void)s.container->close(s.share, handle);
  if (!ok || std::memcmp(out.data(), data.data() + data.size() - MIB, MIB) != 0)
    state.SkipWithError("read failed or returned other bytes");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void PosixSeqRead(benchmark::State& state) {
  Setup& s = *g_setup;
  const std::vector<char> data = pattern(seqBytes());
  const std::string path = s.posixDir + "/seqread";
  if (!posixWriteFile(path, data)) {
    state.SkipWithError("setup failed");
    return;
  }
  const int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<char> out(MIB);
  bool ok = fd >= 0 && posixReadAll(fd, out, data.size());
  for (auto _ : state) {
    if (!ok || !posixReadAll(fd, out, data.size())) break;
    benchmark::DoNotOptimize(out.data());
  }
  if (fd >= 0) ::close(fd);
  if (!ok) state.SkipWithError("read failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// ---- random 4 KiB reads, warm ---------------------------------------------------

std::vector<uint64_t> randomOffsets() {
  std::mt19937_64 random(12345);
  std::vector<uint64_t> offsets(randReads());
  const uint64_t blocks = randFileBytes() / RAND_BLOCK;
  for (uint64_t& offset : offsets) offset = (random() % blocks) * RAND_BLOCK;
  return offsets;
}

void StoreRandRead(benchmark::State& state) {
  Setup& s = *g_setup;
  const std::vector<char> data = pattern(randFileBytes());
  ItemName item;
  if (!s.storeFile("randread", data, item)) {
    state.SkipWithError("setup failed");
    return;
  }
  FileHandle handle;
  if (!s.container->open(s.share, handle, item, O_RDONLY, false).ok()) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<char> out(MIB);
  bool ok = s.storeReadAll(handle, out, data.size());
  const std::vector<uint64_t> offsets = randomOffsets();
  for (auto _ : state) {
    for (uint64_t offset : offsets) {
      uint64_t got = 0;
      if (!s.container->read(s.share, handle, out.data(), offset, RAND_BLOCK, got).ok() ||
          got != RAND_BLOCK || std::memcmp(out.data(), data.data() + offset, 8) != 0) {
        ok = false;
        break;
      }
    }
    if (!ok) break;
  }
  (void)s.container->close(s.share, handle);
  if (!ok) state.SkipWithError("read failed or returned other bytes");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * offsets.size()));
}

void PosixRandRead(benchmark::State& state) {
  Setup& s = *g_setup;
  const std::vector<char> data = pattern(randFileBytes());
  const std::string path = s.posixDir + "/randread";
  if (!posixWriteFile(path, data)) {
    state.SkipWithError("setup failed");
    return;
  }
  const int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<char> out(MIB);
  bool ok = fd >= 0 && posixReadAll(fd, out, data.size());
  const std::vector<uint64_t> offsets = randomOffsets();
  for (auto _ : state) {
    for (uint64_t offset : offsets) {
      if (::pread(fd, out.data(), RAND_BLOCK, static_cast<off_t>(offset)) !=
              static_cast<ssize_t>(RAND_BLOCK) ||
          std::memcmp(out.data(), data.data() + offset, 8) != 0) {
        ok = false;
        break;
      }
    }
    if (!ok) break;
  }
  if (fd >= 0) ::close(fd);
  if (!ok) state.SkipWithError("read failed");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * offsets.size()));
}

// ---- create + close of empty files in one directory -------------------------

void StoreCreateClose(benchmark::State& state) {
  Setup& s = *g_setup;
  const uint64_t files = manyFiles();
  for (auto _ : state) {
    state.PauseTiming();
    ItemName dir;
    if (!s.storeMkdir("create", dir)) {
      state.SkipWithError("mkdir failed");
      return;
    }
    state.ResumeTiming();
    for (uint64_t n = 0; n < files; ++n) {
      FileHandle handle;
      struct stat st {};
      if (!s.container->createAndOpen(s.share, handle, dir, fileName(n), st, O_RDWR).ok() ||
          !s.container->close(s.share, handle).ok()) {
        state.SkipWithError("create failed");
        return;
      }
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * files));
}

void PosixCreateClose(benchmark::State& state) {
  Setup& s = *g_setup;
  const uint64_t files = manyFiles();
  for (auto _ : state) {
    state.PauseTiming();
    const std::string dir = s.posixDir + "/create" + std::to_string(s.serial++);
    if (createDir(dir) != 0) {
      state.SkipWithError("mkdir failed");
      return;
    }
    state.ResumeTiming();
    for (uint64_t n = 0; n < files; ++n) {
      const std::string path = dir + "/" + fileName(n);
      const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
      if (fd < 0 || ::close(fd) != 0) {
        state.SkipWithError("create failed");
        return;
      }
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * files));
}

// ---- getattr of a cached item ---------------------------------------------------

void StoreGetattr(benchmark::State& state) {
  Setup& s = *g_setup;
  ItemName item;
  if (!s.storeFile("getattr", pattern(4096), item)) {
    state.SkipWithError("setup failed");
    return;
  }
  // A file server names the item by the GUID it handed out earlier.
  const ItemName byGuid(item.objGuid, false);
  struct stat st {};
  bool ok = true;
  for (auto _ : state) {
    ItemName name = byGuid;
    ok = s.container->getattr(s.share, name, st).ok() && st.st_size == 4096;
    if (!ok) break;
  }
  if (!ok) state.SkipWithError("getattr failed");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void PosixGetattr(benchmark::State& state) {
  Setup& s = *g_setup;
  const std::string path = s.posixDir + "/getattr";
  if (!posixWriteFile(path, pattern(4096))) {
    state.SkipWithError("setup failed");
    return;
  }
  struct stat st {};
  bool ok = true;
  for (auto _ : state) {
    ok = ::stat(path.c_str(), &st) == 0 && st.st_size == 4096;
    if (!ok) break;
  }
  if (!ok) state.SkipWithError("stat failed");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// ---- paged readdir of a large directory ----------------------------------------

void StoreReaddir(benchmark::State& state) {
  Setup& s = *g_setup;
  const uint64_t files = manyFiles();
  ItemName dir;
  if (s.madeItems.count("listing") != 0) {
    dir = s.madeItems["listing"];
  } else {
    if (!s.storeMkdir("listing", dir)) {
      state.SkipWithError("mkdir failed");
      return;
    }
    for (uint64_t n = 0; n < files; ++n) {
      ItemName item;
      ItemName parent = dir;
      if (!s.container->create(s.share, parent, item, fileName(n), 0644).ok()) {
        state.SkipWithError("create failed");
        return;
      }
    }
    s.madeItems["listing"] = dir;
  }
  uint64_t seen = 0;
  GuidPathList page;
  for (auto _ : state) {
    seen = 0;
    bool done = false;
    for (size_t offset = 0; !done;) {
      page.clear();
      ItemName name = dir;
      if (!s.container->readdir(s.share, name, page, offset, READDIR_PAGE, done).ok()) {
        state.SkipWithError("readdir failed");
        return;
      }
      // Every page starts with "." and ".."; offsets count children only.
      size_t children = 0;
      for (const auto& entry : page)
        if (entry.second != "." && entry.second != "..") ++children;
      offset += children;
      seen += children;
      if (children == 0 && !done) {
        state.SkipWithError("readdir made no progress");
        return;
      }
    }
  }
  if (seen != files) state.SkipWithError("the listing has the wrong length");
  state.counters["entries"] = static_cast<double>(seen);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * seen));
}

void PosixReaddir(benchmark::State& state) {
  Setup& s = *g_setup;
  const uint64_t files = manyFiles();
  const std::string dir = s.posixDir + "/listing";
  struct stat made {};
  const bool exists = ::stat(dir.c_str(), &made) == 0;
  if (!exists && createDir(dir) != 0) {
    state.SkipWithError("mkdir failed");
    return;
  }
  for (uint64_t n = 0; !exists && n < files; ++n) {
    const int fd = ::open((dir + "/" + fileName(n)).c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) {
      state.SkipWithError("create failed");
      return;
    }
    ::close(fd);
  }
  uint64_t seen = 0;
  for (auto _ : state) {
    seen = 0;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
      state.SkipWithError("opendir failed");
      return;
    }
    while (struct dirent* entry = ::readdir(d)) {
      benchmark::DoNotOptimize(entry->d_name[0]);
      ++seen;
    }
    ::closedir(d);
  }
  if (seen != files + 2) state.SkipWithError("the listing has the wrong length");
  state.counters["entries"] = static_cast<double>(seen);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * seen));
}

// Large figures run a fixed, small number of times; the cheap ones let the
// library pick. Three repetitions give the report a median.
#define PAIR(name, ...)                                                            \
  BENCHMARK(Store##name)->Unit(benchmark::kMillisecond)->UseRealTime()__VA_ARGS__; \
  BENCHMARK(Posix##name)->Unit(benchmark::kMillisecond)->UseRealTime()__VA_ARGS__

PAIR(SeqWrite, ->Iterations(2)->Repetitions(3));
PAIR(SeqRead, ->Iterations(2)->Repetitions(3));
PAIR(RandRead, ->Iterations(2)->Repetitions(3));
PAIR(CreateClose, ->Iterations(1)->Repetitions(2));
PAIR(Getattr, ->MinTime(0.3)->Repetitions(3));
PAIR(Readdir, ->Iterations(5)->Repetitions(3));

}  // namespace
}  // namespace ObjectStore

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (ObjectStore::LogWriter* writer = ObjectStore::defaultLogWriter()) writer->setQuiet(true);
  ObjectStore::Setup setup;
  if (!setup.init()) {
    std::fprintf(stderr, "benchmark setup failed in [%s]\n", setup.root.c_str());
    return 1;
  }
  ObjectStore::g_setup = &setup;
  benchmark::AddCustomContext("seq_bytes", std::to_string(ObjectStore::seqBytes()));
  benchmark::AddCustomContext("rand_file_bytes", std::to_string(ObjectStore::randFileBytes()));
  benchmark::AddCustomContext("rand_reads", std::to_string(ObjectStore::randReads()));
  benchmark::AddCustomContext("files", std::to_string(ObjectStore::manyFiles()));
  benchmark::AddCustomContext("readdir_page", std::to_string(ObjectStore::READDIR_PAGE));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ObjectStore::g_setup = nullptr;
  return 0;
}
