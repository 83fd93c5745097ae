#include "ObjectStore/SegmentFormat.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

// Index properties hold -1 for an absent number; a record field can't say
// "absent", and a size or time of 2^64 - 1 would be taken at its word.
uint64_t presentOrZero(int64_t value) { return value < 0 ? 0 : static_cast<uint64_t>(value); }

// Ids and modes travel as int in the properties; their bits are the 32-bit
// unsigned value (a uid of 4294967294 arrives as -2).
uint64_t bits32(int value) { return static_cast<uint32_t>(value); }

}  // namespace

FileType fileTypeFromMode(uint64_t mode) {
  switch (mode & MODE_TYPE_MASK) {
    case MODE_DIRECTORY:
      return FILE_TYPE_DIRECTORY;
    case MODE_SYMLINK:
      return FILE_TYPE_SYMLINK;
    default:
      return FILE_TYPE_REGULAR;
  }
}

bool Range::contains(uint64_t n) const {
  if (!isValid()) {
    OSLOG(5, "emptyRange invalid");
    return false;
  }
  if (start <= n && n < end) {
    OSLOG(5, "[%lu] is part of emptyRange [%lu %lu]", static_cast<unsigned long>(n),
          static_cast<unsigned long>(start), static_cast<unsigned long>(end));
    return true;
  }
  return false;
}

AttribData::AttribData(const FileHeaderData& data, const CXFileHeader& header)
    : hasData(data.hasData),
      fileType(data.fileType),
      extentSize(data.extentSize),
      versionTimeNs(data.versionTimeNs),
      emptyRange(data.emptyRange),
      mode(header.mode),
      uid(header.uid),
      gid(header.gid),
      size(header.size),
      mtime(header.mtime),
      ctime(header.ctime),
      name(header.getName()) {
  std::memcpy(parentGuid, data.parentGuid, sizeof(parentGuid));
}

void AttribData::get(FileHeaderData& data, CXFileHeader& header) const {
  data.hasData = hasData;
  data.fileType = fileType;
  data.extentSize = extentSize;
  data.versionTimeNs = versionTimeNs;
  data.emptyRange = emptyRange;
  std::memcpy(data.parentGuid, parentGuid, sizeof(data.parentGuid));

  header.stampConstants();
  header.setName(name);
  header.mode = mode;
  header.uid = uid;
  header.gid = gid;
  header.size = size;
  header.mtime = mtime;
  header.ctime = ctime;
}

void createMetaData(CXFileHeader* header, const guid_t& objGuid, const guid_t& verGuid,
                    uint64_t mode, uint64_t uid, uint64_t gid, uint64_t size, uint64_t ctime,
                    uint64_t mtime) {
  if (header == nullptr) {
    OSLOG(-1, "Error: No header to fill for [%s] [%s]", objGuid.c_str(), verGuid.c_str());
    return;
  }
  header->stampConstants();
  header->setName(objGuid + "," + verGuid);
  header->mode = mode;
  header->uid = uid;
  header->gid = gid;
  header->size = size;
  header->mtime = mtime;
  header->ctime = ctime;
}

CZnError cxFromProps(CXFileHeader& header, FileHeaderData& data, const index_iface_props& props) {
  if (props.extentSize == -1) {
    OSLOG(-1, "Error: Can't find extent_size in props [%s] [%s]", props.objGuid.c_str(),
          props.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL,
                                   "Error: Can't find extent_size in props [%s] [%s]",
                                   props.objGuid.c_str(), props.path.c_str());
  }
  if (props.extentSize <= 0) {
    OSLOG(-1, "Error: Invalid extent size in props [%s] [%s]", props.objGuid.c_str(),
          props.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Invalid extent size in props [%s] [%s]",
                                   props.objGuid.c_str(), props.path.c_str());
  }
  const uint64_t mode = bits32(props.mode);

  data.magic = FILE_HEADER_MAGIC;
  data.version = FILE_HEADER_VERSION;
  data.hasData = 0;
  data.fileType = fileTypeFromMode(mode);
  data.extentSize = static_cast<uint64_t>(props.extentSize);
  data.versionTimeNs = presentOrZero(props.vtime);
  // At most GUID_CHAR_SIZE bytes; a shorter GUID is followed by NULs.
  std::memset(data.parentGuid, 0, sizeof(data.parentGuid));
  std::memcpy(data.parentGuid, props.parentGuid.data(),
              std::min(props.parentGuid.size(), sizeof(data.parentGuid)));

  createMetaData(&header, props.objGuid, props.verGuid, mode, bits32(props.uid), bits32(props.gid),
                 presentOrZero(props.size), presentOrZero(props.ctime), presentOrZero(props.mtime));
  return CZnError::Success;
}

CZnError checkHeaderRecords(const FileHeaderData& data, uint64_t dataSize, uint64_t headerSize,
                            const guid_t& segment) {
  if (dataSize != HEADER_SECTION_SIZE) {
    OSLOG(-1, "Error: Bad file header data size [%s]", segment.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Bad file header data size [%s]",
                                   segment.c_str());
  }
  if (headerSize != ATTRIBUTE_SECTION_SIZE) {
    OSLOG(-1, "Error: Bad cxheader size [%s]", segment.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Bad cxheader size [%s]", segment.c_str());
  }
  if (data.magic != FILE_HEADER_MAGIC) {
    OSLOG(-1, "Error: Incorrect magic number [%s] 0x%04x 0x%04x", segment.c_str(),
          static_cast<unsigned>(data.magic), static_cast<unsigned>(FILE_HEADER_MAGIC));
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Incorrect magic number [%s] 0x%04x 0x%04x",
                                   segment.c_str(), static_cast<unsigned>(data.magic),
                                   static_cast<unsigned>(FILE_HEADER_MAGIC));
  }
  if (data.version != FILE_HEADER_VERSION) {
    OSLOG(-1, "Error: Incorrect version [%s] 0x%04x 0x%04x", segment.c_str(),
          static_cast<unsigned>(data.version), static_cast<unsigned>(FILE_HEADER_VERSION));
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Incorrect version [%s] 0x%04x 0x%04x",
                                   segment.c_str(), static_cast<unsigned>(data.version),
                                   static_cast<unsigned>(FILE_HEADER_VERSION));
  }
  if (data.extentSize == 0) {
    OSLOG(-1, "Error: 0 extentSize [%s]", segment.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "0 extentSize [%s]", segment.c_str());
  }
  return CZnError::Success;
}

}  // namespace ObjectStore
