// Feeds arbitrary ".pkt" file contents to the upload folder's parser and
// checks its limits: a refused file queues nothing, an accepted one at most
// PKT_MAX_LINES frames, each small enough for one link frame.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "protocol/Upload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Upload upload;
  std::string error;
  const bool accepted = upload.addPktString(text, &error);
  if (!accepted && (upload.numPackets() != 0 || error.empty())) abort();
  if (upload.numPackets() > static_cast<int>(PKT_MAX_LINES)) abort();
  while (upload.hasPackets()) {
    std::unique_ptr<SelvomaPacket> p = upload.nextPacketType(upload.front()->type);
    if (!p || p->payloadLen() > static_cast<int>(LINK_PAYLOAD_MAX)) abort();
  }
  // One line on its own, as the parser sees it.
  std::unique_ptr<SelvomaPacket> line = Upload::parsePkt(text.substr(0, PKT_LINE_MAX));
  if (line && line->payloadLen() > static_cast<int>(LINK_PAYLOAD_MAX)) abort();
  if (!line && size >= 2 && text[0] >= 32 && text[0] <= 126) abort();
  return 0;
}
