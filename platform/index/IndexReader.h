// Point-in-time queries over a share's index database.
//
// Every query takes a cutoff (asOfCutoffNs): the state it answers for is
// made of the changes stamped below the cutoff. The caller holds the
// connection's owner lock and, for a consistent answer across several
// queries, a read (or write) transaction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/index/IndexRecords.h"
#include "platform/index/index_iface.h"

namespace ObjectStore {

class IndexConnection;

// A row of objects.
struct IndexObject {
  std::string guid;
  IndexKind kind = IndexKind::File;
  std::string parentFile;  // extents: the file
  uint64_t extentNumber = UINT64_MAX;
  bool isExtent() const { return kind == IndexKind::Extent; }
};

// A row of versions.
struct IndexVersion {
  std::string verGuid;
  int64_t vtimeNs = 0;
};

// An object's name at one time (a row of names).
struct IndexName {
  int64_t seq = 0;
  std::string parentGuid;
  std::string name;
  int64_t fromNs = 0;
};

class IndexReader {
 public:
  IndexReader(IndexConnection& connection, bool caseSensitive);

  // The recorded content root ("" when none). 0 or errno.
  int rootGuid(std::string& guid);
  // Drops the remembered root (after set_content_root_props).
  void forgetRoot();
  int metaValue(const char* key, std::string& value);  // "" when absent

  // ENOENT when the object is unknown.
  int object(const std::string& guid, IndexObject& out);
  // The version created last (by vtime) before the cutoff; ENOENT when none.
  int newestVersion(const std::string& objGuid, int64_t cutoff, IndexVersion& out);
  // ENOENT when this version of the object is unknown.
  int version(const std::string& objGuid, const std::string& verGuid, IndexVersion& out);
  // The version's attributes in force at the cutoff; ENOENT when none.
  int attributes(const std::string& objGuid, const std::string& verGuid, int64_t cutoff,
                 IndexAttributes& out);
  // Deletion state of an object (verGuid "") or an extent version at the
  // cutoff; stampNs is the deletion's stamp when deleted.
  int deletion(const std::string& objGuid, const std::string& verGuid, int64_t cutoff,
               bool& deleted, int64_t& stampNs);
  // The object's name at the cutoff; ENOENT when it has none then.
  int nameAt(const std::string& objGuid, int64_t cutoff, IndexName& out);
  // Created before the cutoff and not deleted by then.
  int alive(const std::string& objGuid, int64_t cutoff, bool& isAlive);
  // The path of a non-extent object at the cutoff, walked up through its
  // ancestors' names then; ENOENT when no path led to it (an ancestor
  // deleted or not yet named), EIO for a cycle.
  int pathAt(const std::string& objGuid, int64_t cutoff, std::string& path,
             std::string& parentGuid);
  // The backup location of a segment at the cutoff (see set_backup_location);
  // -1/-1 when none is recorded.
  int location(const std::string& segment, int64_t cutoff, int64_t& afileId, int64_t& afileOffset);

  // The public lookups (records filled as index_iface documents them).
  int findByGuid(const std::string& guid, int64_t cutoff, index_iface_props& props);
  int findByPath(const std::string& path, int64_t cutoff, index_iface_props& props);
  // Appends the records (allocated with new) to list; nothing is appended
  // on failure.
  int browseChildren(const std::string& dirGuid, int64_t cutoff,
                     std::vector<index_iface_props*>& list);
  int browseExtents(const std::string& fileGuid, int64_t cutoff,
                    std::vector<index_iface_props*>& list);

  // Fills props with the object's newest version at the cutoff. For a
  // non-extent, path and parentGuid are taken from knownPath/knownParent
  // when knownPath is not null, else walked. A deleted object (or, for an
  // extent, a deleted newest version) gives ENOENT unless keepDeleted, in
  // which case dtime carries the deletion time in seconds.
  int describe(const IndexObject& object, int64_t cutoff, index_iface_props& props,
               const std::string* knownPath, const std::string* knownParent, bool keepDeleted);

 private:
  // Runs a query that gives at most one row: bind fills its parameters, read
  // takes the row and returns 0 or errno. ENOENT when there is no row.
  // Defined in IndexReader.cpp, its only user.
  template <class Bind, class Read>
  int queryOneRow(const char* sql, Bind&& bind, Read&& read);

  struct Child {
    std::string objGuid;
    std::string name;
    int64_t fromNs = 0;
    int64_t seq = 0;
  };
  // The live child that holds `name` under parentGuid at the cutoff (the
  // one that took it last); ENOENT when none.
  int childByName(const std::string& parentGuid, const std::string& name, int64_t cutoff,
                  Child& out);
  // Every live child at the cutoff, one per name, sorted by name.
  int children(const std::string& parentGuid, int64_t cutoff, std::vector<Child>& out);

  IndexConnection& connection_;
  const bool caseSensitive_;
  std::string rootGuid_;  // the share's root once read
};

}  // namespace ObjectStore
