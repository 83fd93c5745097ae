// The persistent cache files ("key,value" lines) as a crash or a damaged
// disk may leave them, loaded by the two readers the store uses: the
// persistent map and the GUID cache. A bad line must stop the load with an
// error; a file that loads must give back exactly its lines, first line of a
// key winning.
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "ObjectStore/GuidCache.h"
#include "ObjectStore/utils/persistent_map.h"

using namespace ObjectStore;

namespace {

std::string g_dir;

// The file's lines as the format defines them: split at '\n', the last line
// may lack its '\n'. False when a line is not "key,value" with both non-empty
// and no second comma.
bool modelLoad(const std::string& text, std::map<std::string, std::string>& out) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    const size_t comma = line.find(',');
    if (comma == std::string::npos || comma == 0 || comma + 1 == line.size() ||
        line.find(',', comma + 1) != std::string::npos)
      return false;
    out.emplace(line.substr(0, comma), line.substr(comma + 1));  // first line wins
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  g_dir = fuzz::scratchDir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  std::map<std::string, std::string> model;
  const bool wellFormed = modelLoad(text, model);

  const std::string mapPath = g_dir + "/map";
  fuzz::writeBytes(mapPath, bytes, size);
  {
    PersistentMap<std::string, std::string> map;
    const CZnError err = map.initialize(mapPath);
    FUZZ_CHECK(err.ok() == wellFormed);
    if (err.ok()) {
      FUZZ_CHECK(map.size() == model.size());
      for (const auto& [key, value] : model) {
        std::string found;
        FUZZ_CHECK(map.read(key, found));
        FUZZ_CHECK(found == value);
      }
    }
  }
  unlink(mapPath.c_str());

  // Numbers on both sides: text that is not a number is a bad line.
  fuzz::writeBytes(mapPath, bytes, size);
  {
    PersistentMap<uint64_t, int64_t> numbers;
    const CZnError err = numbers.initialize(mapPath);
    if (err.ok()) FUZZ_CHECK(wellFormed && numbers.size() <= model.size());
  }
  unlink(mapPath.c_str());

  // The GUID cache: unique on both sides, first line wins for either.
  const std::string cachePath = g_dir + "/guids";
  fuzz::writeBytes(cachePath, bytes, size);
  {
    GuidCache<std::string> cache("fuzz");
    const CZnError err = cache.initialize(1 << 20, 64, cachePath, true, (size & 1) != 0);
    FUZZ_CHECK(err.ok() == wellFormed);
    if (err.ok() && !model.empty()) {
      // Nothing is loaded before the first line, so it always wins.
      const std::string first = text.substr(0, text.find('\n'));
      const std::string guid = first.substr(0, first.find(','));
      const std::string value = first.substr(first.find(',') + 1);
      std::string found;
      FUZZ_CHECK(cache.findData(guid, found).ok());
      FUZZ_CHECK(found == value);
      guid_t back;
      FUZZ_CHECK(cache.findGuid(back, value).ok());
      FUZZ_CHECK(back == guid);
      // Every other line answers without faulting, found or not.
      for (const auto& [otherGuid, otherValue] : model) {
        (void)cache.findData(otherGuid, found);
        (void)cache.findGuid(back, otherValue);
      }
    }
  }
  unlink(cachePath.c_str());
  return 0;
}
