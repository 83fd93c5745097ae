#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/TestEnv.h"
#include "tools/objstore/ShellCommands.h"
#include "tools/objstore/ViewArgs.h"

namespace ObjectStore::tool {
namespace {

using test::fileExists;
using test::readFile;
using test::writeFile;

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

std::string drain(FILE* f) {
  std::string text;
  fflush(f);
  rewind(f);
  char buf[65536];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

// Bytes that differ per position and per seed, so a misplaced piece shows.
std::string pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(x >> 23);
  }
  return bytes;
}

int64_t nowSec() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void sleepUntilSecond(int64_t second) {
  while (nowSec() < second) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

class ShellCommandsTest : public test::TestEnv {
 protected:
  std::string container() const { return path("container"); }

  Result run(const std::string& command, std::vector<std::string> args,
             const std::string& input = "") {
    ShellIo io;
    io.in = tmpfile();
    io.out = tmpfile();
    io.err = tmpfile();
    EXPECT_TRUE(io.in != nullptr && io.out != nullptr && io.err != nullptr);
    fwrite(input.data(), 1, input.size(), io.in);
    rewind(io.in);
    Result r;
    r.code = runShellCommand(command, args, io);
    fclose(io.in);
    r.out = drain(io.out);
    r.err = drain(io.err);
    return r;
  }

  // Runs a command that must succeed and returns its output.
  std::string ok(const std::string& command, const std::vector<std::string>& args,
                 const std::string& input = "") {
    Result r = run(command, args, input);
    EXPECT_EQ(r.code, 0) << command << ": " << r.err;
    EXPECT_EQ(r.err, "") << command;
    return r.out;
  }

  void putBytes(const std::string& sharePath, const std::string& bytes) {
    ok("put", {container(), "-", sharePath}, bytes);
  }
};

TEST_F(ShellCommandsTest, PutGetRoundTripKeepsEveryByte) {
  ok("mkdir", {container(), "/files"});
  // Empty, one byte, and several MiB that do not end on a write piece.
  const std::vector<size_t> sizes = {0, 1, 3 * 1048576 + 17};
  for (size_t size : sizes) {
    const std::string name = "f" + std::to_string(size);
    const std::string bytes = pattern(size, static_cast<unsigned>(size) + 3);
    writeFile(path(name + ".in"), bytes);
    ok("put", {container(), path(name + ".in"), "/files/" + name});
    ok("get", {container(), "/files/" + name, path(name + ".out")});
    ASSERT_TRUE(fileExists(path(name + ".out"))) << name;
    const std::string back = readFile(path(name + ".out"));
    EXPECT_EQ(back.size(), size);
    EXPECT_TRUE(back == bytes) << name << " differs after the round trip";
    // The same bytes through standard output, and cat.
    EXPECT_TRUE(ok("get", {container(), "/files/" + name, "-"}) == bytes) << name;
    EXPECT_TRUE(ok("cat", {container(), "/files/" + name}) == bytes) << name;
  }
  // Standard input in, and into an existing directory under the file's name.
  const std::string fromStdin = pattern(2 * 1048576 + 5, 99);
  putBytes("/files/stdin", fromStdin);
  EXPECT_TRUE(ok("cat", {container(), "/files/stdin"}) == fromStdin);
  ok("put", {container(), path("f1.in"), "/files"});
  EXPECT_EQ(ok("cat", {container(), "/files/f1.in"}), pattern(1, 4));
  // get into an existing local directory.
  ASSERT_EQ(mkdir(path("outdir").c_str(), 0755), 0);
  ok("get", {container(), "/files/f1", path("outdir")});
  EXPECT_EQ(readFile(path("outdir/f1")), pattern(1, 4));
}

// get writes a temporary file beside its target: a link planted under that
// name in a shared directory must not redirect the copy to the link's target.
TEST_F(ShellCommandsTest, GetDoesNotFollowALinkAtItsTemporaryName) {
  putBytes("/f", "new bytes");
  writeFile(path("victim"), "keep");
  const std::string target = path("out");
  const std::string temp = target + ".objstore-" + std::to_string(getpid());
  ASSERT_EQ(symlink(path("victim").c_str(), temp.c_str()), 0);
  ok("get", {container(), "/f", target});
  EXPECT_EQ(readFile(path("victim")), "keep");
  EXPECT_EQ(readFile(target), "new bytes");
  EXPECT_FALSE(fileExists(temp));
}

TEST_F(ShellCommandsTest, PutReplacesTheContents) {
  putBytes("/a.txt", std::string(5000, 'x'));
  putBytes("/a.txt", "short\n");
  EXPECT_EQ(ok("cat", {container(), "/a.txt"}), "short\n");
  EXPECT_NE(ok("stat", {container(), "/a.txt"}).find("size: 6\n"), std::string::npos);
  putBytes("/a.txt", "");
  EXPECT_EQ(ok("cat", {container(), "/a.txt"}), "");
}

TEST_F(ShellCommandsTest, LsListsNestedDirectoriesSorted) {
  ok("mkdir", {container(), "-p", "/top/b/deep", "/top/a"});
  putBytes("/top/zeta", "zz");
  putBytes("/top/alpha", "a");
  putBytes("/top/b/deep/file", "12345");
  EXPECT_EQ(ok("ls", {container()}), "top\n");
  EXPECT_EQ(ok("ls", {container(), "/top"}), "a\nalpha\nb\nzeta\n");
  EXPECT_EQ(ok("ls", {container(), "top/b/deep"}), "file\n");
  EXPECT_EQ(ok("ls", {container(), "/top/b", "/top/b/deep"}),
            "/top/b:\ndeep\n\n/top/b/deep:\nfile\n");
  // A file lists as itself.
  EXPECT_EQ(ok("ls", {container(), "/top/zeta"}), "/top/zeta\n");

  const std::string longList = ok("ls", {container(), "-l", "/top"});
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = longList.find('\n', start)) != std::string::npos;
       start = end + 1)
    lines.push_back(longList.substr(start, end - start));
  ASSERT_EQ(lines.size(), 4u) << longList;
  EXPECT_EQ(lines[0].substr(0, 10), "drwxr-xr-x");
  EXPECT_EQ(lines[0].substr(lines[0].size() - 2), " a");
  EXPECT_EQ(lines[1].substr(0, 10), "-rw-r--r--");
  EXPECT_NE(lines[1].find(" 1 "), std::string::npos) << lines[1];  // size
  EXPECT_EQ(lines[1].substr(lines[1].size() - 6), " alpha");
  EXPECT_NE(lines[3].find(" 2 "), std::string::npos) << lines[3];
  EXPECT_NE(lines[3].find(formatUtc(nowSec()).substr(0, 10)), std::string::npos) << lines[3];

  Result missing = run("ls", {container(), "/top/nope", "/top/b"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, "objstore: /top/nope: No such file or directory\n");
  EXPECT_NE(missing.out.find("deep"), std::string::npos) << "the other paths are still listed";
}

TEST_F(ShellCommandsTest, LsLongShowsLinkTargets) {
  ok("mkdir", {container(), "/d"});
  {
    // The commands make no links: one is made through the library.
    OpenView view;
    ViewOptions options;
    ASSERT_TRUE(view.open(container(), options).ok());
    EXPECT_FALSE(view.readOnly());
    ItemName item;
    ASSERT_TRUE(
        view.container().createSymbolicLink(view.index(), item, "/d/link", "../target").ok());
    ASSERT_TRUE(view.close().ok());
  }
  const std::string out = ok("ls", {container(), "-l", "/d"});
  EXPECT_EQ(out.substr(0, 1), "l") << out;
  EXPECT_NE(out.find(" link -> ../target\n"), std::string::npos) << out;
  const std::string st = ok("stat", {container(), "/d/link"});
  EXPECT_NE(st.find("type: symbolic link\n"), std::string::npos) << st;
  EXPECT_NE(st.find("target: ../target\n"), std::string::npos) << st;
}

TEST_F(ShellCommandsTest, StatShowsAttributesAndObjectGuid) {
  const int64_t before = nowSec();
  putBytes("/s.bin", pattern(1234, 1));
  const std::string out = ok("stat", {container(), "/s.bin", "/"});
  EXPECT_NE(out.find("path: /s.bin\ntype: regular file\nsize: 1234\nmode: 0644 (-rw-r--r--)\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\n\npath: /\ntype: directory\n"), std::string::npos) << out;
  // Two GUIDs, one per path, 32 hex digits each, and different.
  std::vector<std::string> guids;
  for (size_t at = 0; (at = out.find("guid: ", at)) != std::string::npos; at += 6)
    guids.push_back(out.substr(at + 6, out.find('\n', at) - at - 6));
  ASSERT_EQ(guids.size(), 2u) << out;
  EXPECT_EQ(guids[0].size(), 32u);
  EXPECT_EQ(guids[0].find_first_not_of("0123456789abcdef"), std::string::npos) << guids[0];
  EXPECT_NE(guids[0], guids[1]);
  // The modification time is the time of the write, in seconds.
  const size_t m = out.find("mtime: ");
  ASSERT_NE(m, std::string::npos);
  const size_t open = out.find('(', m);
  const int64_t mtime = std::stoll(out.substr(open + 1));
  EXPECT_GE(mtime, before);
  EXPECT_LE(mtime, nowSec());

  Result missing = run("stat", {container(), "/none"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, "objstore: /none: No such file or directory\n");
  EXPECT_EQ(missing.out, "");
}

TEST_F(ShellCommandsTest, CatOfMissingFileExitsOneWithTheReason) {
  putBytes("/here", "here\n");
  Result r = run("cat", {container(), "/missing", "/here"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "objstore: /missing: No such file or directory\n");
  EXPECT_EQ(r.out, "here\n") << "the other files are still written";
  ok("mkdir", {container(), "/dir"});
  Result dir = run("cat", {container(), "/dir"});
  EXPECT_EQ(dir.code, 1);
  EXPECT_EQ(dir.err, "objstore: /dir: Is a directory\n");
  Result get = run("get", {container(), "/missing", path("x")});
  EXPECT_EQ(get.code, 1);
  EXPECT_EQ(get.err, "objstore: /missing: No such file or directory\n");
  EXPECT_FALSE(fileExists(path("x")));
}

TEST_F(ShellCommandsTest, ReadCommandsNeedAnExistingContainer) {
  for (const char* command : {"ls", "stat", "cat", "rm", "mv"}) {
    std::vector<std::string> args = {container(), "/a"};
    if (std::string(command) == "mv") args.push_back("/b");
    Result r = run(command, args);
    EXPECT_EQ(r.code, 1) << command;
    EXPECT_EQ(r.err, "objstore: " + container() + ": No such file or directory\n") << command;
    EXPECT_FALSE(fileExists(container())) << command << " created the container";
  }
  // put of a missing local file creates nothing either.
  Result put = run("put", {container(), path("no-such-file"), "/a"});
  EXPECT_EQ(put.code, 1);
  EXPECT_EQ(put.err, "objstore: " + path("no-such-file") + ": No such file or directory\n");
  EXPECT_FALSE(fileExists(container()));
  // A container path that is a file.
  writeFile(path("plain"), "x");
  Result notDir = run("ls", {path("plain")});
  EXPECT_EQ(notDir.code, 1);
  EXPECT_EQ(notDir.err, "objstore: " + path("plain") + ": Not a directory\n");
}

TEST_F(ShellCommandsTest, PutAndMkdirCreateTheContainer) {
  ok("mkdir", {path("c1"), "/d"});
  EXPECT_EQ(ok("ls", {path("c1")}), "d\n");
  putBytes("/f", "f");  // container(), not there before
  EXPECT_EQ(ok("ls", {container()}), "f\n");
}

TEST_F(ShellCommandsTest, MkdirErrorsAndParents) {
  ok("mkdir", {container(), "/a"});
  Result again = run("mkdir", {container(), "/a"});
  EXPECT_EQ(again.code, 1);
  EXPECT_EQ(again.err, "objstore: /a: File exists\n");
  Result noParent = run("mkdir", {container(), "/x/y"});
  EXPECT_EQ(noParent.code, 1);
  EXPECT_NE(noParent.err.find("objstore: /x/y: "), std::string::npos) << noParent.err;
  ok("mkdir", {container(), "-p", "/a", "/x/y/z", "/x/y"});
  EXPECT_EQ(ok("ls", {container(), "/x/y"}), "z\n");
  putBytes("/file", "1");
  Result underFile = run("mkdir", {container(), "-p", "/file/sub"});
  EXPECT_EQ(underFile.code, 1);
  EXPECT_EQ(underFile.err, "objstore: /file: Not a directory\n");
}

TEST_F(ShellCommandsTest, RmFilesAndRecursiveDirectories) {
  ok("mkdir", {container(), "-p", "/t/a/b", "/t/c", "/keep"});
  putBytes("/t/a/b/f1", "1");
  putBytes("/t/a/f2", "2");
  putBytes("/t/f3", "3");
  putBytes("/keep/k", "k");

  Result dir = run("rm", {container(), "/t"});
  EXPECT_EQ(dir.code, 1);
  EXPECT_EQ(dir.err, "objstore: /t: Is a directory\n");
  EXPECT_EQ(ok("ls", {container(), "/t"}), "a\nc\nf3\n");

  ok("rm", {container(), "/t/f3"});
  EXPECT_EQ(ok("ls", {container(), "/t"}), "a\nc\n");
  ok("rm", {container(), "-r", "/t"});
  EXPECT_EQ(ok("ls", {container()}), "keep\n");
  EXPECT_EQ(ok("cat", {container(), "/keep/k"}), "k");

  Result missing = run("rm", {container(), "/t/f3"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, "objstore: /t/f3: No such file or directory\n");
  Result root = run("rm", {container(), "-r", "/"});
  EXPECT_EQ(root.code, 1);
  EXPECT_NE(root.err.find("root"), std::string::npos) << root.err;
  EXPECT_EQ(ok("ls", {container()}), "keep\n");
}

TEST_F(ShellCommandsTest, MvRenamesFilesAndMovesDirectories) {
  ok("mkdir", {container(), "-p", "/src/inner", "/dest"});
  putBytes("/src/inner/file", "inner bytes");
  putBytes("/src/top", "top bytes");

  ok("mv", {container(), "/src/top", "/src/renamed"});
  EXPECT_EQ(ok("ls", {container(), "/src"}), "inner\nrenamed\n");
  EXPECT_EQ(ok("cat", {container(), "/src/renamed"}), "top bytes");

  // A directory under a new name, with what it holds.
  ok("mv", {container(), "/src", "/moved"});
  EXPECT_EQ(ok("ls", {container()}), "dest\nmoved\n");
  EXPECT_EQ(ok("cat", {container(), "/moved/inner/file"}), "inner bytes");

  // Into an existing directory.
  ok("mv", {container(), "/moved", "/dest"});
  EXPECT_EQ(ok("ls", {container()}), "dest\n");
  EXPECT_EQ(ok("cat", {container(), "/dest/moved/inner/file"}), "inner bytes");

  Result intoItself = run("mv", {container(), "/dest", "/dest/moved/inner"});
  EXPECT_EQ(intoItself.code, 1);
  EXPECT_NE(intoItself.err.find("into itself"), std::string::npos) << intoItself.err;
  Result missing = run("mv", {container(), "/nothing", "/else"});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err, "objstore: /nothing: No such file or directory\n");
}

TEST_F(ShellCommandsTest, UsageErrorsExitTwo) {
  for (const auto& [command, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"ls", {}},
           {"cat", {container()}},
           {"get", {container(), "/a"}},
           {"get", {container(), "/a", "b", "c"}},
           {"mv", {container(), "/a"}},
           {"ls", {container(), "-x"}},
           {"mkdir", {container(), "-r", "/a"}},
           {"ls", {container(), "--at", "not-a-time"}},
           {"ls", {container(), "--discard-writes"}},
       }) {
    Result r = run(command, args);
    EXPECT_EQ(r.code, 2) << command << " " << ::testing::PrintToString(args);
    EXPECT_NE(r.err.find("usage: objstore " + command), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fileExists(container())) << "a usage error must not touch anything";

  Result help = run("put", {"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("usage: objstore put CONTAINER_DIR LOCALFILE PATH"), std::string::npos);
  EXPECT_NE(help.out.find("--at TIME"), std::string::npos);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(run("nosuch", {}).code, 2);
  for (const char* name : {"ls", "stat", "cat", "get", "put", "mkdir", "rm", "mv"}) {
    EXPECT_TRUE(isShellCommand(name)) << name;
    EXPECT_NE(shellCommandUsage(name).find(std::string("objstore ") + name), std::string::npos);
  }
  EXPECT_FALSE(isShellCommand("mount"));
}

TEST_F(ShellCommandsTest, ContainerInUseIsRefused) {
  ok("mkdir", {container(), "/a"});
  // What a running mount holds.
  const int fd = ::open((container() + "/objstore-mount.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  Result r = run("ls", {container()});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("in use"), std::string::npos) << r.err;
  ::close(fd);
  EXPECT_EQ(ok("ls", {container()}), "a\n");
}

// A command does not wait for the backup's quiet period, nor leave its
// writes to the next open: a view of the share taken right after it must be
// able to read them back from the backup.
TEST_F(ShellCommandsTest, WritesAreCommittedToTheBackupBeforeTheCommandReturns) {
  const size_t size = 3 * 1024 * 1024 + 5;
  putBytes("/big", pattern(size, 11));
  // The backup target's files hold every byte written (and some framing).
  uint64_t backedUp = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(container() + "/backup"))
    if (entry.is_regular_file()) backedUp += entry.file_size();
  EXPECT_GE(backedUp, size);
}

TEST_F(ShellCommandsTest, PointInTimeViewShowsOldContentAndRefusesWrites) {
  ok("mkdir", {container(), "/docs"});
  putBytes("/docs/report", "version one\n");
  // The index keeps whole seconds: the view time lies strictly between the
  // two writes.
  const int64_t t1 = nowSec() + 1;
  sleepUntilSecond(t1 + 1);
  putBytes("/docs/report", "version two, longer\n");
  putBytes("/docs/later", "only after t1\n");
  const std::string at = std::to_string(t1);

  EXPECT_EQ(ok("cat", {container(), "/docs/report"}), "version two, longer\n");
  EXPECT_EQ(ok("cat", {container(), "--at", at, "/docs/report"}), "version one\n");
  EXPECT_EQ(ok("ls", {container(), "/docs", "--at", at}), "report\n");
  // The ISO form names the same second.
  const std::string iso = formatUtc(t1).substr(0, 10) + "T" + formatUtc(t1).substr(11, 8) + "Z";
  EXPECT_EQ(ok("cat", {container(), "--at=" + iso, "/docs/report"}), "version one\n");

  for (const auto& [command, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"put", {container(), "-", "/docs/report"}},
           {"mkdir", {container(), "/new"}},
           {"rm", {container(), "/docs/report"}},
           {"mv", {container(), "/docs/report", "/x"}},
       }) {
    std::vector<std::string> withAt = args;
    withAt.push_back("--at");
    withAt.push_back(at);
    Result r = run(command, withAt, "changed\n");
    EXPECT_EQ(r.code, 1) << command;
    EXPECT_NE(r.err.find("Read-only file system"), std::string::npos) << command << ": " << r.err;
  }
  EXPECT_EQ(ok("cat", {container(), "--at", at, "/docs/report"}), "version one\n");

  // With --discard-writes the view takes the write, and nothing else sees it.
  ok("put", {container(), "-", "/docs/report", "--at", at, "--discard-writes"}, "scratch\n");
  EXPECT_EQ(ok("cat", {container(), "/docs/report"}), "version two, longer\n");
  EXPECT_EQ(ok("cat", {container(), "--at", at, "/docs/report"}), "version one\n");
  EXPECT_EQ(ok("ls", {container()}), "docs\n");
  // Closing a view removes its local data: nothing of the five views is left.
  for (const char* area : {"/objstr", "/cache/views"}) {
    for (const auto& entry : std::filesystem::directory_iterator(container() + area))
      EXPECT_EQ(entry.path().filename().string().find("_at"), std::string::npos)
          << entry.path() << " is left over from a view";
  }
}

}  // namespace
}  // namespace ObjectStore::tool
