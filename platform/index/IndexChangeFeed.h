// The change feed of a share's index: every add, update, delete and rename,
// tagged with the origin (writer) that made it, read by named consumers
// that each keep a cursor.
//
// Why origins are bound to consumers: a store reads the feed at start-up to
// bring its local cache up to date with what OTHER writers did. Its own
// changes are already in its cache, and replaying them can undo later local
// state (an add replayed after a rename re-lists the item in its old
// directory). Each index_iface has a random origin; when it reads the feed
// for a consumer, its origin becomes that consumer's, and the changes of
// every origin of a consumer are never handed to that consumer, including
// those of its earlier runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/index/index_iface.h"

namespace ObjectStore {

class IndexConnection;

enum IndexChangeKind : uint32_t {
  INDEX_CHANGE_ADD = 1,
  INDEX_CHANGE_UPDATE = 2,
  INDEX_CHANGE_DELETE = 3,
  INDEX_CHANGE_RENAME = 4,
};

// The feed keeps at most this many changes; a consumer that falls further
// behind than that misses the oldest (it logs when rows are dropped).
inline constexpr int64_t INDEX_MAX_CHANGE_ROWS = 1000000;

class IndexChangeFeed {
 public:
  explicit IndexChangeFeed(IndexConnection& connection);

  // Appends one change; runs inside the writer's transaction. change
  // supplies objGuid, verGuid, parentGuid, path, name, mode, size, uid,
  // gid, ctime, mtime and updateSelector.
  int record(const std::string& origin, IndexChangeKind kind, const index_iface_props& change,
             int64_t stampNs);

  // Binds origin to consumer, fills items with the changes after the
  // consumer's cursor made by origins not bound to it, moves the cursor
  // past every change and trims.
  // Runs its own write transaction.
  int take(const std::string& consumer, const std::string& origin,
           std::vector<index_iface_props>& items);

  // Drops the changes no consumer will be handed (each has passed them or
  // wrote them) and, beyond INDEX_MAX_CHANGE_ROWS, the oldest. A consumer
  // that reads for the first time gets what is left. Runs inside a write
  // transaction.
  int trim();

 private:
  IndexConnection& connection_;
};

}  // namespace ObjectStore
