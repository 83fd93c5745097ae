#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/TestEnv.h"
#include "platform/support/CZnLogger.h"
#include "platform/support/HXPI_EventManager.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {
namespace {

class EventManagerTest : public test::TestEnv {
 protected:
  void SetUp() override {
    test::TestEnv::SetUp();
    ASSERT_NE(defaultLogWriter(), nullptr);
    savedTmp_ = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "";
    hadTmp_ = getenv("TMPDIR") != nullptr;
    ASSERT_TRUE(defaultLogWriter()->setOutputFile(""));
  }
  void TearDown() override {
    (void)defaultLogWriter()->setOutputFile("");
    if (hadTmp_)
      setenv("TMPDIR", savedTmp_.c_str(), 1);
    else
      unsetenv("TMPDIR");
    test::TestEnv::TearDown();
  }

 private:
  std::string savedTmp_;
  bool hadTmp_ = false;
};

TEST_F(EventManagerTest, ConfiguredDirectoryComesFirst) {
  setRegistry("EventLogDir", path("events"));
  ASSERT_TRUE(defaultLogWriter()->setOutputFile(path("main.log")));
  HXPI_EventManager manager(0, 0);
  EXPECT_EQ(manager.getLogDirectory(), path("events"));
}

TEST_F(EventManagerTest, ThenTheMainLogFilesDirectory) {
  ASSERT_TRUE(defaultLogWriter()->setOutputFile(path("main.log")));
  HXPI_EventManager manager(0, 0);
  EXPECT_EQ(manager.getLogDirectory(), dir());
}

TEST_F(EventManagerTest, ThenTmpdir) {
  setenv("TMPDIR", dir().c_str(), 1);
  HXPI_EventManager manager(0, 0);
  EXPECT_EQ(manager.getLogDirectory(), dir());
}

TEST_F(EventManagerTest, ThenSlashTmp) {
  unsetenv("TMPDIR");
  HXPI_EventManager manager(0, 0);
  EXPECT_EQ(manager.getLogDirectory(), "/tmp");
}

TEST_F(EventManagerTest, EmptyConfiguredValueIsIgnored) {
  setRegistry("EventLogDir", "");
  setenv("TMPDIR", dir().c_str(), 1);
  HXPI_EventManager manager(0, 0);
  EXPECT_EQ(manager.getLogDirectory(), dir());
}

// How a store opens its event log.
TEST_F(EventManagerTest, EventLoggerOpensInTheManagersDirectory) {
  setRegistry("EventLogDir", dir());
  HXPI_EventManager manager(0, 0);
  CZnLogger logger;
  ASSERT_TRUE(logger.init("kynfsevents", manager.getLogDirectory(), 1, false, false).ok());
  logger.write(0, "ObjectStore [%s] created", "root");
  EXPECT_NE(test::readFile(path("kynfsevents.log")).find("ObjectStore [root] created\n"),
            std::string::npos);
}

}  // namespace
}  // namespace ObjectStore
