#include "DayData.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include "util/DirScan.h"
#include "util/FileUtil.h"
#include "util/Text.h"
#include "waveform/ArchiveFile.h"
#include "waveform/Miniseed.h"
#include "waveform/Zipper.h"

namespace {

constexpr char MINUTE_EXTENSION[] = ".ms";
constexpr char ZIP_SUFFIX[] = ".zip";
constexpr int SECONDS_PER_MINUTE = 60;

std::string lastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads a whole file of at most MINUTE_FILE_MAX bytes; false otherwise.
bool readBounded(const std::string& path, std::vector<uint8_t>* data) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(path.c_str(), "rb"), fclose);
  if (!f) return false;
  data->clear();
  uint8_t buf[Miniseed::RECORD_LENGTH * 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) {
    if (data->size() + n > MINUTE_FILE_MAX) return false;
    data->insert(data->end(), buf, buf + n);
  }
  return ferror(f.get()) == 0;
}

// Bytes per sample of the encodings whose samples have a fixed size; 0 for
// the compressed ones (Steim), which the decoder bounds by the record itself.
int fixedSampleBytes(int encoding) {
  switch (encoding) {
    case DE_ASCII:
      return 1;
    case DE_INT16:
    case DE_GEOSCOPE163:
    case DE_GEOSCOPE164:
    case DE_CDSN:
    case DE_SRO:
    case DE_DWWSSN:
      return 2;
    case DE_GEOSCOPE24:
      return 3;
    case DE_INT32:
    case DE_FLOAT32:
      return 4;
    case DE_FLOAT64:
      return 8;
    default:
      return 0;
  }
}

// libmseed decodes uncompressed samples without comparing their count with
// the record's length: a damaged header would make it read past the record.
bool samplesFit(const MSRecord& msr) {
  if (msr.fsdh == nullptr || msr.fsdh->data_offset > msr.reclen) return false;
  const int64_t room = msr.reclen - msr.fsdh->data_offset;
  return msr.samplecnt >= 0 && msr.samplecnt * fixedSampleBytes(msr.encoding) <= room;
}

void readMinute(const std::string& minutePath, hptime_t from, hptime_t to, const SampleSink& sink,
                ArchiveSpan* span) {
  std::vector<uint8_t> bytes;
  if (isFile(minutePath)) {
    if (!readBounded(minutePath, &bytes)) {
      span->problems.push_back(minutePath + ": unreadable or too large, skipped");
    } else {
      ++span->filesRead;
      if (!addRecords(bytes, minutePath, from, to, sink, span))
        span->problems.push_back(minutePath + ": not miniSEED, skipped");
    }
  }
  const std::string zip = minutePath + ZIP_SUFFIX;
  if (!isFile(zip)) return;
  const std::string entry = lastComponent(minutePath);
  if (!Zipper::extractFile(zip, entry, &bytes)) {
    span->problems.push_back(zip + ": damaged zip or no entry " + entry + ", skipped");
    return;
  }
  ++span->filesRead;
  if (!addRecords(bytes, zip, from, to, sink, span))
    span->problems.push_back(zip + ": entry " + entry + " is not miniSEED, skipped");
}

}  // namespace

bool addRecords(const std::vector<uint8_t>& bytes, const std::string& name, hptime_t from,
                hptime_t to, const SampleSink& sink, ArchiveSpan* span) {
  // msr_parse allocates the record at its first call and reuses it after;
  // whatever it holds at the end is freed here.
  MSRecord* msr = nullptr;
  struct Release {
    MSRecord** record;
    ~Release() { msr_free(record); }
  } release{&msr};
  std::vector<float> samples;  // of one record, handed to sink
  size_t offset = 0;
  int damaged = 0, decoded = 0;
  // libmseed reads blockettes without comparing their length with the
  // buffer's: it parses a copy of each record followed by zeros.
  std::vector<char> scratch(RECORD_BYTES_MAX + PARSE_PADDING, 0);
  size_t copied = 0;
  while (offset + Miniseed::HEADER_BYTES <= bytes.size()) {
    const size_t n = std::min(bytes.size() - offset, RECORD_BYTES_MAX);
    memcpy(scratch.data(), bytes.data() + offset, n);
    if (n < copied) memset(scratch.data() + n, 0, copied - n);
    copied = n;
    char* at = scratch.data();
    const int available = static_cast<int>(n);
    // The header first: samples are decoded only once it is known that they
    // lie within the record.
    int rc = msr_parse(at, available, &msr, 0, 0, 0);
    bool sound = rc == MS_NOERROR && msr != nullptr && msr->reclen > 0 && samplesFit(*msr);
    if (sound && sink) sound = msr_parse(at, available, &msr, 0, 1, 0) == MS_NOERROR;
    if (!sound) {
      ++damaged;
      offset += Miniseed::RECORD_LENGTH;
      continue;
    }
    offset += static_cast<size_t>(msr->reclen);
    ++decoded;
    if (msr->samprate <= 0 || msr->samplecnt <= 0) continue;  // no samples (e.g. a detection)
    const double duration = static_cast<double>(msr->samplecnt) / msr->samprate;
    if (!(duration <= SEGMENT_SECONDS_MAX)) {
      ++damaged;
      continue;
    }
    Segment seg;
    seg.rate = msr->samprate;
    seg.start = msr->starttime;
    seg.end = msr->starttime + static_cast<hptime_t>(duration * HPTMODULUS);
    if (seg.end <= from || seg.start >= to) continue;
    if (sink) {
      samples.clear();
      for (int64_t i = 0; i < msr->numsamples; ++i) {
        switch (msr->sampletype) {
          case 'i':
            samples.push_back(static_cast<float>(static_cast<int32_t*>(msr->datasamples)[i]));
            break;
          case 'f':
            samples.push_back(static_cast<float*>(msr->datasamples)[i]);
            break;
          case 'd':
            samples.push_back(static_cast<float>(static_cast<double*>(msr->datasamples)[i]));
            break;
          default:
            break;
        }
      }
      if (samples.empty()) continue;
      sink(msr->channel, seg, samples);
    }
    span->channels[msr->channel].push_back(seg);
  }
  if (damaged > 0 && decoded == 0) return false;
  if (damaged > 0)
    span->problems.push_back(sformat("%s: %d damaged records skipped", name.c_str(), damaged));
  return true;
}

ArchiveSpan readArchiveSpan(const std::string& tmpl, const std::string& network,
                            const std::string& station, uint32_t id, time_t from, time_t to,
                            const SampleSink& sink) {
  ArchiveSpan span;
  ArchiveFile archive;
  const std::string full = ArchiveFile::templateFor(tmpl);
  const hptime_t fromHp = static_cast<hptime_t>(from) * HPTMODULUS;
  const hptime_t toHp = static_cast<hptime_t>(to) * HPTMODULUS;
  std::set<std::string> seen;
  time_t first = from - from % SECONDS_PER_MINUTE - LOOKBACK_MINUTES * SECONDS_PER_MINUTE;
  for (time_t t = first; t < to; t += SECONDS_PER_MINUTE) {
    struct tm tm;
    gmtime_r(&t, &tm);
    std::string path = archive.getPath(full, network, station, id, tm, 0, MINUTE_EXTENSION, false);
    if (path.empty() || !seen.insert(path).second) continue;
    readMinute(path, fromHp, toHp, sink, &span);
  }
  for (auto& [code, segments] : span.channels) {
    std::stable_sort(segments.begin(), segments.end(),
                     [](const Segment& a, const Segment& b) { return a.start < b.start; });
    // A record kept both in a zip and in a minute file beside it counts once.
    segments.erase(
        std::unique(segments.begin(), segments.end(),
                    [](const Segment& a, const Segment& b) { return a.start == b.start; }),
        segments.end());
  }
  return span;
}

std::string preferredChannel(const ArchiveSpan& span) {
  for (const auto& entry : span.channels)
    if (!entry.first.empty() && entry.first.back() == 'Z') return entry.first;
  return span.channels.empty() ? std::string() : span.channels.begin()->first;
}

std::vector<Gap> findGaps(const std::vector<Segment>& segments, hptime_t from, hptime_t to) {
  std::vector<Gap> gaps;
  hptime_t covered = from;  // data reaches up to here
  double tolerance = 0;     // of the segment that ends at covered
  for (const Segment& seg : segments) {
    if (seg.end <= covered) continue;
    const double slack = std::max(tolerance, GAP_TOLERANCE_SAMPLES / seg.rate * HPTMODULUS);
    if (seg.start > covered + static_cast<hptime_t>(slack)) gaps.push_back({covered, seg.start});
    covered = std::max(covered, seg.end);
    tolerance = GAP_TOLERANCE_SAMPLES / seg.rate * HPTMODULUS;
    if (covered >= to) break;
  }
  if (covered < to) gaps.push_back({covered, to});
  return gaps;
}

std::vector<std::string> archiveStations(const std::string& tmpl, std::string* problem) {
  const std::string full = ArchiveFile::templateFor(tmpl);
  const size_t at = full.find("%S");
  std::string prefix = at == std::string::npos ? std::string() : full.substr(0, at);
  std::string rest = prefix;
  for (const char* code : {"%USB", "%U"}) {
    size_t p;
    while ((p = rest.find(code)) != std::string::npos) rest.erase(p, strlen(code));
  }
  if (at == std::string::npos || (at > 0 && full[at - 1] != '/') ||
      full.compare(at + 2, 1, "/") != 0 || rest.find('%') != std::string::npos) {
    *problem = "the template " + full + " has no %S folder below plain folders";
    return {};
  }
  ArchiveFile archive;
  struct tm tm = {};
  std::string folder =
      prefix.empty() ? std::string(".") : archive.getPath(prefix, "", "", 0, tm, 0, "", false);
  std::vector<std::string> stations;
  if (folder.empty() || getSubdirs(folder, stations, false, 0) < 0) {
    *problem = "cannot read the archive folder " + folder;
    return {};
  }
  std::sort(stations.begin(), stations.end());
  return stations;
}
