// Index operations per second on a share database in a temporary directory:
// add_item, find_by_guid, find_by_path (latest and as of a time) and
// update_item. Lookups and updates run against a pre-filled share of
// kPrefilled files in kDirs directories two levels deep.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "platform/index/index_iface.h"
#include "platform/support/Clock.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {
namespace {

constexpr unsigned kDirs = 100;
constexpr unsigned kPrefilled = 20000;

std::string benchGuid(char tag, uint64_t n) {
  char text[40];
  std::snprintf(text, sizeof(text), "%c%c%c%c%028lx", tag, tag, tag, tag,
                static_cast<unsigned long>(n));
  return text;
}

std::string dirPath(unsigned d) {
  return "/top" + std::to_string(d % 10) + "/dir" + std::to_string(d);
}
std::string filePath(unsigned n) { return dirPath(n % kDirs) + "/file" + std::to_string(n); }

index_iface_props itemProps(const std::string& obj, const std::string& ver, const std::string& path,
                            const std::string& parent, int mode) {
  index_iface_props props;
  props.objGuid = obj;
  props.verGuid = ver;
  props.path = path;
  props.parentGuid = parent;
  props.modeValid = props.uidValid = props.gidValid = true;
  props.mode = mode;
  props.uid = 1000;
  props.gid = 100;
  props.size = 0;
  props.vtime = clockNowNs();
  props.atime = props.ctime = props.mtime = props.vtime / 1000000000;
  props.extentSize = 1 << 20;
  props.itemFlag = (mode & 0xF000) == 0x8000 ? 1 : 0;
  return props;
}

// One share for every benchmark of the run.
struct Share {
  std::string dir;
  std::unique_ptr<index_iface> index;
  uint64_t nextFile = kPrefilled;
  uint64_t filledAtSec = 0;
};

Share* g_share = nullptr;

Share& share() {
  if (g_share != nullptr) return *g_share;
  g_share = new Share;
  char pattern[] = "/tmp/objstore-index-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  g_share->dir = pattern;
  index_iface::args args;
  args.indexRoot = g_share->dir + "/index";
  args.shareKey = "bench";
  g_share->index = std::make_unique<index_iface>(args);
  index_iface& index = *g_share->index;
  if (index.init() != 0) std::abort();
  const std::string root = benchGuid('r', 0);
  index_iface_props rootProps = itemProps(root, root + "-0", "/", "", 0x41ED);
  if (index.add_item(rootProps) != 0) std::abort();
  index.set_content_root_props(rootProps);
  for (unsigned t = 0; t < 10; ++t) {
    const std::string top = benchGuid('t', t);
    index_iface_props props = itemProps(top, top + "-0", "/top" + std::to_string(t), root, 0x41ED);
    if (index.add_item(props) != 0) std::abort();
  }
  for (unsigned d = 0; d < kDirs; ++d) {
    const std::string dir = benchGuid('d', d);
    index_iface_props props =
        itemProps(dir, dir + "-0", dirPath(d), benchGuid('t', d % 10), 0x41ED);
    if (index.add_item(props) != 0) std::abort();
  }
  for (unsigned n = 0; n < kPrefilled; ++n) {
    index_iface_props props = itemProps(benchGuid('f', n), benchGuid('v', n), filePath(n),
                                        benchGuid('d', n % kDirs), 0x81A4);
    if (index.add_item(props) != 0) std::abort();
  }
  index.flush();
  g_share->filledAtSec = static_cast<uint64_t>(clockNowSec());
  return *g_share;
}

void BM_AddItem(benchmark::State& state) {
  Share& s = share();
  for (auto _ : state) {
    uint64_t n = s.nextFile++;
    index_iface_props props =
        itemProps(benchGuid('f', n), benchGuid('v', n), filePath(static_cast<unsigned>(n)),
                  benchGuid('d', n % kDirs), 0x81A4);
    if (s.index->add_item(props) != 0) state.SkipWithError("add_item failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FindByGuid(benchmark::State& state) {
  Share& s = share();
  std::mt19937 random(1);
  for (auto _ : state) {
    index_iface_browse_fields fields;
    fields.guid = benchGuid('f', random() % kPrefilled);
    index_iface_props props;
    if (s.index->find_by_guid(fields, props) != 0) state.SkipWithError("find_by_guid failed");
    benchmark::DoNotOptimize(props.path.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FindByPath(benchmark::State& state) {
  Share& s = share();
  std::mt19937 random(2);
  for (auto _ : state) {
    index_iface_browse_fields fields;
    fields.path = filePath(random() % kPrefilled);
    fields.before_time = static_cast<uint64_t>(state.range(0)) == 0 ? 0 : s.filledAtSec;
    index_iface_props props;
    if (s.index->find_by_path(fields, props) != 0) state.SkipWithError("find_by_path failed");
    benchmark::DoNotOptimize(props.objGuid.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_UpdateItem(benchmark::State& state) {
  Share& s = share();
  std::mt19937 random(3);
  int64_t size = 0;
  for (auto _ : state) {
    uint64_t n = random() % kPrefilled;
    index_iface_props props;
    props.objGuid = benchGuid('f', n);
    props.verGuid = benchGuid('v', n);
    props.size = ++size;
    props.mtime = props.ctime = clockNowSec();
    if (s.index->update_item(props) != 0) state.SkipWithError("update_item failed");
  }
  state.SetItemsProcessed(state.iterations());
}

// Wall-clock rates: a write's time is mostly the log write it waits for.
BENCHMARK(BM_AddItem)->UseRealTime();
BENCHMARK(BM_FindByGuid)->UseRealTime();
BENCHMARK(BM_FindByPath)->Arg(0)->Arg(1)->ArgName("asOfTime")->UseRealTime();
BENCHMARK(BM_UpdateItem)->UseRealTime();

}  // namespace
}  // namespace ObjectStore

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (ObjectStore::g_share != nullptr) {
    ObjectStore::g_share->index.reset();
    ObjectStore::rmTree(ObjectStore::g_share->dir);
    delete ObjectStore::g_share;
  }
  return 0;
}
