#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "ObjectStore/utils/persistent_map.h"
#include "common/TestEnv.h"

namespace ObjectStore {
namespace {

using test::fileExists;
using test::LogCapture;
using test::readFile;
using test::writeFile;
using StrMap = PersistentMap<std::string, std::string>;

class PersistentMapTest : public test::TestEnv {
 protected:
  std::string file() const { return path("deleted_segments"); }
};

TEST_F(PersistentMapTest, MissingFileIsAnEmptyMapAndIsCreated) {
  LogCapture capture;
  StrMap map;
  ASSERT_TRUE(map.initialize(file()).ok());
  EXPECT_EQ(capture.count("[" + file() + "] doesn't exist", 5), 1u) << capture.dump();
  EXPECT_EQ(map.size(), 0u);
  EXPECT_TRUE(fileExists(file()));
  EXPECT_EQ(readFile(file()), "");
}

TEST_F(PersistentMapTest, InsertAppendsOneLineAndSurvivesReopen) {
  {
    StrMap map;
    ASSERT_TRUE(map.initialize(file()).ok());
    ASSERT_TRUE(map.insert("obj2", "ver2").ok());
    ASSERT_TRUE(map.insert("obj1", "ver1").ok());
    ASSERT_TRUE(map.insert("obj1", "ver1").ok());  // unchanged: no second line
    EXPECT_EQ(readFile(file()), "obj2,ver2\nobj1,ver1\n");
  }
  LogCapture capture;
  StrMap reopened;
  ASSERT_TRUE(reopened.initialize(file()).ok());
  EXPECT_EQ(capture.count("inserting [obj2]->[ver2]", 5), 1u) << capture.dump();
  std::string value;
  ASSERT_TRUE(reopened.read("obj1", value));
  EXPECT_EQ(value, "ver1");
  EXPECT_TRUE(reopened.exists("obj2"));
  EXPECT_FALSE(reopened.exists("obj3"));
  EXPECT_FALSE(reopened.read("obj3", value));
  EXPECT_EQ(value, "ver1");  // a miss leaves the out value alone
}

TEST_F(PersistentMapTest, FirstLineOfAKeyWins) {
  writeFile(file(), "k,first\nj,other\nk,second\n");
  StrMap map;
  ASSERT_TRUE(map.initialize(file()).ok());
  std::string value;
  ASSERT_TRUE(map.read("k", value));
  EXPECT_EQ(value, "first");
  EXPECT_EQ(map.size(), 2u);
}

TEST_F(PersistentMapTest, LineWithoutCommaStopsLoadingWithEio) {
  writeFile(file(), "a,1\nbroken\nc,3\n");
  LogCapture capture;
  StrMap map;
  CZnError err = map.initialize(file());
  ASSERT_FALSE(err.ok());
  EXPECT_EQ(FXErrorUtil::GetErrNo(err), EIO);
  EXPECT_EQ(capture.count("Error: Can't parse [broken]", -1), 1u) << capture.dump();
  EXPECT_NE(err.chain().find("Error: Can't load persistent cache from [" + file() + "]"),
            std::string::npos)
      << err.chain();
  // The lines before the bad one were read; the ones after were not.
  EXPECT_TRUE(map.exists("a"));
  EXPECT_FALSE(map.exists("c"));
  // The map is unusable for writes.
  EXPECT_EQ(FXErrorUtil::GetErrNo(map.insert("d", "4")), EINVAL);
}

TEST_F(PersistentMapTest, EveryMalformedLineIsRejected) {
  for (const std::string bad : {"a,b,c", ",x", "x,", ",", "", "a,,b"}) {
    writeFile(file(), "ok,1\n" + bad + "\nlater,2\n");
    StrMap map;
    CZnError err = map.initialize(file());
    EXPECT_EQ(FXErrorUtil::GetErrNo(err), EIO) << "[" << bad << "]";
    EXPECT_TRUE(map.exists("ok"));
    EXPECT_FALSE(map.exists("later"));
  }
}

TEST_F(PersistentMapTest, EraseRewritesTheFileInKeyOrder) {
  StrMap map;
  ASSERT_TRUE(map.initialize(file()).ok());
  for (const char* k : {"c", "a", "d", "b"}) ASSERT_TRUE(map.insert(k, std::string(k) + "v").ok());
  ASSERT_TRUE(map.erase("b").ok());
  EXPECT_EQ(readFile(file()), "a,av\nc,cv\nd,dv\n");
  EXPECT_FALSE(fileExists(file() + ".temp"));
  EXPECT_FALSE(map.exists("b"));
  // The append stream follows the new file.
  ASSERT_TRUE(map.insert("0", "zero").ok());
  EXPECT_EQ(readFile(file()), "a,av\nc,cv\nd,dv\n0,zero\n");
  // Erasing an absent key changes nothing.
  ASSERT_TRUE(map.erase("nothing").ok());
  EXPECT_EQ(readFile(file()), "a,av\nc,cv\nd,dv\n0,zero\n");

  StrMap reopened;
  ASSERT_TRUE(reopened.initialize(file()).ok());
  EXPECT_EQ(reopened.items(), (std::vector<std::pair<std::string, std::string>>{
                                  {"0", "zero"}, {"a", "av"}, {"c", "cv"}, {"d", "dv"}}));
}

TEST_F(PersistentMapTest, NewValueForPresentKeyRewritesSoReloadSeesIt) {
  StrMap map;
  ASSERT_TRUE(map.initialize(file()).ok());
  ASSERT_TRUE(map.insert("b", "1").ok());
  ASSERT_TRUE(map.insert("k", "old").ok());
  ASSERT_TRUE(map.insert("k", "new").ok());
  EXPECT_EQ(readFile(file()), "b,1\nk,new\n");
  StrMap reopened;
  ASSERT_TRUE(reopened.initialize(file()).ok());
  std::string value;
  ASSERT_TRUE(reopened.read("k", value));
  EXPECT_EQ(value, "new");
}

TEST_F(PersistentMapTest, InsertRejectsTextThatCantBeReadBack) {
  StrMap map;
  ASSERT_TRUE(map.initialize(file()).ok());
  ASSERT_TRUE(map.insert("a", "1").ok());
  for (const auto& [k, v] : std::vector<std::pair<std::string, std::string>>{
           {"x,y", "1"}, {"x", "1,2"}, {"x\n", "1"}, {"x", "a\nb"}, {"", "1"}, {"x", ""}}) {
    CZnError err = map.insert(k, v);
    EXPECT_EQ(FXErrorUtil::GetErrNo(err), EINVAL) << k << " " << v;
  }
  EXPECT_EQ(map.size(), 1u);
  EXPECT_EQ(readFile(file()), "a,1\n");
}

TEST_F(PersistentMapTest, OperationsBeforeInitializeFail) {
  LogCapture capture;
  StrMap map;
  EXPECT_EQ(FXErrorUtil::GetErrNo(map.insert("a", "1")), EINVAL);
  EXPECT_EQ(FXErrorUtil::GetErrNo(map.erase("a")), EINVAL);
  EXPECT_EQ(capture.count("Error: Not initialized", -1), 2u);
  EXPECT_FALSE(map.exists("a"));
}

TEST_F(PersistentMapTest, LastLineWithoutLineBreakIsReadAndNotRunInto) {
  writeFile(file(), "a,1\nb,2");  // an append cut short after its value
  StrMap map;
  ASSERT_TRUE(map.initialize(file()).ok());
  EXPECT_TRUE(map.exists("b"));
  ASSERT_TRUE(map.insert("c", "3").ok());
  EXPECT_EQ(readFile(file()), "a,1\nb,2\nc,3\n");
}

TEST_F(PersistentMapTest, FailedEraseKeepsEntryAndFile) {
  StrMap map;
  ASSERT_TRUE(map.initialize(file()).ok());
  ASSERT_TRUE(map.insert("a", "1").ok());
  ASSERT_TRUE(map.insert("b", "2").ok());
  // A directory where the temporary file must go makes the rewrite fail.
  ASSERT_EQ(mkdir((file() + ".temp").c_str(), 0755), 0);
  LogCapture capture;
  CZnError err = map.erase("a");
  EXPECT_EQ(FXErrorUtil::GetErrNo(err), EIO);
  EXPECT_EQ(capture.count("Error: Can't open [" + file() + ".temp]", -1), 1u) << capture.dump();
  EXPECT_TRUE(map.exists("a"));
  EXPECT_EQ(readFile(file()), "a,1\nb,2\n");
  // Appends still work afterwards.
  ASSERT_TRUE(map.insert("c", "3").ok());
  EXPECT_EQ(readFile(file()), "a,1\nb,2\nc,3\n");
}

TEST_F(PersistentMapTest, UnreadableFileFailsWithEio) {
  ASSERT_EQ(mkdir(file().c_str(), 0755), 0);  // opening a directory for reading works, reading not
  StrMap map;
  EXPECT_EQ(FXErrorUtil::GetErrNo(map.initialize(file())), EIO);
}

TEST_F(PersistentMapTest, IntegerValuesRoundTrip) {
  {
    PersistentMap<std::string, uint64_t> map;
    ASSERT_TRUE(map.initialize(file()).ok());
    ASSERT_TRUE(map.insert("size", 18446744073709551615ull).ok());
    ASSERT_TRUE(map.insert("zero", 0).ok());
  }
  EXPECT_EQ(readFile(file()), "size,18446744073709551615\nzero,0\n");
  PersistentMap<std::string, uint64_t> map;
  ASSERT_TRUE(map.initialize(file()).ok());
  uint64_t value = 1;
  ASSERT_TRUE(map.read("size", value));
  EXPECT_EQ(value, 18446744073709551615ull);

  writeFile(file(), "n,12x\n");
  PersistentMap<std::string, uint64_t> bad;
  EXPECT_EQ(FXErrorUtil::GetErrNo(bad.initialize(file())), EIO);
}

}  // namespace
}  // namespace ObjectStore
