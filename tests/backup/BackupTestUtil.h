// Helpers for backup tests: walking afiles record by record.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/restore/AfileFormat.h"
#include "platform/restore/AfileReader.h"
#include "restore/AfileTestUtil.h"

namespace ObjectStore::test {

struct WalkedRecord {
  uint64_t afileId = 0;
  uint64_t offset = 0;
  std::string name;
  std::string data;
};

// Every record of one afile, read and verified from the first to the last
// byte. A record that fails verification, or bytes after the last record
// that are not a whole record, fail the calling test.
inline std::vector<WalkedRecord> walkAfile(const std::string& afileDir, uint64_t subclient,
                                           uint64_t afileId) {
  std::vector<WalkedRecord> records;
  AfileReader reader(afileDir, subclient);
  const uint64_t size = fileSizeOf(afilePath(afileDir, afileId));
  // No record can be larger than the afile holding it.
  std::vector<char> buffer(size);
  uint64_t offset = AFILE_FILE_HEADER_SIZE;
  while (offset < size) {
    WalkedRecord record;
    record.afileId = afileId;
    record.offset = offset;
    uint64_t length = 0;
    CZnError err =
        reader.readRecord(afileId, offset, buffer.data(), buffer.size(), length, &record.name);
    if (err.failed()) {
      ADD_FAILURE() << "afile " << afileId << " offset " << offset << ": " << err.chain();
      break;
    }
    record.data.assign(buffer.data(), length);
    offset += AFILE_RECORD_HEADER_SIZE + record.name.size() + length;
    records.push_back(std::move(record));
  }
  EXPECT_EQ(offset, size) << "afile " << afileId << " does not end with a whole record";
  return records;
}

// Every record of every afile in the directory, in afile order.
inline std::vector<WalkedRecord> walkAfiles(const std::string& afileDir, uint64_t subclient) {
  std::vector<uint64_t> ids;
  EXPECT_EQ(listAfiles(afileDir, ids), 0);
  std::vector<WalkedRecord> all;
  for (uint64_t id : ids) {
    std::vector<WalkedRecord> records = walkAfile(afileDir, subclient, id);
    all.insert(all.end(), records.begin(), records.end());
  }
  return all;
}

}  // namespace ObjectStore::test
