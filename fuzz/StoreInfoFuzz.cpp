// StoreInfo.txt, the container's list of shares, as a crash or a hand edit
// may leave it: each line must be refused or give a share key that is one
// safe path component and a subclient that writes back as the same line.
#include <cstdint>
#include <sstream>
#include <string>

#include "FuzzSupport.h"
#include "ObjectStore/ContainerWithStore.h"

using namespace ObjectStore;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  // Read as the container reads it: line by line through a stream.
  std::istringstream in(std::string(reinterpret_cast<const char*>(bytes), size));
  std::string line;
  while (std::getline(in, line)) {
    std::string name;
    uint64_t subclient = 0;
    if (!parseStoreInfoLine(line, name, subclient)) continue;
    FUZZ_CHECK(isSafeContainerName(name));
    FUZZ_CHECK(!name.empty() && name != "." && name != "..");
    FUZZ_CHECK(name.find_first_of(std::string(",\n/\0", 4)) == std::string::npos);
    // What saveStoreInfo writes for this record reads back as the record.
    const std::string written = name + ",," + std::to_string(subclient);
    std::string nameAgain;
    uint64_t subclientAgain = 0;
    FUZZ_CHECK(parseStoreInfoLine(written, nameAgain, subclientAgain));
    FUZZ_CHECK(nameAgain == name && subclientAgain == subclient);
  }
  return 0;
}
