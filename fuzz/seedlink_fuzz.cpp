// Feeds arbitrary bytes to a SeedLink conversation as command lines (split
// at CR and LF, as the server does) against a ring of a few records, and
// drains what it would stream. Every answer must be whole and marked so:
// OK/ERROR lines, text, or packets of 8 + 512 bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

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
  SeedLinkSession session(ring(), "fuzz");
  std::string line, out;
  for (size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\r' || c == '\n') {
      if (!session.handleLine(line, &out)) break;
      line.clear();
    } else if (line.size() < SL_LINE_MAX + 1) {
      line.push_back(c);
    }
  }
  // Every answer is marked whole, in order (each goes out as a WebSocket message).
  std::vector<size_t> ends;
  session.takeMessageEnds(&ends);
  if (!out.empty() && (ends.empty() || ends.back() != out.size())) abort();
  for (size_t i = 1; i < ends.size(); ++i) {
    if (ends[i] <= ends[i - 1]) abort();
  }
  out.clear();
  session.fill(&out, 1 << 20);
  session.takeMessageEnds(&ends);
  size_t begin = 0;
  for (size_t end : ends) {
    // A packet cut short or run together (3: a FETCH's closing "END").
    if (end - begin != SL_HEADER_LENGTH + SL_RECORD_LENGTH && end - begin != 3) abort();
    begin = end;
  }
  if (begin != out.size()) abort();
  return 0;
}
