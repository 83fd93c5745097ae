#include "platform/index/IndexRecords.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace ObjectStore {

int64_t asOfCutoffNs(uint64_t beforeTime) {
  if (beforeTime == 0) return INDEX_CUTOFF_LATEST;
  // A time so far ahead that its end overflows is the latest state as well.
  if (beforeTime >= static_cast<uint64_t>(INT64_MAX / INDEX_NS_PER_SEC) - 1) {
    return INDEX_CUTOFF_LATEST;
  }
  return (static_cast<int64_t>(beforeTime) + 1) * INDEX_NS_PER_SEC;
}

bool isExtentGuid(const std::string& guid) {
  constexpr size_t kObjectGuidLength = 32;
  if (guid.size() <= kObjectGuidLength + 1 || guid[kObjectGuidLength] != '.') return false;
  for (size_t i = kObjectGuidLength + 1; i < guid.size(); ++i) {
    if (guid[i] < '0' || guid[i] > '9') return false;
  }
  return true;
}

uint64_t extentNumberOfGuid(const std::string& guid) {
  size_t dot = guid.rfind('.');
  if (dot == std::string::npos) return 0;
  return std::strtoull(guid.c_str() + dot + 1, nullptr, 10);
}

IndexKind kindFromProps(const index_iface_props& props) {
  if (props.updateSelector == 1 || props.extentNumber != UINT64_MAX ||
      isExtentGuid(props.objGuid)) {
    return IndexKind::Extent;
  }
  if (props.modeValid || props.mode != -1) {
    int type = props.mode & INDEX_MODE_TYPE_MASK;
    if (type == INDEX_MODE_DIR) return IndexKind::Directory;
    if (type == INDEX_MODE_LINK) return IndexKind::Link;
  }
  return IndexKind::File;
}

std::vector<std::string> splitPathComponents(const std::string& path) {
  std::vector<std::string> components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) components.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return components;
}

std::string lastPathComponent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentPathOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

namespace {

// Fills bytes from the kernel's random source; false when it is unusable.
bool fillRandom(unsigned char* bytes, size_t length) {
  size_t filled = 0;
  while (filled < length) {
    ssize_t got = getrandom(bytes + filled, length - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<size_t>(got);
  }
  return true;
}

uint64_t splitMix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

std::string newRandomGuid() {
  unsigned char bytes[16];
  if (!fillRandom(bytes, sizeof(bytes))) {
    // Only kernels without getrandom get here. Time, address and a counter
    // still make the value unique within and across processes.
    static std::atomic<uint64_t> counter{0};
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t state = static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL +
                     static_cast<uint64_t>(ts.tv_nsec) + (counter.fetch_add(1) << 48) +
                     reinterpret_cast<uintptr_t>(&counter) + static_cast<uint64_t>(getpid());
    for (size_t i = 0; i < sizeof(bytes); i += 8) {
      uint64_t word = splitMix64(state);
      for (size_t j = 0; j < 8; ++j) bytes[i + j] = static_cast<unsigned char>(word >> (8 * j));
    }
  }
  static const char kHex[] = "0123456789abcdef";
  std::string guid;
  guid.reserve(32);
  for (unsigned char b : bytes) {
    guid.push_back(kHex[b >> 4]);
    guid.push_back(kHex[b & 0x0F]);
  }
  return guid;
}

void applyProps(IndexAttributes& a, const index_iface_props& p) {
  if (p.size != -1) a.size = p.size;
  if (p.modeValid) {
    a.modeValid = true;
    a.mode = p.mode;
  }
  if (p.uidValid) {
    a.uidValid = true;
    a.uid = p.uid;
  }
  if (p.gidValid) {
    a.gidValid = true;
    a.gid = p.gid;
  }
  if (p.atime != -1) a.atime = p.atime;
  if (p.ctime != -1) a.ctime = p.ctime;
  if (p.mtime != -1) a.mtime = p.mtime;
  if (p.extentSize != -1) a.extentSize = p.extentSize;
  if (p.itemFlag != 0) a.itemFlag = p.itemFlag;
  if (!p.linkTarget.empty()) a.linkTarget = p.linkTarget;
  for (const auto& [key, value] : p.customProps) a.customProps[key] = value;
  if (!p.xattrs.empty()) a.customProps[XATTR_CUSTOM_PROP] = p.xattrs;
  if (p.reserved1 != -1) a.reserved1 = p.reserved1;
  if (p.reserved2 != -1) a.reserved2 = p.reserved2;
}

void fillPropsFromAttributes(index_iface_props& p, const IndexAttributes& a) {
  p.size = a.size;
  p.modeValid = a.modeValid;
  p.mode = a.mode;
  p.uidValid = a.uidValid;
  p.uid = a.uid;
  p.gidValid = a.gidValid;
  p.gid = a.gid;
  p.atime = a.atime;
  p.ctime = a.ctime;
  p.mtime = a.mtime;
  p.extentSize = a.extentSize;
  p.itemFlag = a.itemFlag;
  p.linkTarget = a.linkTarget;
  p.customProps = a.customProps;
  auto xattr = a.customProps.find(XATTR_CUSTOM_PROP);
  p.xattrs = xattr == a.customProps.end() ? std::string() : xattr->second;
  p.reserved1 = a.reserved1;
  p.reserved2 = a.reserved2;
}

std::string encodeCustomProps(const std::map<std::string, std::string>& props) {
  std::string text;
  for (const auto& [key, value] : props) {
    text += std::to_string(key.size());
    text += ':';
    text += key;
    text += std::to_string(value.size());
    text += ':';
    text += value;
  }
  return text;
}

namespace {

// Reads "<decimal length>:<bytes>" at pos; false when malformed.
bool readCounted(const std::string& text, size_t& pos, std::string& out) {
  size_t colon = text.find(':', pos);
  if (colon == std::string::npos || colon == pos || colon - pos > 19) return false;
  uint64_t length = 0;
  for (size_t i = pos; i < colon; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    length = length * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  size_t start = colon + 1;
  if (length > text.size() - start) return false;
  out.assign(text, start, length);
  pos = start + length;
  return true;
}

}  // namespace

bool decodeCustomProps(const std::string& text, std::map<std::string, std::string>& props) {
  props.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    std::string key;
    std::string value;
    if (!readCounted(text, pos, key) || !readCounted(text, pos, value)) return false;
    props[key] = std::move(value);
  }
  return true;
}

}  // namespace ObjectStore
