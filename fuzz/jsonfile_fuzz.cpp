// Arbitrary bytes as a key-file buffer (JsonFile::append and parseFile, in
// two pieces split by the first byte), then each line of them as a setting
// line (SsFile::set) followed by parse(), the response path and the channel
// counts. Checks the line rules on every stored entry, the widths of the
// typed fields and that "sitename" names one file in the response folder.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "metadata/JsonFile.h"
#include "metadata/SsFile.h"
#include "util/JsonLine.h"

namespace {

bool printable(const std::string& text) {
  for (char c : text)
    if (c < ' ' || c > '~') return false;
  return true;
}

void checkEntries(const JsonFile& file) {
  for (const auto& entry : file.entries()) {
    const std::string& key = entry.first;
    if (key == "format") continue;  // stored by the constructor
    if (key.empty() || key.size() > JSON_KEY_MAX || !printable(key)) abort();
    if (entry.second.size() > JSON_LINE_MAX || !printable(entry.second)) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  size_t split = size > 0 ? data[0] % (size + 1) : 0;

  JsonFile file(SS_BUFFER_BYTES);
  // A length of 0 means "the string length": only terminated texts may use it.
  if (split > 0) file.append(text, static_cast<int>(split));
  if (size > split) file.append(text + split, static_cast<int>(size - split));
  int n = file.parseFile();
  if (n != static_cast<int>(file.size())) abort();
  if (file.getUsed() >= file.getCapacity()) abort();
  checkEntries(file);

  SsFile ss;
  size_t start = 0;
  while (start <= size) {
    size_t end = start;
    while (end < size && data[end] != '\n') ++end;
    std::string line(text + start, end - start);
    int accepted = ss.set(line);
    if (accepted == 1 && line.size() > SS_SET_LINE_MAX) abort();
    start = end + 1;
  }
  checkEntries(ss);
  ss.parse();
  if (ss.getStation().size() > SS_TEXT_FIELD_MAX || ss.getNetwork().size() > SS_TEXT_FIELD_MAX ||
      ss.getLocation().size() > SS_TEXT_FIELD_MAX || ss.getUnitsA().size() > SS_TEXT_FIELD_MAX ||
      ss.getUnitsB().size() > SS_TEXT_FIELD_MAX || ss.getSerialNo().size() > SS_TIME_TEXT_MAX ||
      ss.getPeakUnits(0).size() > SS_TEXT_FIELD_MAX ||
      ss.getPeakUnits(1).size() > SS_TEXT_FIELD_MAX) {
    abort();
  }
  if (!ss.getHistogramTime().empty() && ss.getHistogramTime().size() != SS_TIME_TEXT_MAX) abort();
  // The StationXML file named from "sitename" (none without one) stays one
  // file in the response folder.
  const std::string response = ss.getResponsePath();
  const size_t name = response.find("/response/") + 10;
  if (!ss.getStation().empty() &&
      (response.find('/', name) != std::string::npos || response[name] == '.')) {
    abort();
  }
  int stored = ss.numStoringChans(), tele = ss.numTeleChans();
  if (stored < 0 || stored > 5 || tele < 0 || tele > 5) abort();

  // Entry lines of everything held, written to memory.
  char out[4096];
  FILE* stream = fmemopen(out, sizeof out, "w");
  if (stream != nullptr) {
    for (const auto& entry : ss.entries()) ss.writeLine(stream, entry.first);
    fclose(stream);
  }
  return 0;
}
