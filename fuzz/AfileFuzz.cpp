// An afile of the backup target as a crash or a damaged disk may leave it:
// its file header and its records (header, name, data, checksums). The
// restore's reader must refuse every damaged or misplaced record and never
// read or allocate past the file; the transport's writer, opening the newest
// afile, must recover from it (cut a torn tail or set the file aside) so that
// what it appends next reads back, and records that were whole stay readable.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/backup/AfileWriter.h"
#include "platform/restore/AfileFormat.h"
#include "platform/restore/AfileReader.h"
#include "platform/restore/Crc32c.h"

using namespace ObjectStore;

namespace {

constexpr uint64_t SUBCLIENT = 7;
constexpr uint64_t CAPACITY = 64 * 1024;  // the reader's buffer
std::string g_backupDir;
std::string g_afileDir;

enum : uint8_t {
  FIX_FILE_HEADER = 1,  // a valid file header, so that the records are read
  FIX_RECORDS = 2,      // recompute the checksums of the records whose lengths fit
};

// Rewrites the checksums of consecutive records from the first one, as far
// as their lengths keep them inside the file.
void fixRecords(std::vector<unsigned char>& image) {
  uint64_t offset = AFILE_FILE_HEADER_SIZE;
  while (offset + AFILE_RECORD_HEADER_SIZE <= image.size()) {
    AfileRecordHeader header;
    std::memcpy(&header, image.data() + offset, sizeof(header));
    const uint64_t left = image.size() - offset - AFILE_RECORD_HEADER_SIZE;
    if (header.nameLength > left || header.dataLength > left - header.nameLength) return;
    const char* name = reinterpret_cast<const char*>(image.data() + offset + sizeof(header));
    header.dataCrc = crc32c(name + header.nameLength, header.dataLength);
    header.headerCrc = recordHeaderCrc(header, name, header.nameLength);
    std::memcpy(image.data() + offset, &header, sizeof(header));
    offset += recordSize(header);
  }
}

struct ReadBack {
  uint64_t offset;
  std::string name;
  std::vector<char> data;
};

// Every record the reader accepts, walking from the first one.
std::vector<ReadBack> readChain(uint64_t afileId) {
  std::vector<ReadBack> records;
  AfileReader reader(g_afileDir, SUBCLIENT);
  std::vector<char> buffer(CAPACITY);
  uint64_t offset = AFILE_FILE_HEADER_SIZE;
  for (;;) {
    uint64_t length = 0;
    std::string name;
    const CZnError err =
        reader.readRecord(afileId, offset, buffer.data(), buffer.size(), length, &name);
    if (!err.ok()) {
      FUZZ_CHECK(err.errNo() == EIO || err.errNo() == EFBIG || err.errNo() == ENOENT);
      return records;
    }
    FUZZ_CHECK(length <= CAPACITY);
    FUZZ_CHECK(!name.empty() && name.size() <= AFILE_MAX_NAME_LENGTH);
    records.push_back(
        ReadBack{offset, name, std::vector<char>(buffer.begin(), buffer.begin() + length)});
    offset += AFILE_RECORD_HEADER_SIZE + name.size() + length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  g_backupDir = fuzz::scratchDir() + "/backup";
  g_afileDir = afileDirectory(g_backupDir, SUBCLIENT);
  return 0;
}

// Input: a flags byte, an offset byte (a record to read at a chosen place),
// then the bytes of afile 1.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = bytes[0];
  const uint64_t chosenOffset = bytes[1];
  std::vector<unsigned char> image(bytes + 2, bytes + size);
  if ((flags & FIX_FILE_HEADER) && image.size() >= AFILE_FILE_HEADER_SIZE) {
    const AfileFileHeader header = makeFileHeader(SUBCLIENT, 1);
    std::memcpy(image.data(), &header, sizeof(header));
  }
  if (flags & FIX_RECORDS) fixRecords(image);

  std::error_code ignored;  // a missing directory is the expected state
  std::filesystem::remove_all(g_backupDir, ignored);
  std::filesystem::create_directories(g_afileDir);
  fuzz::writeBytes(afilePath(g_afileDir, 1), image.data(), image.size());

  const std::vector<ReadBack> before = readChain(1);
  {
    AfileReader reader(g_afileDir, SUBCLIENT);
    std::vector<char> buffer(CAPACITY);
    uint64_t length = 0;
    (void)reader.readRecord(1, chosenOffset, buffer.data(), buffer.size(), length);
    FUZZ_CHECK(length <= CAPACITY);
  }

  AfileWriter writer(g_afileDir, SUBCLIENT, 1024 * 1024);
  const CZnError opened = writer.open();
  FUZZ_CHECK(opened.ok());
  const AfileRecovery& recovery = writer.recovery();
  FUZZ_CHECK(recovery.afileId == 1);
  FUZZ_CHECK(recovery.validEnd <= std::max<uint64_t>(image.size(), AFILE_FILE_HEADER_SIZE));

  AfileAppend appended;
  const std::string data = "appended after recovery";
  FUZZ_CHECK(writer
                 .append("fuzz-segment", data.data(), data.size(),
                         [&](const AfileAppend& a) { appended = a; })
                 .ok());
  AfileReader reader(g_afileDir, SUBCLIENT);
  std::vector<char> buffer(CAPACITY);
  uint64_t length = 0;
  std::string name;
  FUZZ_CHECK(reader
                 .readRecord(appended.afileId, appended.offset, buffer.data(), buffer.size(),
                             length, &name)
                 .ok());
  FUZZ_CHECK(name == "fuzz-segment");
  FUZZ_CHECK(std::string(buffer.data(), length) == data);

  // Whole records before the recovered end read as they did.
  for (const ReadBack& record : before) {
    const uint64_t end =
        record.offset + AFILE_RECORD_HEADER_SIZE + record.name.size() + record.data.size();
    if (!recovery.setAside && end > recovery.validEnd) continue;
    std::string nameAgain;
    FUZZ_CHECK(
        reader.readRecord(1, record.offset, buffer.data(), buffer.size(), length, &nameAgain).ok());
    FUZZ_CHECK(nameAgain == record.name);
    FUZZ_CHECK(std::vector<char>(buffer.begin(), buffer.begin() + length) == record.data);
  }
  return 0;
}
