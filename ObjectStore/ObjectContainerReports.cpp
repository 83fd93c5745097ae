// The container's reports (status, counters, GUI statistics) and its debug
// commands. Every report reads a store only while holding the store list
// shared, so that the store is not closed while it is read.
#include <cerrno>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ObjectStore/ContainerWithStore.h"
#include "ObjectStore/ObjectContainer.h"
#include "ObjectStore/ObjectStore.h"
#include "platform/diskcache/DiskCache.h"
#include "platform/index/index_iface.h"
#include "platform/support/LogWriter.h"
#include "platform/support/ThrdPerfCounter.h"
#include "platform/utils/StringUtils.h"

namespace ObjectStore {

namespace {

// Reads text as an unsigned 64-bit decimal number: digits only, at least
// one, no sign, no blanks, no overflow. On failure `why` says what is wrong.
bool parseDecimal(const std::string& text, uint64_t& value, std::string& why) {
  if (text.empty()) {
    why = "empty value";
    return false;
  }
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      why = "not a decimal number";
      return false;
    }
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) {
      why = "out of range";
      return false;
    }
    result = result * 10 + digit;
  }
  value = result;
  return true;
}

// The debug commands that name a store and are run by it.
bool isStoreDebugCommand(const std::string& word) {
  return word == "dumpdircache" || word == "dumpattribcache" || word == "flushattribcache" ||
         word == "flushdircache" || word == "killdelete" || word == "killrename";
}

}  // namespace

// ---------------------------------------------------------------------------
// Reports

void ObjectContainer::getStatus(std::map<std::string, std::string>& status) {
  pushStat(status, "cacheDir", containerDir_);
  pushStat(status, "numStores", static_cast<uint64_t>(numShares()));
  pushStat(status, "ObjectContainerPtr", to_hexstring(static_cast<const void*>(this)));
  if (diskCache_) diskCache_->getStatus(status);
  // The store list is taken once per slot rather than for the whole walk,
  // so that a long report never keeps an open or a close waiting for long.
  for (ObjectStoreIndex slot = 0;; ++slot) {
    StoresReadLock guard(storesWriterGate_, storesLock_);
    if (slot >= stores_.size()) break;
    ObjectStore* store = stores_[slot];
    if (store != nullptr) store->getStatus(status, "store" + std::to_string(slot) + ".");
  }
}

CZnError ObjectContainer::getStatusVerGuid(std::map<std::string, std::string>& status,
                                           ObjectStoreIndex index, const guid_t& guid) {
  return withStore(index, nullptr, [&](ObjectStore& store) {
    store.getStatusVerGuid(status, guid);
    return CZnError::Success;
  });
}

CZnError ObjectContainer::getObjStrCounters(std::map<std::string, std::string>& counters,
                                            ObjectStoreIndex index) {
  return withStore(index, nullptr, [&](ObjectStore& store) {
    store.getCounters(counters);
    return CZnError::Success;
  });
}

CZnError ObjectContainer::getAllObjStrCounters(std::map<std::string, std::string>& counters) {
  StoresReadLock guard(storesWriterGate_, storesLock_);
  for (const auto& [view, slot] : openStores_) {
    ObjectStore* store = storeAt(slot);
    if (store == nullptr) continue;
    std::map<std::string, std::string> one;
    store->getCounters(one);
    for (const auto& [key, value] : one) {
      uint64_t add = 0;
      std::string why;
      if (!parseDecimal(value, add, why)) {
        OSLOG(-1, "Error: Can't convert stat for [%s]: [%s]: %s", key.c_str(), value.c_str(),
              why.c_str());
        return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't convert stat: %s", why.c_str());
      }
      uint64_t sum = 0;
      auto existing = counters.find(key);
      if (existing != counters.end() && !parseDecimal(existing->second, sum, why)) {
        OSLOG(-1, "Error: Can't convert stat for [%s]: [%s]: %s", key.c_str(),
              existing->second.c_str(), why.c_str());
        return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Can't convert stat: %s", why.c_str());
      }
      pushStat(counters, key, sum + add);
    }
  }
  return CZnError::Success;
}

void ObjectContainer::clearCounters() {
  counters_.clear();
  if (diskCache_) diskCache_->clearCounters();
  g_object_store_counter.clearPerfCounters();
  StoresReadLock guard(storesWriterGate_, storesLock_);
  for (const auto& [view, slot] : openStores_) {
    ObjectStore* store = storeAt(slot);
    if (store != nullptr) store->clearCounters();
  }
}

CZnError ObjectContainer::getObjStrGuiStats(
    ObjectStoreIndex index, std::vector<std::pair<std::string, std::string>>& stats) {
  return withStore(index, nullptr, [&](ObjectStore& store) { return store.getGuiStats(stats); });
}

// ---------------------------------------------------------------------------
// Debug commands

CZnError ObjectContainer::processDbgCommand(std::string& response,
                                            const std::vector<std::string>& words) {
  response.clear();
  if (words.empty()) {
    response = "No command";
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "No command");
  }
  const std::string& command = words[0];
  if (command == "outofspace") {
    if (words.size() != 2) {
      response = "Wrong number of args";
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Wrong number of args");
    }
    if (!diskCache_) {
      response = "Not initialized";
      return FXErrorUtil::ErrorErrNo(FX_LOC, ENODEV, "Not initialized");
    }
    diskCache_->setOutOfSpace(words[1] == "1");
    return CZnError::Success;
  }
  if (isStoreDebugCommand(command)) {
    if (words.size() != 2) {
      response = "Wrong number of args";
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Wrong number of args");
    }
    uint64_t index = 0;
    std::string why;
    if (!parseDecimal(words[1], index, why)) {
      response = "invalid argument";
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "invalid argument [%s]: %s", words[1].c_str(),
                                     why.c_str());
    }
    return withStore(index, nullptr, [&](ObjectStore& store) {
      store.processDbgCommand(command);
      return CZnError::Success;
    });
  }
  response = "Unknown command";
  return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Unknown command [%s]", command.c_str());
}

void ObjectContainer::debugCmd(ObjectStoreIndex index, DebugCommand command) {
  if (command == DEBUG_CMD_FLUSH_INDEXES) {
    HxCriticalSectionGuard guard(storeInfoLock_);
    for (const auto& [shareKey, record] : storeInfos_) {
      OSLOG(1, "flushing %s", shareKey.c_str());
      if (record.index) record.index->flush();
    }
    return;
  }
  // withStore logs "Invalid store" for an index that is not open.
  (void)withStore(index, nullptr, [&](ObjectStore& store) {
    store.debugCmd(command);
    return CZnError::Success;
  });
}

}  // namespace ObjectStore
