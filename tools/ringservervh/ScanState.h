// The folder scan of ringservervh: finds the miniSEED files below the scan
// folder (recursively), remembers per file how many bytes were taken, and
// hands on each whole 512-byte record that was added since. A partial record
// at a file's end waits for the rest; bytes that are no 512-byte miniSEED
// record make the rest of that file be skipped (logged), so nothing is
// served half. A file that shrank is read again from its start; a file that
// is gone is forgotten.
//
// State file: "# ringservervh scan state", "# next <sequence>" (the ring's
// next sequence number when it was written) and one "<offset> <name>" line
// per file, the name relative to the scan folder. It is written beside the
// old one, synced and renamed over it. Without a state (first start, or an
// empty file), InitCurrentState=y takes every file as read up to its current
// size.
//
// Owned by the server's one thread; no lock.
#ifndef VH_TOOLS_RINGSERVERVH_SCANSTATE_H_
#define VH_TOOLS_RINGSERVERVH_SCANSTATE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "core/RingConf.h"

constexpr size_t SCAN_FILES_MAX = 100000;  // files remembered at most
constexpr size_t SCAN_NAME_MAX = 255;      // characters of a relative name
constexpr size_t SCAN_STATE_BYTES_MAX = 32u << 20;
constexpr int SCAN_DEPTH_MAX = 8;  // folder levels below the scan folder

class ScanState {
 public:
  // Called with each new whole record (SL_RECORD_LENGTH bytes) in file
  // order; files are visited in name order.
  using RecordSink = std::function<void(const uint8_t* record)>;

  ScanState(RingScan config, RecordSink sink);

  // Reads the state file. False when there is none or it holds no state;
  // the next scan then applies InitCurrentState.
  bool load();
  // Parses state text into offsets and the saved next sequence; lines that
  // break the rules (bad number, name leaving the folder, too long) are
  // skipped. False when the text is no state at all.
  static bool parse(const std::string& text, std::map<std::string, long long>* offsets,
                    uint64_t* nextSeq);
  // Writes the state with the ring's next sequence number (see the file
  // comment). False when it cannot be written.
  bool save(uint64_t nextSeq);

  // One pass over the folder; returns the number of records handed on.
  int scan();

  uint64_t savedNextSeq() const { return savedNextSeq_; }
  const std::map<std::string, long long>& offsets() const { return offsets_; }

 private:
  void walk(const std::string& folder, const std::string& prefix, int depth,
            std::map<std::string, long long>* sizes);
  int readNew(const std::string& name, long long size);

  RingScan config_;
  RecordSink sink_;
  std::map<std::string, long long> offsets_;  // relative name -> bytes taken
  bool haveState_ = false;
  uint64_t savedNextSeq_ = 0;
};

#endif  // VH_TOOLS_RINGSERVERVH_SCANSTATE_H_
