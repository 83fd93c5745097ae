// Per-store settings (given by the file server when it opens a share view)
// and their run-time changes.
#pragma once

#include <cstdint>
#include <string>

#include "ObjectStore/Identifiers.h"

namespace ObjectStore {

struct ObjectStoreConfig {
  std::string name;                         // share name
  uint64_t subclient = 0;                   // numeric subclient of the share
  FileAttribs rootAttribs{0744, 0, 0};      // attributes of a root this store creates
  uint64_t extentSize = 1048576;            // bytes per extent
  std::string rootDir;                      // root's object GUID when known; empty: find or create
  uint64_t backupTimeout = 15;              // quiet period of the backup queue, seconds
  uint64_t jobIdleTimeoutMs = 300000;       // idle time before a backup job ends
  uint64_t timestamp = 0;                   // snapshot time of a point-in-time view; 0 = live
  int guidCacheBytesMax = 10485760;         // byte budget of the path cache
  int versionCacheBytesMax = 10485760;      // byte budget of the version cache
  uint64_t attrCacheSize = 32;
  uint64_t xattrCacheSize = 32;
  uint64_t dirCacheEntriesMax = 100000;
  int maxPathLen = 4096;                    // longest full path of a new item
  int indexParam1 = 100;                    // handed to the index service
  int indexParam2 = 10;
  bool readOnly = false;
  bool discardWrites = false;               // a point-in-time view keeps its writes local
  int maxXattrSize = 4096;                  // largest serialised extended-attribute set
  int copyPrecedence = 0;                   // handed to the restore library
  std::string pitName;                      // name of the view; must not be empty
  std::string backupFilter;                 // comma-separated suffixes kept out of backup
  bool caseSensitive = true;
  unsigned int versionInterval = 0;         // minimum seconds between two versions of a file
};

// Changes to an open store; each value applies only when its flag is set.
struct ObjectStoreUpdates {
  bool updateTimeout = false;
  uint64_t timeout = 0;  // seconds
  bool restartBackupJob = false;
  std::string jobArg1;   // not read
  std::string jobArg2;   // the job restarts only when this is not empty
  bool updateCopyPrecedence = false;
  int copyPrecedence = 0;
  bool updateDiscardWrites = false;
  bool discardWrites = false;
  bool updateBackupFilter = false;
  std::string backupFilter;
  bool updateVersionInterval = false;
  int versionInterval = 0;  // seconds
};

}  // namespace ObjectStore
