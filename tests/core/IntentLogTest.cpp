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
  IntentLog::Unfinished reopenAll() {
    IntentLog log;
    IntentLog::Unfinished unfinished;
    EXPECT_TRUE(log.open(file(), unfinished).ok());
    return unfinished;
  }
  std::vector<Removal> reopen() { return reopenAll().removals; }
};

TEST_F(IntentLogTest, BegunAndNotFinishedIsUnfinishedAfterReopen) {
  {
    IntentLog log;
    IntentLog::Unfinished unfinished;
    ASSERT_TRUE(log.open(file(), unfinished).ok());
    EXPECT_TRUE(unfinished.empty());
    uint64_t done = 0, killed = 0, left = 0;
    ASSERT_TRUE(log.begin(FIRST, done).ok());
    ASSERT_TRUE(log.begin(ODD_NAME, killed).ok());
    ASSERT_TRUE(log.begin(Removal{"p3", "o3", "x"}, left).ok());
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
    IntentLog::Unfinished unfinished;
    writeFile(file(), IntentLog::beginLine(1, FIRST) + IntentLog::beginLine(2, ODD_NAME));
    ASSERT_TRUE(log.open(file(), unfinished).ok());
    ASSERT_EQ(unfinished.removals.size(), 2u);
    ASSERT_TRUE(log.rewrite({{ODD_NAME}, {}}).ok());
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
  const std::vector<Removal> unfinished = IntentLog::unfinishedIn(readFile(file()), bad).removals;
  EXPECT_EQ(unfinished, (std::vector<Removal>{FIRST}));
  EXPECT_EQ(bad, 11u);
  EXPECT_EQ(reopen(), (std::vector<Removal>{FIRST}));
}

TEST_F(IntentLogTest, FileIsEmptiedWhenQuietAndNothingWasLeft) {
  IntentLog log;
  IntentLog::Unfinished unfinished;
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
    IntentLog::Unfinished unfinished;
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
  IntentLog::Unfinished unfinished;
  ASSERT_TRUE(log.open(file(), unfinished).ok());
  EXPECT_EQ(log.open(file(), unfinished).errNo(), EBUSY);
  EXPECT_EQ(log.begin(Removal{"has space", "o", "n"}, ticket).errNo(), EINVAL);
  EXPECT_EQ(log.begin(Removal{"p", "", "n"}, ticket).errNo(), EINVAL);
  EXPECT_EQ(log.begin(Removal{"p", "o", std::string(5000, 'n')}, ticket).errNo(), EINVAL);
  log.close();
  EXPECT_FALSE(log.isOpen());
  EXPECT_EQ(log.begin(FIRST, ticket).errNo(), EBADF);
}

TEST_F(IntentLogTest, UnreadableFileIsAnError) {
  ASSERT_EQ(::mkdir(file().c_str(), 0755), 0);  // a directory where the file goes
  IntentLog log;
  IntentLog::Unfinished unfinished;
  EXPECT_FALSE(log.open(file(), unfinished).ok());
  EXPECT_FALSE(log.isOpen());
}

TEST_F(IntentLogTest, RenamesAreKeptBesideRemovalsAndFinishedByTicket) {
  const IntentLog::Move moved{"obj1", "src", "dst", "old name", "new\nname", "/a/old name",
                             "/b/new\nname", false};
  const IntentLog::Move dir{"obj2", "root", "root", "d", "e", "/d", "/e", true};
  {
    IntentLog log;
    IntentLog::Unfinished unfinished;
    ASSERT_TRUE(log.open(file(), unfinished).ok());
    uint64_t a = 0, b = 0, c = 0;
    ASSERT_TRUE(log.begin(moved, a).ok());
    ASSERT_TRUE(log.begin(FIRST, b).ok());
    ASSERT_TRUE(log.begin(dir, c).ok());
    log.finish(c);
  }
  IntentLog::Unfinished unfinished = reopenAll();
  EXPECT_EQ(unfinished.moves, (std::vector<IntentLog::Move>{moved}));
  EXPECT_EQ(unfinished.removals, (std::vector<Removal>{FIRST}));
  // Kept through a rewrite, as the start does with what it can't finish.
  {
    IntentLog log;
    ASSERT_TRUE(log.open(file(), unfinished).ok());
    ASSERT_TRUE(log.rewrite({{}, {moved, dir}}).ok());
  }
  unfinished = reopenAll();
  EXPECT_TRUE(unfinished.removals.empty());
  EXPECT_EQ(unfinished.moves, (std::vector<IntentLog::Move>{moved, dir}));
}

// A rename that failed without putting the lists back is left for a later
// try: it is listed until finished, and its record outlives the process.
TEST_F(IntentLogTest, ALeftRenameIsListedUntilFinishedAndKeptForTheNextStart) {
  const IntentLog::Move moved{"obj1", "src", "dst", "a", "b", "/a", "/d/b", false};
  const IntentLog::Move other{"obj2", "src", "src", "c", "e", "/c", "/e", false};
  {
    IntentLog log;
    IntentLog::Unfinished unfinished;
    ASSERT_TRUE(log.open(file(), unfinished).ok());
    uint64_t first = 0, second = 0;
    ASSERT_TRUE(log.begin(moved, first).ok());
    ASSERT_TRUE(log.begin(other, second).ok());
    EXPECT_FALSE(log.hasLeft());
    log.leave(first);
    log.leave(second);
    EXPECT_TRUE(log.hasLeft());
    EXPECT_TRUE(log.left().empty());
    const auto leftMoves = log.leftMoves();
    ASSERT_EQ(leftMoves.size(), 2u);
    EXPECT_EQ(leftMoves[0].first, first);
    EXPECT_EQ(leftMoves[0].second, moved);
    log.finish(second);
    EXPECT_TRUE(log.hasLeft());
    ASSERT_EQ(log.leftMoves().size(), 1u);
  }
  EXPECT_EQ(reopenAll().moves, (std::vector<IntentLog::Move>{moved}));
}

TEST_F(IntentLogTest, DamagedRenameRecordsAreSkipped) {
  const IntentLog::Move good{"o", "s", "d", "x", "y", "/x", "/y", false};
  std::string text = IntentLog::beginLine(1, good);
  // Each damage of the good line on its own.
  auto damaged = [&](const std::string& from, const std::string& to) {
    std::string line = IntentLog::beginLine(2, good);
    line.replace(line.find(from), from.size(), to);
    return line;
  };
  text += damaged(" f ", " q ");          // neither file nor directory
  text += damaged(" 2f78 ", " 78 ");      // a path without its leading "/"
  text += damaged(" 78 ", " 2f ");        // a name "/"
  text += damaged(" 79 ", " 2e ");        // a name "."
  text += damaged(" d ", " d extra ");    // a field too many
  text += damaged("\n", " more\n");     // a field too many at the end
  text += "M 3 o s d f 78\n";            // fields missing
  size_t badLines = 0;
  const IntentLog::Unfinished unfinished = IntentLog::unfinishedIn(text, badLines);
  EXPECT_EQ(unfinished.moves, (std::vector<IntentLog::Move>{good}));
  EXPECT_EQ(badLines, 7u);
  uint64_t ticket = 0;
  IntentLog log;
  IntentLog::Unfinished none;
  ASSERT_TRUE(log.open(file(), none).ok());
  IntentLog::Move relative = good;
  relative.dstPath = "y";
  EXPECT_EQ(log.begin(relative, ticket).errNo(), EINVAL);
}

TEST_F(IntentLogTest, ConcurrentRemovalsEachLeaveOneWholeRecord) {
  IntentLog log;
  IntentLog::Unfinished unfinished;
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
  const std::vector<Removal> open = IntentLog::unfinishedIn(readFile(file()), bad).removals;
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(open.size(), 16u);
}

}  // namespace
}  // namespace ObjectStore
