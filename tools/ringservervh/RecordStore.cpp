#include "RecordStore.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "RingLog.h"
#include "util/FileUtil.h"

namespace {

void putU64(uint8_t* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t getU64(const uint8_t* in) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

std::string trimmed(const char* text) {
  std::string s(text);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

}  // namespace

bool readRecordHeader(const uint8_t* record, size_t length, RecordHeader* out) {
  if (length < SL_RECORD_LENGTH) return false;
  char* bytes = const_cast<char*>(reinterpret_cast<const char*>(record));
  if (ms_detect(bytes, SL_RECORD_LENGTH) != static_cast<int>(SL_RECORD_LENGTH)) return false;
  MSRecord* msr = nullptr;
  // Header only: the samples are not decoded.
  if (msr_parse(bytes, SL_RECORD_LENGTH, &msr, SL_RECORD_LENGTH, 0, 0) != MS_NOERROR) {
    msr_free(&msr);
    return false;
  }
  out->network = trimmed(msr->network);
  out->station = trimmed(msr->station);
  out->location = trimmed(msr->location);
  out->channel = trimmed(msr->channel);
  out->start = msr->starttime;
  out->end = msr_endtime(msr);
  msr_free(&msr);
  return !out->station.empty();
}

RecordStore::RecordStore(long maxBytes)
    : maxRecords_(static_cast<size_t>(std::clamp(maxBytes, RING_SIZE_MIN, RING_SIZE_MAX)) /
                  SL_RECORD_LENGTH) {}

RecordStore::~RecordStore() {
  if (journal_ != nullptr) {
    sync();
    fclose(journal_);
  }
}

size_t RecordStore::load(const uint8_t* bytes, size_t length, uint64_t keepBelow) {
  const size_t magic = sizeof RING_JOURNAL_MAGIC - 1;
  if (length < magic || memcmp(bytes, RING_JOURNAL_MAGIC, magic) != 0) return 0;
  size_t pos = magic;
  while (pos + RING_JOURNAL_ENTRY <= length) {
    StoredRecord record;
    record.seq = getU64(bytes + pos);
    if (record.seq < nextSeq_ || record.seq > RING_SEQ_MAX ||
        (keepBelow != 0 && record.seq >= keepBelow)) {
      break;
    }
    memcpy(record.data.data(), bytes + pos + 8, SL_RECORD_LENGTH);
    if (!readRecordHeader(record.data.data(), SL_RECORD_LENGTH, &record.header)) break;
    nextSeq_ = record.seq + 1;
    records_.push_back(std::move(record));
    evict();
    pos += RING_JOURNAL_ENTRY;
  }
  return pos;
}

bool RecordStore::open(const std::string& folder, uint64_t keepBelow) {
  mkdirs(folder, true);
  path_ = gluePath(folder, RING_JOURNAL_NAME);
  std::vector<uint8_t> bytes;
  if (readFile(path_, bytes) > 0) {
    const size_t good = load(bytes.data(), bytes.size(), keepBelow);
    if (good < bytes.size()) {
      ringLog("journal %s: %zu bytes after the last good record dropped", path_.c_str(),
              bytes.size() - good);
    }
  }
  // The numbering goes on from the saved state even when the journal lost
  // records.
  nextSeq_ = std::max(nextSeq_, keepBelow);
  return rewriteJournal();
}

bool RecordStore::rewriteJournal() {
  if (journal_ != nullptr) fclose(journal_);
  journal_ = nullptr;
  const std::string tmp = path_ + ".tmp";
  FILE* file = fopen(tmp.c_str(), "wb");
  if (file == nullptr) return false;
  fwrite(RING_JOURNAL_MAGIC, 1, sizeof RING_JOURNAL_MAGIC - 1, file);
  journal_ = file;
  journalEntries_ = 0;
  bool ok = true;
  for (const StoredRecord& record : records_) ok = appendEntry(record) && ok;
  ok = sync() && ok;
  fclose(journal_);
  journal_ = nullptr;
  if (!ok || rename(tmp.c_str(), path_.c_str()) != 0) {
    removeFile(tmp);
    return false;
  }
  journal_ = fopen(path_.c_str(), "ab");
  return journal_ != nullptr;
}

bool RecordStore::appendEntry(const StoredRecord& record) {
  uint8_t seq[8];
  putU64(seq, record.seq);
  ++journalEntries_;
  return fwrite(seq, 1, sizeof seq, journal_) == sizeof seq &&
         fwrite(record.data.data(), 1, SL_RECORD_LENGTH, journal_) == SL_RECORD_LENGTH;
}

uint64_t RecordStore::add(const uint8_t* record, const RecordHeader& header) {
  StoredRecord stored;
  stored.seq = nextSeq_++;
  memcpy(stored.data.data(), record, SL_RECORD_LENGTH);
  stored.header = header;
  records_.push_back(std::move(stored));
  evict();
  if (journal_ != nullptr) {
    appendEntry(records_.back());
    if (journalEntries_ >= 2 * maxRecords_) rewriteJournal();
  }
  return records_.back().seq;
}

void RecordStore::evict() {
  while (records_.size() > maxRecords_) records_.pop_front();
}

bool RecordStore::sync() {
  if (journal_ == nullptr) return false;
  return fflush(journal_) == 0 && fsync(fileno(journal_)) == 0;
}

size_t RecordStore::lowerBound(uint64_t seq) const {
  auto it = std::lower_bound(records_.begin(), records_.end(), seq,
                             [](const StoredRecord& r, uint64_t s) { return r.seq < s; });
  return static_cast<size_t>(it - records_.begin());
}
