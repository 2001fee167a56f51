// The miniSEED record accessors over an arbitrary 512-byte record (shorter
// inputs are padded with zeros), in the byte order the start's year and day select.
#include <libmseed.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "util/Console.h"
#include "waveform/Miniseed.h"

namespace {

void quiet(char*) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ms_loginit(quiet, nullptr, quiet, nullptr);
  DOPRINTF.store(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Miniseed::Record r{};
  memcpy(r.data(), data, size < r.size() ? size : r.size());
  const uint8_t* p = r.data();
  std::string text;
  Miniseed::getStation(p, &text);
  Miniseed::getNetwork(p, &text);
  Miniseed::getLocation(p, &text);
  Miniseed::getChannel(p, &text);
  Miniseed::getChannelUnits(text.c_str());
  Miniseed::getSampleRate(p);
  Miniseed::getNumSamples(p);
  Miniseed::getBeginningOfData(p);
  Miniseed::isMiniseed(p, size);
  hptime_t start = Miniseed::getStartTime(p);
  Miniseed::getEndTime(p);
  MSTrace trace;
  Miniseed::getMSTraceHeader(p, &trace);

  // Writing the start time back gives the same start, in the record's order.
  // Out-of-range fields are normalised on the way; when the normalised year
  // and day read as the other byte order (the header carries no order flag),
  // there is nothing to compare.
  Miniseed::Record copy = r;
  if (Miniseed::setStartTime(copy.data(), start) &&
      Miniseed::isBigEndian(copy.data()) == Miniseed::isBigEndian(r.data())) {
    BTime bt;
    ms_hptime2btime(start, &bt);
    if (Miniseed::getStartTime(copy.data()) != ms_btime2hptime(&bt)) __builtin_trap();
  }
  Miniseed::RecordList list = {r};
  Miniseed::RecordList merged;
  Miniseed::merge(&merged, list, {copy});
  Miniseed::RecordList clipped;
  Miniseed::clip(&clipped, data, size, static_cast<time_t>(start / HPTMODULUS), 1);
  if (!Miniseed::containsPacket(list, p)) __builtin_trap();
  return 0;
}
