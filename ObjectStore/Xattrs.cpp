// The extended-attribute blob: how an item's attributes are kept in its xattr
// section, and its base64 form in the item's index record.
//
// Blob layout (every integer an unsigned 32-bit little-endian value):
//   entryCount
//   entryCount times: nameSize, name bytes, valueSize, value bytes
// in map order, with no padding and no checksum. Bytes after the last entry
// are ignored, so the zero padding of the fixed-size section decodes away.
#include <cerrno>
#include <cstdint>

#include "ObjectStore/ObjectStore.h"
#include "platform/support/LogWriter.h"
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

}  // namespace ObjectStore
