// Frames as the instrument end of a link sees them.
//
// The hub's own reader accepts only instrument station ids as senders; an
// instrument must accept the hub's id (any value). FrameDecoder takes the
// bytes of a link as they arrive, skips anything before a sync byte, and hands
// out whole frames: header, payload of at most LINK_PAYLOAD_MAX bytes and the
// check word. A header announcing a longer payload is not a frame: its sync
// byte is skipped and the search goes on. A frame whose check word does not
// match is handed out as BAD_CHECK (its sequence number is still useful for a
// NACK).
//
// Not shared: one decoder per instrument link, used by that instrument's
// thread only.
#ifndef VH_TOOLS_DREMOSIM_FRAMEDECODER_H_
#define VH_TOOLS_DREMOSIM_FRAMEDECODER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/SelvomaPacket.h"

class FrameDecoder {
 public:
  enum Result { NEED_MORE, FRAME, BAD_CHECK };

  FrameDecoder() = default;
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  // Appends bytes received from the link.
  void feed(const uint8_t* bytes, size_t count);
  // Takes the next frame out of the bytes fed so far. FRAME and BAD_CHECK
  // fill packet (header, payload, check word as received); NEED_MORE leaves
  // it alone and keeps the incomplete frame for the next call.
  Result next(SelvomaPacket* packet);
  // Drops everything fed and not yet taken.
  void clear();

  // Bytes skipped while looking for a sync byte, since construction.
  uint64_t skippedBytes() const { return skipped_; }
  size_t buffered() const { return buffer_.size() - start_; }

 private:
  // Drops the bytes before start_ once they make up most of the buffer.
  void compact();

  std::vector<uint8_t> buffer_;
  size_t start_ = 0;  // first byte not yet taken
  uint64_t skipped_ = 0;
};

// The whole wire frame of packet (its check word is computed and stored).
std::vector<uint8_t> encodeFrame(SelvomaPacket* packet);

#endif  // VH_TOOLS_DREMOSIM_FRAMEDECODER_H_
