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
// Multiplies two polynomials modulo the CRC polynomial, in the register's
// reflected bit order (bit 31 is x^0).
constexpr uint32_t multModP(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if ((a & m) != 0) product ^= b;
    b = (b & 1u) != 0 ? (b >> 1) ^ CRC32C_POLY_REFLECTED : b >> 1;
  }
  return product;
}

// x^(8n) mod P: running n zero bytes through a register multiplies it by this.
constexpr uint32_t zeroBytesFactor(uint64_t n) {
  uint32_t result = 1u << 31;  // x^0
  uint32_t power = 1u << 30;   // x^1, squared as the exponent's bits go by
  for (uint64_t e = 8 * n; e != 0; e >>= 1) {
    if ((e & 1u) != 0) result = multModP(result, power);
    power = multModP(power, power);
  }
  return result;
}

// The crc32 instruction takes three cycles and issues every cycle: three
// lanes of one block run side by side and are joined after the block, since
// the register is linear: reg(s, A B) = reg(s, A) * x^(8|B|) + reg(0, B).
constexpr size_t LANE_BYTES = 8192;
constexpr uint32_t SKIP_ONE_LANE = zeroBytesFactor(LANE_BYTES);
constexpr uint32_t SKIP_TWO_LANES = zeroBytesFactor(2 * LANE_BYTES);

__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t crc, const void* data,
                                                          size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t state = ~crc;
  while (length > 0 && (reinterpret_cast<uintptr_t>(p) & 7u) != 0) {
    state = _mm_crc32_u8(static_cast<uint32_t>(state), *p++);
    --length;
  }
  while (length >= 3 * LANE_BYTES) {
    uint64_t a = state;
    uint64_t b = 0;
    uint64_t c = 0;
    for (size_t i = 0; i < LANE_BYTES; i += 8) {
      uint64_t wa, wb, wc;
      std::memcpy(&wa, p + i, 8);
      std::memcpy(&wb, p + LANE_BYTES + i, 8);
      std::memcpy(&wc, p + 2 * LANE_BYTES + i, 8);
      a = _mm_crc32_u64(a, wa);
      b = _mm_crc32_u64(b, wb);
      c = _mm_crc32_u64(c, wc);
    }
    state = multModP(SKIP_TWO_LANES, static_cast<uint32_t>(a)) ^
            multModP(SKIP_ONE_LANE, static_cast<uint32_t>(b)) ^ static_cast<uint32_t>(c);
    p += 3 * LANE_BYTES;
    length -= 3 * LANE_BYTES;
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
