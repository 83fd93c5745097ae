// The entry-list format of a directory's data section, and its readers.
//
// A directory's children are a flat list of records, in append order:
//   child GUID, NUL, child name, NUL      one record per child
//   NUL                                   the terminator (an empty GUID)
// An empty list has no bytes at all. The list is read back from a segment
// (and from a backup) that may be damaged, so every reader here stops at the
// end of the bytes whatever they hold; they are kept apart from the store's
// classes so that they can be exercised on arbitrary bytes.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "ObjectStore/Handles.h"

namespace ObjectStore {

// Reads the NUL-terminated string at pos; false when no NUL follows within
// the bytes (a damaged list), leaving pos unchanged.
inline bool readCString(const std::vector<unsigned char>& bytes, size_t& pos, std::string& out) {
  if (pos >= bytes.size()) return false;
  const void* nul = std::memchr(bytes.data() + pos, 0, bytes.size() - pos);
  if (nul == nullptr) return false;
  const size_t end = static_cast<size_t>(static_cast<const unsigned char*>(nul) - bytes.data());
  out.assign(reinterpret_cast<const char*>(bytes.data() + pos), end - pos);
  pos = end + 1;
  return true;
}

// Calls visit(guid, name, recordStart, recordLength) for each record until
// the terminator, the end of the bytes, or visit returning false. False when
// the list is damaged (a record runs past the end).
template <class Visit>
bool walkEntryList(const std::vector<unsigned char>& bytes, Visit&& visit) {
  size_t pos = 0;
  std::string guid;
  std::string name;
  while (pos + 1 < bytes.size()) {
    const size_t start = pos;
    if (!readCString(bytes, pos, guid)) return false;
    if (guid.empty()) return true;
    if (!readCString(bytes, pos, name)) return false;
    if (!visit(guid, name, start, pos - start)) return true;
  }
  return true;
}

// The entry list of these children followed by its terminator; empty for no
// children (a directory without list bytes is empty).
inline std::string encodeEntryList(const GuidPathList& children) {
  std::string bytes;
  for (const auto& [guid, name] : children) {
    bytes.append(guid).push_back('\0');
    bytes.append(name).push_back('\0');
  }
  if (!bytes.empty()) bytes.push_back('\0');
  return bytes;
}

// The children recorded in an entry list, up to its terminator or up to the
// first record that runs past the end.
inline void decodeEntryList(const std::vector<unsigned char>& bytes, GuidPathList& children) {
  const char* p = reinterpret_cast<const char*>(bytes.data());
  const char* end = p + bytes.size();
  while (p < end) {
    const char* guidEnd = static_cast<const char*>(std::memchr(p, 0, end - p));
    if (guidEnd == nullptr || guidEnd == p) return;
    const char* nameStart = guidEnd + 1;
    const char* nameEnd = nameStart < end
                              ? static_cast<const char*>(std::memchr(nameStart, 0, end - nameStart))
                              : nullptr;
    if (nameEnd == nullptr) return;
    children.emplace_back(std::string(p, guidEnd), std::string(nameStart, nameEnd));
    p = nameEnd + 1;
  }
}

}  // namespace ObjectStore
