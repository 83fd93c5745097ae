// Helpers for tests that write, damage and read afiles directly.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>

#include "platform/restore/AfileFormat.h"
#include "platform/utils/FileUtils.h"

namespace ObjectStore::test {

// Writes afiles in the transport's format without the transport, so that the
// reader is tested against the format rather than against the writer.
class TestAfileBuilder {
 public:
  TestAfileBuilder(const std::string& backupDir, uint64_t subclient)
      : dir_(afileDirectory(backupDir, subclient)), subclient_(subclient) {
    if (createDir(dir_) != 0) throw std::runtime_error("can't create " + dir_);
  }
  ~TestAfileBuilder() {
    if (fd_ >= 0) close(fd_);
  }
  TestAfileBuilder(const TestAfileBuilder&) = delete;
  TestAfileBuilder& operator=(const TestAfileBuilder&) = delete;

  void startAfile(uint64_t afileId) {
    if (fd_ >= 0) close(fd_);
    afileId_ = afileId;
    fd_ = open(path().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::runtime_error("can't create " + path());
    const AfileFileHeader header = makeFileHeader(subclient_, afileId);
    writeAt(&header, sizeof(header), 0);
    end_ = sizeof(header);
  }
  // Appends one record; returns its offset.
  uint64_t append(const std::string& name, const std::string& data) {
    const AfileRecordHeader header = makeRecordHeader(name, data.data(), data.size());
    const uint64_t offset = end_;
    writeAt(&header, sizeof(header), end_);
    writeAt(name.data(), name.size(), end_ + sizeof(header));
    writeAt(data.data(), data.size(), end_ + sizeof(header) + name.size());
    end_ += recordSize(header);
    return offset;
  }
  std::string path() const { return afilePath(dir_, afileId_); }
  const std::string& dir() const { return dir_; }
  uint64_t afileId() const { return afileId_; }
  uint64_t end() const { return end_; }

 private:
  void writeAt(const void* data, size_t length, uint64_t offset) {
    if (pwrite(fd_, data, length, static_cast<off_t>(offset)) != static_cast<ssize_t>(length))
      throw std::runtime_error("short write to " + path());
  }

  std::string dir_;
  uint64_t subclient_;
  uint64_t afileId_ = 0;
  int fd_ = -1;
  uint64_t end_ = 0;
};

inline std::string randomBytes(std::mt19937_64& rng, size_t length) {
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
  return bytes;
}

// Inverts every bit of one byte of a file.
inline void flipByte(const std::string& path, uint64_t offset) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("can't open " + path);
  unsigned char byte = 0;
  if (pread(fd, &byte, 1, static_cast<off_t>(offset)) != 1) {
    close(fd);
    throw std::runtime_error("can't read " + path);
  }
  byte = static_cast<unsigned char>(~byte);
  ssize_t written = pwrite(fd, &byte, 1, static_cast<off_t>(offset));
  close(fd);
  if (written != 1) throw std::runtime_error("can't write " + path);
}

inline uint64_t fileSizeOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) throw std::runtime_error("can't stat " + path);
  return static_cast<uint64_t>(st.st_size);
}

inline void truncateTo(const std::string& path, uint64_t size) {
  if (truncate(path.c_str(), static_cast<off_t>(size)) != 0)
    throw std::runtime_error("can't truncate " + path);
}

// Appends raw bytes to a file (a simulated unfinished write).
inline void appendRaw(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("can't open " + path);
  ssize_t written = write(fd, bytes.data(), bytes.size());
  close(fd);
  if (written != static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("short append to " + path);
}

}  // namespace ObjectStore::test
