// vhplot's reading of a minute file from the archive: arbitrary bytes as the
// file's records, decoded with their samples, then the gaps of each channel.
#include <libmseed.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "DayData.h"

namespace {

void quiet(char*) {}

constexpr hptime_t FROM = 0;
constexpr hptime_t TO = static_cast<hptime_t>(4102444800) * HPTMODULUS;  // 2100-01-01

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ms_loginit(quiet, nullptr, quiet, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ArchiveSpan span;
  addRecords(std::vector<uint8_t>(data, data + size), "fuzz", FROM, TO, true, &span);
  for (const auto& [code, segments] : span.channels) {
    for (const Segment& s : segments)
      if (s.end < s.start || s.end <= FROM || s.start >= TO || s.samples.empty()) abort();
    std::vector<Gap> gaps = findGaps(segments, FROM, TO);
    hptime_t last = FROM;
    for (const Gap& g : gaps) {
      if (g.start < last || g.end <= g.start || g.end > TO) abort();
      last = g.end;
    }
  }
  return 0;
}
