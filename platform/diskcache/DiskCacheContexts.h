// DiskCacheContexts: the registered store contexts, and where a context's
// segments are looked up and placed.
//
// A context names up to three areas (DiskCacheTypes.h): its share area
// (`name`), its non-prunable area (`noprunePath`) and, for a point-in-time
// view, its own area (`viewPath`). Lookups try the non-prunable area first,
// then the view area when there is one, otherwise the share area: a view never
// sees the live share's segments. New segments go to the non-prunable area
// when asked to be non-prunable or when the context keeps everything, else to
// the view area when there is one, else to the share area.
//
// Contexts belong to their stores; the cache keeps pointers to the registered
// ones. Their fields are read (copied) under this object's lock, and
// updateContext changes them under the same lock, so that a lookup never sees
// a half-written path. The lock is a leaf: nothing else is taken under it.
#pragma once

#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/diskcache/DiskCacheTypes.h"
#include "platform/diskcache/SegmentFiles.h"
#include "platform/support/CZnError.h"

namespace ObjectStore {

// A context's areas as one operation sees them (a copy).
struct ContextPaths {
  std::string name;
  std::string noprune;
  std::string view;
  bool keepAll = false;

  // Where the context looks for a segment, in order.
  std::vector<std::string> lookupAreas() const;
  // Where a new segment goes; empty when it should be non-prunable and the
  // context has no non-prunable area.
  std::string placement(bool nonPrunable) const;
  // The prunable area of the context (the view's, else the share's).
  std::string prunableArea() const { return view.empty() ? name : view; }
};

class DiskCacheContexts {
 public:
  // A relative path made of plain components: not empty, not absolute, no
  // "." or ".." or empty component, not one of the cache's own directories.
  static CZnError validateArea(const std::string& rel, const char* what);

  // Copies the context's areas, checking them. EINVAL for a bad path.
  CZnError snapshot(const DiskCacheContext& ctx, ContextPaths& out) const;

  CZnError add(DiskCacheContext& ctx);
  // False when the context was not registered.
  bool remove(DiskCacheContext& ctx);
  CZnError update(DiskCacheContext& ctx, const std::string& noprunePath, bool keepAll);
  size_t count() const;

  // The callback that decides about a segment of the share area `subclient`:
  // that of the registered live context of the subclient, else the first
  // registered callback (a container's callback routes by subclient), else
  // none. A copy: the caller invokes it without any cache lock held.
  DiskCachePruneCallback callbackFor(const std::string& subclient) const;

  // Every area a registered context uses, with its kind.
  std::vector<std::pair<std::string, AreaKind>> areas() const;
  // True when some registered context uses the area.
  bool references(const std::string& area) const;

 private:
  mutable std::shared_mutex mutex_;
  std::vector<DiskCacheContext*> contexts_;  // guarded by mutex_
};

}  // namespace ObjectStore
