#include "platform/restore/Crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace ObjectStore {

namespace {

constexpr uint32_t CRC32C_POLY_REFLECTED = 0x82F63B78u;

// Slicing-by-8 tables: table[k][b] is the CRC of byte b followed by k zero bytes.
using Crc32cTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Crc32cTables makeTables() {
  Crc32cTables tables{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t crc = b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? CRC32C_POLY_REFLECTED : 0u);
    tables[0][b] = crc;
  }
  for (uint32_t b = 0; b < 256; ++b)
    for (size_t k = 1; k < 8; ++k)
      tables[k][b] = (tables[k - 1][b] >> 8) ^ tables[0][tables[k - 1][b] & 0xFFu];
  return tables;
}

constexpr Crc32cTables TABLES = makeTables();

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t crc, const void* data,
                                                          size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t state = ~crc;
  while (length > 0 && (reinterpret_cast<uintptr_t>(p) & 7u) != 0) {
    state = _mm_crc32_u8(static_cast<uint32_t>(state), *p++);
    --length;
  }
  while (length >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    state = _mm_crc32_u64(state, word);
    p += 8;
    length -= 8;
  }
  while (length > 0) {
    state = _mm_crc32_u8(static_cast<uint32_t>(state), *p++);
    --length;
  }
  return ~static_cast<uint32_t>(state);
}

bool detectHardware() { return __builtin_cpu_supports("sse4.2") != 0; }
#else
bool detectHardware() { return false; }
#endif

// Decided once, on first use (safe from other translation units' static
// initialisers, unlike a namespace-scope constant).
bool useHardware() {
  static const bool hardware = detectHardware();
  return hardware;
}

}  // namespace

uint32_t crc32cExtendSoftware(uint32_t crc, const void* data, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t state = ~crc;
  while (length >= 8) {
    uint32_t low;
    uint32_t high;
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + 4, 4);
    low ^= state;  // the format is little-endian; so is the only host we build for
    state = TABLES[7][low & 0xFFu] ^ TABLES[6][(low >> 8) & 0xFFu] ^
            TABLES[5][(low >> 16) & 0xFFu] ^ TABLES[4][low >> 24] ^ TABLES[3][high & 0xFFu] ^
            TABLES[2][(high >> 8) & 0xFFu] ^ TABLES[1][(high >> 16) & 0xFFu] ^
            TABLES[0][high >> 24];
    p += 8;
    length -= 8;
  }
  while (length > 0) {
    state = (state >> 8) ^ TABLES[0][(state ^ *p++) & 0xFFu];
    --length;
  }
  return ~state;
}

uint32_t crc32cExtend(uint32_t crc, const void* data, size_t length) {
#if defined(__x86_64__)
  if (useHardware()) return crc32cHardware(crc, data, length);
#endif
  return crc32cExtendSoftware(crc, data, length);
}

bool crc32cHardwareAvailable() { return useHardware(); }

}  // namespace ObjectStore
