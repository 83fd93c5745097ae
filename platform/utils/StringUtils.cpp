#include "platform/utils/StringUtils.h"

#include <cerrno>
#include <cstdint>
#include <utility>

namespace ObjectStore {

std::string join(const std::string& first, const std::string& second, char separator) {
  std::string out;
  out.reserve(first.size() + 1 + second.size());
  out += first;
  out += separator;
  out += second;
  return out;
}

CZnError splitParentPath(const std::string& path, std::string& parent, std::string& name,
                         char separator) {
  if (path.empty()) return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Empty path");
  size_t pos = path.rfind(separator);
  if (pos == std::string::npos) {
    name = path;
    parent.clear();
  } else {
    // Take both pieces before assigning either, so that passing `path`
    // itself as parent or name still gives the right result.
    std::string tail = path.substr(pos + 1);
    std::string head = path.substr(0, pos);
    parent = std::move(head);
    name = std::move(tail);
  }
  return CZnError::Success;
}

void tokenize(std::vector<std::string>& tokens, const std::string& text,
              const std::string& delimiters) {
  tokens.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(delimiters, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) tokens.emplace_back(text, start, end - start);
    start = end + 1;
  }
}

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

std::string hexDigits(uint64_t value) {
  char buf[16];
  size_t n = 0;
  do {
    buf[sizeof(buf) - 1 - n] = kHexDigits[value & 0xf];
    value >>= 4;
    ++n;
  } while (value != 0);
  return std::string(buf + sizeof(buf) - n, n);
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kNotBase64 = -1;

// The 6-bit value of a base64 digit, or kNotBase64.
int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return kNotBase64;
}

bool isBase64Space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

std::string to_hexstring(uint64_t value) { return "0x" + hexDigits(value); }

std::string to_hexstring(const void* pointer) {
  return "0x" + hexDigits(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer)));
}

std::string base64_encode(const unsigned char* data, size_t length) {
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t group = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    out += kBase64Alphabet[(group >> 18) & 0x3f];
    out += kBase64Alphabet[(group >> 12) & 0x3f];
    out += kBase64Alphabet[(group >> 6) & 0x3f];
    out += kBase64Alphabet[group & 0x3f];
  }
  size_t rest = length - i;
  if (rest == 1) {
    uint32_t group = uint32_t{data[i]} << 16;
    out += kBase64Alphabet[(group >> 18) & 0x3f];
    out += kBase64Alphabet[(group >> 12) & 0x3f];
    out += "==";
  } else if (rest == 2) {
    uint32_t group = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
    out += kBase64Alphabet[(group >> 18) & 0x3f];
    out += kBase64Alphabet[(group >> 12) & 0x3f];
    out += kBase64Alphabet[(group >> 6) & 0x3f];
    out += '=';
  }
  return out;
}

std::string base64_encode(const std::vector<unsigned char>& data) {
  return base64_encode(data.data(), data.size());
}

bool base64_decode(const std::string& text, std::vector<unsigned char>& out) {
  out.clear();
  out.reserve(text.size() / 4 * 3);
  uint32_t group = 0;  // the digits of the current group, 6 bits each
  size_t digits = 0;   // digits in the current group (0..3)
  size_t padding = 0;  // '=' seen so far; once non-zero only '=' and spaces may follow
  for (unsigned char c : text) {
    if (isBase64Space(c)) continue;
    if (c == '=') {
      // Padding stands for the missing digits of a group of 2 or 3 digits.
      if (digits < 2 || digits + padding >= 4) return false;
      ++padding;
      continue;
    }
    if (padding != 0) return false;
    int value = base64Value(c);
    if (value == kNotBase64) return false;
    group = (group << 6) | static_cast<uint32_t>(value);
    if (++digits == 4) {
      out.push_back(static_cast<unsigned char>(group >> 16));
      out.push_back(static_cast<unsigned char>(group >> 8));
      out.push_back(static_cast<unsigned char>(group));
      group = 0;
      digits = 0;
    }
  }
  if (digits == 0) return true;
  if (digits == 1) return false;  // 6 bits cannot make a byte
  if (padding != 0 && digits + padding != 4) return false;
  if (digits == 2) {
    out.push_back(static_cast<unsigned char>(group >> 4));
  } else {
    out.push_back(static_cast<unsigned char>(group >> 10));
    out.push_back(static_cast<unsigned char>(group >> 2));
  }
  return true;
}

}  // namespace ObjectStore
