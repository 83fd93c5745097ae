#include "platform/diskcache/SegmentFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>


namespace ObjectStore {

namespace {

// New regions of at least a page start on a page boundary, so that extent
// data lines up with the page cache; small regions are only 8-byte aligned.
constexpr uint64_t PAGE_ALIGN = 4096;
constexpr uint64_t SMALL_ALIGN = 8;
// Largest byte position we accept in a section (keeps offset arithmetic far
// from overflow).
constexpr uint64_t MAX_SECTION_BYTES = uint64_t{1} << 50;
// Below this size a gap is zeroed by writing zeros; above it by punching a hole.
constexpr uint64_t ZERO_BY_WRITE_MAX = 64 * 1024;

uint64_t alignUp(uint64_t value, uint64_t align) { return (value + align - 1) / align * align; }

int pwriteAll(int fd, const void* buffer, uint64_t length, uint64_t position) {
  const char* p = static_cast<const char*>(buffer);
  while (length > 0) {
    ssize_t n = ::pwrite(fd, p, length, static_cast<off_t>(position));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    length -= static_cast<uint64_t>(n);
    position += static_cast<uint64_t>(n);
  }
  return 0;
}

// 0, or errno; EIO when the file ends before `length` bytes were read.
int preadAll(int fd, void* buffer, uint64_t length, uint64_t position) {
  char* p = static_cast<char*>(buffer);
  while (length > 0) {
    ssize_t n = ::pread(fd, p, length, static_cast<off_t>(position));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    p += n;
    length -= static_cast<uint64_t>(n);
    position += static_cast<uint64_t>(n);
  }
  return 0;
}

int zeroRange(int fd, uint64_t from, uint64_t to) {
  if (from >= to) return 0;
  uint64_t length = to - from;
  if (length > ZERO_BY_WRITE_MAX &&
      fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                static_cast<off_t>(length)) == 0)
    return 0;
  static const char zeros[ZERO_BY_WRITE_MAX] = {};
  while (from < to) {
    uint64_t n = std::min<uint64_t>(to - from, sizeof(zeros));
    if (int rc = pwriteAll(fd, zeros, n, from); rc != 0) return rc;
    from += n;
  }
  return 0;
}

// Copies [from, from + length) to [to, to + length) inside one file; the
// ranges never overlap (a moved region goes past every existing one).
int copyRange(int fd, uint64_t from, uint64_t to, uint64_t length) {
  while (length > 0) {
    loff_t in = static_cast<loff_t>(from);
    loff_t out = static_cast<loff_t>(to);
    ssize_t n = copy_file_range(fd, &in, fd, &out, length, 0);
    if (n > 0) {
      from += static_cast<uint64_t>(n);
      to += static_cast<uint64_t>(n);
      length -= static_cast<uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return EIO;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
    // The file system can't copy in the kernel: do it through a buffer.
    std::vector<char> buffer(std::min<uint64_t>(length, 1 << 20));
    while (length > 0) {
      uint64_t chunk = std::min<uint64_t>(length, buffer.size());
      if (int rc = preadAll(fd, buffer.data(), chunk, from); rc != 0) return rc;
      if (int rc = pwriteAll(fd, buffer.data(), chunk, to); rc != 0) return rc;
      from += chunk;
      to += chunk;
      length -= chunk;
    }
  }
  return 0;
}

bool validNumber(int32_t number) {
  return number >= 0 && static_cast<uint32_t>(number) < SEGMENT_MAX_SECTIONS;
}

// Checks one section request's buffer against its size (shared by create and write).
CZnError checkRequest(const Section& s) {
  if (!validNumber(s.number))
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Invalid section number %d", s.number);
  if (s.size > 0 && s.buffer == nullptr)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: No buffer for section %d", s.number);
  if (s.bufferLength != 0 && s.bufferLength < s.size)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL,
                                   "Error: Section %d size %lu exceeds its buffer %lu", s.number,
                                   static_cast<unsigned long>(s.size),
                                   static_cast<unsigned long>(s.bufferLength));
  if (s.size > MAX_SECTION_BYTES || s.offset > MAX_SECTION_BYTES - s.size)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EFBIG, "Error: Section %d too large", s.number);
  return CZnError::Success;
}

}  // namespace

// ---------------------------------------------------------------------------
// SegmentLayout

int SegmentLayout::find(int32_t number) const {
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i].number == number) return static_cast<int>(i);
  return -1;
}

int SegmentLayout::lastRegion() const {
  int last = -1;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].capacity == 0) continue;
    if (last < 0 || entries[i].offset > entries[static_cast<size_t>(last)].offset)
      last = static_cast<int>(i);
  }
  return last;
}

uint64_t SegmentLayout::dataEnd() const {
  uint64_t end = SEGMENT_HEADER_SIZE;
  for (const auto& e : entries)
    if (e.capacity > 0) end = std::max(end, e.offset + e.capacity);
  return end;
}

uint64_t SegmentLayout::checksum(const SegmentFileHeader& header) {
  // FNV-1a, 64 bits.
  const auto* p = reinterpret_cast<const unsigned char*>(&header);
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < offsetof(SegmentFileHeader, checksum); ++i) {
    hash ^= p[i];
    hash *= 1099511628211ull;
  }
  return hash;
}

void SegmentLayout::encode(SegmentFileHeader& header) const {
  std::memset(&header, 0, sizeof(header));
  header.magic = DISK_CACHE_MAGIC;
  header.version = DISK_CACHE_VERSION;
  header.sectionCount = static_cast<uint32_t>(entries.size());
  for (size_t i = 0; i < entries.size() && i < SEGMENT_MAX_SECTIONS; ++i)
    header.sections[i] = entries[i];
  header.checksum = checksum(header);
}

bool SegmentLayout::decode(const SegmentFileHeader& header, uint64_t fileSize,
                           SegmentLayout& out, std::string& why) {
  if (header.magic != DISK_CACHE_MAGIC) {
    why = "bad magic";
    return false;
  }
  if (header.version != DISK_CACHE_VERSION) {
    why = "unknown version " + std::to_string(header.version);
    return false;
  }
  if (header.sectionCount > SEGMENT_MAX_SECTIONS) {
    why = "bad section count " + std::to_string(header.sectionCount);
    return false;
  }
  if (header.checksum != checksum(header)) {
    why = "checksum mismatch";
    return false;
  }
  out.entries.assign(header.sections, header.sections + header.sectionCount);
  std::vector<const SegmentSectionEntry*> placed;
  for (size_t i = 0; i < out.entries.size(); ++i) {
    const SegmentSectionEntry& e = out.entries[i];
    for (size_t j = 0; j < i; ++j) {
      if (out.entries[j].number == e.number) {
        why = "section " + std::to_string(e.number) + " listed twice";
        return false;
      }
    }
    bool ok = validNumber(e.number) && e.length <= e.capacity && e.capacity <= MAX_SECTION_BYTES;
    if (ok && e.capacity > 0)
      ok = e.offset >= SEGMENT_HEADER_SIZE && e.offset <= MAX_SECTION_BYTES &&
           e.offset + e.length <= fileSize;
    if (!ok) {
      why = "section " + std::to_string(e.number) + " lies outside the file";
      return false;
    }
    if (e.capacity > 0) placed.push_back(&e);
  }
  std::sort(placed.begin(), placed.end(),
            [](const SegmentSectionEntry* a, const SegmentSectionEntry* b) {
              return a->offset < b->offset;
            });
  for (size_t i = 1; i < placed.size(); ++i) {
    if (placed[i - 1]->offset + placed[i - 1]->capacity > placed[i]->offset) {
      why = "sections " + std::to_string(placed[i - 1]->number) + " and " +
            std::to_string(placed[i]->number) + " overlap";
      return false;
    }
  }
  return true;
}

CZnError validateNewSections(const std::vector<Section>& sections) {
  if (sections.size() > SEGMENT_MAX_SECTIONS)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Too many sections (%zu)",
                                   sections.size());
  for (size_t i = 0; i < sections.size(); ++i) {
    CZnError err = checkRequest(sections[i]);
    if (err.failed()) return err;
    if (sections[i].offset != 0)
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Section %d of a new segment has an offset",
                                     sections[i].number);
    for (size_t j = 0; j < i; ++j)
      if (sections[j].number == sections[i].number)
        return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Section %d given twice",
                                       sections[i].number);
  }
  return CZnError::Success;
}

// ---------------------------------------------------------------------------
// SegmentFile

struct SegmentFile::Step {
  enum Kind { Copy, Zero, Data } kind;
  uint64_t from;            // Copy: source position; Zero: first byte
  uint64_t to;              // Copy: destination; Zero: end (exclusive)
  uint64_t length;          // Copy and Data
  const void* buffer;       // Data
};

struct SegmentFile::Plan {
  SegmentLayout layout;
  std::vector<Step> steps;
  uint64_t fileSize = 0;    // size of the file after the plan
  bool headerChanged = false;
};

SegmentFile::~SegmentFile() {
  if (fd_ >= 0) ::close(fd_);
}

uint64_t SegmentFile::imageSize(const std::vector<Section>& sections) {
  uint64_t end = SEGMENT_HEADER_SIZE;
  for (const Section& s : sections)
    if (s.size > 0) end = alignUp(end, SMALL_ALIGN) + s.size;
  return end;
}

CZnError SegmentFile::createImage(int fd, const std::string& path,
                                  const std::vector<Section>& sections) {
  SegmentLayout layout;
  uint64_t end = SEGMENT_HEADER_SIZE;
  for (const Section& s : sections) {
    SegmentSectionEntry e{s.number, s.word, s.size, 0, 0};
    if (s.size > 0) {
      e.offset = alignUp(end, SMALL_ALIGN);
      e.capacity = s.size;
      end = e.offset + s.size;
    }
    layout.entries.push_back(e);
  }
  SegmentFileHeader header;
  layout.encode(header);
  int rc = pwriteAll(fd, &header, sizeof(header), 0);
  for (size_t i = 0; rc == 0 && i < sections.size(); ++i)
    if (sections[i].size > 0)
      rc = pwriteAll(fd, sections[i].buffer, sections[i].size, layout.entries[i].offset);
  if (rc != 0) return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't write [%s]", path.c_str());
  fd_ = fd;
  path_ = path;
  layout_ = std::move(layout);
  fileSize_ = end;
  return CZnError::Success;
}

CZnError SegmentFile::load(const std::string& path) {
  path_ = path;
  fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0) {
    int err = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, err, "Can't open [%s]", path.c_str());
  }
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    int err = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, err, "Error: Can't stat [%s]", path.c_str());
  }
  fileSize_ = static_cast<uint64_t>(st.st_size);
  std::string why;
  SegmentFileHeader header;
  if (fileSize_ < SEGMENT_HEADER_SIZE) {
    why = "shorter than its header";
  } else if (int rc = preadAll(fd_, &header, sizeof(header), 0); rc != 0) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't read header of [%s]", path.c_str());
  } else {
    SegmentLayout::decode(header, fileSize_, layout_, why);
  }
  if (!why.empty()) {
    return FXErrorUtil::ErrorErrNo(FX_LOC, EIO, "Error: Damaged segment file [%s]: %s",
                                   path.c_str(), why.c_str());
  }
  return CZnError::Success;
}

CZnError SegmentFile::read(std::vector<Section>& sections) const {
  for (Section& s : sections) {
    if (s.bufferLength > 0 && s.buffer == nullptr)
      return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: No buffer for section %d", s.number);
    int index = layout_.find(s.number);
    s.size = 0;
    if (index < 0) continue;
    const SegmentSectionEntry& e = layout_.entries[static_cast<size_t>(index)];
    if (s.offset >= e.length) continue;
    uint64_t n = std::min(s.bufferLength, e.length - s.offset);
    if (int rc = preadAll(fd_, s.buffer, n, e.offset + s.offset); rc != 0) {
      return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't read section %d of [%s]", s.number,
                                     path_.c_str());
    }
    s.size = n;
  }
  return CZnError::Success;
}

CZnError SegmentFile::readAll(std::vector<SectionV>& sections) const {
  sections.clear();
  sections.reserve(layout_.entries.size());
  for (const SegmentSectionEntry& e : layout_.entries) {
    SectionV v;
    v.number = e.number;
    v.word = e.word;
    v.size = e.length;
    v.data.resize(e.length);
    if (e.length > 0) {
      if (int rc = preadAll(fd_, v.data.data(), e.length, e.offset); rc != 0) {
        return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't read section %d of [%s]",
                                       e.number, path_.c_str());
      }
    }
    sections.push_back(std::move(v));
  }
  return CZnError::Success;
}

uint64_t SegmentFile::sectionLength(int32_t number) const {
  int index = layout_.find(number);
  return index < 0 ? 0 : layout_.entries[static_cast<size_t>(index)].length;
}

bool SegmentFile::fitsInPlace(const std::vector<Section>& writes) const {
  for (const Section& w : writes) {
    if (checkRequest(w).failed()) return false;
    int index = layout_.find(w.number);
    if (index < 0 || w.offset + w.size > layout_.entries[static_cast<size_t>(index)].length)
      return false;
  }
  return true;
}

CZnError SegmentFile::writeInPlace(const std::vector<Section>& writes) {
  for (const Section& w : writes) {
    const SegmentSectionEntry& e = layout_.entries[static_cast<size_t>(layout_.find(w.number))];
    if (w.size == 0) continue;
    if (int rc = pwriteAll(fd_, w.buffer, w.size, e.offset + w.offset); rc != 0)
      return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't write section %d of [%s]",
                                     w.number, path_.c_str());
  }
  return CZnError::Success;
}

// Makes room for newLength bytes in entries[index]: nothing when it fits, in
// place when the region is last in the file, otherwise a move to the end.
void SegmentFile::ensureCapacity(Plan& plan, size_t index, uint64_t newLength) {
  SegmentLayout& layout = plan.layout;
  SegmentSectionEntry& e = layout.entries[index];
  if (newLength <= e.capacity) return;
  plan.headerChanged = true;
  if (e.capacity > 0 && static_cast<int>(index) == layout.lastRegion()) {
    e.capacity = newLength;
    return;
  }
  uint64_t offset = alignUp(layout.dataEnd(), newLength >= PAGE_ALIGN ? PAGE_ALIGN : SMALL_ALIGN);
  if (e.capacity > 0 && e.length > 0)
    plan.steps.push_back(Step{Step::Copy, e.offset, offset, e.length, nullptr});
  // A region that had to move once is likely to keep growing: reserve twice
  // its old size so that repeated growth moves it only logarithmically often.
  uint64_t capacity = e.capacity > 0 ? std::max(newLength, 2 * e.capacity) : newLength;
  e.offset = offset;
  e.capacity = capacity;
}

CZnError SegmentFile::makePlan(const std::vector<Section>& writes, Plan& plan) const {
  plan.layout = layout_;
  plan.fileSize = fileSize_;
  for (const Section& w : writes) {
    CZnError err = checkRequest(w);
    if (err.failed()) return err;
    int found = plan.layout.find(w.number);
    if (found < 0) {
      if (plan.layout.entries.size() >= SEGMENT_MAX_SECTIONS)
        return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Too many sections in [%s]",
                                       path_.c_str());
      plan.layout.entries.push_back(SegmentSectionEntry{w.number, w.word, 0, 0, 0});
      plan.headerChanged = true;
      found = static_cast<int>(plan.layout.entries.size() - 1);
    }
    size_t index = static_cast<size_t>(found);
    uint64_t newLength = std::max(plan.layout.entries[index].length, w.offset + w.size);
    ensureCapacity(plan, index, newLength);
    SegmentSectionEntry& e = plan.layout.entries[index];
    if (w.offset > e.length)
      plan.steps.push_back(Step{Step::Zero, e.offset + e.length, e.offset + w.offset, 0, nullptr});
    if (w.size > 0)
      plan.steps.push_back(Step{Step::Data, e.offset + w.offset, 0, w.size, w.buffer});
    if (newLength != e.length) plan.headerChanged = true;
    e.length = newLength;
    if (e.capacity > 0) plan.fileSize = std::max(plan.fileSize, e.offset + e.length);
  }
  return CZnError::Success;
}

CZnError SegmentFile::planWrite(const std::vector<Section>& writes, uint64_t& newFileSize) const {
  Plan plan;
  CZnError err = makePlan(writes, plan);
  if (err.ok()) newFileSize = plan.fileSize;
  return err;
}

CZnError SegmentFile::applyPlan(const Plan& plan) {
  uint64_t size = fileSize_;  // the file's current physical size
  int rc = 0;
  for (const Step& step : plan.steps) {
    switch (step.kind) {
      case Step::Copy:
        rc = copyRange(fd_, step.from, step.to, step.length);
        if (rc == 0) size = std::max(size, step.to + step.length);
        break;
      case Step::Zero:
        // Bytes past the end of the file already read as zeros.
        rc = zeroRange(fd_, step.from, std::min(step.to, size));
        break;
      case Step::Data:
        rc = pwriteAll(fd_, step.buffer, step.length, step.from);
        if (rc == 0) size = std::max(size, step.from + step.length);
        break;
    }
    if (rc != 0) break;
  }
  // A file that gets shorter loses its tail only once the new table is in
  // place: cut first, a process killed in between would leave a table that
  // reaches past the end of the file.
  const bool shrinking = rc == 0 && plan.fileSize < size;
  if (shrinking && plan.headerChanged) {
    CZnError err = writeHeader(plan.layout);
    if (err.failed()) return err;
    layout_ = plan.layout;
    if (ftruncate(fd_, static_cast<off_t>(plan.fileSize)) != 0) {
      // The section is cut all the same; only the space stays in use.
      struct stat st;
      if (fstat(fd_, &st) == 0) fileSize_ = static_cast<uint64_t>(st.st_size);
      return CZnError::Success;
    }
    fileSize_ = plan.fileSize;
    return CZnError::Success;
  }
  if (rc == 0 && size != plan.fileSize && ftruncate(fd_, static_cast<off_t>(plan.fileSize)) != 0)
    rc = errno;
  if (rc != 0) {
    // The table is unchanged, so the segment reads as before; only the
    // file's physical size may have moved.
    struct stat st;
    if (fstat(fd_, &st) == 0) fileSize_ = static_cast<uint64_t>(st.st_size);
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't write [%s]", path_.c_str());
  }
  fileSize_ = plan.fileSize;
  if (plan.headerChanged) {
    CZnError err = writeHeader(plan.layout);
    if (err.failed()) return err;
  }
  layout_ = plan.layout;
  return CZnError::Success;
}

CZnError SegmentFile::write(const std::vector<Section>& writes, const Admit& admit) {
  Plan plan;
  CZnError err = makePlan(writes, plan);
  if (err.ok() && admit) err = admit(plan.fileSize);
  if (err.failed()) return err;
  return applyPlan(plan);
}

namespace {
// The size a file needs for every section's bytes.
uint64_t neededFileSize(const SegmentLayout& layout) {
  uint64_t end = SEGMENT_HEADER_SIZE;
  for (const auto& e : layout.entries)
    if (e.capacity > 0) end = std::max(end, e.offset + e.length);
  return end;
}
}  // namespace

CZnError SegmentFile::truncate(int32_t number, uint64_t newLength) {
  if (!validNumber(number))
    return FXErrorUtil::ErrorErrNo(FX_LOC, EINVAL, "Error: Invalid section number %d", number);
  if (newLength > MAX_SECTION_BYTES)
    return FXErrorUtil::ErrorErrNo(FX_LOC, EFBIG, "Error: Section %d too large", number);
  int found = layout_.find(number);
  uint64_t length = found < 0 ? 0 : layout_.entries[static_cast<size_t>(found)].length;
  if (found >= 0 && newLength == length) return CZnError::Success;
  if (found < 0 || newLength > length) {
    // Lengthening is a zero-size write at the new end: it creates, grows or
    // moves the region and zeroes the exposed bytes.
    Section s;
    s.number = number;
    s.offset = newLength;
    Plan plan;
    CZnError err = makePlan({s}, plan);
    if (err.failed()) return err;
    return applyPlan(plan);
  }
  Plan plan;
  plan.layout = layout_;
  plan.headerChanged = true;
  SegmentSectionEntry& e = plan.layout.entries[static_cast<size_t>(found)];
  bool last = found == layout_.lastRegion();
  e.length = newLength;
  if (last) {
    // Nothing follows the region: give the bytes back to the file system.
    e.capacity = newLength;
    if (newLength == 0) e.offset = 0;
  }
  plan.fileSize = last ? neededFileSize(plan.layout) : fileSize_;
  return applyPlan(plan);
}

uint64_t SegmentFile::planTruncate(int32_t number, uint64_t newLength) const {
  int found = layout_.find(number);
  uint64_t length = found < 0 ? 0 : layout_.entries[static_cast<size_t>(found)].length;
  if (found >= 0 && newLength <= length) return fileSize_;
  Section s;
  s.number = number;
  s.offset = newLength;
  uint64_t size = fileSize_;
  if (planWrite({s}, size).failed()) return fileSize_;
  return size;
}

CZnError SegmentFile::writeHeader(const SegmentLayout& layout) {
  SegmentFileHeader header;
  layout.encode(header);
  if (int rc = pwriteAll(fd_, &header, sizeof(header), 0); rc != 0)
    return FXErrorUtil::ErrorErrNo(FX_LOC, rc, "Error: Can't write header of [%s]", path_.c_str());
  return CZnError::Success;
}

CZnError SegmentFile::sync() const {
  if (fdatasync(fd_) != 0) {
    int err = errno;
    return FXErrorUtil::ErrorErrNo(FX_LOC, err, "Error: Can't sync [%s]", path_.c_str());
  }
  return CZnError::Success;
}

}  // namespace ObjectStore
