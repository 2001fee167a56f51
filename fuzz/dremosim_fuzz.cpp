// The simulator's parsers of outside input: bytes from a hub link (frame
// decoder), control-file lines and scripts, and settings files.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Control.h"
#include "FrameDecoder.h"
#include "SimSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FrameDecoder decoder;
  // Feed in two parts, so that frames split across reads are exercised.
  size_t cut = size / 3;
  decoder.feed(data, cut);
  SelvomaPacket packet;
  while (decoder.next(&packet) != FrameDecoder::NEED_MORE) {
  }
  decoder.feed(data + cut, size - cut);
  for (FrameDecoder::Result r = decoder.next(&packet); r != FrameDecoder::NEED_MORE;
       r = decoder.next(&packet)) {
    if (packet.payloadLen() > static_cast<int>(LINK_PAYLOAD_MAX)) __builtin_trap();
  }

  std::string text(reinterpret_cast<const char*>(data), size);
  ControlCommand command;
  std::string error;
  parseControlLine(text, &command, &error);
  std::vector<ScriptEntry> entries;
  parseScript(text, &entries, &error);

  StreamIdentity identity{"SIM", "XX", "00", {"HHZ"}, 100, 4700, 0x01000001};
  SimSettings settings(identity, 0);
  settings.parse(text);
  SimSettings::queryKey(text);
  settings.answer(text);
  return 0;
}
