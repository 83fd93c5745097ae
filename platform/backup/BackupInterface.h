// The backup transport: backup jobs that append segment data to the backup
// target's afiles and commit them.
//
// This header grows with the transport; start-up needs only
// initBackupInterace.
#pragma once

#include <string>

namespace ObjectStore {

// Prepares the backup target directory (it must exist and be writable).
// True when the transport is usable.
bool initBackupInterace(const std::string& backupDir);

}  // namespace ObjectStore
