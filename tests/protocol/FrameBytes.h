// Frames built byte by byte, without SelvomaPacket, so that reader tests do
// not share a fault with the writer.
#ifndef VH_TESTS_PROTOCOL_FRAMEBYTES_H_
#define VH_TESTS_PROTOCOL_FRAMEBYTES_H_

#include <cstdint>
#include <string>

// The check word computed column-wise: after rotating right by 8 once per
// following byte, byte i of n ends in byte lane (i - n) mod 4 of the result.
inline uint32_t columnCheckWord(const std::string& bytes) {
  const size_t n = bytes.size();
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    size_t lane = (4 - (n - i) % 4) % 4;
    v ^= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * lane);
  }
  return v;
}

inline void appendLE(std::string* out, uint32_t value, int width) {
  for (int i = 0; i < width; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// Header and payload as on the wire; lengthField is what the header announces.
inline std::string frameBody(uint8_t type, uint32_t lengthField, uint32_t source, uint32_t dest,
                             uint32_t selTime, uint8_t seq, const std::string& payload) {
  std::string f;
  f.push_back(0x55);
  f.push_back(static_cast<char>(type));
  appendLE(&f, lengthField, 2);
  appendLE(&f, source, 4);
  appendLE(&f, dest, 4);
  appendLE(&f, selTime, 4);
  f.push_back(static_cast<char>(seq));
  return f + payload;
}

// A whole frame with a correct check word.
inline std::string frame(uint8_t type, uint32_t source, const std::string& payload = "",
                         uint8_t seq = 0, uint32_t dest = 1, uint32_t selTime = 0x2d000000) {
  std::string f =
      frameBody(type, static_cast<uint32_t>(payload.size()), source, dest, selTime, seq, payload);
  appendLE(&f, columnCheckWord(f), 4);
  return f;
}

#endif  // VH_TESTS_PROTOCOL_FRAMEBYTES_H_
