// AfileReader: reads and verifies single records of one subclient's afiles.
//
// The restore library reads one record per restored segment, from many
// threads at once and mostly from a handful of afiles, so the reader keeps a
// small cache of open, verified afile descriptors (least recently used ones
// are closed first). A descriptor is shared by concurrent reads (pread needs
// no lock); the cache lock is held only to find or insert a descriptor, never
// during I/O.
//
// A read succeeds only when every check passes: the afile's own header
// (magic, checksum, subclient, id), the record header's magic, version,
// lengths, its checksum over the name, the record lying wholly within the
// afile, the caller's capacity, and the CRC-32C of the data. On any failure
// the error says which check failed and the caller's buffer holds no data
// that could be mistaken for the segment (the read part is zeroed).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/support/CZnError.h"
#include "platform/support/HxCriticalSection.h"

namespace ObjectStore {

class AfileReader {
 public:
  // afileDir: the subclient's afile directory (afileDirectory()).
  AfileReader(std::string afileDir, uint64_t subclient, size_t maxOpenAfiles = 16);
  ~AfileReader();
  AfileReader(const AfileReader&) = delete;
  AfileReader& operator=(const AfileReader&) = delete;

  // Reads the data of the record at afileId/offset into buffer (capacity
  // bytes available). On success dataLength is the data's length and, when
  // name is given, *name the record's segment name. Errors: ENOENT for a
  // missing afile, EFBIG when the data is larger than capacity, EIO for
  // every damaged or misplaced record (and the I/O error of a failing read).
  // Thread-safe.
  CZnError readRecord(uint64_t afileId, uint64_t offset, char* buffer, uint64_t capacity,
                      uint64_t& dataLength, std::string* name = nullptr);

  const std::string& afileDir() const { return afileDir_; }
  // Open descriptors held (for tests).
  size_t openAfiles() const;

 private:
  struct OpenAfile;
  struct CacheEntry {
    std::shared_ptr<OpenAfile> afile;
    uint64_t lastUse = 0;
  };

  CZnError acquire(uint64_t afileId, std::shared_ptr<OpenAfile>& afile);
  CZnError openAfile(uint64_t afileId, std::shared_ptr<OpenAfile>& afile);

  const std::string afileDir_;
  const uint64_t subclient_;
  const size_t maxOpenAfiles_;
  mutable HxCriticalSection mutex_;  // guards the cache; never held during I/O
  std::map<uint64_t, CacheEntry> cache_ OS_GUARDED_BY(mutex_);
  uint64_t useClock_ OS_GUARDED_BY(mutex_) = 0;
};

}  // namespace ObjectStore
