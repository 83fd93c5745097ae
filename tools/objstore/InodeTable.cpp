#include "tools/objstore/InodeTable.h"

#include <cstdlib>
#include <utility>

namespace ObjectStore::tool {

namespace {

// Where the store reads an item's inode number from its object GUID: the
// digits after the first 16 (the last 16 of a 32-digit GUID).
constexpr size_t INODE_DIGITS_OFFSET = 16;
constexpr size_t INODE_DIGITS = 16;
// Numbers handed out when a GUID's own number can't be used. The store's
// numbers are random 64-bit values, so a collision with this range is as
// unlikely as any other; allocateLocked checks anyway.
constexpr uint64_t PRIVATE_RANGE_START = 0xfff0000000000000ull;

bool isBelow(const std::string& path, const std::string& dir) {
  if (dir == "/") return path.size() > 1 && path[0] == '/';
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
         path[dir.size()] == '/';
}

}  // namespace

std::string childPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir == "/") return "/" + name;
  return dir + "/" + name;
}

InodeTable::InodeTable(std::string rootGuid) : nextPrivate_(PRIVATE_RANGE_START) {
  Entry root;
  root.guid = std::move(rootGuid);
  root.path = "/";
  root.lookups = 1;
  byGuid_[root.guid] = ROOT_INODE;
  entries_.emplace(ROOT_INODE, std::move(root));
}

uint64_t InodeTable::numberFromGuid(const std::string& guid) {
  if (guid.size() < INODE_DIGITS_OFFSET + INODE_DIGITS) return 0;
  const std::string digits = guid.substr(INODE_DIGITS_OFFSET, INODE_DIGITS);
  char* end = nullptr;
  const unsigned long long value = strtoull(digits.c_str(), &end, 16);
  if (end == nullptr || *end != '\0') return 0;
  return value;
}

uint64_t InodeTable::allocateLocked(const std::string& guid) {
  uint64_t number = numberFromGuid(guid);
  if (number == 0 || number == ROOT_INODE || entries_.count(number) != 0) {
    do {
      number = nextPrivate_++;
      if (nextPrivate_ == 0) nextPrivate_ = PRIVATE_RANGE_START;
    } while (entries_.count(number) != 0);
  }
  return number;
}

uint64_t InodeTable::remember(const std::string& guid, const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto known = byGuid_.find(guid);
  if (known != byGuid_.end()) {
    Entry& entry = entries_[known->second];
    ++entry.lookups;
    if (known->second != ROOT_INODE) entry.path = path;
    return known->second;
  }
  const uint64_t number = allocateLocked(guid);
  Entry entry;
  entry.guid = guid;
  entry.path = path;
  entry.lookups = 1;
  entries_.emplace(number, std::move(entry));
  byGuid_[guid] = number;
  return number;
}

uint64_t InodeTable::peek(const std::string& guid) const {
  if (guid.empty()) return 0;
  std::lock_guard<std::mutex> guard(mutex_);
  auto known = byGuid_.find(guid);
  if (known != byGuid_.end()) return known->second;
  const uint64_t number = numberFromGuid(guid);
  return number == 0 || number == ROOT_INODE ? 0 : number;
}

bool InodeTable::find(uint64_t inode, Entry& out) const {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = entries_.find(inode);
  if (it == entries_.end()) return false;
  out = it->second;
  return true;
}

uint64_t InodeTable::forget(uint64_t inode, uint64_t count) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = entries_.find(inode);
  if (it == entries_.end()) return 0;
  if (inode == ROOT_INODE) return it->second.lookups;
  Entry& entry = it->second;
  entry.lookups = count >= entry.lookups ? 0 : entry.lookups - count;
  if (entry.lookups != 0) return entry.lookups;
  byGuid_.erase(entry.guid);
  entries_.erase(it);
  return 0;
}

void InodeTable::renamed(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto& [number, entry] : entries_) {
    if (number == ROOT_INODE || entry.path.empty()) continue;
    if (entry.path == from)
      entry.path = to;
    else if (isBelow(entry.path, from))
      entry.path = to + entry.path.substr(from.size());
  }
}

void InodeTable::removed(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto& [number, entry] : entries_) {
    if (number != ROOT_INODE && entry.path == path) entry.path.clear();
  }
}

size_t InodeTable::size() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_.size();
}

}  // namespace ObjectStore::tool
