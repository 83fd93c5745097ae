#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore {
namespace {

class FileUtilsTest : public test::TestEnv {};

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool existsNoFollow(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// ---------------------------------------------------------------- createDir

TEST_F(FileUtilsTest, CreateDirMakesMissingParents) {
  std::string deep = path("a/b/c/d");
  ASSERT_FALSE(test::fileExists(path("a")));
  EXPECT_EQ(createDir(deep), 0);
  EXPECT_TRUE(isDirectory(path("a")));
  EXPECT_TRUE(isDirectory(path("a/b")));
  EXPECT_TRUE(isDirectory(path("a/b/c")));
  EXPECT_TRUE(isDirectory(deep));
}

TEST_F(FileUtilsTest, CreateDirOfAnExistingDirectoryIsFineAndKeepsItsContent) {
  std::string existing = path("existing");
  ASSERT_EQ(mkdir(existing.c_str(), 0755), 0);
  test::writeFile(existing + "/keep", "data");
  EXPECT_EQ(createDir(existing), 0);
  EXPECT_EQ(createDir(existing + "/"), 0);
  EXPECT_TRUE(isDirectory(existing));
  EXPECT_EQ(test::readFile(existing + "/keep"), "data");
}

TEST_F(FileUtilsTest, CreateDirWithAFileInTheWayFailsWithENOTDIR) {
  std::string file = path("plain");
  test::writeFile(file, "x");
  EXPECT_EQ(createDir(file), ENOTDIR);
  EXPECT_EQ(createDir(file + "/sub"), ENOTDIR);
  EXPECT_EQ(createDir(file + "/sub/deeper"), ENOTDIR);
  // The file is untouched.
  EXPECT_EQ(test::readFile(file), "x");
}

TEST_F(FileUtilsTest, CreateDirOfAnEmptyPathIsInvalid) { EXPECT_EQ(createDir(""), EINVAL); }

TEST_F(FileUtilsTest, CreateDirWorksWithARelativePath) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(dir().c_str()), 0);
  int rc = createDir("rel/one/two");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(isDirectory(path("rel/one/two")));
}

// ---------------------------------------------------------------- rmTree

TEST_F(FileUtilsTest, RmTreeRemovesAWholeTree) {
  std::string root = path("tree");
  ASSERT_EQ(createDir(root + "/x/y/z"), 0);
  ASSERT_EQ(createDir(root + "/empty"), 0);
  test::writeFile(root + "/top.txt", "1");
  test::writeFile(root + "/x/mid.txt", "2");
  test::writeFile(root + "/x/y/z/leaf.txt", "3");
  EXPECT_EQ(rmTree(root), 0);
  EXPECT_FALSE(existsNoFollow(root));
  EXPECT_EQ(listDir(dir()), std::vector<std::string>{});
}

TEST_F(FileUtilsTest, RmTreeRemovesLinksWithoutFollowingThem) {
  std::string outside = path("outside");
  ASSERT_EQ(createDir(outside), 0);
  test::writeFile(outside + "/precious", "keep me");
  std::string root = path("tree");
  ASSERT_EQ(createDir(root), 0);
  ASSERT_EQ(symlink(outside.c_str(), (root + "/link").c_str()), 0);
  EXPECT_EQ(rmTree(root), 0);
  EXPECT_FALSE(existsNoFollow(root));
  EXPECT_EQ(test::readFile(outside + "/precious"), "keep me");
}

TEST_F(FileUtilsTest, RmTreeOfASingleFileOrLink) {
  std::string file = path("single");
  test::writeFile(file, "x");
  EXPECT_EQ(rmTree(file), 0);
  EXPECT_FALSE(existsNoFollow(file));

  std::string dangling = path("dangling");
  ASSERT_EQ(symlink(path("nowhere").c_str(), dangling.c_str()), 0);
  EXPECT_EQ(rmTree(dangling), 0);
  EXPECT_FALSE(existsNoFollow(dangling));
}

TEST_F(FileUtilsTest, RmTreeOfAMissingPathSucceeds) {
  EXPECT_EQ(rmTree(path("never-was")), 0);
  EXPECT_EQ(rmTree(path("never/was/either")), 0);
}

TEST_F(FileUtilsTest, RmTreeOfAnEmptyPathIsInvalid) { EXPECT_EQ(rmTree(""), EINVAL); }

// ---------------------------------------------------------------- writeFileAtomically

TEST_F(FileUtilsTest, WriteFileAtomicallyCreatesTheFileAndLeavesNoTemporary) {
  std::string file = path("data.txt");
  EXPECT_EQ(writeFileAtomically(file, "first content\n"), 0);
  EXPECT_EQ(test::readFile(file), "first content\n");
  EXPECT_EQ(listDir(dir()), std::vector<std::string>{"data.txt"});
}

TEST_F(FileUtilsTest, WriteFileAtomicallyReplacesTheContent) {
  std::string file = path("data.txt");
  ASSERT_EQ(writeFileAtomically(file, std::string(10000, 'a')), 0);
  EXPECT_EQ(writeFileAtomically(file, "short"), 0);
  EXPECT_EQ(test::readFile(file), "short");
  EXPECT_EQ(writeFileAtomically(file, ""), 0);
  EXPECT_EQ(test::readFile(file), "");
  EXPECT_TRUE(test::fileExists(file));
  EXPECT_EQ(listDir(dir()), std::vector<std::string>{"data.txt"});
}

TEST_F(FileUtilsTest, WriteFileAtomicallyKeepsBinaryContent) {
  std::string content;
  for (int i = 0; i < 256; ++i) content += static_cast<char>(i);
  std::string file = path("binary");
  ASSERT_EQ(writeFileAtomically(file, content), 0);
  EXPECT_EQ(test::readFile(file), content);
}

TEST_F(FileUtilsTest, WriteFileAtomicallyIntoAMissingDirectoryFails) {
  EXPECT_EQ(writeFileAtomically(path("missing/data.txt"), "x"), ENOENT);
  EXPECT_EQ(listDir(dir()), std::vector<std::string>{});
}

TEST_F(FileUtilsTest, WriteFileAtomicallyOverADirectoryFailsAndCleansUp) {
  std::string target = path("target");
  ASSERT_EQ(createDir(target), 0);
  EXPECT_EQ(writeFileAtomically(target, "x"), EISDIR);
  EXPECT_TRUE(isDirectory(target));
  EXPECT_EQ(listDir(dir()), std::vector<std::string>{"target"});
}

// ---------------------------------------------------------------- syncDir

TEST_F(FileUtilsTest, SyncDirOfADirectoryAndOfAMissingOne) {
  EXPECT_EQ(syncDir(dir()), 0);
  EXPECT_EQ(syncDir(path("missing")), ENOENT);
  test::writeFile(path("file"), "x");
  EXPECT_EQ(syncDir(path("file")), ENOTDIR);
}

}  // namespace
}  // namespace ObjectStore
