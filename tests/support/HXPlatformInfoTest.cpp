#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "platform/support/HXPlatformInfo.h"
#include "support/SupportTestUtil.h"

namespace ObjectStore {
namespace {

class HXPlatformInfoTest : public test::TestEnv {
 protected:
  std::vector<std::string> filesInDir() const { return test::filesIn(dir()); }
};

TEST_F(HXPlatformInfoTest, PathComesFromTheEnvironment) {
  EXPECT_EQ(HXPlatformInfo::registryPath(), path("registry"));
}

TEST_F(HXPlatformInfoTest, MissingKeyGivesTheDefault) {
  test::LogCapture capture(-1);
  // No file at all yet.
  EXPECT_EQ(getRegistryValue("nStreamCount", 3, 1, 16), 3);
  EXPECT_TRUE(getRegistryValue("bFlag", true, false, true));
  // A file with other keys.
  setRegistry("nOther", "9");
  EXPECT_EQ(getRegistryValue("nStreamCount", 3, 1, 16), 3);
  std::string text;
  EXPECT_FALSE(HXPlatformInfo::getString("~Rora", "nStreamCount", text));
  EXPECT_EQ(capture.records().size(), 0u) << capture.dump();
}

TEST_F(HXPlatformInfoTest, ReadsANumber) {
  setRegistry("nStreamCount", "5");
  EXPECT_EQ(getRegistryValue("nStreamCount", 3, 1, 16), 5);
  setRegistry("nNegative", "-12");
  EXPECT_EQ(getRegistryValue("nNegative", 0, INT_MIN, INT_MAX), -12);
}

TEST_F(HXPlatformInfoTest, UnparsableTextGivesTheDefaultAndLogsOnce) {
  setRegistry("nStreamCount", "three");
  test::LogCapture capture(-1);
  EXPECT_EQ(getRegistryValue("nStreamCount", 3, 1, 16), 3);
  EXPECT_EQ(capture.count("Error: Can't parse [nStreamCount]: [three]", -1), 1u) << capture.dump();
  EXPECT_EQ(capture.records().size(), 1u) << capture.dump();
}

TEST_F(HXPlatformInfoTest, TrailingGarbageIsUnparsable) {
  setRegistry("nTimeout", "15s");
  test::LogCapture capture(-1);
  EXPECT_EQ(getRegistryValue("nTimeout", 15, 0, 100), 15);
  EXPECT_EQ(capture.count("Error: Can't parse [nTimeout]: [15s]", -1), 1u) << capture.dump();
}

TEST_F(HXPlatformInfoTest, ValueTooLargeForAnIntIsUnparsable) {
  setRegistry("nBig", "99999999999");
  test::LogCapture capture(-1);
  EXPECT_EQ(getRegistryValue("nBig", 7, 0, INT_MAX), 7);
  EXPECT_EQ(capture.count("Error: Can't parse [nBig]: [99999999999]", -1), 1u);
}

TEST_F(HXPlatformInfoTest, BoundsAreNotEnforced) {
  setRegistry("UpdateShareSizeIntervalSec", "5000");
  EXPECT_EQ(getRegistryValue("UpdateShareSizeIntervalSec", 0, 0, 900), 5000);
  setRegistry("nLow", "-3");
  EXPECT_EQ(getRegistryValue("nLow", 1, 0, 10), -3);
}

TEST_F(HXPlatformInfoTest, BooleansAreNumbers) {
  setRegistry("bZero", "0");
  setRegistry("bOne", "1");
  setRegistry("bSeven", "7");
  setRegistry("bWord", "yes");
  EXPECT_FALSE(getRegistryValue("bZero", true, false, true));
  EXPECT_TRUE(getRegistryValue("bOne", false, false, true));
  EXPECT_TRUE(getRegistryValue("bSeven", false, false, true));
  test::LogCapture capture(-1);
  EXPECT_FALSE(getRegistryValue("bWord", false, false, true));
  EXPECT_TRUE(getRegistryValue("bWord", true, false, true));
  EXPECT_EQ(capture.count("Error: Can't parse [bWord]: [yes]", -1), 2u) << capture.dump();
}

TEST_F(HXPlatformInfoTest, NumberRoundTrip) {
  for (int64_t value : {int64_t{0}, int64_t{40123}, int64_t{-1}, INT64_MAX, INT64_MIN}) {
    ASSERT_TRUE(HXPlatformInfo::setNumber("Rora", "OBS_CMD_PORT", value).ok());
    int64_t read = 12345;
    ASSERT_TRUE(HXPlatformInfo::getLongLong("Rora", "OBS_CMD_PORT", read));
    EXPECT_EQ(read, value);
  }
  int64_t untouched = 77;
  EXPECT_FALSE(HXPlatformInfo::getLongLong("Rora", "missing", untouched));
  EXPECT_EQ(untouched, 77);
}

TEST_F(HXPlatformInfoTest, NewSectionIsAddedAndSectionsStayApart) {
  setRegistry("nJobTimeout", "10", "~Rora");
  ASSERT_TRUE(HXPlatformInfo::setString("Rora", "nJobTimeout", "600").ok());
  ASSERT_TRUE(HXPlatformInfo::setString("Extra", "name", "value with spaces inside").ok());
  std::string text;
  ASSERT_TRUE(HXPlatformInfo::getString("~Rora", "nJobTimeout", text));
  EXPECT_EQ(text, "10");
  ASSERT_TRUE(HXPlatformInfo::getString("Rora", "nJobTimeout", text));
  EXPECT_EQ(text, "600");
  ASSERT_TRUE(HXPlatformInfo::getString("Extra", "name", text));
  EXPECT_EQ(text, "value with spaces inside");
  std::string file = test::readFile(path("registry"));
  EXPECT_NE(file.find("[Extra]\nname=value with spaces inside\n"), std::string::npos) << file;
}

TEST_F(HXPlatformInfoTest, SetReplacesTheExistingValue) {
  setRegistry("nStreamCount", "3");
  setRegistry("nStreamCount", "4");
  EXPECT_EQ(getRegistryValue("nStreamCount", 0, 0, 10), 4);
  std::string file = test::readFile(path("registry"));
  EXPECT_EQ(file.find("nStreamCount=3"), std::string::npos) << file;
  EXPECT_EQ(file.find("nStreamCount="), file.rfind("nStreamCount=")) << file;
}

TEST_F(HXPlatformInfoTest, HandWrittenFileIsRead) {
  test::writeFile(path("registry"),
                  "# comment\n"
                  "; another comment\n"
                  "[~Rora]\n"
                  "  nStreamCount = 6  \n"
                  "\n"
                  "[Rora]\n"
                  "nStreamCount=1\n");
  EXPECT_EQ(getRegistryValue("nStreamCount", 0, 0, 10), 6);
  int64_t value = 0;
  ASSERT_TRUE(HXPlatformInfo::getLongLong("Rora", "nStreamCount", value));
  EXPECT_EQ(value, 1);
  // Writing keeps the comments.
  setRegistry("nNew", "2");
  std::string file = test::readFile(path("registry"));
  EXPECT_NE(file.find("# comment\n"), std::string::npos) << file;
  EXPECT_EQ(getRegistryValue("nNew", 0, 0, 10), 2);
}

TEST_F(HXPlatformInfoTest, RemoveValue) {
  setRegistry("nGone", "1");
  ASSERT_TRUE(HXPlatformInfo::removeValue("~Rora", "nGone").ok());
  std::string text;
  EXPECT_FALSE(HXPlatformInfo::getString("~Rora", "nGone", text));
  EXPECT_TRUE(HXPlatformInfo::removeValue("~Rora", "nGone").ok());
}

TEST_F(HXPlatformInfoTest, FileIsReplacedAtomically) {
  setRegistry("nA", "1");
  // Hold the current file open: a reader that opened it before a write must
  // keep seeing the complete old contents, which is only true if the write
  // puts a new file in its place (a rename) instead of rewriting it.
  int oldFd = open(path("registry").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(oldFd, 0);
  struct stat before;
  ASSERT_EQ(fstat(oldFd, &before), 0);
  setRegistry("nA", "2");
  setRegistry("nB", "3");
  struct stat after;
  ASSERT_EQ(stat(path("registry").c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  char buf[256];
  ssize_t n = pread(oldFd, buf, sizeof(buf), 0);
  close(oldFd);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "[~Rora]\nnA=1\n");
  EXPECT_EQ(getRegistryValue("nA", 0, 0, 10), 2);
  // And no temporary file is left behind.
  for (int i = 0; i < 20; ++i) setRegistry("nA", std::to_string(i));
  EXPECT_EQ(filesInDir(), std::vector<std::string>{"registry"});
}

TEST_F(HXPlatformInfoTest, CreatesMissingDirectories) {
  setenv("OBJSTORE_REGISTRY", path("deep/er/registry").c_str(), 1);
  ASSERT_TRUE(HXPlatformInfo::setNumber("~Rora", "nX", 5).ok());
  EXPECT_TRUE(test::fileExists(path("deep/er/registry")));
  EXPECT_EQ(getRegistryValue("nX", 0, 0, 10), 5);
}

// The file can turn on debug commands: one in a directory that other users
// may change is neither read nor written.
TEST_F(HXPlatformInfoTest, FileInADirectoryOthersCanChangeIsIgnored) {
  setenv("OBJSTORE_REGISTRY", path("shared/registry").c_str(), 1);
  ASSERT_TRUE(HXPlatformInfo::setNumber("~Rora", "nEnableDbgCmds", 1).ok());
  ASSERT_EQ(chmod(path("shared").c_str(), 0777), 0);
  test::LogCapture capture(-1);
  EXPECT_EQ(getRegistryValue("nEnableDbgCmds", 0, 0, 1), 0);
  EXPECT_EQ(HXPlatformInfo::setNumber("~Rora", "nX", 5).errNo(), EACCES);
  EXPECT_FALSE(capture.records().empty());
  ASSERT_EQ(chmod(path("shared").c_str(), 0755), 0);
  EXPECT_EQ(getRegistryValue("nEnableDbgCmds", 0, 0, 1), 1);

  // A directory reached through a symbolic link is not trusted either.
  ASSERT_EQ(symlink(path("shared").c_str(), path("linked").c_str()), 0);
  setenv("OBJSTORE_REGISTRY", path("linked/registry").c_str(), 1);
  EXPECT_EQ(getRegistryValue("nEnableDbgCmds", 0, 0, 1), 0);
}

// A link planted under the name of the temporary file does not redirect the
// write to its target.
TEST_F(HXPlatformInfoTest, PlantedLinkAtTheTemporaryNameIsNotFollowed) {
  setRegistry("nA", "1");
  const std::string victim = path("victim");
  test::writeFile(victim, "keep me");
  const std::string tmp = path("registry") + ".tmp." + std::to_string(getpid());
  ASSERT_EQ(symlink(victim.c_str(), tmp.c_str()), 0);
  ASSERT_TRUE(HXPlatformInfo::setNumber("~Rora", "nA", 2).ok());
  EXPECT_EQ(test::readFile(victim), "keep me");
  EXPECT_EQ(getRegistryValue("nA", 0, 0, 10), 2);
}

TEST_F(HXPlatformInfoTest, WithoutAnyEnvironmentTheFileIsInTheUsersHome) {
  std::string saved[3];
  const char* names[3] = {"OBJSTORE_REGISTRY", "XDG_CONFIG_HOME", "HOME"};
  for (int i = 0; i < 3; ++i) {
    const char* value = getenv(names[i]);
    saved[i] = value != nullptr ? value : "";
    unsetenv(names[i]);
  }
  const std::string chosen = HXPlatformInfo::registryPath();
  for (int i = 0; i < 3; ++i)
    if (!saved[i].empty()) setenv(names[i], saved[i].c_str(), 1);
  EXPECT_NE(chosen.rfind("/tmp/objectstore/", 0), 0u) << chosen;
  EXPECT_EQ(chosen.substr(chosen.size() - 9), "/registry");
}

TEST_F(HXPlatformInfoTest, EntriesThatWouldCorruptTheFileAreRefused) {
  setRegistry("nKeep", "1");
  std::string original = test::readFile(path("registry"));
  EXPECT_EQ(HXPlatformInfo::setString("~Rora", "nA", "1\n[Rora]").errNo(), EINVAL);
  EXPECT_EQ(HXPlatformInfo::setString("~Rora", "a=b", "1").errNo(), EINVAL);
  EXPECT_EQ(HXPlatformInfo::setString("~Rora", "", "1").errNo(), EINVAL);
  EXPECT_EQ(HXPlatformInfo::setString("~Rora", "[x]", "1").errNo(), EINVAL);
  EXPECT_EQ(HXPlatformInfo::setString("~Rora", " nA", "1").errNo(), EINVAL);
  EXPECT_EQ(HXPlatformInfo::setString("~Rora", "nA", " 1").errNo(), EINVAL);
  EXPECT_EQ(HXPlatformInfo::setString("a]b", "nA", "1").errNo(), EINVAL);
  EXPECT_EQ(HXPlatformInfo::setString("", "nA", "1").errNo(), EINVAL);
  EXPECT_EQ(test::readFile(path("registry")), original);
  // An empty value is fine.
  EXPECT_TRUE(HXPlatformInfo::setString("~Rora", "sEmpty", "").ok());
  std::string text = "x";
  ASSERT_TRUE(HXPlatformInfo::getString("~Rora", "sEmpty", text));
  EXPECT_EQ(text, "");
}

}  // namespace
}  // namespace ObjectStore
