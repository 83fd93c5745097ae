#include "ObjectStore/Identifiers.h"

#include <cinttypes>
#include <cstdio>

#include "platform/support/LogWriter.h"

namespace ObjectStore {

guid_t fileToExtentGuid(const std::string& objGuid, uint64_t extent) {
  // At least seven digits, zero-padded; 20 hold any 64-bit number. Formed
  // by hand: every read and write names its extent this way.
  char number[20];
  size_t n = 0;
  do {
    number[sizeof(number) - 1 - n++] = static_cast<char>('0' + extent % 10);
    extent /= 10;
  } while (extent != 0);
  while (n < 7) number[sizeof(number) - 1 - n++] = '0';
  guid_t guid;
  guid.reserve(objGuid.size() + 1 + n);
  guid += objGuid;
  guid += '.';
  guid.append(number + sizeof(number) - n, n);
  return guid;
}

bool isExtent(const std::string& guid) {
  return guid.size() > GUID_CHAR_SIZE_MIN && guid[GUID_CHAR_SIZE_MIN] == '.';
}

guid_t extentToParent(const guid_t& extentGuid) { return extentGuid.substr(0, GUID_CHAR_SIZE_MIN); }

uint64_t offsetToExtent(uint64_t offset, uint64_t extentSize) {
  if (extentSize == 0) {
    OSLOG(-1, "Error: 0 extentSize");
    return 0;
  }
  return offset / extentSize;
}

uint64_t extentToOffset(uint64_t extent, uint64_t extentSize) { return extent * extentSize; }

std::string makeSnapshotSuffix(uint64_t timestamp) {
  char buf[20];
  int n = snprintf(buf, sizeof(buf), "%" PRIx64, timestamp);
  return std::string(buf, static_cast<size_t>(n));
}

guid_t directoryVersionName(const guid_t& dirGuid, const std::string& suffix) {
  guid_t name;
  name.reserve(dirGuid.size() + 1 + suffix.size());
  name += dirGuid;
  name += '-';
  name += suffix;
  return name;
}

namespace {

// A byte as the signed 8-bit value that the orderings compare.
int signedByte(char c) { return static_cast<int>(static_cast<signed char>(c)); }

// Lower-cases 'A'..'Z' only. This is what the C library's tolower does in the
// "C" locale for every value it is defined for; calling tolower itself with a
// negative byte other than EOF would be undefined, and its answer for bytes
// 0x80..0xFF would change with the locale.
int lowerSignedByte(char c) {
  int value = signedByte(c);
  return (value >= 'A' && value <= 'Z') ? value - 'A' + 'a' : value;
}

template <int (*Key)(char)>
bool lessBy(std::string_view a, std::string_view b) {
  size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; ++i) {
    int x = Key(a[i]);
    int y = Key(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

}  // namespace

bool isless(std::string_view a, std::string_view b) { return lessBy<signedByte>(a, b); }

bool isless_case_insensitive(std::string_view a, std::string_view b) {
  return lessBy<lowerSignedByte>(a, b);
}

}  // namespace ObjectStore
