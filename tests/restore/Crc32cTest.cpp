#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/restore/Crc32c.h"

namespace ObjectStore {
namespace {

// Bit-at-a-time CRC-32C: slow, but obviously the definition.
uint32_t referenceCrc32c(const unsigned char* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? 0x82F63B78u : 0u);
  }
  return ~crc;
}

TEST(Crc32cTest, KnownVectors) {
  const std::string check = "123456789";
  EXPECT_EQ(crc32c(check.data(), check.size()), 0xE3069283u);
  std::vector<unsigned char> zeros(32, 0x00);
  EXPECT_EQ(crc32c(zeros.data(), zeros.size()), 0x8A9136AAu);
  std::vector<unsigned char> ones(32, 0xFF);
  EXPECT_EQ(crc32c(ones.data(), ones.size()), 0x62A8AB43u);
  std::vector<unsigned char> ascending(32);
  for (size_t i = 0; i < ascending.size(); ++i) ascending[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(crc32c(ascending.data(), ascending.size()), 0x46DD794Eu);
  EXPECT_EQ(crc32c(nullptr, 0), 0u);
}

TEST(Crc32cTest, SoftwareHardwareAndReferenceAgreeAtEveryLengthAndAlignment) {
  std::mt19937_64 rng(7);
  std::vector<unsigned char> buffer(4096 + 16);
  for (auto& b : buffer) b = static_cast<unsigned char>(rng());
  for (size_t start = 0; start < 8; ++start) {
    for (size_t length : {0u, 1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u, 1000u, 4096u}) {
      const unsigned char* p = buffer.data() + start;
      const uint32_t expected = referenceCrc32c(p, length);
      EXPECT_EQ(crc32cExtendSoftware(0, p, length), expected) << start << "/" << length;
      EXPECT_EQ(crc32c(p, length), expected) << start << "/" << length;
    }
  }
}

// Long buffers are checked in blocks of side-by-side lanes joined at the
// end of each block: every length around the block edges must agree.
TEST(Crc32cTest, LongBuffersAgreeWithTheReferenceAroundEveryBlockEdge) {
  std::mt19937_64 rng(13);
  std::vector<unsigned char> buffer(3 * 3 * 8192 + 64);
  for (auto& b : buffer) b = static_cast<unsigned char>(rng());
  for (size_t start : {0u, 3u}) {
    for (size_t blocks = 1; blocks <= 2; ++blocks) {
      for (long delta : {-9L, -8L, -1L, 0L, 1L, 7L, 8L, 9L}) {
        const size_t length = static_cast<size_t>(static_cast<long>(blocks * 3 * 8192) + delta);
        const unsigned char* p = buffer.data() + start;
        const uint32_t expected = referenceCrc32c(p, length);
        EXPECT_EQ(crc32c(p, length), expected) << start << "/" << length;
        EXPECT_EQ(crc32cExtendSoftware(0, p, length), expected) << start << "/" << length;
      }
    }
  }
  // Extending a checksum carries its state into the first lane.
  const uint32_t head = crc32c(buffer.data(), 100);
  EXPECT_EQ(crc32cExtend(head, buffer.data() + 100, 3 * 8192 + 5),
            referenceCrc32c(buffer.data(), 100 + 3 * 8192 + 5));
}

TEST(Crc32cTest, ExtendEqualsOneShot) {
  std::mt19937_64 rng(11);
  std::vector<unsigned char> data(10000);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  const uint32_t whole = crc32c(data.data(), data.size());
  for (size_t split : {0u, 1u, 5u, 8u, 4999u, 9999u, 10000u}) {
    uint32_t crc = crc32c(data.data(), split);
    crc = crc32cExtend(crc, data.data() + split, data.size() - split);
    EXPECT_EQ(crc, whole) << split;
    uint32_t soft = crc32cExtendSoftware(0, data.data(), split);
    soft = crc32cExtendSoftware(soft, data.data() + split, data.size() - split);
    EXPECT_EQ(soft, whole) << split;
  }
}

TEST(Crc32cTest, EverySingleBitFlipChangesTheChecksum) {
  std::vector<unsigned char> data(256);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 37);
  const uint32_t original = crc32c(data.data(), data.size());
  for (size_t i = 0; i < data.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      data[i] ^= static_cast<unsigned char>(1u << bit);
      EXPECT_NE(crc32c(data.data(), data.size()), original) << i << ":" << bit;
      data[i] ^= static_cast<unsigned char>(1u << bit);
    }
  }
}

}  // namespace
}  // namespace ObjectStore
