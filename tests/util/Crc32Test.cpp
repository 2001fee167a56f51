#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/Crc32.h"

namespace {
uint32_t crcOf(const std::string& s) {
  return CRC32(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
}  // namespace

// Reference values as zlib's crc32() gives them.
TEST(Crc32Test, MatchesZlibOnKnownVectors) {
  EXPECT_EQ(crcOf("123456789"), 0xCBF43926u);
  EXPECT_EQ(crcOf("a"), 0xE8B7BE43u);
  EXPECT_EQ(crcOf("abc"), 0x352441C2u);
  EXPECT_EQ(crcOf("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
  std::vector<uint8_t> zeros(32, 0);
  EXPECT_EQ(CRC32(zeros.data(), zeros.size()), 0x190A55ADu);
  std::vector<uint8_t> ones(32, 0xFF);
  EXPECT_EQ(CRC32(ones.data(), ones.size()), 0xFF6CAB0Bu);
  EXPECT_EQ(CRC32(ones.data(), 0), 0u);  // empty input
  EXPECT_EQ(CRC32(nullptr, 0), 0u);
}
