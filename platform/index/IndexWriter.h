// The changes to a share's index database: versions, attribute updates,
// deletions, renames, backup locations and the content root. Each public
// method is one write transaction that also appends its change to the
// change feed; on failure nothing of it remains.
//
// The caller holds the connection's owner lock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/index/IndexChangeFeed.h"
#include "platform/index/IndexReader.h"
#include "platform/index/IndexRecords.h"
#include "platform/index/index_iface.h"

namespace ObjectStore {

class IndexConnection;

class IndexWriter {
 public:
  // origin: the writer's change-feed origin.
  IndexWriter(IndexConnection& connection, bool caseSensitive, std::string origin);

  // The operations of index_iface with the same documented effects.
  int add(const index_iface_props& props);
  // locationRecorded: set when the update carried a backup location.
  int update(const index_iface_props& props, bool& locationRecorded);
  int remove(const index_iface_props& props);
  int rename(const index_iface_props& props, const std::string& oldParentGuid,
             const std::string& oldPath, bool isDirectory);
  int setRoot(const index_iface_props& props);
  int setLocations(const std::vector<index_iface::BackupLocation>& locations);

 private:
  // Where a non-extent object is now (latest); an extent's parent is its
  // file. Fields left empty when the object has no reachable path.
  struct Place {
    std::string path;
    std::string parentGuid;
    std::string name;
  };
  int placeOf(const IndexObject& object, Place& out);
  // The parent GUID given, or the one found at the parent path of `path`.
  int resolveParent(const std::string& parentGuid, const std::string& path, std::string& resolved);
  // True when ancestor is candidate or one of its ancestors now.
  int isAncestorOrSelf(const std::string& ancestor, const std::string& candidate, bool& result);

  int insertObject(const IndexObject& object, int64_t createdNs);
  int insertVersion(const std::string& objGuid, const std::string& verGuid, int64_t vtimeNs);
  int insertAttributes(const std::string& objGuid, const std::string& verGuid, int64_t stampNs,
                       const IndexAttributes& attributes);
  int insertName(const std::string& objGuid, const std::string& parentGuid, const std::string& name,
                 int64_t fromNs);
  int closeName(int64_t seq, int64_t toNs);
  int insertDeletion(const std::string& objGuid, const std::string& verGuid, int64_t stampNs,
                     bool deleted);
  int insertLocation(const std::string& segment, int64_t afileId, int64_t afileOffset,
                     int64_t stampNs);
  int setMeta(const char* key, const std::string& value);
  // The latest attributes of a version (empty ones when it has none).
  int latestAttributes(const std::string& objGuid, const std::string& verGuid,
                       IndexAttributes& out);
  int recordChange(IndexChangeKind kind, const IndexObject& object, const std::string& verGuid,
                   const Place& place, const IndexAttributes& attributes, int64_t stampNs);

  IndexConnection& connection_;
  IndexReader reader_;
  IndexChangeFeed feed_;
  const std::string origin_;
  uint64_t changesSinceTrim_ = 0;
};

}  // namespace ObjectStore
