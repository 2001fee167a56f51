// PacketReaderWriter::read over an arbitrary byte stream. The whole input is
// put into an in-memory link's receive ring (no read thread) and the link is
// then closed, so the reader never waits for bytes that cannot come. Every
// frame read is rendered at every verbosity, its payload readers run, and it
// is written back.
#include <libmseed.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/MemoryIO.h"
#include "protocol/PacketReaderWriter.h"
#include "util/Console.h"

namespace {

constexpr int MAX_READS = 1000;  // a stream of 16 KiB holds far fewer frames

void quiet(char*) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ms_loginit(quiet, nullptr, quiet, nullptr);
  DOPRINTF.store(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size = std::min(size, static_cast<size_t>(RING_CAPACITY));
  MemoryIO io;
  io.feedAndPump(std::string(reinterpret_cast<const char*>(data), size));
  io.endOfStream();
  PacketReaderWriter rw;
  rw.init(1, &io, nullptr);
  for (int i = 0; i < MAX_READS && io.available() >= 0; ++i) {
    SelvomaPacket p;
    int result = rw.read(&p, i % 2 == 0);
    if (result == PacketReaderWriter::READ_NOTHING) break;
    if (result != PacketReaderWriter::READ_PACKET) continue;
    for (int v = -2; v <= 3; ++v) p.toString(v);
    FilePart part;
    p.getFilePart(&part);
    SelTrigger trigger;
    p.getSelTrigger(&trigger);
    std::string a, b, c;
    p.getMiniseedStation(&a, &b, &c);
    p.getMiniseedChannel(&a);
    p.getMiniseedEndTime();
    p.getMiniseedSampleRate();
    p.getStartSec();
    p.textStartSendFilePayload();
    MSTrace trace;
    p.getMSTrace(&trace);
    rw.write(&p);
  }
  io.takeWritten();
  return 0;
}
