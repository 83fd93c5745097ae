// `objstore ls|stat|cat|put|get|mkdir|rm|mv`: the file operations of a
// mounted share, without a mount, for scripts. Each command opens the
// container, one view of the share (live by default, or a point-in-time view
// with --at), does its work and closes everything again, so that what it
// wrote is backed up before it returns.
//
//   objstore ls [-l] CONTAINER_DIR [PATH...]
//   objstore stat CONTAINER_DIR PATH...
//   objstore cat CONTAINER_DIR PATH...
//   objstore get CONTAINER_DIR PATH LOCALFILE      (LOCALFILE "-": stdout)
//   objstore put CONTAINER_DIR LOCALFILE PATH      (LOCALFILE "-": stdin)
//   objstore mkdir [-p] CONTAINER_DIR PATH...
//   objstore rm [-r] CONTAINER_DIR PATH...
//   objstore mv CONTAINER_DIR FROM TO
//
// plus the view options of ViewArgs.h anywhere on the line. Paths in the
// share are absolute ("/docs/a.txt"; a missing leading '/' is added).
//
// Exit codes: 0 success, 1 an operation failed (each failure reported on
// standard error as "objstore: PATH: <reason>"), 2 a usage error.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace ObjectStore::tool {

// Where a command reads and writes; the process's standard streams by default.
struct ShellIo {
  FILE* in = stdin;
  FILE* out = stdout;
  FILE* err = stderr;
};

// True for the names of the commands above.
bool isShellCommand(const std::string& name);

// Runs `objstore NAME ARGS...` and returns the exit code.
int runShellCommand(const std::string& name, const std::vector<std::string>& args,
                    const ShellIo& io = ShellIo());

// The usage text of one command (empty when it is not one of them).
std::string shellCommandUsage(const std::string& name);

// A path in the share made absolute and tidied: "a//b/./c/" -> "/a/b/c",
// ".." goes up (never above the root). Exposed for the tests.
std::string sharePath(const std::string& path);

}  // namespace ObjectStore::tool
