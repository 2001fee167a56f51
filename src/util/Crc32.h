#ifndef VH_UTIL_CRC32_H_
#define VH_UTIL_CRC32_H_

#include <cstddef>
#include <cstdint>

// Standard CRC-32 (IEEE 802.3, reflected, as zlib computes it), 4 bits per
// table step. A count of 0 returns 0.
uint32_t CRC32(const uint8_t* bytes, size_t count);

#endif  // VH_UTIL_CRC32_H_
