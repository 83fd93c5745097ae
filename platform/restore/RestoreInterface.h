// The restore library: reads backed-up segment data back from the backup
// target by afile id and offset.
//
// The backup target is a directory of numbered, append-only "afiles"
// (written by the backup transport, platform/backup). A record at an offset
// carries the segment's name, its length and a checksum of its bytes; a
// restore verifies all three and never hands out bytes that fail the check.
// The exact layout is in AfileFormat.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/support/CZnError.h"

namespace ObjectStore {

class AfileReader;

// What the restore library knows of a subclient (share).
struct SubClientInfo {
  uint64_t subclient = 0;
  std::string backupDir;   // the backup target holding the share's afiles
  int copyPrecedence = 0;  // which copy to read from; there is one copy, read whatever the value
};

// Where a segment's bytes lie in the backup.
struct AfileInfo {
  uint64_t afileId = 0;
  uint64_t afileOffset = 0;
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 2;
};

// Makes a subclient known to the restore library: its backup target. The
// container registers each share it opens. Returns false for an empty dir.
bool registerSubClient(uint64_t subclient, const std::string& backupDir);
// Fills info for a known subclient; false when the subclient is unknown.
bool GetSubClientInfo(uint64_t subclient, SubClientInfo& info);

class RestoreInterface {
 public:
  explicit RestoreInterface(const SubClientInfo& info);
  virtual ~RestoreInterface();

  // True when the backup target can be read.
  bool IsInitSuccessFull() const { return initOk_; }

  // Reads the record at afile.afileId/afileOffset into buffer. On entry
  // *size is the buffer's capacity; on success it is the bytes restored.
  // path is the item's path (for messages). False on any failure: unknown
  // afile, bad offset, checksum or length mismatch, record larger than the
  // buffer, I/O error — each logged at level -1; *size is then 0 and the
  // buffer holds none of the record's bytes. Safe to call from several
  // threads at once.
  virtual bool Restore(const AfileInfo& afile, const std::string& path, uint64_t* size,
                       char* buffer, const std::string& reserved);

  const SubClientInfo& info() const { return info_; }

 private:
  SubClientInfo info_;
  bool initOk_ = false;
  // The subclient's afiles, with their open descriptors; shared by every
  // thread that restores through this instance.
  std::unique_ptr<AfileReader> reader_;
};

// The backup target's size in MiB for a subclient: total and free space of
// the volume holding it. 0 on success, otherwise an errno.
int getDiskLibrarySize(uint32_t subclient, uint64_t& totalMiB, uint64_t& freeMiB);

}  // namespace ObjectStore
