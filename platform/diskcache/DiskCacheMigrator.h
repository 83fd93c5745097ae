// DiskCacheMigrator: copies one cache tree into another (moving a container).
//
// Every directory and regular file below `from` is copied to the same
// relative path below `to` (created as needed); the cache's own working
// directories ("recycle", ".tmp") are skipped, and symbolic links and other
// special files are ignored. Existing files in `to` are overwritten. Each file
// is written to a temporary file in `to`/.tmp (which the target cache clears
// when it starts) and renamed, so an interrupted migration never leaves a
// half-copied segment under its real name. The source is not
// modified; the target cache adopts the copies when it is initialised.
#pragma once

#include <string>

namespace ObjectStore {

class DiskCacheMigrator {
 public:
  // 0 on success, else the errno of the first failure (the copy stops there).
  static int migrate(const std::string& from, const std::string& to);

 private:
  static int copyTree(const std::string& from, const std::string& to, const std::string& tmp,
                      bool top);
  static int copyFile(const std::string& from, const std::string& to, const std::string& tmp);
};

}  // namespace ObjectStore
