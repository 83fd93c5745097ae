// String helpers of the platform utility library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/support/CZnError.h"

namespace ObjectStore {

// first + separator + second.
std::string join(const std::string& first, const std::string& second, char separator = '/');

// Splits path at its last separator into parent (the text before it) and name
// (the text after it). "/a/b" gives "/a" and "b"; "/b" gives "" and "b";
// "b" gives "" and "b". Fails with EINVAL for an empty path.
CZnError splitParentPath(const std::string& path, std::string& parent, std::string& name,
                         char separator = '/');

// Leaves in tokens exactly the non-empty pieces of text cut at any of the
// delimiter characters, in order (tokens is cleared first).
void tokenize(std::vector<std::string>& tokens, const std::string& text,
              const std::string& delimiters);

// "0x" followed by lower-case hexadecimal digits.
std::string to_hexstring(uint64_t value);
std::string to_hexstring(const void* pointer);

// Standard alphabet with '=' padding.
std::string base64_encode(const unsigned char* data, size_t length);
std::string base64_encode(const std::vector<unsigned char>& data);
// Decodes standard base64 (padding optional, whitespace ignored); false on any
// other character or a truncated group (out then holds what was decoded).
bool base64_decode(const std::string& text, std::vector<unsigned char>& out);

}  // namespace ObjectStore
