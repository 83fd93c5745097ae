#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tools/objstore/Mount.h"

namespace ObjectStore::tool {
namespace {

bool parse(std::vector<std::string> args, MountOptions& out, std::string& error) {
  return parseMountArgs(args, out, error);
}

TEST(MountArgsTest, TwoPathsAndDefaults) {
  MountOptions o;
  std::string error;
  ASSERT_TRUE(parse({"/c", "/m"}, o, error)) << error;
  EXPECT_EQ(o.containerDir, "/c");
  EXPECT_EQ(o.mountpoint, "/m");
  EXPECT_FALSE(o.foreground);
  EXPECT_FALSE(o.debug);
  EXPECT_FALSE(o.help);
  EXPECT_EQ(o.view.at, 0);
  EXPECT_FALSE(o.view.discardWrites);
}

TEST(MountArgsTest, RelativePathsBecomeAbsolute) {
  // The process leaves its working directory when it goes to the background.
  MountOptions o;
  std::string error;
  ASSERT_TRUE(parse({"c/", "./m"}, o, error)) << error;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  const std::string base = std::string(cwd) == "/" ? "" : cwd;
  EXPECT_EQ(o.containerDir, base + "/c");
  EXPECT_EQ(o.mountpoint, base + "/m");
}

TEST(MountArgsTest, FlagsAndViewOptionsInAnyOrder) {
  MountOptions o;
  std::string error;
  ASSERT_TRUE(parse({"--foreground", "/c", "--share", "docs", "--subclient", "7", "/m", "--at",
                     "1700000000", "--discard-writes", "--version-interval", "30"},
                    o, error))
      << error;
  EXPECT_TRUE(o.foreground);
  EXPECT_EQ(o.containerDir, "/c");
  EXPECT_EQ(o.mountpoint, "/m");
  EXPECT_EQ(o.view.share, "docs");
  EXPECT_EQ(o.view.subclient, 7u);
  EXPECT_EQ(o.view.at, 1700000000);
  EXPECT_TRUE(o.view.discardWrites);
  EXPECT_EQ(o.view.versionIntervalSec, 30);
}

TEST(MountArgsTest, DebugImpliesForeground) {
  MountOptions o;
  std::string error;
  ASSERT_TRUE(parse({"/c", "/m", "-d"}, o, error)) << error;
  EXPECT_TRUE(o.debug);
  EXPECT_TRUE(o.foreground);
  ASSERT_TRUE(parse({"-f", "/c", "/m"}, o, error)) << error;
  EXPECT_TRUE(o.foreground);
  EXPECT_FALSE(o.debug);
}

TEST(MountArgsTest, HelpNeedsNothingElse) {
  MountOptions o;
  std::string error;
  ASSERT_TRUE(parse({"--help"}, o, error)) << error;
  EXPECT_TRUE(o.help);
  ASSERT_TRUE(parse({"/c", "-h", "--bogus"}, o, error)) << error;
  EXPECT_TRUE(o.help);
  EXPECT_NE(mountUsage().find("objstore mount CONTAINER_DIR MOUNTPOINT"), std::string::npos);
  EXPECT_NE(mountUsage().find("--discard-writes"), std::string::npos);
}

TEST(MountArgsTest, BadInputIsRefusedWithAReason) {
  MountOptions o;
  std::string error;
  EXPECT_FALSE(parse({}, o, error));
  EXPECT_NE(error.find("required"), std::string::npos) << error;
  EXPECT_FALSE(parse({"/c"}, o, error));
  EXPECT_NE(error.find("required"), std::string::npos) << error;
  EXPECT_FALSE(parse({"/c", "/m", "/extra"}, o, error));
  EXPECT_NE(error.find("/extra"), std::string::npos) << error;
  EXPECT_FALSE(parse({"/c", "/m", "--bogus"}, o, error));
  EXPECT_NE(error.find("--bogus"), std::string::npos) << error;
  EXPECT_FALSE(parse({"/c", "", }, o, error));
  EXPECT_FALSE(parse({"/c", "/m", "--at"}, o, error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(parse({"/c", "/m", "--at", "not-a-time"}, o, error));
  EXPECT_FALSE(error.empty());
  // The live share always keeps its writes.
  EXPECT_FALSE(parse({"/c", "/m", "--discard-writes"}, o, error));
  EXPECT_NE(error.find("--at"), std::string::npos) << error;
}

}  // namespace
}  // namespace ObjectStore::tool
