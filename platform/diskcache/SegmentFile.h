// SegmentFile: the on-disk format of one segment and the positioned I/O on it.
//
// A segment file is a fixed-size header followed by one data region per
// section:
//
//   offset 0                 SegmentFileHeader (536 bytes, checksummed)
//   offset >= header size    section regions, each [offset, offset + capacity)
//
// The header's table lists the sections in the order they were first created
// (that order is what readAll returns); each entry gives the section's number,
// its 32-bit word, its length, and where its region lies (offset, capacity).
// A section's bytes are [offset, offset + length); the bytes between length and
// capacity are slack whose content is unspecified, which is why every
// operation that lengthens a section zeroes the part it exposes.
//
// Growth. A section grows in place while it fits its capacity. The region that
// lies last in the file can always grow in place (nothing follows it). Any
// other region that outgrows its capacity is moved to the end of the file with
// twice its old capacity (so a section that keeps growing moves O(log n) times)
// and the header is rewritten to point at the new place. The old region is not
// reused; its space is bounded by the moved region's size.
//
// Crash behaviour of updates. Data is written before the header that makes it
// visible, so an interrupted write leaves either the old or the new table. A
// torn header (a crash in the middle of the 536-byte header write) fails its
// checksum and reads as EIO; the store then deletes and restores the segment.
// Creation never exposes a partial file: the whole image is written to a
// temporary file that is renamed into place (DiskCache).
//
// Thread safety: a SegmentFile is not locked internally. Readers and in-place
// writers (writeInPlace) may run concurrently with each other; everything that
// changes the table (write, truncate) needs exclusive access (the caller's
// per-segment lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/diskcache/DiskCacheTypes.h"
#include "platform/support/CZnError.h"

namespace ObjectStore {

// Most sections a segment file can hold; section numbers are 0..this-1.
inline constexpr uint32_t SEGMENT_MAX_SECTIONS = 16;

// One entry of the on-disk section table (little-endian memory image).
struct SegmentSectionEntry {
  int32_t number;
  uint32_t word;
  uint64_t length;    // bytes of the section
  uint64_t offset;    // file position of the region (0 while capacity is 0)
  uint64_t capacity;  // bytes reserved for the region; 0 = not placed yet
};
static_assert(sizeof(SegmentSectionEntry) == 32);

// The header at offset 0 of every segment file.
struct SegmentFileHeader {
  uint16_t magic;          // DISK_CACHE_MAGIC
  uint16_t version;        // DISK_CACHE_VERSION
  uint32_t sectionCount;   // used entries of `sections`, in creation order
  uint64_t reserved;       // zero
  SegmentSectionEntry sections[SEGMENT_MAX_SECTIONS];  // unused entries are zero
  uint64_t checksum;       // FNV-1a 64 of every byte before this field
};
static_assert(sizeof(SegmentFileHeader) == 536);
static_assert(offsetof(SegmentFileHeader, sections) == 16);
static_assert(offsetof(SegmentFileHeader, checksum) == 528);

inline constexpr uint64_t SEGMENT_HEADER_SIZE = sizeof(SegmentFileHeader);

// The in-memory section table of one segment file.
class SegmentLayout {
 public:
  std::vector<SegmentSectionEntry> entries;  // creation order

  // Index of the section in `entries`, or -1.
  int find(int32_t number) const;
  // Index of the placed region that lies last in the file, or -1.
  int lastRegion() const;
  // First byte after every placed region (at least the header size).
  uint64_t dataEnd() const;

  void encode(SegmentFileHeader& header) const;
  // Checks magic, version, count, checksum and that every region lies inside
  // a file of fileSize bytes without overlapping another. On failure `why`
  // says what is wrong (for the log) and false is returned.
  static bool decode(const SegmentFileHeader& header, uint64_t fileSize, SegmentLayout& out,
                     std::string& why);
  static uint64_t checksum(const SegmentFileHeader& header);
};

// Checks a section list given for a new segment: numbers in range and unique,
// at most SEGMENT_MAX_SECTIONS, every buffer present for its size.
CZnError validateNewSections(const std::vector<Section>& sections);

class SegmentFile {
 public:
  SegmentFile() = default;
  ~SegmentFile();  // closes the descriptor
  SegmentFile(const SegmentFile&) = delete;
  SegmentFile& operator=(const SegmentFile&) = delete;

  // Writes the complete image of a new segment holding exactly `sections`
  // into the empty file `fd` (a temporary file) and adopts fd: on success this
  // object owns it and describes the new file. On failure fd is left to the
  // caller. `path` is used in messages only.
  CZnError createImage(int fd, const std::string& path, const std::vector<Section>& sections);
  // The file size createImage would produce for these sections.
  static uint64_t imageSize(const std::vector<Section>& sections);

  // Opens `path` read-write and validates its header. ENOENT when the file
  // does not exist, EIO (logged at level -1) when the header is damaged.
  CZnError load(const std::string& path);

  // Fills each request's buffer from its offset; size := bytes placed (0 for
  // a missing section or an offset at or past the end).
  CZnError read(std::vector<Section>& sections) const;
  // Every section with its bytes, in creation order.
  CZnError readAll(std::vector<SectionV>& sections) const;

  // True when every write falls inside an existing section's current length,
  // so that writeInPlace can do it without touching the table.
  bool fitsInPlace(const std::vector<Section>& writes) const;
  // The positioned writes of fitsInPlace requests (shared access suffices).
  CZnError writeInPlace(const std::vector<Section>& writes);
  // Checks a write list (buffers, sizes, numbers) and computes the file size
  // it would leave, without writing anything.
  CZnError planWrite(const std::vector<Section>& writes, uint64_t& newFileSize) const;
  // Asked with the file size a change would leave before anything is
  // written; a failure cancels the change (the caller's space policy).
  using Admit = std::function<CZnError(uint64_t newFileSize)>;
  // Writes at offsets, creating, growing and moving sections as needed (a gap
  // before an offset reads as zeros). Exclusive access.
  CZnError write(const std::vector<Section>& writes, const Admit& admit = nullptr);
  // Sets a section's length (created when missing); new bytes read as zeros.
  // Exclusive access.
  CZnError truncate(int32_t number, uint64_t newLength);
  // The file size truncate would leave.
  uint64_t planTruncate(int32_t number, uint64_t newLength) const;

  // 0 when the section does not exist.
  uint64_t sectionLength(int32_t number) const;
  CZnError sync() const;

  int fd() const { return fd_; }
  uint64_t fileSize() const { return fileSize_; }
  const SegmentLayout& layout() const { return layout_; }
  const std::string& path() const { return path_; }
  // Points messages at the file's new name after a rename.
  void setPath(const std::string& path) { path_ = path; }

 private:
  struct Step;
  struct Plan;
  CZnError makePlan(const std::vector<Section>& writes, Plan& plan) const;
  static void ensureCapacity(Plan& plan, size_t index, uint64_t newLength);
  CZnError applyPlan(const Plan& plan);
  CZnError writeHeader(const SegmentLayout& layout);

  int fd_ = -1;
  std::string path_;
  SegmentLayout layout_;
  uint64_t fileSize_ = 0;
};

}  // namespace ObjectStore
