#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/TestEnv.h"
#include "platform/support/HXPlatformInfo.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {
namespace {

class LogWriterTest : public test::TestEnv {
 protected:
  LogWriter& writer() {
    LogWriter* w = defaultLogWriter();
    EXPECT_NE(w, nullptr);
    return *w;
  }
  void TearDown() override {
    if (LogWriter* w = defaultLogWriter()) {
      (void)w->setOutputFile("");
      w->setQuiet(true);
    }
    test::TestEnv::TearDown();
  }
};

TEST_F(LogWriterTest, LevelFilterDropsDetailAboveTheDebugLevel) {
  test::LogCapture capture(2);
  OSLOG(3, "[%s] getattr [%s] [%s]", "share", "guid", "/a");
  EXPECT_EQ(capture.records().size(), 0u);
  writer().setDebugLevel(3);
  OSLOG(3, "[%s] getattr [%s] [%s]", "share", "guid", "/a");
  EXPECT_EQ(capture.count("[share] getattr [guid] [/a]", 3), 1u) << capture.dump();
}

TEST_F(LogWriterTest, ErrorsAreAlwaysWritten) {
  test::LogCapture capture(-1);
  OSLOG(0, "not at level -1");
  OSLOG(-1, "Error: Can't open [%s]", "/x");
  EXPECT_EQ(capture.count("Error: Can't open [/x]", -1), 1u);
  EXPECT_EQ(capture.records().size(), 1u) << capture.dump();
}

TEST_F(LogWriterTest, EnabledMatchesTheFilter) {
  writer().setDebugLevel(1);
  EXPECT_TRUE(writer().enabled(-1));
  EXPECT_TRUE(writer().enabled(0));
  EXPECT_TRUE(writer().enabled(1));
  EXPECT_FALSE(writer().enabled(2));
  EXPECT_TRUE(OSLOG_ENABLED(1));
  EXPECT_FALSE(OSLOG_ENABLED(6));
}

TEST_F(LogWriterTest, ListenersSeeExactTextWithoutTrailingNewline) {
  test::LogCapture capture(6);
  OSLOG(5, "Received ret=%d\n", 4);
  auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "Received ret=4");
  EXPECT_EQ(records[0].level, 5);
  EXPECT_NE(std::string(records[0].function).find("TestBody"), std::string::npos);
}

TEST_F(LogWriterTest, RemovedListenerHearsNothingMore) {
  int heard = 0;
  int id = writer().addListener([&](const LogRecord&) { ++heard; });
  OSLOG(-1, "one");
  writer().removeListener(id);
  OSLOG(-1, "two");
  EXPECT_EQ(heard, 1);
}

TEST_F(LogWriterTest, LongMessagesAreNotTruncated) {
  test::LogCapture capture(0);
  std::string big(5000, 'x');
  OSLOG(0, "%s|end", big.c_str());
  EXPECT_EQ(capture.count(big + "|end", 0), 1u);
}

TEST_F(LogWriterTest, WritesLinesToTheOutputFile) {
  std::string file = path("main.log");
  ASSERT_TRUE(writer().setOutputFile(file));
  writer().setQuiet(false);
  writer().setDebugLevel(1);
  OSLOG(1, "Command interface started");
  OSLOG(2, "dropped detail");
  OSLOG(-1, "Error: something [%d]", 7);
  EXPECT_EQ(writer().outputFile(), file);
  ASSERT_TRUE(writer().setOutputFile(""));  // closes (and flushes) the file
  std::string text = test::readFile(file);
  EXPECT_NE(text.find(" 1 "), std::string::npos) << text;
  EXPECT_NE(text.find("Command interface started\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Error: something [7]\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("dropped detail"), std::string::npos) << text;
  // Two lines, each naming the function that logged.
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, 2u);
  EXPECT_NE(text.find("TestBody:"), std::string::npos) << text;
}

TEST_F(LogWriterTest, QuietWriterWritesNoLinesButStillInformsListeners) {
  std::string file = path("quiet.log");
  ASSERT_TRUE(writer().setOutputFile(file));
  writer().setQuiet(true);
  test::LogCapture capture(-1);
  OSLOG(-1, "Error: heard but not written");
  ASSERT_TRUE(writer().setOutputFile(""));
  EXPECT_EQ(test::readFile(file), "");
  EXPECT_EQ(capture.count("Error: heard but not written", -1), 1u);
}

TEST_F(LogWriterTest, UnopenableOutputFileKeepsThePreviousSink) {
  std::string file = path("kept.log");
  ASSERT_TRUE(writer().setOutputFile(file));
  EXPECT_FALSE(writer().setOutputFile(path("no/such/dir/x.log")));
  EXPECT_EQ(writer().outputFile(), file);
}

TEST_F(LogWriterTest, ConfigurationSetsLevelAndFile) {
  unsetenv("OBJSTORE_DEBUG_LEVEL");
  unsetenv("OBJSTORE_LOG_FILE");
  setRegistry("nDebugLevel", "4");
  setRegistry("LogFile", path("configured.log"));
  writer().configureFromEnvironment();
  EXPECT_EQ(writer().getDebugLevel(), 4);
  EXPECT_EQ(writer().outputFile(), path("configured.log"));
}

TEST_F(LogWriterTest, EnvironmentWinsOverConfiguration) {
  setRegistry("nDebugLevel", "4");
  setenv("OBJSTORE_DEBUG_LEVEL", "2", 1);
  writer().configureFromEnvironment();
  unsetenv("OBJSTORE_DEBUG_LEVEL");
  EXPECT_EQ(writer().getDebugLevel(), 2);
}

TEST_F(LogWriterTest, ShortFunctionNameKeepsTheQualifiedName) {
  EXPECT_EQ(shortFunctionName("CZnError ObjectStore::ObjectStore::getattr(const ItemName&)"),
            "ObjectStore::ObjectStore::getattr");
  EXPECT_EQ(shortFunctionName("void f()"), "f");
  // The form the compiler gives for a member of a class template.
  EXPECT_EQ(shortFunctionName("void ns::C<T>::g(int) [with T = std::pair<int, int>]"),
            "ns::C<T>::g");
  EXPECT_EQ(shortFunctionName(nullptr), "");
}

}  // namespace
}  // namespace ObjectStore
