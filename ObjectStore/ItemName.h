// ItemName: how a caller names one item of a share, by path, by object GUID,
// or both, with the object GUID found lazily from the path.
#pragma once

#include <string>
#include <utility>

#include "ObjectStore/Identifiers.h"
#include "platform/support/CZnError.h"
#include "platform/support/LogWriter.h"

namespace ObjectStore {

// A value owned by its caller, never shared between threads while it is being
// resolved. Operations take it by non-const reference because they fill in
// objGuid (and sometimes verGuid and path) as they resolve it.
class ItemName {
 public:
  // Object GUID; empty while not yet known.
  guid_t objGuid;
  // Version GUID found by the last index lookup; may stay empty (a cache hit
  // finds only the object GUID).
  guid_t verGuid;
  // Absolute '/'-separated path inside the share; empty when named by GUID.
  std::string path;
  // The item is the share's root directory.
  bool isRoot = false;

  ItemName() = default;
  // Names an item by its path.
  explicit ItemName(const std::string& itemPath) : path(itemPath) {}
  // Names an item by its object GUID.
  ItemName(const guid_t& guid, bool root) : objGuid(guid), isRoot(root) {}

  ItemName(const ItemName&) = default;
  ItemName& operator=(const ItemName&) = default;
  ItemName(ItemName&&) = default;
  ItemName& operator=(ItemName&&) = default;

  // Returns objGuid, resolving it first when it is empty:
  //   - a known objGuid is returned as is, without any lookup;
  //   - the root directory is looked up by the path "/";
  //   - with no path there is nothing to look up: the result is empty;
  //   - the store's path cache is asked first; on a hit objGuid is set and
  //     verGuid is left as it was;
  //   - otherwise the store's index (as of the store's point in time); on a
  //     hit objGuid and verGuid are both set from the found record;
  //   - on a miss "No guid found for [<path>]" is logged at level 5 and
  //     objGuid stays empty.
  // Callers treat an empty result as a missing item. The reference stays
  // valid as long as this ItemName.
  //
  // Store must provide:
  //   CZnError findGuidInPathCache(guid_t& guid, const std::string& path);
  //     the path cache; on success guid holds the object GUID of path.
  //   CZnError findPathFromIndex(const std::string& path,
  //                              typename Store::IndexProps& props);
  //     the index lookup; on success props.objGuid and props.verGuid
  //     (string members of a default-constructible IndexProps) describe the
  //     item's latest version as the store sees it.
  // A lookup that succeeds with an empty object GUID counts as a miss.
  template <class Store>
  const guid_t& getObjGuid(Store& store);
};

template <class Store>
const guid_t& ItemName::getObjGuid(Store& store) {
  if (!objGuid.empty()) return objGuid;
  if (isRoot) path.assign(1, OBJSTR_DELIMITER);
  if (path.empty()) return objGuid;

  // Lookups write into locals so that a failing source can never leave a
  // partial answer in this name.
  guid_t cached;
  if (store.findGuidInPathCache(cached, path).ok() && !cached.empty()) {
    objGuid = std::move(cached);
    return objGuid;
  }

  typename Store::IndexProps props{};
  if (store.findPathFromIndex(path, props).ok() && !props.objGuid.empty()) {
    objGuid = props.objGuid;
    verGuid = props.verGuid;
  } else {
    OSLOG(5, "No guid found for [%s]", path.c_str());
  }
  return objGuid;
}

}  // namespace ObjectStore
