// Feeds arbitrary bytes to a DataLink reader's conversation against a ring
// of a few records, in two pieces (as they may arrive), and drains what it
// would stream. Every answer must be a whole DataLink message, marked so.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "DataLink.h"
#include "RecordStore.h"
#include "SeedLink.h"

namespace {

const RecordStore& ring() {
  static RecordStore* store = [] {
    auto* s = new RecordStore(RING_SIZE_MIN);
    const std::string packets = makeInfoPackets(std::string(2000, 'x'));
    for (size_t at = 0; at + SL_HEADER_LENGTH + SL_RECORD_LENGTH <= packets.size();
         at += SL_HEADER_LENGTH + SL_RECORD_LENGTH) {
      const auto* record = reinterpret_cast<const uint8_t*>(packets.data() + at + SL_HEADER_LENGTH);
      RecordHeader header;
      if (!readRecordHeader(record, SL_RECORD_LENGTH, &header)) abort();
      s->add(record, header);
    }
    return s;
  }();
  return *store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DataLinkSession session(ring(), "fuzz");
  std::string out;
  const char* bytes = reinterpret_cast<const char*>(data);
  const size_t half = size / 2;
  if (session.receive(bytes, half, &out) && session.receive(bytes + half, size - half, &out)) {
    session.fill(&out, 1 << 20);
  }
  // Every answer is "DL", a header length and a header, then the data it
  // names, and is marked whole (each goes out as a WebSocket message).
  std::vector<size_t> ends, boundaries;
  session.takeMessageEnds(&ends);
  size_t at = 0;
  while (at < out.size()) {
    if (out.size() - at < 3 || out[at] != 'D' || out[at + 1] != 'L') abort();
    const size_t h = static_cast<uint8_t>(out[at + 2]);
    if (out.size() - at < 3 + h) abort();
    const std::string header = out.substr(at + 3, h);
    size_t length = 0;
    const size_t blank = header.rfind(' ');
    if (header.compare(0, 3, "OK ") == 0 || header.compare(0, 6, "ERROR ") == 0 ||
        header.compare(0, 7, "PACKET ") == 0 || header.compare(0, 5, "INFO ") == 0) {
      length = strtoul(header.c_str() + blank + 1, nullptr, 10);
    }
    at += 3 + h + length;
    boundaries.push_back(at);
  }
  if (at != out.size() || ends != boundaries) abort();
  return 0;
}
