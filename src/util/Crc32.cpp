#include "util/Crc32.h"

namespace {
constexpr uint32_t ALL_ONES = 0xFFFFFFFFu;
constexpr int NIBBLE_BITS = 4;
constexpr uint32_t NIBBLE_MASK = 0xF;

// CRC of each 4-bit value under the reflected IEEE 802.3 polynomial 0xEDB88320.
constexpr uint32_t NIBBLE_TABLE[16] = {
    0x00000000, 0x1DB71064, 0x3B6E20C8, 0x26D930AC, 0x76DC4190, 0x6B6B51F4, 0x4DB26158, 0x5005713C,
    0xEDB88320, 0xF00F9344, 0xD6D6A3E8, 0xCB61B38C, 0x9B64C2B0, 0x86D3D2D4, 0xA00AE278, 0xBDBDF21C};
}  // namespace

uint32_t CRC32(const uint8_t* bytes, size_t count) {
  if (bytes == nullptr || count == 0) return 0;
  uint32_t crc = ALL_ONES;
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    crc = (crc >> NIBBLE_BITS) ^ NIBBLE_TABLE[crc & NIBBLE_MASK];
    crc = (crc >> NIBBLE_BITS) ^ NIBBLE_TABLE[crc & NIBBLE_MASK];
  }
  return crc ^ ALL_ONES;
}
