// String helpers of the platform utility library.
//
// All functions are pure (no shared state) and may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/support/CZnError.h"

namespace ObjectStore {

// first + separator + second, nothing more: no separator is added or removed
// at the seam, so join("/", "a") is "//a". Callers that build a child path of
// the root handle the root themselves.
std::string join(const std::string& first, const std::string& second, char separator = '/');

// Splits path at its last separator into parent (the text before it) and name
// (the text after it). "/a/b" gives "/a" and "b"; "/b" gives "" and "b";
// "b" gives "" and "b"; "/a/" gives "/a" and "". Fails with EINVAL for an
// empty path, leaving parent and name unchanged.
CZnError splitParentPath(const std::string& path, std::string& parent, std::string& name,
                         char separator = '/');

// Leaves in tokens exactly the non-empty pieces of text cut at any of the
// delimiter characters, in order (tokens is cleared first). With no delimiter
// characters the whole text is one piece (none if the text is empty).
void tokenize(std::vector<std::string>& tokens, const std::string& text,
              const std::string& delimiters);

// "0x" followed by lower-case hexadecimal digits without leading zeros
// (0 gives "0x0"; a null pointer gives "0x0").
std::string to_hexstring(uint64_t value);
std::string to_hexstring(const void* pointer);

// Standard alphabet (A-Z a-z 0-9 + /) with '=' padding to a multiple of four
// characters; no line breaks. Zero bytes give "".
std::string base64_encode(const unsigned char* data, size_t length);
std::string base64_encode(const std::vector<unsigned char>& data);
// Decodes standard base64. out is cleared first. Padding is optional, but
// when present it must complete the last group exactly and only whitespace
// may follow it; whitespace anywhere is ignored. Bits beyond the last whole
// byte are ignored. Returns false on any other character, misplaced padding or
// a truncated group (a lone last character); out then holds the bytes of the
// complete groups before the fault.
bool base64_decode(const std::string& text, std::vector<unsigned char>& out);

}  // namespace ObjectStore
