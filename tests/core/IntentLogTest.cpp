#include "ObjectStore/IntentLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "common/TestEnv.h"

namespace ObjectStore {
namespace {

using test::readFile;
using test::writeFile;
using Removal = IntentLog::Removal;

const Removal FIRST{"parentguid1", "objectguid1", "f"};
const Removal ODD_NAME{"parentguid2", "objectguid2", "a name with spaces\nand a newline"};

class IntentLogTest : public test::TestEnv {
 protected:
  std::string file() const { return path("pending_removals"); }
  std::vector<Removal> reopen() {
    IntentLog log;
    std::vector<Removal> unfinished;
    EXPECT_TRUE(log.open(file(), unfinished).ok());
    return unfinished;
  }
};

TEST_F(IntentLogTest, BegunAndNotFinishedIsUnfinishedAfterReopen) {
  {
    IntentLog log;
    std::vector<Removal> unfinished;
    ASSERT_TRUE(log.open(file(), unfinished).ok());
    EXPECT_TRUE(unfinished.empty());
    uint64_t done = 0, killed = 0, left = 0;
    ASSERT_TRUE(log.begin(FIRST, done).ok());
    ASSERT_TRUE(log.begin(ODD_NAME, killed).ok());
    ASSERT_TRUE(log.begin({"p3", "o3", "x"}, left).ok());
    EXPECT_NE(done, killed);
    log.finish(done);
    log.leave(left);
    // `killed` is neither finished nor left: what a killed process leaves.
  }
  const std::vector<Removal> unfinished = reopen();
  EXPECT_EQ(unfinished, (std::vector<Removal>{ODD_NAME, {"p3", "o3", "x"}}));
}

TEST_F(IntentLogTest, RewriteKeepsOnlyWhatIsGivenAndTicketsDoNotClash) {
  {
    IntentLog log;
    std::vector<Removal> unfinished;
    writeFile(file(), IntentLog::beginLine(1, FIRST) + IntentLog::beginLine(2, ODD_NAME));
    ASSERT_TRUE(log.open(file(), unfinished).ok());
    ASSERT_EQ(unfinished.size(), 2u);
    ASSERT_TRUE(log.rewrite({ODD_NAME}).ok());
    // A new removal finished after the rewrite must not mark the kept one.
    uint64_t ticket = 0;
    ASSERT_TRUE(log.begin(FIRST, ticket).ok());
    log.finish(ticket);
  }
  EXPECT_EQ(reopen(), (std::vector<Removal>{ODD_NAME}));
}

TEST_F(IntentLogTest, DamagedAndTornLinesAreSkipped) {
  const std::string good = IntentLog::beginLine(7, FIRST);
  writeFile(file(), std::string("garbage\n") +                // unknown kind
                        "B 1 p o 6z\n" +                      // name not hex
                        "B 2 p o 2f\n" +                      // name "/"
                        "B 3 p o 2e2e\n" +                    // name ".."
                        "B 4 p o 6100\n" +                    // name with NUL
                        "B 5 p o\n" +                         // no name
                        "B 6 p o 61 extra\n" +                // trailing field
                        "E 9 extra\n" +                       // trailing field
                        "E 12345\n" +                         // finishes nothing
                        std::string("B \x01 p o 61\n") +      // unprintable ticket
                        "B " + std::string(100, 'x') + " p o 61\n" + good +
                        IntentLog::beginLine(7, ODD_NAME) +  // a ticket used twice
                        "B 8 p o 6" /* torn by a kill */);
  size_t bad = 0;
  const std::vector<Removal> unfinished = IntentLog::unfinishedIn(readFile(file()), bad);
  EXPECT_EQ(unfinished, (std::vector<Removal>{FIRST}));
  EXPECT_EQ(bad, 11u);
  EXPECT_EQ(reopen(), (std::vector<Removal>{FIRST}));
}

TEST_F(IntentLogTest, FileIsEmptiedWhenQuietAndNothingWasLeft) {
  IntentLog log;
  std::vector<Removal> unfinished;
  ASSERT_TRUE(log.open(file(), unfinished).ok());
  const Removal longName{"parent", "object", std::string(1000, 'n')};
  uint64_t held = 0;
  ASSERT_TRUE(log.begin(FIRST, held).ok());
  // Past the compaction size with one removal in flight: nothing is cut.
  for (int i = 0; i < 40; ++i) {
    uint64_t ticket = 0;
    ASSERT_TRUE(log.begin(longName, ticket).ok());
    log.finish(ticket);
  }
  struct stat st {};
  ASSERT_EQ(::stat(file().c_str(), &st), 0);
  EXPECT_GT(static_cast<uint64_t>(st.st_size), IntentLog::COMPACT_BYTES);
  log.finish(held);
  ASSERT_EQ(::stat(file().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  // Appends go on at the start of the emptied file.
  uint64_t ticket = 0;
  ASSERT_TRUE(log.begin(ODD_NAME, ticket).ok());
  EXPECT_EQ(readFile(file()), IntentLog::beginLine(ticket, ODD_NAME));
}

TEST_F(IntentLogTest, ALeftRemovalKeepsTheFileUntilTheNextStart) {
  {
    IntentLog log;
    std::vector<Removal> unfinished;
    ASSERT_TRUE(log.open(file(), unfinished).ok());
    uint64_t left = 0;
    ASSERT_TRUE(log.begin(FIRST, left).ok());
    log.leave(left);
    const Removal longName{"parent", "object", std::string(1000, 'n')};
    for (int i = 0; i < 40; ++i) {
      uint64_t ticket = 0;
      ASSERT_TRUE(log.begin(longName, ticket).ok());
      log.finish(ticket);
    }
  }
  EXPECT_EQ(reopen(), (std::vector<Removal>{FIRST}));
}

TEST_F(IntentLogTest, BadRecordsAndAClosedLogAreRefused) {
  IntentLog log;
  uint64_t ticket = 0;
  EXPECT_EQ(log.begin(FIRST, ticket).errNo(), EBADF);
  std::vector<Removal> unfinished;
  ASSERT_TRUE(log.open(file(), unfinished).ok());
  EXPECT_EQ(log.open(file(), unfinished).errNo(), EBUSY);
  EXPECT_EQ(log.begin({"has space", "o", "n"}, ticket).errNo(), EINVAL);
  EXPECT_EQ(log.begin({"p", "", "n"}, ticket).errNo(), EINVAL);
  EXPECT_EQ(log.begin({"p", "o", std::string(5000, 'n')}, ticket).errNo(), EINVAL);
  log.close();
  EXPECT_FALSE(log.isOpen());
  EXPECT_EQ(log.begin(FIRST, ticket).errNo(), EBADF);
}

TEST_F(IntentLogTest, UnreadableFileIsAnError) {
  ASSERT_EQ(::mkdir(file().c_str(), 0755), 0);  // a directory where the file goes
  IntentLog log;
  std::vector<Removal> unfinished;
  EXPECT_FALSE(log.open(file(), unfinished).ok());
  EXPECT_FALSE(log.isOpen());
}

TEST_F(IntentLogTest, ConcurrentRemovalsEachLeaveOneWholeRecord) {
  IntentLog log;
  std::vector<Removal> unfinished;
  ASSERT_TRUE(log.open(file(), unfinished).ok());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 200; ++i) {
        uint64_t ticket = 0;
        const Removal removal{"p" + std::to_string(t), "o" + std::to_string(i), "n"};
        if (!log.begin(removal, ticket).ok()) return;
        if (i % 50 != 0) log.finish(ticket);  // every 50th stays open, as if killed
      }
    });
  }
  for (auto& thread : threads) thread.join();
  size_t bad = 0;
  const std::vector<Removal> open = IntentLog::unfinishedIn(readFile(file()), bad);
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(open.size(), 16u);
}

}  // namespace
}  // namespace ObjectStore
