// The record table of the segment files: names, areas and byte totals as the
// pruner and the space accounting see them.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/TestEnv.h"
#include "platform/diskcache/SegmentFiles.h"

namespace ObjectStore::test {
namespace {

class SegmentFilesTest : public TestEnv {};

bool anyKind(AreaKind) { return true; }

// name -> area of every candidate the table offers.
std::map<std::string, std::string> candidateAreas(SegmentFiles& files) {
  std::map<std::string, std::string> out;
  for (const SegmentCandidate& c : files.candidates(anyKind)) out[c.name] = c.area->rel;
  return out;
}

TEST_F(SegmentFilesTest, RecordsKeepNamesAreasAndBytesAcrossShards) {
  SegmentFiles files(dir() + "/cache", 8);
  CacheArea* share = files.area("11", AreaKind::Share);
  CacheArea* view = files.area("views/v1/11", AreaKind::View);

  // Enough names to land in every shard.
  std::map<std::string, std::string> expected;
  uint64_t total = 0;
  for (int n = 0; n < 64; ++n) {
    const std::string name = "seg" + std::to_string(n * 7919) + "abcdefghijklmnopqrstuvwxyz";
    CacheArea* area = n % 3 == 0 ? view : share;
    files.add(SegmentFiles::keyOf(area->rel, name), area, static_cast<uint64_t>(n + 1), n);
    expected[name] = area->rel;
    total += static_cast<uint64_t>(n + 1);
  }
  EXPECT_EQ(candidateAreas(files), expected);
  EXPECT_EQ(files.usedBytes(), total);
  EXPECT_EQ(files.fileCount(), 64u);
  EXPECT_EQ(share->bytes.load() + view->bytes.load(), total);

  // A size change reaches the record through its own shard and every total.
  SegmentHandle handle;
  const std::string name = "seg" + std::to_string(5 * 7919) + "abcdefghijklmnopqrstuvwxyz";
  ASSERT_TRUE(files.open({"11"}, name, SegmentFiles::Access::Exclusive, false, handle).ok());
  const uint64_t before = files.bytesOf(handle.record());
  EXPECT_EQ(before, 6u);
  files.setBytes(handle.record(), 1000);
  EXPECT_EQ(files.bytesOf(handle.record()), 1000u);
  EXPECT_EQ(files.usedBytes(), total - before + 1000);
  EXPECT_EQ(share->bytes.load() + view->bytes.load(), total - before + 1000);

  files.forget(handle);
  handle.release();
  expected.erase(name);
  EXPECT_EQ(candidateAreas(files), expected);
  EXPECT_EQ(files.usedBytes(), total - before);
  EXPECT_EQ(files.fileCount(), 63u);
}

}  // namespace
}  // namespace ObjectStore::test
