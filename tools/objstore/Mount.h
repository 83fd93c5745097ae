// `objstore mount`: one view of a share as a FUSE file system.
//
//   objstore mount CONTAINER_DIR MOUNTPOINT [--share NAME] [--subclient N]
//       [--at TIME] [--discard-writes] [--version-interval SECONDS]
//       [--foreground] [--debug]
//
// Without --at the live share is mounted read-write and backed up
// continuously; with --at a point-in-time view, read-only unless
// --discard-writes makes it a writable view whose changes stay local. The
// command returns once the mount is in place (or failed, with the reason on
// standard error) and the file system runs on in the background, unless
// --foreground. Unmounting (fusermount3 -u, or SIGTERM/SIGINT to the
// process) closes every handle, the store (its backup queue drains first)
// and the container, and the process exits 0.
#pragma once

#include <string>
#include <vector>

#include "tools/objstore/ViewArgs.h"

namespace ObjectStore::tool {

struct MountOptions {
  std::string containerDir;
  std::string mountpoint;
  ViewOptions view;
  bool foreground = false;
  bool debug = false;  // libfuse's request trace and the library's log on standard error
  bool help = false;
};

// Parses the arguments after "mount". False with a message on bad input;
// --help sets help and needs nothing else.
bool parseMountArgs(const std::vector<std::string>& args, MountOptions& out, std::string& error);

// The usage text of the command.
std::string mountUsage();

// The whole command; returns the process's exit code.
int runMount(const std::vector<std::string>& args);

}  // namespace ObjectStore::tool
