// `objstore demo [CONTAINER_DIR]`: shows the whole system at work through the
// library's public interface, the way a file server drives it. It writes a
// small tree on a live share, lets the share's backup commit it, changes the
// tree (pruning meanwhile must keep what still waits for the backup), empties
// the local cache, and then checks point-in-time views of both moments byte
// for byte (restored from the index and the backup), and that a view which
// discards its writes leaves the live share and the backup alone.
#pragma once

#include <string>
#include <vector>

namespace ObjectStore::demo {

// Runs the demonstration in CONTAINER_DIR (args[0]) or in a new temporary
// directory. A directory that exists must be empty or an existing container.
// Returns the process exit code: 0 only when every check passed.
int runDemo(const std::vector<std::string>& args);

}  // namespace ObjectStore::demo
