#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <string>

#include "common/TestEnv.h"
#include "platform/support/CZnLogger.h"
#include "support/SupportTestUtil.h"

namespace ObjectStore {
namespace {

class CZnLoggerTest : public test::TestEnv {};

using test::readLines;

TEST_F(CZnLoggerTest, WritesToNameDotLogInTheDirectory) {
  CZnLogger logger;
  EXPECT_FALSE(logger.isInitialized());
  ASSERT_TRUE(logger.init("kynfsevents", dir(), 1, false, false).ok());
  EXPECT_TRUE(logger.isInitialized());
  EXPECT_EQ(logger.path(), path("kynfsevents.log"));
  EXPECT_EQ(logger.getDebugLevel(), 0);
  logger.write(0, "ObjectStore [%s] created", "share1");
  auto got = readLines(path("kynfsevents.log"));
  ASSERT_EQ(got.size(), 1u);
  // Date, time, thread id, level, message.
  std::regex shape(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} \d+  0 ObjectStore \[share1\] created$)");
  EXPECT_TRUE(std::regex_match(got[0], shape)) << got[0];
}

TEST_F(CZnLoggerTest, LevelFilter) {
  CZnLogger logger;
  ASSERT_TRUE(logger.init("events", dir(), 1, false, false).ok());
  logger.setDebugLevel(2);
  EXPECT_EQ(logger.getDebugLevel(), 2);
  logger.write(3, "detail dropped");
  logger.write(2, "level two kept");
  logger.write(-1, "error kept");
  logger.setDebugLevel(3);
  logger.write(3, "detail kept");
  logger.setDebugLevel(-1);
  logger.write(0, "level zero dropped");
  logger.write(-1, "error always kept");
  std::string text = test::readFile(path("events.log"));
  EXPECT_EQ(text.find("dropped"), std::string::npos) << text;
  EXPECT_NE(text.find("level two kept\n"), std::string::npos);
  EXPECT_NE(text.find("error kept\n"), std::string::npos);
  EXPECT_NE(text.find("detail kept\n"), std::string::npos);
  EXPECT_NE(text.find("error always kept\n"), std::string::npos);
  EXPECT_EQ(readLines(path("events.log")).size(), 4u);
}

TEST_F(CZnLoggerTest, AppendsToAnExistingLog) {
  test::writeFile(path("events.log"), "earlier line\n");
  {
    CZnLogger logger;
    ASSERT_TRUE(logger.init("events", dir() + "/", 1, false, false).ok());
    logger.write(0, "later line\n");  // the trailing newline is not doubled
  }
  auto got = readLines(path("events.log"));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "earlier line");
  EXPECT_NE(got[1].find(" later line"), std::string::npos);
  EXPECT_EQ(got[1].substr(got[1].size() - 10), "later line");
}

TEST_F(CZnLoggerTest, WriteBeforeInitDoesNothing) {
  CZnLogger logger;
  logger.write(-1, "nowhere");
  EXPECT_FALSE(logger.isInitialized());
  EXPECT_EQ(logger.path(), "");
}

TEST_F(CZnLoggerTest, InitFailures) {
  CZnLogger logger;
  EXPECT_EQ(logger.init("", dir(), 1, false, false).errNo(), EINVAL);
  EXPECT_EQ(logger.init("x", "", 1, false, false).errNo(), EINVAL);
  EXPECT_EQ(logger.init("x", path("missing"), 1, false, false).errNo(), ENOENT);
  EXPECT_FALSE(logger.isInitialized());
  ASSERT_TRUE(logger.init("x", dir(), 1, false, false).ok());
  EXPECT_EQ(logger.init("y", dir(), 1, false, false).errNo(), EBUSY);
  EXPECT_EQ(logger.path(), path("x.log"));
}

// The log may live in a shared directory: a link or another user's file
// under its name does not receive our log.
TEST_F(CZnLoggerTest, PlantedLinkOrForeignFileIsRefused) {
  test::writeFile(path("victim"), "keep");
  ASSERT_EQ(symlink(path("victim").c_str(), path("linked.log").c_str()), 0);
  CZnLogger logger;
  EXPECT_EQ(logger.init("linked", dir(), 1, false, false).errNo(), ELOOP);
  EXPECT_FALSE(logger.isInitialized());
  EXPECT_EQ(test::readFile(path("victim")), "keep");

  test::writeFile(path("foreign.log"), "");
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path("foreign.log").c_str(), 54321, 54321), 0);
    EXPECT_EQ(logger.init("foreign", dir(), 1, false, false).errNo(), EACCES);
    EXPECT_FALSE(logger.isInitialized());
  }
  ASSERT_TRUE(logger.init("own", dir(), 1, false, false).ok());
}

}  // namespace
}  // namespace ObjectStore
