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
  size_t records = 0;
  SampleSink sink = [&](const std::string&, const Segment& s, const std::vector<float>& samples) {
    if (samples.empty() || s.end < s.start) abort();
    ++records;
  };
  addRecords(std::vector<uint8_t>(data, data + size), "fuzz", FROM, TO, sink, &span);
  size_t segments = 0;
  for (const auto& [code, list] : span.channels) {
    for (const Segment& s : list)
      if (s.end < s.start || s.end <= FROM || s.start >= TO) abort();
    segments += list.size();
    std::vector<Gap> gaps = findGaps(list, FROM, TO);
    hptime_t last = FROM;
    for (const Gap& g : gaps) {
      if (g.start < last || g.end <= g.start || g.end > TO) abort();
      last = g.end;
    }
  }
  if (segments != records) abort();  // every record kept had its samples handed over
  return 0;
}
