// The platform configuration store.
//
// A small INI-style text file with sections:
//
//   [~Rora]
//   nStreamCount=3
//   [Rora]
//   OBS_CMD_PORT=40123
//
// Its path is the environment variable OBJSTORE_REGISTRY; without it,
// $XDG_CONFIG_HOME/objectstore/registry (or ~/.config/objectstore/registry).
// Lines starting with '#' or ';' are comments. Keys are case-sensitive.
// Writes replace the whole file atomically (temporary file, fsync, rename), so
// a reader never sees a half-written file. The file is read anew on each
// lookup: values are looked up at start-up and by operators, never per I/O.
#pragma once

#include <cstdint>
#include <string>

#include "platform/support/CZnError.h"
#include "platform/support/Export.h"

namespace ObjectStore {

// The section of the system's own tunables and the section where the command
// interface publishes its port.
inline constexpr const char* REGISTRY_SECTION_PRIVATE = "~Rora";
inline constexpr const char* REGISTRY_SECTION_PUBLIC = "Rora";

class OBJSTORE_EXPORT HXPlatformInfo {
 public:
  // The configuration file's path (see above).
  static std::string registryPath();

  // A value as text; false when the file, the section or the key is missing.
  static bool getString(const std::string& section, const std::string& key, std::string& value);
  // A 64-bit decimal value; false when missing or not a number.
  static bool getLongLong(const std::string& section, const std::string& key, int64_t& value);

  // Sets a value, creating the file, its directory and the section as needed.
  // Fails with EINVAL for an entry the file format can't hold: an empty
  // section or key, a line break anywhere, ']' in a section, '=' in a key, a
  // key starting with '[', '#' or ';', or blanks around any of them.
  static CZnError setString(const std::string& section, const std::string& key,
                            const std::string& value);
  static CZnError setNumber(const std::string& section, const std::string& key, int64_t value);
  // Removes a key; success when it was not there.
  static CZnError removeValue(const std::string& section, const std::string& key);
};

// Integer and boolean settings of section "~Rora". The value is read as text
// of at most 32 bytes and parsed as a decimal number (a bool as 0 or 1).
// Missing key: the default. Unparsable text: the default, after logging
// "Error: Can't parse [%s]: [%s]" at level -1. The bounds are documentation
// only: a parsed value outside them is returned unchanged.
int getRegistryValue(const std::string& key, int defaultValue, int minValue, int maxValue);
bool getRegistryValue(const std::string& key, bool defaultValue, bool minValue, bool maxValue);

}  // namespace ObjectStore
