// The two header records of a segment (header section 3 and attribute
// section 0) as a read of a damaged segment may return them: any bytes, any
// placed length. The check must refuse what the store can't use, and a pair
// it accepts must survive the attribute cache's copy unchanged.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "ObjectStore/SegmentFormat.h"

using namespace ObjectStore;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  return 0;
}

// Input: the header section's bytes (up to 1120) followed by the attribute
// section's (up to 1160); the bytes each read placed are what the input has.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FileHeaderData data;
  CXFileHeader header;
  const size_t dataSize = std::min(size, HEADER_SECTION_SIZE);
  std::memcpy(&data, bytes, dataSize);
  const size_t headerSize = std::min(size - dataSize, ATTRIBUTE_SECTION_SIZE);
  std::memcpy(&header, bytes + dataSize, headerSize);

  const CZnError err = checkHeaderRecords(data, dataSize, headerSize, "fuzz");
  if (!err.ok()) {
    FUZZ_CHECK(err.errNo() == EINVAL);
    return 0;
  }
  FUZZ_CHECK(data.magic == FILE_HEADER_MAGIC && data.version == FILE_HEADER_VERSION);
  FUZZ_CHECK(data.extentSize != 0);

  // What readFileHeader does next: cache the fields, later hand them back.
  const AttribData cached(data, header);
  FileHeaderData dataBack = data;
  CXFileHeader headerBack = header;
  cached.get(dataBack, headerBack);
  FUZZ_CHECK(std::memcmp(&dataBack, &data, sizeof(data)) == 0);
  FUZZ_CHECK(headerBack.mode == header.mode && headerBack.uid == header.uid &&
             headerBack.gid == header.gid && headerBack.size == header.size &&
             headerBack.mtime == header.mtime && headerBack.ctime == header.ctime);
  // The record keeps at most 1024 characters of a name; a damaged name area
  // without a NUL may hold up to 1028, of which the copy keeps the first.
  const std::string_view name = header.getName();
  const std::string_view nameBack = headerBack.getName();
  FUZZ_CHECK(nameBack == name.substr(0, CXHEADER_NAME_MAX_CHARS));
  FUZZ_CHECK(headerBack.nameLength == nameBack.size() + 1);
  const AttribData again(dataBack, headerBack);
  FUZZ_CHECK(again.fileType == cached.fileType && again.emptyRange == cached.emptyRange &&
             std::memcmp(again.parentGuid, cached.parentGuid, sizeof(again.parentGuid)) == 0);
  // Deciding whether an extent reads as zeros never faults, whatever the range.
  (void)cached.emptyRange.contains(cached.emptyRange.start);
  (void)cached.emptyRange.contains(cached.emptyRange.end);
  FUZZ_CHECK(cached.emptyRange.rangeSize() <= cached.emptyRange.end);
  return 0;
}
