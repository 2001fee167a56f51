// The ring of ringservervh: the newest miniSEED records, each with its
// sequence number, at most a configured number of bytes of records. Records
// are appended to a journal file in the ring folder as they arrive, so a
// restart keeps the recent data and continues the sequence numbers; the
// journal is rewritten (temporary file, then rename) when it has grown to
// twice the ring.
//
// Owned by the server's one thread; no lock.
#ifndef VH_TOOLS_RINGSERVERVH_RECORDSTORE_H_
#define VH_TOOLS_RINGSERVERVH_RECORDSTORE_H_

#include <libmseed.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

constexpr size_t SL_RECORD_LENGTH = 512;
constexpr long RING_SIZE_MIN = 1L << 20;  // bytes of records, the configured size is clamped
constexpr long RING_SIZE_MAX = 1L << 28;
constexpr char RING_JOURNAL_NAME[] = "ring.journal";
constexpr char RING_JOURNAL_MAGIC[] = "VHRING01";  // 8 bytes at the start of the journal
constexpr size_t RING_JOURNAL_ENTRY = 8 + SL_RECORD_LENGTH;
constexpr uint64_t RING_SEQ_MAX = uint64_t{1} << 62;  // a larger number in a journal is damage

// The codes and times of a record, read from its header.
struct RecordHeader {
  std::string network, station, location, channel;
  hptime_t start = 0;
  hptime_t end = 0;
};

// A 512-byte miniSEED 2 record whose header libmseed reads: true and its
// header in out.
bool readRecordHeader(const uint8_t* record, size_t length, RecordHeader* out);

struct StoredRecord {
  uint64_t seq = 0;
  std::array<uint8_t, SL_RECORD_LENGTH> data{};
  RecordHeader header;
};

class RecordStore {
 public:
  explicit RecordStore(long maxBytes);
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;
  ~RecordStore();

  // Loads the journal of folder (created when missing) and keeps it open
  // for appending. Records with a sequence number of keepBelow or more are
  // dropped (the scan reads them again); 0 keeps all. False when the journal
  // cannot be opened for writing.
  bool open(const std::string& folder, uint64_t keepBelow);
  // Parses journal bytes into the ring (the loader; a damaged or truncated
  // entry ends the load). Returns the number of bytes of whole, good entries.
  size_t load(const uint8_t* bytes, size_t length, uint64_t keepBelow);

  // Adds a record (header checked by the caller); returns its sequence number.
  uint64_t add(const uint8_t* record, const RecordHeader& header);
  // Writes the journal's buffered entries to disk (fsync).
  bool sync();

  // Index of the first record with a sequence number >= seq (size() when none).
  size_t lowerBound(uint64_t seq) const;
  const StoredRecord& at(size_t index) const { return records_[index]; }
  size_t size() const { return records_.size(); }
  uint64_t nextSeq() const { return nextSeq_; }

 private:
  void evict();
  bool rewriteJournal();
  bool appendEntry(const StoredRecord& record);

  size_t maxRecords_;
  std::deque<StoredRecord> records_;
  uint64_t nextSeq_ = 1;
  std::string path_;
  FILE* journal_ = nullptr;
  size_t journalEntries_ = 0;
};

#endif  // VH_TOOLS_RINGSERVERVH_RECORDSTORE_H_
