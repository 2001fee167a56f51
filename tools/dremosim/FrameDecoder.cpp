#include "FrameDecoder.h"

#include <cstring>

namespace {

constexpr size_t COMPACT_THRESHOLD = 64 * 1024;  // taken bytes that trigger a compaction

uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void FrameDecoder::feed(const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  compact();
  buffer_.insert(buffer_.end(), bytes, bytes + count);
}

void FrameDecoder::clear() {
  buffer_.clear();
  start_ = 0;
}

void FrameDecoder::compact() {
  if (start_ == 0) return;
  if (start_ == buffer_.size()) {
    clear();
  } else if (start_ >= COMPACT_THRESHOLD) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
}

FrameDecoder::Result FrameDecoder::next(SelvomaPacket* packet) {
  for (;;) {
    while (start_ < buffer_.size() && buffer_[start_] != SELVOMA_SYNC) {
      ++start_;
      ++skipped_;
    }
    size_t have = buffer_.size() - start_;
    if (have < SELVOMA_HEADER_LENGTH) return NEED_MORE;
    const uint8_t* head = buffer_.data() + start_;
    SelvomaPacket frame;
    int payloadLen = frame.headerFromBytes(head);
    if (payloadLen < 0 || static_cast<size_t>(payloadLen) > LINK_PAYLOAD_MAX) {
      // Not a frame start: skip this sync byte and look for the next one.
      ++start_;
      ++skipped_;
      continue;
    }
    size_t total = static_cast<size_t>(payloadLen) + SELVOMA_OVERHEAD;
    if (have < total) return NEED_MORE;
    if (payloadLen > 0 && frame.newPayload(payloadLen)) {
      memcpy(frame.payload(), head + SELVOMA_HEADER_LENGTH, static_cast<size_t>(payloadLen));
    }
    frame.xor32 = getU32(head + SELVOMA_HEADER_LENGTH + payloadLen);
    start_ += total;
    bool good = frame.checkXOR();
    *packet = frame;
    return good ? FRAME : BAD_CHECK;
  }
}

std::vector<uint8_t> encodeFrame(SelvomaPacket* packet) {
  std::vector<uint8_t> bytes(static_cast<size_t>(packet->length()));
  size_t n = packet->toBytes(bytes.data(), bytes.size());
  bytes.resize(n);
  return bytes;
}
