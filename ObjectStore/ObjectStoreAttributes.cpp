// Changing an item's POSIX attributes (setattr and its convenience forms
// chmod, chown, utimes) and stamping an item's times (updateTimes).
//
// Every change goes to three places, in this order: the attribute cache, the
// version segment's header sections, the index. A header that can't be
// written does not fail the change: the segment is dropped instead (unless
// it was missing anyway), so that the next read rebuilds it from the index,
// which has the new values.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "ObjectStore/ObjectStore.h"
#include "ObjectStore/PerfCounters.h"
#include "ObjectStore/ScopedOpeners.h"
#include "ObjectStore/StoreHelpers.h"
#include "platform/support/Clock.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"

namespace ObjectStore {

namespace {

// The two times as they lie side by side in a CXFileHeader.
struct HeaderTimes {
  uint64_t mtime = 0;
  uint64_t ctime = 0;
};
static_assert(sizeof(HeaderTimes) == 16);
static_assert(offsetof(CXFileHeader, ctime) == offsetof(CXFileHeader, mtime) + sizeof(uint64_t));

// mode, uid and gid as they lie side by side in a CXFileHeader.
struct HeaderOwnership {
  uint64_t mode = 0;
  uint64_t uid = 0;
  uint64_t gid = 0;
};
static_assert(sizeof(HeaderOwnership) == 24);
static_assert(offsetof(CXFileHeader, uid) == offsetof(CXFileHeader, mode) + sizeof(uint64_t) &&
              offsetof(CXFileHeader, gid) == offsetof(CXFileHeader, uid) + sizeof(uint64_t));

// The requested mode with the item's own kind: setattr changes permission
// bits only, never whether an item is a file, a directory or a link.
uint64_t keepKind(uint64_t currentMode, mode_t requested) {
  return (currentMode & MODE_TYPE_MASK) | (static_cast<uint64_t>(requested) & ~MODE_TYPE_MASK);
}

std::string fixedText(const char* field, size_t width) {
  return std::string(field, strnlen(field, width));
}

}  // namespace

CZnError ObjectStore::setattr(ItemName& item, const struct stat& st) {
  OSLOG(4, "[%s] setattr [%s] [%s]", rootName_.c_str(), item.objGuid.c_str(), item.path.c_str());
  if (readOnly_.load()) {
    OSLOG(-1, "[%s] Error: read only", rootName_.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, EPERM, "[%s] read only", rootName_.c_str());
  }
  TimeFunction timer("setattr", PERF_SETATTR);
  // Held to the end: two attribute changes of one item are serialised.
  AutoFileOpener opener(*this, item);
  CZnError err = opener.open(LOCK_ITEM, O_RDONLY);
  if (!err.ok()) {
    err.Push(FX_LOC, "Can't open [%s] [%s]", item.objGuid.c_str(), item.path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  const guid_t objGuid = item.getObjGuid(*this);
  if (objGuid.empty()) {
    OSLOG(-1, "[%s] Error: can't get objguid [%s] [%s]", rootName_.c_str(), item.objGuid.c_str(),
          item.path.c_str());
    return FXErrorUtil::ErrorErrNo(FX_LOC, ENOENT, "can't get objguid [%s]", item.path.c_str());
  }
  guid_t verGuid;
  if (err = getLatestVersion(objGuid, verGuid); !err.ok()) {
    err.Push(FX_LOC, "[%s] Error: can't get latest version of [%s]", rootName_.c_str(),
             objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }

  const uint64_t uid = static_cast<uint64_t>(st.st_uid);
  const uint64_t gid = static_cast<uint64_t>(st.st_gid);
  const uint64_t mtime = static_cast<uint64_t>(st.st_mtime);

  // The item's kind comes from the first of cache, header and index that
  // knows it; the header is read before anything changes.
  FileHeaderData data;
  CXFileHeader header;
  std::vector<Section> reads = {
      makeReadSection(SECTION_HEADER, 0, &data, HEADER_SECTION_SIZE),
      makeReadSection(SECTION_ATTRIBUTE, 0, &header, ATTRIBUTE_SECTION_SIZE)};
  if (err = readSectionsFromDiskCache(verGuid, reads, true); readFailedAndSegmentKept(err)) {
    // Changed in the cache and the index only, the header on disk would
    // bring the old values back after a restart.
    err.Push(FX_LOC, "Error: [%s] Can't setattr: [%s]", rootName_.c_str(), objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  const bool headerRead = err.ok() && reads[0].size == HEADER_SECTION_SIZE &&
                          reads[1].size == ATTRIBUTE_SECTION_SIZE;
  index_iface_props props;
  if (!headerRead) {
    if (err = findObjGuidFromIndex(objGuid, props); !err.ok()) {
      err.Push(FX_LOC, "Can't find [%s] in index", objGuid.c_str());
      err.Push(FX_LOC, "Error: [%s] Can't setattr: [%s]", rootName_.c_str(), objGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }
  uint64_t currentMode = static_cast<uint64_t>(st.st_mode);
  AttribData cachedCopy;
  if (headerRead) {
    currentMode = header.mode;
  } else if (attrCache_.read(verGuid, cachedCopy, false)) {
    currentMode = cachedCopy.mode;
  } else if (props.modeValid) {
    currentMode = static_cast<uint64_t>(static_cast<unsigned>(props.mode));
  }
  const uint64_t mode = keepKind(currentMode, st.st_mode);

  {
    LruCache<std::string, AttribData>::LockGuard guard(attrCache_);
    if (AttribData* cached = attrCache_.findNoLock(verGuid, true)) {
      cached->mode = mode;
      cached->uid = uid;
      cached->gid = gid;
      cached->mtime = mtime;
    }
  }

  int64_t versionTimeNs = props.vtime;
  if (headerRead) {
    // Only the changed fields go to disk: updateTimes stamps the times of
    // the same record without the item lock, and a write of the whole record
    // read earlier would put its old times back.
    const HeaderOwnership ownership{mode, uid, gid};
    std::vector<Section> writes = {
        makeWriteSection(SECTION_ATTRIBUTE, offsetof(CXFileHeader, mode), &ownership,
                         sizeof(ownership)),
        makeWriteSection(SECTION_ATTRIBUTE, offsetof(CXFileHeader, mtime), &mtime, sizeof(mtime))};
    CZnError writeErr = diskCache_->writeSections(context_, verGuid, writes, false, 0);
    if (!writeErr.ok()) {
      OSLOG(-1, "[%s] Can't write [%s]", rootName_.c_str(), verGuid.c_str());
      // The cache and the index still get the new values; a dropped segment
      // is rebuilt from the index by the next read.
      if (writeErr.errNo() != ENOENT)
        (void)diskCache_->deleteSegment(context_, verGuid, false, false,
                                        saveCorruptSegments_ ? 1 : 0);
    }
    props.parentGuid = fixedText(data.parentGuid, sizeof(data.parentGuid));
    versionTimeNs = static_cast<int64_t>(data.versionTimeNs);
  }

  if (discardWrites_.load()) {
    OSLOG(5, "indexing skipped for [%s]", objGuid.c_str());
    return CZnError::Success;
  }
  // Only what setattr changes is sent: every other field stays as recorded.
  index_iface_props update;
  update.objGuid = objGuid;
  update.verGuid = verGuid;
  update.parentGuid = props.parentGuid;
  update.vtime = versionTimeNs;
  update.size = -1;  // unchanged
  update.modeValid = true;
  update.mode = static_cast<int>(mode);
  update.uidValid = true;
  update.uid = static_cast<int>(uid);
  update.gidValid = true;
  update.gid = static_cast<int>(gid);
  update.mtime = static_cast<int64_t>(mtime);
  const int rc = index_->update_item(update);
  if (rc != 0) {
    err = FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't update index [%s] ([%d])", verGuid.c_str(),
                                  rc);
    err.Push(FX_LOC, "Error: [%s] Can't setattr: [%s]", rootName_.c_str(), objGuid.c_str());
    OSLOG_ERR(err);
    return err;
  }
  return CZnError::Success;
}

namespace {

// getattr, a change of the result, setattr: the shape of chmod, chown and
// utimes.
template <class Change>
CZnError changeAttributes(ObjectStore& store, ItemName& item, Change change) {
  const char* root = store.getRootName().c_str();
  struct stat st {};
  CZnError err = store.getattr(item, st);
  if (!err.ok()) {
    err.Push(FX_LOC, "[%s] can't getattr in [%s] [%s]", root, item.objGuid.c_str(),
             item.path.c_str());
    OSLOG_ERR(err);
    return err;
  }
  change(st);
  if (err = store.setattr(item, st); !err.ok()) {
    err.Push(FX_LOC, "[%s] can't setattr in [%s] [%s]", root, item.objGuid.c_str(),
             item.path.c_str());
    OSLOG_ERR(err);
  }
  return err;
}

}  // namespace

CZnError ObjectStore::chmod(ItemName& item, mode_t mode) {
  OSLOG(3, "[%s] chmod [%s] [%s] %x", rootName_.c_str(), item.objGuid.c_str(), item.path.c_str(),
        static_cast<unsigned>(mode));
  TimeFunction timer("chmod", PERF_CHMOD);
  return changeAttributes(*this, item, [mode](struct stat& st) {
    st.st_mode = static_cast<mode_t>((st.st_mode & S_IFMT) | (mode & ~S_IFMT));
  });
}

CZnError ObjectStore::chown(ItemName& item, uid_t uid, gid_t gid) {
  OSLOG(3, "[%s] chown [%s] [%s]", rootName_.c_str(), item.objGuid.c_str(), item.path.c_str());
  TimeFunction timer("chown", PERF_CHOWN);
  return changeAttributes(*this, item, [uid, gid](struct stat& st) {
    if (uid != static_cast<uid_t>(-1)) st.st_uid = uid;
    if (gid != static_cast<gid_t>(-1)) st.st_gid = gid;
  });
}

CZnError ObjectStore::utimes(ItemName& item, const timeval& atime, const timeval& mtime) {
  OSLOG(3, "[%s] utimes [%s] [%s]", rootName_.c_str(), item.objGuid.c_str(), item.path.c_str());
  TimeFunction timer("utimes", PERF_UTIMES);
  // No access time is stored; setattr keeps the modification time only.
  return changeAttributes(*this, item, [&atime, &mtime](struct stat& st) {
    st.st_atime = atime.tv_sec;
    st.st_mtime = mtime.tv_sec;
  });
}

CZnError ObjectStore::updateTimes(const guid_t& objectGuid, const guid_t& versionGuid) {
  const uint64_t now = static_cast<uint64_t>(clockNowSec());
  {
    LruCache<std::string, AttribData>::LockGuard guard(attrCache_);
    if (AttribData* cached = attrCache_.findNoLock(versionGuid, true)) {
      cached->mtime = now;
      cached->ctime = now;
    }
  }

  HeaderTimes times;
  times.mtime = now;
  times.ctime = now;
  std::vector<Section> writes = {
      makeWriteSection(SECTION_ATTRIBUTE, offsetof(CXFileHeader, mtime), &times, sizeof(times))};
  // A failed write has been logged and the segment dropped (unless it was
  // missing); the index below still gets the new times.
  (void)writeHeaderSections(versionGuid, writes);

  index_iface_props props;
  FileHeaderData data;
  if (readFileHeaderData(data, versionGuid).ok()) {
    props.vtime = static_cast<int64_t>(data.versionTimeNs);
  } else {
    OSLOG(-1, "Error: Can't read file header for [%s]", versionGuid.c_str());
    CZnError err = findObjGuidFromIndex(objectGuid, props);
    if (!err.ok()) {
      err.Push(FX_LOC, "Can't read [%s] from index", objectGuid.c_str());
      OSLOG_ERR(err);
      return err;
    }
  }

  if (discardWrites_.load()) {
    OSLOG(5, "indexing skipped for [%s]", objectGuid.c_str());
    return CZnError::Success;
  }
  index_iface_props update;
  update.objGuid = objectGuid;
  update.verGuid = versionGuid;
  update.vtime = props.vtime;
  update.mtime = static_cast<int64_t>(now);
  update.ctime = static_cast<int64_t>(now);
  const int rc = index_->update_item(update);
  if (rc != 0) {
    OSLOG(-1, "Error: Can't update index for [%s] (%d)", objectGuid.c_str(), rc);
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't update index for [%s] (%d)",
                                   objectGuid.c_str(), rc);
  }
  return CZnError::Success;
}

}  // namespace ObjectStore
