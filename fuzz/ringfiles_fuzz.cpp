// Feeds arbitrary bytes to the loaders of ringservervh's own files: the scan
// state (every kept name must stay inside the scan folder), the ring journal
// (every loaded record must be a readable 512-byte record, in sequence
// order) and the MSeedScan line of its configuration.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "RecordStore.h"
#include "ScanState.h"
#include "core/RingConf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::map<std::string, long long> offsets;
  uint64_t next = 0;
  ScanState::parse(text, &offsets, &next);
  for (const auto& entry : offsets) {
    const std::string& name = entry.first;
    if (entry.second < 0 || name.empty() || name[0] == '/' || name.size() > SCAN_NAME_MAX ||
        name.find('\0') != std::string::npos) {
      abort();
    }
    const std::string wrapped = "/" + name + "/";
    if (wrapped.find("/../") != std::string::npos || wrapped.find("/./") != std::string::npos) {
      abort();
    }
  }

  RecordStore store(RING_SIZE_MIN);
  const size_t good = store.load(data, size, 0);
  if (good > size) abort();
  for (size_t i = 0; i < store.size(); ++i) {
    RecordHeader header;
    if (!readRecordHeader(store.at(i).data.data(), SL_RECORD_LENGTH, &header)) abort();
    if (i > 0 && store.at(i).seq <= store.at(i - 1).seq) abort();
  }

  RingScan scan;
  RingConf::parseScan(text, &scan);
  return 0;
}
