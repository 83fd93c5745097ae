// Helpers shared by the disk cache tests: a fixture with a cache directory in
// the test's own temporary directory, one live-share context, and short ways
// to build section lists and read sections back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "platform/diskcache/DiskCache.h"

namespace ObjectStore::test {

using Bytes = std::vector<unsigned char>;

// n bytes of a pattern that differs per seed and per position.
inline Bytes pattern(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<unsigned char>(x >> 16);
  }
  return out;
}

// The byte a position of a seed's endless pattern holds: lets a test check
// any prefix of data appended piece by piece.
inline unsigned char patternByte(uint64_t position, uint32_t seed) {
  return static_cast<unsigned char>((position * 131 + seed * 7 + (position >> 8)) & 0xff);
}

inline Bytes patternRange(uint64_t from, uint64_t length, uint32_t seed) {
  Bytes out(length);
  for (uint64_t i = 0; i < length; ++i) out[i] = patternByte(from + i, seed);
  return out;
}

// prefix followed by the decimal number.
inline std::string numbered(const std::string& prefix, long number) {
  std::string out = prefix;
  out += std::to_string(number);
  return out;
}

inline Section writeOf(int32_t number, const Bytes& data, uint64_t offset = 0) {
  Section s;
  s.number = number;
  s.offset = offset;
  s.size = data.size();
  s.bufferLength = data.size();
  s.buffer = const_cast<unsigned char*>(data.data());
  return s;
}

inline Section readOf(int32_t number, Bytes& buffer, uint64_t offset = 0) {
  Section s;
  s.number = number;
  s.offset = offset;
  s.buffer = buffer.data();
  s.bufferLength = buffer.size();
  return s;
}

class DiskCacheFixture : public TestEnv {
 protected:
  void SetUp() override {
    TestEnv::SetUp();
    cacheDir_ = path("cache");
    ctx_.name = "42";
    ctx_.noprunePath = "noprune/42_0";
  }

  void TearDown() override {
    if (cache_) cache_->shutdownPruner();
    cache_.reset();
    TestEnv::TearDown();
  }

  // A new cache on the fixture's directory (replacing an earlier one, as a
  // process restart would). The pruner thread waits an hour between passes
  // unless a test asks otherwise, so that pruning happens when tests say.
  void openCache(int high = 90, int low = 80, int third = 85,
                 PruningMode mode = PruningMode::Lru, uint64_t lruSize = 1000,
                 uint32_t pruneIntervalMs = 3600 * 1000) {
    if (cache_) cache_->shutdownPruner();
    cache_.reset();
    cache_ = std::make_unique<DiskCache>(0);
    cache_->setPruneInterval(pruneIntervalMs);
    CZnError err = cache_->init(cacheDir_, {cacheDir_}, high, low, third, lruSize, nullptr, mode);
    ASSERT_TRUE(err.ok()) << err.text() << " " << err.chain();
  }

  // The store's usual segment: header sections 3 and 0, then 5.
  CZnError createStandard(const std::string& name, uint32_t seed, bool nonPrunable = false,
                          DiskCacheContext* ctx = nullptr) {
    Bytes s3 = pattern(1120, seed), s0 = pattern(1160, seed + 1), s5 = pattern(4096, seed + 2);
    return cache_->createSegment(ctx ? *ctx : ctx_, name,
                                 {writeOf(3, s3), writeOf(0, s0), writeOf(5, s5)}, false,
                                 nonPrunable, false);
  }

  // One section of `bytes` bytes (section 1), the shape of an extent.
  CZnError createBlob(const std::string& name, size_t bytes, uint32_t seed,
                      bool nonPrunable = false, DiskCacheContext* ctx = nullptr) {
    Bytes data = pattern(bytes, seed);
    return cache_->createSegment(ctx ? *ctx : ctx_, name, {writeOf(1, data)}, false, nonPrunable,
                                 false);
  }

  // The whole content of one section (empty when missing); fails the test
  // when the segment can't be read.
  Bytes readSection(const std::string& name, int32_t number, DiskCacheContext* ctx = nullptr) {
    DiskCacheContext& c = ctx ? *ctx : ctx_;
    uint64_t size = 0;
    CZnError err = cache_->getSectionSize(size, c, name, number, 0);
    EXPECT_TRUE(err.ok()) << err.chain();
    Bytes buffer(size);
    std::vector<Section> req{readOf(number, buffer)};
    err = cache_->readSections(c, name, req, true);
    EXPECT_TRUE(err.ok()) << err.chain();
    EXPECT_EQ(req[0].size, size);
    return buffer;
  }

  CZnError write(const std::string& name, int32_t number, const Bytes& data, uint64_t offset,
                 DiskCacheContext* ctx = nullptr) {
    return cache_->writeSections(ctx ? *ctx : ctx_, name, {writeOf(number, data, offset)}, false,
                                 0);
  }

  std::string cacheDir_;
  std::unique_ptr<DiskCache> cache_;
  DiskCacheContext ctx_;
};

}  // namespace ObjectStore::test
