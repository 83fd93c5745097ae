// Crash safety: a segment appears whole or not at all, whether its creation
// is cut short by a killed process or by a failing step.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <random>
#include <set>

#include "DiskCacheTestUtil.h"

namespace ObjectStore::test {
namespace {

class DiskCacheCrashTest : public DiskCacheFixture {};

constexpr uint64_t APPEND_BYTES = 30000;

// A child's own disk cache on cacheDir, with the fixture's context; the
// child exits with code 2 when it can't be opened.
void openInChild(DiskCache& cache, const std::string& cacheDir, DiskCacheContext& ctx) {
  cache.setPruneInterval(3600 * 1000);
  if (cache.init(cacheDir, {cacheDir}, 90, 80, 85, 64, nullptr, PruningMode::Lru).failed())
    _exit(2);
  ctx.name = "42";
  ctx.noprunePath = "noprune/42_0";
}

// Forks child(progressFd), waits for the byte it writes once it is well
// under way, lets it run up to maxDelayUs longer and kills it.
void killWhileRunning(const std::function<void(int)>& child, std::mt19937& rng,
                      unsigned maxDelayUs) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    child(fds[1]);
    _exit(1);  // the children loop until killed
  }
  ::close(fds[1]);
  char c = 0;
  ssize_t got = read(fds[0], &c, 1);
  ::close(fds[0]);
  usleep(static_cast<useconds_t>(rng() % maxDelayUs));
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_EQ(got, 1) << "the child stopped early, status " << status;
  ASSERT_TRUE(WIFSIGNALED(status)) << "child exit code " << WEXITSTATUS(status);
}

// What the child writes for segment i: sections 3 and 0 from the seed, and a
// section 1 that starts with some bytes of an endless pattern and grows by
// appends of that same pattern, so that any length read back can be checked.
uint64_t initialDataLength(int i) { return static_cast<uint64_t>(i % 7) * 50000 + 1; }

[[noreturn]] void childCreates(const std::string& cacheDir, int first, int progressFd) {
  DiskCache cache(0);
  DiskCacheContext ctx;
  openInChild(cache, cacheDir, ctx);
  std::vector<uint64_t> lengths;
  for (int i = first;; ++i) {
    std::string name = "seg" + std::to_string(i);
    Bytes s3 = pattern(1120, static_cast<uint32_t>(i)), s0 = pattern(1160, static_cast<uint32_t>(i) + 1);
    Bytes s1 = patternRange(0, initialDataLength(i), static_cast<uint32_t>(i));
    if (cache.createSegment(ctx, name, {writeOf(3, s3), writeOf(0, s0), writeOf(1, s1)}, false,
                            false, false)
            .failed())
      _exit(3);
    lengths.push_back(s1.size());
    // Grow an earlier segment's data and header sections while creating.
    int j = first + static_cast<int>(lengths.size() / 2);
    uint64_t& length = lengths[static_cast<size_t>(j - first)];
    Bytes more = patternRange(length, APPEND_BYTES, static_cast<uint32_t>(j));
    std::string earlier = "seg" + std::to_string(j);
    if (cache.writeSections(ctx, earlier, {writeOf(1, more, length)}, false, 0).failed()) _exit(4);
    length += APPEND_BYTES;
    if (i == first + 10) {
      char c = 'x';
      if (write(progressFd, &c, 1) != 1) _exit(5);
    }
  }
}

TEST_F(DiskCacheCrashTest, KilledProcessLeavesOnlyWholeSegments) {
  std::mt19937 rng(std::random_device{}());
  size_t verified = 0;
  for (int round = 0; round < 4; ++round) {
    int first = round * 100000;
    ASSERT_NO_FATAL_FAILURE(killWhileRunning(
        [&](int progressFd) { childCreates(cacheDir_, first, progressFd); }, rng, 40000));

    openCache();
    EXPECT_TRUE(std::filesystem::is_empty(cacheDir_ + "/.tmp")) << "leftover images cleared";
    std::set<int> found;
    for (const auto& dir : std::filesystem::directory_iterator(cacheDir_ + "/42"))
      for (const auto& file : std::filesystem::directory_iterator(dir.path())) {
        std::string name = file.path().filename().string();
        ASSERT_EQ(name.rfind("seg", 0), 0u) << name;
        found.insert(std::stoi(name.substr(3)));
      }
    // Every segment of this round that exists is whole; they were created
    // one after another, so they form an unbroken run.
    int count = 0;
    for (int i = first; found.count(i) != 0; ++i, ++count) {
      std::vector<SectionV> all;
      std::string name = "seg" + std::to_string(i);
      CZnError err = cache_->readAllSections(ctx_, name, all);
      ASSERT_TRUE(err.ok()) << name << ": " << err.chain();
      ASSERT_EQ(all.size(), 3u) << name;
      EXPECT_EQ(all[0].number, 3);
      EXPECT_EQ(all[0].data, pattern(1120, static_cast<uint32_t>(i))) << name;
      EXPECT_EQ(all[1].data, pattern(1160, static_cast<uint32_t>(i) + 1)) << name;
      uint64_t length = all[2].data.size();
      EXPECT_GE(length, initialDataLength(i)) << name;
      EXPECT_EQ((length - initialDataLength(i)) % APPEND_BYTES, 0u) << name;
      EXPECT_EQ(all[2].data, patternRange(0, length, static_cast<uint32_t>(i))) << name;
    }
    EXPECT_GT(count, 10);
    for (int i : found) EXPECT_TRUE(i < first || i < first + count) << "gap before seg" << i;
    verified += static_cast<size_t>(count);
    cache_.reset();
  }
  EXPECT_GT(verified, 40u);
}

// The child grows the last section of a segment and cuts it back, over and
// over: a kill between the cut of the file and the new table must not leave
// a table that reaches past the end of the file.
[[noreturn]] void childGrowsAndCuts(const std::string& cacheDir, int progressFd) {
  DiskCache cache(0);
  DiskCacheContext ctx;
  openInChild(cache, cacheDir, ctx);
  const Bytes base = patternRange(0, 5000, 7);
  const Bytes more = patternRange(5000, 70000, 7);
  if (cache.createSegment(ctx, "cut", {writeOf(3, pattern(1120, 1)), writeOf(1, base)}, false,
                          false, false)
          .failed())
    _exit(3);
  for (int i = 0;; ++i) {
    if (cache.writeSections(ctx, "cut", {writeOf(1, more, 5000)}, false, 0).failed()) _exit(4);
    if (cache.truncateSection(ctx, "cut", 1, 0, 5000).failed()) _exit(5);
    if (i == 20) {
      char c = 'x';
      if (write(progressFd, &c, 1) != 1) _exit(6);
    }
  }
}

TEST_F(DiskCacheCrashTest, KilledCutsLeaveAReadableSegment) {
  std::mt19937 rng(std::random_device{}());
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::filesystem::remove_all(cacheDir_);
    ASSERT_NO_FATAL_FAILURE(killWhileRunning(
        [&](int progressFd) { childGrowsAndCuts(cacheDir_, progressFd); }, rng, 20000));

    openCache();
    std::vector<SectionV> all;
    CZnError err = cache_->readAllSections(ctx_, "cut", all);
    ASSERT_TRUE(err.ok()) << err.chain();
    ASSERT_EQ(all.size(), 2u);
    const uint64_t length = all[1].data.size();
    EXPECT_TRUE(length == 5000 || length == 75000) << length;
    EXPECT_EQ(all[1].data, patternRange(0, length, 7));
    cache_.reset();
  }
}

TEST_F(DiskCacheCrashTest, FailedCreationLeavesNoSegment) {
  openCache();
  ASSERT_TRUE(createBlob("a", 1000, 1).ok());
  uint64_t used = cache_->usedBytes();
  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Create, 2, EIO, false});
  ASSERT_TRUE(createBlob("b", 2000, 2).ok());
  used = cache_->usedBytes();
  EXPECT_EQ(createBlob("c", 3000, 3).errNo(), EIO);
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "c"));
  EXPECT_FALSE(fileExists(cacheDir_ + "/42/c/c"));
  EXPECT_TRUE(std::filesystem::is_empty(cacheDir_ + "/.tmp")) << "the image was removed";
  EXPECT_EQ(cache_->usedBytes(), used);
  ASSERT_TRUE(createBlob("c", 3000, 4).ok()) << "the name is free";
  EXPECT_EQ(readSection("c", 1), pattern(3000, 4));

  // From then on: every creation fails until the fault is cleared.
  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Create, 1, ENOSPC, true});
  EXPECT_EQ(createBlob("d", 10, 5).errNo(), ENOSPC);
  EXPECT_EQ(createBlob("e", 10, 6).errNo(), ENOSPC);
  cache_->clearFaults();
  ASSERT_TRUE(createBlob("e", 10, 6).ok());
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "d"));

  // A failed replacement leaves the old content.
  cache_->setFaults(DiskCacheFaults{DiskCacheOp::Replace, 1, EIO, false});
  Bytes other = pattern(50, 9);
  EXPECT_EQ(cache_->replaceSegment(ctx_, "a", {writeOf(1, other)}).errNo(), EIO);
  EXPECT_EQ(readSection("a", 1), pattern(1000, 1));
  EXPECT_TRUE(std::filesystem::is_empty(cacheDir_ + "/.tmp"));

  // The same state after a restart.
  openCache();
  EXPECT_EQ(readSection("a", 1), pattern(1000, 1));
  EXPECT_EQ(readSection("c", 1), pattern(3000, 4));
  EXPECT_FALSE(cache_->doesSegmentExist(ctx_, "d"));
}

TEST_F(DiskCacheCrashTest, LeftoverImagesAreClearedAtStart) {
  openCache();
  ASSERT_TRUE(createBlob("a", 100, 1).ok());
  cache_.reset();
  // What a crash between writing an image and renaming it leaves behind.
  writeFile(cacheDir_ + "/.tmp/1234.5", std::string(5000, 'x'));
  openCache();
  EXPECT_TRUE(std::filesystem::is_empty(cacheDir_ + "/.tmp"));
  EXPECT_EQ(cache_->usedBytes(), readFile(cacheDir_ + "/42/a/a").size());
}

TEST_F(DiskCacheCrashTest, FailedWritesChangeNothing) {
  openCache();
  ASSERT_TRUE(createStandard("seg", 1).ok());
  // Fail each write of a growing sequence in turn; the model holds what
  // succeeded, and the segment must always equal it.
  Bytes model = {};
  for (int failAt = 1; failAt <= 6; ++failAt) {
    cache_->setFaults(DiskCacheFaults{DiskCacheOp::Write, static_cast<uint64_t>(failAt), EIO, false});
    for (int step = 1; step <= 6; ++step) {
      Bytes chunk = pattern(7000 * step, static_cast<uint32_t>(failAt * 10 + step));
      uint64_t offset = model.size() / 2;
      CZnError err = write("seg", 1, chunk, offset);
      if (step == failAt) {
        EXPECT_EQ(err.errNo(), EIO);
        continue;
      }
      ASSERT_TRUE(err.ok()) << err.chain();
      if (model.size() < offset + chunk.size()) model.resize(offset + chunk.size());
      std::copy(chunk.begin(), chunk.end(), model.begin() + static_cast<long>(offset));
    }
    ASSERT_EQ(readSection("seg", 1), model) << "fault at write " << failAt;
  }
  openCache();
  EXPECT_EQ(readSection("seg", 1), model);
  EXPECT_EQ(readSection("seg", 3), pattern(1120, 1));
}

}  // namespace
}  // namespace ObjectStore::test
