// File-system helpers of the platform utility library.
#pragma once

#include <string>

namespace ObjectStore {

// Creates a directory and its missing parents (mode 0755). Returns 0 when the
// directory exists afterwards, otherwise the errno of the failing step.
int createDir(const std::string& path);

// Removes a file or a directory tree. Returns 0 when nothing is left (also
// when it did not exist), otherwise the errno of the first failure.
int rmTree(const std::string& path);

// Writes content to path atomically: a temporary file beside it, fsync, rename
// over path, fsync of the directory. Returns 0 or errno.
int writeFileAtomically(const std::string& path, const std::string& content);

// fsync of a directory (after a rename in it). Returns 0 or errno.
int syncDir(const std::string& dir);

}  // namespace ObjectStore
