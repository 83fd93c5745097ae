// Reading, validating and upgrading the header records of segments.
//
// A segment written before header version 2 has a shorter header section.
// Readers never see that: the first read that meets one rewrites the segment
// with the section grown to the current length (new bytes zero) and then
// reads again.
#include <cerrno>
#include <cstring>

#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

namespace {

// The requested entry for section `number`, or null.
template <class SectionType>
SectionType* findSection(std::vector<SectionType>& sections, int32_t number) {
  for (auto& section : sections)
    if (section.number == number) return &section;
  return nullptr;
}

// True when a read of these sections returned a header section shorter than
// the current record: only a request that asked for the whole record from
// its start can tell.
bool needsUpgrade(const std::vector<Section>& sections, uint64_t& foundSize) {
  for (const auto& section : sections) {
    if (section.number != SECTION_HEADER) continue;
    if (section.offset != 0 || section.bufferLength < HEADER_SECTION_SIZE) return false;
    foundSize = section.size;
    return section.size < HEADER_SECTION_SIZE;
  }
  return false;
}

Section makeReadSection(int32_t number, void* buffer, uint64_t length) {
  Section section;
  section.number = number;
  section.buffer = buffer;
  section.bufferLength = length;
  return section;
}

}  // namespace

void ObjectStore::dropIfDamaged(const guid_t& segment, const CZnError& readErr) {
  if (segmentReadMeansDamage(readErr.errNo())) {
    OSLOG(-1, "Error: Can't read [%s]", segment.c_str());
    dropDamagedSegment(segment);
  } else {
    OSLOG(-1, "Error: Can't read [%s] now; it stays: %s", segment.c_str(), readErr.text().c_str());
  }
}

void ObjectStore::dropDamagedSegment(const guid_t& segment) {
  // The segment is treated as missing from now on; readers that may restore
  // rebuild it. The delete's own failure changes nothing for them.
  (void)diskCache_->deleteSegment(context_, segment, false, false, saveCorruptSegments_ ? 1 : 0);
  recoveredSegs_.fetch_add(1);
}

CZnError ObjectStore::readSectionsFromDiskCache(const guid_t& segment,
                                                std::vector<Section>& sections, bool touch) {
  CZnError err = diskCache_->readSections(context_, segment, sections, touch);
  if (err.errNo() == ENOENT) return err;  // nothing there: the caller restores or reports
  if (!err.ok()) {
    dropIfDamaged(segment, err);
    return err;
  }
  uint64_t foundSize = 0;
  if (!needsUpgrade(sections, foundSize)) return CZnError::Success;

  OSLOG(5, "Upgrading [%s] from %ld to %lu", segment.c_str(), static_cast<long>(foundSize),
        static_cast<unsigned long>(HEADER_SECTION_SIZE));
  std::vector<SectionV> all;
  if (err = diskCache_->readAllSections(context_, segment, all); !err.ok()) {
    err.Push(FX_LOC, "Can't read all sections during upgrade for [%s]", segment.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (err = upgradeSegment(segment, all); !err.ok()) {
    err.Push(FX_LOC, "Can't upgrade [%s]", segment.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (err = diskCache_->readSections(context_, segment, sections, touch); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't read upgraded [%s]", segment.c_str());
    OSLOG_ERR(err);
    return err;
  }
  return CZnError::Success;
}

CZnError ObjectStore::readAllSectionsFromDiskCache(const guid_t& segment,
                                                   std::vector<SectionV>& sections) {
  CZnError err = diskCache_->readAllSections(context_, segment, sections);
  if (err.errNo() == ENOENT) return err;  // nothing there: the caller restores or reports
  if (!err.ok()) {
    dropIfDamaged(segment, err);
    return err;
  }
  SectionV* header = findSection(sections, SECTION_HEADER);
  if (header == nullptr || header->data.size() >= HEADER_SECTION_SIZE)
    return CZnError::Success;

  OSLOG(5, "Upgrading [%s] from %lu to %lu", segment.c_str(),
        static_cast<unsigned long>(header->data.size()),
        static_cast<unsigned long>(HEADER_SECTION_SIZE));
  if (err = upgradeSegment(segment, sections); !err.ok()) {
    err.Push(FX_LOC, "Can't upgrade [%s]", segment.c_str());
    OSLOG_ERR(err);
    return err;
  }
  return CZnError::Success;
}

CZnError ObjectStore::upgradeSegment(const guid_t& segment, std::vector<SectionV>& sections) {
  SectionV* header = findSection(sections, SECTION_HEADER);
  if (header == nullptr) {
    OSLOG(-1, "Error: Can't find FILETYPE in sections for [%s]", segment.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't find FILETYPE in sections for [%s]",
                                   segment.c_str());
  }
  // Fields added by later versions read as zero; nothing else is converted.
  header->size = HEADER_SECTION_SIZE;
  header->data.resize(HEADER_SECTION_SIZE, 0);
  const uint16_t version = FILE_HEADER_VERSION;
  std::memcpy(header->data.data() + offsetof(FileHeaderData, version), &version, sizeof(version));

  std::vector<Section> writes;
  writes.reserve(sections.size());
  for (auto& section : sections) {
    Section write;
    write.number = section.number;
    write.word = section.word;
    write.size = section.size;
    write.buffer = section.data.empty() ? nullptr : section.data.data();
    write.bufferLength = section.data.size();
    writes.push_back(write);
  }
  CZnError err = diskCache_->replaceSegment(context_, segment, writes);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't upgrade segment for [%s]", segment.c_str());
    OSLOG_ERR(err);
  }
  return err;
}

CZnError ObjectStore::readFileHeader(CXFileHeader& header, FileHeaderData& data,
                                     const guid_t& objGuid, const guid_t& verGuid,
                                     ShouldRestore restore) {
  OSLOG(5, "Reading file header: [%s]", verGuid.c_str());
  AttribData cached;
  if (attrCache_.read(verGuid, cached, true)) {
    OSLOG(5, "read data from attrib cache");
    cached.get(data, header);
    return CZnError::Success;
  }

  if (diskCache_->doesSegmentExist(context_, verGuid)) {
    std::vector<Section> sections = {
        makeReadSection(SECTION_HEADER, &data, HEADER_SECTION_SIZE),
        makeReadSection(SECTION_ATTRIBUTE, &header, ATTRIBUTE_SECTION_SIZE)};
    CZnError err = readSectionsFromDiskCache(verGuid, sections, true);
    if (readFailedAndSegmentKept(err)) {
      err.Push(FX_LOC, "Error: Can't read the header of [%s]", verGuid.c_str());
      return err;
    }
    if (!err.ok()) {
      // The damaged segment is gone now; treat it as missing.
      OSLOG(-1, "Error: Can't read sections [%s]: %s", verGuid.c_str(), err.text().c_str());
    } else {
      if (err = checkHeaderRecords(data, sections[0].size, sections[1].size, verGuid); !err.ok())
        return err;
      // A header that can't be cached is still a valid answer.
      (void)attrCache_.insert(verGuid, AttribData(data, header), true, 1);
      return CZnError::Success;
    }
  }

  if (restore == DO_RESTORE) {
    RestoredHeaderData carrier;
    CZnError err = restoreFileHeader(objGuid, verGuid, carrier);
    header = carrier.header;
    data = carrier.data;
    return err;
  }
  OSLOG(5, "can't find [%s] [%s]", objGuid.c_str(), verGuid.c_str());
  return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "can't find [%s] [%s]", objGuid.c_str(),
                                 verGuid.c_str());
}

CZnError ObjectStore::readFileHeaderData(FileHeaderData& data, const guid_t& segment) {
  AttribData cached;
  if (attrCache_.read(segment, cached, true)) {
    CXFileHeader unused;
    cached.get(data, unused);
    return CZnError::Success;
  }
  std::vector<Section> sections = {
      makeReadSection(SECTION_HEADER, &data, HEADER_SECTION_SIZE)};
  CZnError err = readSectionsFromDiskCache(segment, sections, true);
  if (!err.ok()) {
    err.Push(FX_LOC, "Can't read [%s]", segment.c_str());
    OSLOG_ERR(err);
  }
  return err;
}

CZnError ObjectStore::cxFromProps(CXFileHeader& header, FileHeaderData& data,
                                  const index_iface_props& props) {
  return ::ObjectStore::cxFromProps(header, data, props);
}

void ObjectStore::createMetaData(CXFileHeader* header, const guid_t& objGuid,
                                 const guid_t& verGuid, uint64_t mode, uint64_t uid, uint64_t gid,
                                 uint64_t size, uint64_t ctime, uint64_t mtime) {
  ::ObjectStore::createMetaData(header, objGuid, verGuid, mode, uid, gid, size, ctime, mtime);
}

}  // namespace ObjectStore
