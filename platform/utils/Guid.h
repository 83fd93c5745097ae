// Object and version GUIDs.
#pragma once

#include <string>

namespace ObjectStore {

// A new GUID: 32 lower-case hexadecimal digits from a cryptographically
// strong random source (getrandom), unique for all practical purposes.
std::string generateGuid();

}  // namespace ObjectStore
