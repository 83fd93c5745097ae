// CRC-32C (Castagnoli polynomial 0x1EDC6F41, reflected 0x82F63B78), the
// checksum of every afile record.
//
// CRC-32C rather than plain CRC-32 because x86-64 computes it in hardware
// (SSE4.2), so checksumming a whole extent costs a fraction of writing it.
// Without SSE4.2 a table-driven software version gives the same values.
//
// Thread safety: pure functions, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ObjectStore {

// Extends `crc` (the value returned for the bytes before) by `length` bytes.
// Start with 0: crc32cExtend(0, data, n) == crc32c(data, n), and
// crc32cExtend(crc32c(a), b) == crc32c(a followed by b).
uint32_t crc32cExtend(uint32_t crc, const void* data, size_t length);

inline uint32_t crc32c(const void* data, size_t length) { return crc32cExtend(0, data, length); }

// The portable version, exposed so that tests can check that both agree.
uint32_t crc32cExtendSoftware(uint32_t crc, const void* data, size_t length);

// True when the hardware instruction is used by crc32cExtend.
bool crc32cHardwareAvailable();

}  // namespace ObjectStore
