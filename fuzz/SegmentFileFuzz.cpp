// A disk-cache segment file as a crash or a damaged disk may leave it: its
// 536-byte header (magic, version, section table, checksum) and the regions
// the table points at. Loading must refuse a damaged header, never read or
// allocate beyond the file; a file that loads must read back whole, and must
// stay loadable (with the new bytes) after the cache writes to it.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/diskcache/SegmentFile.h"

using namespace ObjectStore;

namespace {

std::string g_path;

enum : uint8_t {
  FIX_CHECKSUM = 1,  // recompute the checksum so that the table itself is tested
  FIX_MAGIC = 2,     // set the current magic number and version
  WRITE = 4,         // write to the loaded file, then load it again
  TRUNCATE = 8,      // change a section's length, then load it again
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  g_path = fuzz::scratchDir() + "/segment";
  return 0;
}

// Input: a flags byte, a section number byte, then the file's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = bytes[0];
  const int32_t number = static_cast<int32_t>(bytes[1] % (SEGMENT_MAX_SECTIONS + 1));
  std::vector<unsigned char> image(bytes + 2, bytes + size);
  if (image.size() >= SEGMENT_HEADER_SIZE) {
    SegmentFileHeader header;
    std::memcpy(&header, image.data(), sizeof(header));
    if (flags & FIX_MAGIC) {
      header.magic = DISK_CACHE_MAGIC;
      header.version = DISK_CACHE_VERSION;
    }
    if (flags & FIX_CHECKSUM) header.checksum = SegmentLayout::checksum(header);
    std::memcpy(image.data(), &header, sizeof(header));
  }
  fuzz::writeBytes(g_path, image.data(), image.size());

  SegmentFile file;
  const CZnError loaded = file.load(g_path);
  if (!loaded.ok()) {
    FUZZ_CHECK(loaded.errNo() == EIO);
    return 0;
  }
  FUZZ_CHECK(image.size() >= SEGMENT_HEADER_SIZE);
  FUZZ_CHECK(file.fileSize() == image.size());

  std::vector<SectionV> all;
  FUZZ_CHECK(file.readAll(all).ok());
  FUZZ_CHECK(all.size() == file.layout().entries.size());
  uint64_t total = 0;
  for (const SectionV& section : all) {
    FUZZ_CHECK(section.data.size() == section.size);
    total += section.size;
    FUZZ_CHECK(total <= image.size());
    FUZZ_CHECK(file.sectionLength(section.number) == section.size);
  }

  // A positioned read of every section agrees with the whole read.
  for (const SectionV& section : all) {
    std::vector<unsigned char> buffer(section.data.size() + 1);
    Section read;
    read.number = section.number;
    read.buffer = buffer.data();
    read.bufferLength = buffer.size();
    std::vector<Section> reads{read};
    FUZZ_CHECK(file.read(reads).ok());
    FUZZ_CHECK(reads[0].size == section.size);
    FUZZ_CHECK(std::equal(section.data.begin(), section.data.end(), buffer.begin()));
  }

  if (number >= static_cast<int32_t>(SEGMENT_MAX_SECTIONS)) return 0;
  const uint64_t before = file.sectionLength(number);
  std::string expectWritten;
  uint64_t writeAt = 0;
  if (flags & WRITE) {
    // A few bytes at an offset within or just past the section's end.
    expectWritten = "fuzz-write";
    writeAt = before == 0 ? flags % 7 : before - 1 + flags % 3;
    Section write;
    write.number = number;
    write.offset = writeAt;
    write.buffer = expectWritten.data();
    write.bufferLength = write.size = expectWritten.size();
    const CZnError err = file.write({write});
    if (err.failed()) {
      // A table whose checksum holds but that reserves room far past the
      // file can make the move a growth needs impossible: the write is
      // refused, and the file still loads and reads as before.
      FUZZ_CHECK(err.errNo() == EFBIG || err.errNo() == EINVAL || err.errNo() == ENOSPC ||
                 err.errNo() == EIO);
      SegmentFile unchanged;
      FUZZ_CHECK(unchanged.load(g_path).ok());
      std::vector<SectionV> after;
      FUZZ_CHECK(unchanged.readAll(after).ok());
      FUZZ_CHECK(after.size() == all.size());
      for (size_t i = 0; i < all.size(); ++i) FUZZ_CHECK(after[i].data == all[i].data);
      return 0;
    }
  }
  uint64_t truncatedTo = 0;
  const bool truncated = (flags & TRUNCATE) != 0;
  if (truncated) {
    truncatedTo = file.sectionLength(number) / 2 + bytes[1] / 32;
    FUZZ_CHECK(file.truncate(number, truncatedTo).ok());
    FUZZ_CHECK(file.sectionLength(number) == truncatedTo);
  }
  if (!(flags & (WRITE | TRUNCATE))) return 0;

  SegmentFile again;
  FUZZ_CHECK(again.load(g_path).ok());
  std::vector<SectionV> allAgain;
  FUZZ_CHECK(again.readAll(allAgain).ok());
  const int index = again.layout().find(number);
  FUZZ_CHECK(index >= 0);
  const SectionV& changed = allAgain[static_cast<size_t>(index)];
  if (flags & WRITE) {
    const uint64_t writeEnd = writeAt + expectWritten.size();
    const uint64_t keptEnd = truncated ? std::min(truncatedTo, writeEnd) : writeEnd;
    for (uint64_t i = writeAt; i < keptEnd; ++i)
      FUZZ_CHECK(changed.data[i] == static_cast<unsigned char>(expectWritten[i - writeAt]));
    // A gap the write opened past the old end reads as zeros.
    for (uint64_t i = before; i < std::min(writeAt, changed.data.size()); ++i)
      FUZZ_CHECK(changed.data[i] == 0);
  }
  if (truncated) FUZZ_CHECK(changed.data.size() == truncatedTo);
  // The sections not written keep their bytes.
  for (const SectionV& section : all) {
    if (section.number == number) continue;
    const int other = again.layout().find(section.number);
    FUZZ_CHECK(other >= 0);
    FUZZ_CHECK(allAgain[static_cast<size_t>(other)].data == section.data);
  }
  return 0;
}
