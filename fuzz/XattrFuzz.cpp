// The extended-attribute blob of a segment's xattr section, and its base64
// form in the index. A damaged blob must be refused (or read up to its last
// entry), never read past its end; an accepted one must serialise back to a
// blob that reads as the same attributes.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ObjectStore/ObjectStore.h"

using Store = ::ObjectStore::ObjectStore;
using ::ObjectStore::CZnError;
using ::ObjectStore::XattrMap;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::ObjectStore::fuzz::quietLog();
  return 0;
}

namespace {

void checkBlob(const std::vector<unsigned char>& blob) {
  XattrMap map;
  const CZnError err = Store::deserializeXattrs(map, blob);
  if (!err.ok()) {
    FUZZ_CHECK(err.errNo() == EINVAL);
    return;
  }
  std::vector<unsigned char> again;
  FUZZ_CHECK(Store::serializeXattrs(again, map).ok());
  XattrMap mapAgain;
  FUZZ_CHECK(Store::deserializeXattrs(mapAgain, again).ok());
  FUZZ_CHECK(mapAgain == map);
  // What the index keeps, and back.
  std::string text;
  Store::encodeXattr(text, again);
  std::vector<unsigned char> decoded;
  FUZZ_CHECK(Store::decodeXattr(decoded, text));
  FUZZ_CHECK(decoded == again);
}

}  // namespace

// Input: the first byte chooses the form; the rest is the blob (0) or the
// index's base64 text of it (1).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  const uint8_t form = bytes[0] & 1;
  ++bytes;
  --size;
  if (form == 0) {
    checkBlob(std::vector<unsigned char>(bytes, bytes + size));
    return 0;
  }
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  std::vector<unsigned char> blob;
  if (!Store::decodeXattr(blob, text)) return 0;
  // Base64 gives at most three bytes for four characters.
  FUZZ_CHECK(blob.size() <= (text.size() / 4 + 1) * 3);
  std::string reencoded;
  Store::encodeXattr(reencoded, blob);
  std::vector<unsigned char> blobAgain;
  FUZZ_CHECK(Store::decodeXattr(blobAgain, reencoded));
  FUZZ_CHECK(blobAgain == blob);
  checkBlob(blob);
  return 0;
}
