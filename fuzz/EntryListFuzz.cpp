// A directory's entry list as the data section of a damaged segment (or a
// backup record) may hold it. Both readers of the format must stop at the end
// of the bytes, agree on the children, and read back what the writer makes
// of those children.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ObjectStore/EntryList.h"

using namespace ObjectStore;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::vector<unsigned char> list(bytes, bytes + size);

  GuidPathList decoded;
  decodeEntryList(list, decoded);

  GuidPathList walked;
  size_t covered = 0;
  const bool intact = walkEntryList(
      list, [&](const std::string& guid, const std::string& name, size_t start, size_t length) {
        FUZZ_CHECK(start == covered);
        FUZZ_CHECK(length == guid.size() + name.size() + 2);
        FUZZ_CHECK(start + length <= list.size());
        covered = start + length;
        walked.emplace_back(guid, name);
        return true;
      });
  FUZZ_CHECK(walked == decoded);
  (void)intact;  // either answer is right for damaged bytes; the children must agree

  for (const auto& [guid, name] : decoded) {
    FUZZ_CHECK(!guid.empty());
    FUZZ_CHECK(guid.find('\0') == std::string::npos && name.find('\0') == std::string::npos);
  }

  // What the writer makes of these children reads back as the same list.
  const std::string encoded = encodeEntryList(decoded);
  const std::vector<unsigned char> reencoded(encoded.begin(), encoded.end());
  GuidPathList again;
  decodeEntryList(reencoded, again);
  FUZZ_CHECK(again == decoded);
  FUZZ_CHECK(walkEntryList(
      reencoded, [](const std::string&, const std::string&, size_t, size_t) { return true; }));

  // A reader that stops early (a lookup that found its child) stops there.
  if (!decoded.empty()) {
    size_t visits = 0;
    (void)walkEntryList(list, [&](const std::string&, const std::string&, size_t, size_t) {
      ++visits;
      return false;
    });
    FUZZ_CHECK(visits == 1);
  }
  return 0;
}
