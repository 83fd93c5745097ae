// StoreInfo.txt must survive a crash at any moment of its replacement: a
// child process rewrites it and is killed (SIGKILL) between two steps; the
// file left behind must be complete, either the old list or the new one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "core/StoreFixture.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {
namespace {

using test::fileExists;
using test::readFile;
using test::writeFile;

// The step of the replacement at which the child kills itself.
int g_killAtStep = -1;

void killAtStep(int step) {
  if (step == g_killAtStep) raise(SIGKILL);
}

// True when every line of the text parses as a share record.
bool parses(const std::string& text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) return false;  // a line cut short
    std::vector<std::string> pieces;
    tokenize(pieces, text.substr(begin, end - begin), ",");
    if (pieces.size() != 2) return false;
    begin = end + 1;
  }
  return true;
}

class ContainerStoreInfoCrashTest : public test::StoreFixture {};

TEST_F(ContainerStoreInfoCrashTest, FileIsCompleteAfterACrashAtEveryStep) {
  ObjectStoreIndex index = 0;
  ASSERT_OK(container_->openObjectStore(index, liveConfig("ant", 1)));
  const std::string file = containerDir_ + "/objstr/StoreInfo.txt";
  const std::string tmp = containerDir_ + "/objstr/StoreInfo.tmp";
  const std::string oldContent = readFile(file);
  ASSERT_EQ(oldContent, "ant_1,,1\n");
  ASSERT_OK(container_->openObjectStore(index, liveConfig("bee", 2)));
  const std::string newContent = readFile(file);
  ASSERT_EQ(newContent, "ant_1,,1\nbee_2,,2\n");

  // Steps: 0 before the temporary file is opened, 1 half of it written,
  // 2 all written, 3 made durable and closed, 4 renamed over the list,
  // 5 directory made durable.
  constexpr int kRenameStep = 4;
  for (int step = 0; step <= 5; ++step) {
    SCOPED_TRACE("crash at step " + std::to_string(step));
    writeFile(file, oldContent);
    ::unlink(tmp.c_str());

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      g_killAtStep = step;
      ObjectContainer::setStoreInfoStepHookForTesting(killAtStep);
      CZnError err = container_->saveStoreInfo();
      _exit(err.ok() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);

    ASSERT_TRUE(fileExists(file));
    const std::string left = readFile(file);
    EXPECT_TRUE(parses(left)) << left;
    EXPECT_EQ(left, step >= kRenameStep ? newContent : oldContent);
    if (step == 1) {
      EXPECT_EQ(readFile(tmp), newContent.substr(0, newContent.size() / 2));
    }

    // A container starting on what was left reads it back.
    ObjectContainer restarted;
    ObjectContainerConfig config;
    config.containerDir = containerDir_;
    config.diskCache = cache_;
    ASSERT_OK(restarted.init(config));
    ASSERT_OK(restarted.restoreStoreInfo());
    EXPECT_EQ(restarted.numShares(), step >= kRenameStep ? 2u : 1u);
  }

  // Without a crash the replacement completes and leaves no temporary file.
  writeFile(file, oldContent);
  ASSERT_OK(container_->saveStoreInfo());
  EXPECT_EQ(readFile(file), newContent);
  EXPECT_FALSE(fileExists(tmp));
}

}  // namespace
}  // namespace ObjectStore
