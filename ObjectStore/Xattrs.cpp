// The extended-attribute blob: how an item's attributes are kept in its xattr
// section, and its base64 form in the item's index record.
//
// Blob layout (every integer an unsigned 32-bit little-endian value):
//   entryCount
//   entryCount times: nameSize, name bytes, valueSize, value bytes
// in map order, with no padding and no checksum. Bytes after the last entry
// are ignored, so the zero padding of the fixed-size section decodes away.
//
// The operations on an item's attributes rewrite its whole blob: read,
// change the map, serialise, write at offset 0 of the xattr section. The
// index keeps the blob too (base64, the "xattr" property of the version), so
// that a restored segment gets its attributes back; it is updated before the
// segment. Results are kept per version in the xattr cache.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/PerfCounters.h"
#include "ObjectStore/ScopedOpeners.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {

namespace {

constexpr size_t XATTR_WORD_SIZE = 4;
constexpr uint64_t XATTR_MAX_WORD = 0xFFFFFFFFull;

void appendWord(std::vector<unsigned char>& out, uint32_t value) {
  for (size_t i = 0; i < XATTR_WORD_SIZE; ++i)
    out.push_back(static_cast<unsigned char>((value >> (8 * i)) & 0xFF));
}

uint32_t readWord(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

CZnError ObjectStore::serializeXattrs(std::vector<unsigned char>& out, const XattrMap& map) {
  out.clear();
  if (map.size() > XATTR_MAX_WORD) {
    OSLOG(-1, "Error: Number of xattrs out of range (%lu)", static_cast<unsigned long>(map.size()));
    return FXErrorUtil::ErrorErrNo(FX_LOC, EOVERFLOW, "Number of xattrs out of range (%lu)",
                                   static_cast<unsigned long>(map.size()));
  }
  appendWord(out, static_cast<uint32_t>(map.size()));
  for (const auto& [name, value] : map) {
    for (size_t length : {name.size(), value.size()}) {
      if (length > XATTR_MAX_WORD) {
        OSLOG(-1, "Error: xattr identifier too big (%lu)", static_cast<unsigned long>(length));
        return FXErrorUtil::ErrorErrNo(FX_LOC, EOVERFLOW, "xattr identifier too big (%lu)",
                                       static_cast<unsigned long>(length));
      }
    }
    appendWord(out, static_cast<uint32_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    appendWord(out, static_cast<uint32_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
  }
  return CZnError::Success;
}

CZnError ObjectStore::deserializeXattrs(XattrMap& map, const std::vector<unsigned char>& blob) {
  if (blob.empty()) return CZnError::Success;
  auto invalid = [&map](const FXCodeLocation& where) {
    OSLOG(-1, "Error: Xattr section invalid size (%lu)", static_cast<unsigned long>(map.size()));
    return FXErrorUtil::ErrorErrNo(where, EINVAL, "Xattr section invalid size (%lu)",
                                   static_cast<unsigned long>(map.size()));
  };
  if (blob.size() < XATTR_WORD_SIZE) return invalid(FX_LOC);

  const unsigned char* p = blob.data();
  const uint32_t entryCount = readWord(p);
  p += XATTR_WORD_SIZE;
  size_t remaining = blob.size() - XATTR_WORD_SIZE;
  for (uint32_t i = 0; i < entryCount; ++i) {
    if (remaining < XATTR_WORD_SIZE) return invalid(FX_LOC);
    const uint32_t nameSize = readWord(p);
    p += XATTR_WORD_SIZE;
    remaining -= XATTR_WORD_SIZE;
    if (remaining < nameSize) return invalid(FX_LOC);
    std::string name(reinterpret_cast<const char*>(p), nameSize);
    p += nameSize;
    remaining -= nameSize;

    if (remaining < XATTR_WORD_SIZE) return invalid(FX_LOC);
    const uint32_t valueSize = readWord(p);
    p += XATTR_WORD_SIZE;
    remaining -= XATTR_WORD_SIZE;
    if (remaining < valueSize) return invalid(FX_LOC);
    map[std::move(name)].assign(p, p + valueSize);
    p += valueSize;
    remaining -= valueSize;
  }
  return CZnError::Success;
}

void ObjectStore::encodeXattr(std::string& out, const std::vector<unsigned char>& blob) {
  out = base64_encode(blob);
}

bool ObjectStore::decodeXattr(std::vector<unsigned char>& out, const std::string& text) {
  return base64_decode(text, out);
}

// ---------------------------------------------------------------------------
// The xattr section and the index

CZnError ObjectStore::readXattrFromSegment(std::vector<unsigned char>& out,
                                           const guid_t& versionGuid, const guid_t& objectGuid) {
  OSLOG(5, "Reading xattr: [%s]", versionGuid.c_str());
  out.clear();
  if (!diskCache_->doesSegmentExist(context_, versionGuid)) {
    RestoredHeaderData carrier;
    CZnError err = restoreFileHeader(objectGuid, versionGuid, carrier);
    if (!err.ok()) {
      err.Push(FX_LOC, "Error: Can't restore file header");
      OSLOG_ERR(err);
      return err;
    }
    out = std::move(carrier.xattrs);
  }
  uint64_t size = 0;
  CZnError err = diskCache_->getSectionSize(size, context_, versionGuid, SECTION_XATTR, 0);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't get section size");
    OSLOG_ERR(err);
    return err;
  }
  if (size == 0) {
    // Whatever a restore delivered stands; a segment without the section
    // has nothing more to say.
    OSLOG(5, "No xattr data");
    return CZnError::Success;
  }
  out.assign(size, 0);
  std::vector<Section> reads = {makeReadSection(SECTION_XATTR, 0, out.data(), out.size())};
  if (err = readSectionsFromDiskCache(versionGuid, reads, true); !err.ok()) {
    out.clear();
    err.Push(FX_LOC, "Error: Can't read sections [%s]", versionGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  out.resize(reads[0].size);
  return CZnError::Success;
}

CZnError ObjectStore::writeXattrDataToSegment(const guid_t& versionGuid,
                                              const std::vector<unsigned char>& blob) {
  // Stale bytes after a shorter blob stay; the decoder never reads them.
  std::vector<Section> writes = {
      makeWriteSection(SECTION_XATTR, 0, blob.data(), static_cast<uint32_t>(blob.size()))};
  CZnError err = diskCache_->writeSections(context_, versionGuid, writes, false, 0);
  // A pruned item: its segment comes back from the index, then the write.
  if (err.errNo() == ENOENT && restoreMissingVersionSegment(versionGuid).ok())
    err = diskCache_->writeSections(context_, versionGuid, writes, false, 0);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't write xattr to [%s]", versionGuid.c_str());
    logErrorUnlessNoSpace(err);
  }
  return err;
}

CZnError ObjectStore::sendXattrsToIndex(std::vector<unsigned char>& blob, const guid_t& objectGuid,
                                        const guid_t& versionGuid) {
  std::string encoded;
  encodeXattr(encoded, blob);
  FileHeaderData data;
  CZnError err = readFileHeaderData(data, versionGuid);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't read file header for [%s]", versionGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  index_iface_props props;
  props.objGuid = objectGuid;
  props.verGuid = versionGuid;
  props.vtime = static_cast<int64_t>(data.versionTimeNs);
  props.customProps[XATTR_CUSTOM_PROP] = encoded;
  const int rc = index_->update_item(props);
  if (rc != 0) {
    OSLOG(-1, "Error: Can't update index for [%s] (%d)", objectGuid.c_str(), rc);
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't update index for [%s] (%d)",
                                   objectGuid.c_str(), rc);
  }
  return CZnError::Success;
}

CZnError ObjectStore::readAllXattrs(XattrMap& map, ItemName& item) {
  map.clear();
  const guid_t objGuid = item.getObjGuid(*this);
  if (objGuid.empty()) {
    OSLOG(-1, "[%s] Error: Can't get object guid for [%s]", rootName_.c_str(), item.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Can't get object guid for [%s]",
                                   item.path.c_str());
  }
  if (item.verGuid.empty()) {
    CZnError err = getLatestVersion(objGuid, item.verGuid);
    if (!err.ok()) {
      err.Push(FX_LOC, "Error: Can't get version of [%s]", objGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }
  if (xattrCache_.read(item.verGuid, map, true)) return CZnError::Success;

  std::vector<unsigned char> blob;
  CZnError err = readXattrFromSegment(blob, item.verGuid, objGuid);
  if (!err.ok()) {
    // Reading on as if the item had no attributes would let the next change
    // write a blob without them: the read error is the answer.
    OSLOG(-1, "[%s] Error: can't read file header [%s] [%s]", rootName_.c_str(), objGuid.c_str(),
          item.verGuid.c_str());
    err.Push(FX_LOC, "Error: can't read xattrs of [%s]", item.verGuid.c_str());
    return err;
  }
  if (blob.empty()) return CZnError::Success;
  if (err = deserializeXattrs(map, blob); !err.ok()) {
    err.Push(FX_LOC, "Error: can't deserialize xattrs [%s]", item.verGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  return CZnError::Success;
}

namespace {

// Serialises the map, checks it against the store's limit and records it in
// the index (unless the store discards writes), the segment and the cache.
// Nothing is written when the blob is over the limit.
CZnError storeXattrs(ObjectStore& store, const XattrMap& map, const guid_t& objGuid,
                     const guid_t& verGuid) {
  std::vector<unsigned char> blob;
  CZnError err = ObjectStore::serializeXattrs(blob, map);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: can't serialize xattrs [%s]", verGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  const size_t limit = static_cast<size_t>(std::max(store.getConfig().maxXattrSize, 0));
  if (blob.size() > limit) {
    OSLOG(-1, "Error: Extended attributes exceed max size of %u bytes",
          static_cast<unsigned>(limit));
    return FXErrorUtil::ErrorErrNo(FX_LOC, EFBIG, "Extended attributes exceed max size of %u bytes",
                                   static_cast<unsigned>(limit));
  }
  if (!store.discardsWrites()) {
    if (err = store.sendXattrsToIndex(blob, objGuid, verGuid); !err.ok()) {
      err.Push(FX_LOC, "Error: can't send to index for [%s]", verGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }
  if (err = store.writeXattrDataToSegment(verGuid, blob); !err.ok()) {
    err.Push(FX_LOC, "Error: can't write xattrs [%s]", verGuid.c_str());
    logErrorUnlessNoSpace(err);
    return err;
  }
  // A map that can't be cached is read from the segment next time.
  (void)store.xattrCache().insert(verGuid, map, true, 1);
  return CZnError::Success;
}

// Opens the item with its item lock, which `opener` holds until it goes out
// of scope (a change is written back under the lock it was read under), and
// reads all its attributes. `shownGuid` names the item in the messages.
CZnError openAndReadXattrs(ObjectStore& store, AutoFileOpener& opener, ItemName& item,
                           const guid_t& shownGuid, XattrMap& map) {
  CZnError err = opener.open(LOCK_ITEM, O_RDONLY);
  if (!err.ok()) {
    err.Push(FX_LOC, "Error: Can't open [%s] [%s]", shownGuid.c_str(), item.path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  if (err = store.readAllXattrs(map, item); !err.ok()) {
    err.Push(FX_LOC, "Error: Can't read xattrs for [%s] [%s]", shownGuid.c_str(),
             item.path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  return CZnError::Success;
}

}  // namespace

// ---------------------------------------------------------------------------
// The operations

CZnError ObjectStore::setxattr(ItemName& item, const std::string& name,
                               const std::vector<unsigned char>& value) {
  OSLOG(3, "[%s] setxattr [%s] [%s] name=[%s] size=%lu", rootName_.c_str(), item.objGuid.c_str(),
        item.path.c_str(), name.c_str(), static_cast<unsigned long>(value.size()));
  TimeFunction timer("setxattr", PERF_SETXATTR);
  // A read-only view must not change the versions it shows, nor their
  // records in the share's index.
  if (readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "[%s] read only", rootName_.c_str());
  }
  AutoFileOpener opener(*this, item);
  XattrMap map;
  CZnError err = openAndReadXattrs(*this, opener, item, item.objGuid, map);
  if (!err.ok()) return err;
  map[name] = value;
  if (err = storeXattrs(*this, map, item.objGuid, item.verGuid); !err.ok()) return err;
  OSLOG(5, "[%s] setxattr success [%s] [%s] name=[%s] size=%lu", rootName_.c_str(),
        item.objGuid.c_str(), item.path.c_str(), name.c_str(),
        static_cast<unsigned long>(value.size()));
  return CZnError::Success;
}

CZnError ObjectStore::getxattr(ItemName& item, const std::string& name,
                               std::vector<unsigned char>& value) {
  OSLOG(3, "[%s] getxattr [%s] [%s] name=[%s]", rootName_.c_str(), item.objGuid.c_str(),
        item.path.c_str(), name.c_str());
  TimeFunction timer("getxattr", PERF_GETXATTR);
  const guid_t objGuid = item.getObjGuid(*this);
  if (objGuid.empty()) {
    OSLOG(-1, "Error: Can't get objguid [%s] [%s]", item.objGuid.c_str(), item.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "Can't get objguid [%s]", item.path.c_str());
  }
  XattrMap map;
  guid_t verGuid;
  // A recently changed item is answered from the caches, without its lock.
  const bool cached =
      versionCache_.findData(objGuid, verGuid).ok() && xattrCache_.read(verGuid, map, true);
  if (!cached) {
    AutoFileOpener opener(*this, item);
    if (CZnError err = openAndReadXattrs(*this, opener, item, objGuid, map); !err.ok()) return err;
  }
  auto found = map.find(name);
  if (found == map.end()) {
    OSLOG(3, "xattr [%s] not found in [%s]", name.c_str(), objGuid.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "xattr [%s] not found in [%s]", name.c_str(),
                                   objGuid.c_str());
  }
  value = found->second;
  OSLOG(5, "[%s] getxattr success [%s] [%s] name=[%s] size=%lu", rootName_.c_str(), objGuid.c_str(),
        item.path.c_str(), name.c_str(), static_cast<unsigned long>(value.size()));
  return CZnError::Success;
}

CZnError ObjectStore::listxattr(ItemName& item, std::vector<std::string>& names) {
  OSLOG(3, "[%s] listxattr [%s] [%s]", rootName_.c_str(), item.objGuid.c_str(), item.path.c_str());
  AutoFileOpener opener(*this, item);
  XattrMap map;
  CZnError err = openAndReadXattrs(*this, opener, item, item.objGuid, map);
  if (!err.ok()) return err;
  names.clear();
  names.reserve(map.size());
  for (const auto& entry : map) names.push_back(entry.first);
  OSLOG(5, "[%s] listxattr success [%s] [%s] size=%lu", rootName_.c_str(), item.objGuid.c_str(),
        item.path.c_str(), static_cast<unsigned long>(names.size()));
  return CZnError::Success;
}

CZnError ObjectStore::removexattr(ItemName& item, const std::string& name) {
  OSLOG(3, "[%s] removexattr [%s] [%s] name=[%s]", rootName_.c_str(), item.objGuid.c_str(),
        item.path.c_str(), name.c_str());
  if (readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "[%s] read only", rootName_.c_str());
  }
  AutoFileOpener opener(*this, item);
  XattrMap map;
  CZnError err = openAndReadXattrs(*this, opener, item, item.objGuid, map);
  if (!err.ok()) return err;
  if (map.erase(name) != 0) {
    // The index is kept in step as well: a segment restored from it must not
    // bring the removed attribute back.
    if (err = storeXattrs(*this, map, item.objGuid, item.verGuid); !err.ok()) return err;
  } else {
    OSLOG(3, "removexattr: [%s] not found in [%s]", name.c_str(), item.objGuid.c_str());
  }
  OSLOG(5, "[%s] removexattr success [%s] [%s] name=[%s]", rootName_.c_str(), item.objGuid.c_str(),
        item.path.c_str(), name.c_str());
  return CZnError::Success;
}

}  // namespace ObjectStore
