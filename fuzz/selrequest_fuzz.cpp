// Feeds arbitrary lines to the request record parser, the command table and
// the settings line reader, the three parsers of outside text on a session's
// path, and checks the limits each promises.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "metadata/SsFile.h"
#include "protocol/Commands.h"
#include "protocol/SelRequest.h"
#include "protocol/SelvomaPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);

  SelRequest request;
  if (request.parse(line)) {
    if (request.getKey().size() > SEL_REQUEST_KEY_MAX) abort();
    if (request.getValue().size() > SEL_REQUEST_VALUE_MAX) abort();
    if (request.toString().size() > SEL_REQUEST_TEXT_MAX) abort();
    SelvomaPacket packet;
    request.fillPacket(&packet);
    if (packet.payloadLen() != static_cast<int>(request.getValue().size())) abort();
    if (packet.type != static_cast<uint8_t>(request.getIntKey())) abort();
    request.getUint32();
    request.getSint32();
    request.getFloat();
  } else if (size >= SEL_REQUEST_LINE_MIN) {
    abort();
  }

  int row = Commands::index(line);
  if (row != Commands::SETTING_REPLY && row != Commands::NOT_RECOGNISED &&
      (row < 0 || row >= Commands::NUM_CMDS)) {
    abort();
  }

  SsFile settings;
  int accepted = settings.set(line);
  if (accepted == 1 && line.size() > SS_SET_LINE_MAX) abort();
  settings.parse();
  if (settings.getStation().size() > SS_TEXT_FIELD_MAX) abort();
  return 0;
}
