// The records of miniSEED bytes as libmseed reads them, for tests that check
// what was stored (header only: the test links libmseed itself).
#ifndef VH_TESTS_SUPPORT_MSEEDRECORDS_H_
#define VH_TESTS_SUPPORT_MSEEDRECORDS_H_

#include <libmseed.h>

#include <string>
#include <vector>

struct RecordId {
  std::string channel;
  hptime_t start;
};

// Every 512-byte record of bytes in order; *bad counts records libmseed
// rejects and a cut-off tail.
inline std::vector<RecordId> recordsIn(const std::string& bytes, int* bad) {
  constexpr size_t kLength = 512;
  std::vector<RecordId> out;
  for (size_t at = 0; at + kLength <= bytes.size(); at += kLength) {
    std::string record = bytes.substr(at, kLength);
    MSRecord* msr = nullptr;
    if (msr_parse(&record[0], static_cast<int>(kLength), &msr, 0, 0, 0) == MS_NOERROR) {
      out.push_back({msr->channel, msr->starttime});
    } else {
      ++*bad;
    }
    msr_free(&msr);
  }
  if (bytes.size() % kLength != 0) ++*bad;
  return out;
}

#endif  // VH_TESTS_SUPPORT_MSEEDRECORDS_H_
