// File-system helpers of the platform utility library.
//
// Every function returns 0 or an errno value and may be called from any
// thread; none of them serialises concurrent calls on the same path.
#pragma once

#include <string>

namespace ObjectStore {

// Creates a directory and its missing parents (mode 0755, less the umask).
// Returns 0 when the directory exists afterwards (also when it existed
// before), otherwise the errno of the failing step: ENOTDIR when the path or
// one of its parents is something other than a directory, EINVAL for an empty
// path.
int createDir(const std::string& path);

// Removes a file, a symbolic link or a whole directory tree. Symbolic links
// inside the tree are removed, never followed. Returns 0 when nothing is left
// (also when the path did not exist), otherwise the errno of the first
// failure (EINVAL for an empty path).
int rmTree(const std::string& path);

// Writes content to path atomically: a temporary file path + ".tmp" beside it,
// fsync, rename over path, fsync of the directory. A reader sees the old
// content or the new, never a mix; a crash leaves at most a stale ".tmp" file
// beside path. A failure before the rename removes the temporary file and
// leaves path as it was; a failure of the final directory fsync is reported
// although path already holds the new content. Two writers of the same path
// at once must be serialised by the caller, since they share the temporary
// name. Returns 0 or errno.
int writeFileAtomically(const std::string& path, const std::string& content);

// fsync of a directory (after a rename in it). Returns 0 or errno.
int syncDir(const std::string& dir);

}  // namespace ObjectStore
