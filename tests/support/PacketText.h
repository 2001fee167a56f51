// The payload of a frame as text, for tests that compare payloads.
#ifndef VH_TESTS_SUPPORT_PACKETTEXT_H_
#define VH_TESTS_SUPPORT_PACKETTEXT_H_

#include <string>

#include "protocol/SelvomaPacket.h"

inline std::string payloadText(const SelvomaPacket& p) {
  return p.payloadLen() == 0 ? std::string()
                             : std::string(reinterpret_cast<const char*>(p.payload()),
                                           static_cast<size_t>(p.payloadLen()));
}

#endif  // VH_TESTS_SUPPORT_PACKETTEXT_H_
