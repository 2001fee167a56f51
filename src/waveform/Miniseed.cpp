#include "waveform/Miniseed.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "util/Console.h"
#include "util/FileUtil.h"
#include "waveform/Zipper.h"

namespace {

constexpr size_t ZIP_SUFFIX_LEN = 4;  // ".zip"

constexpr size_t OFF_DAY = 22;
constexpr size_t OFF_HOUR = 24;
constexpr size_t OFF_MINUTE = 25;
constexpr size_t OFF_SECOND = 26;
constexpr size_t OFF_UNUSED = 27;
constexpr size_t OFF_FRACT = 28;
constexpr size_t ZERO_TIME_DUMP_BYTES = 32;  // bytes shown when a start time is 0
constexpr char RESERVED_BLANK = ' ';
constexpr char SUM_CHANNEL[] = "SUM";
constexpr char UNZIP_FOLDER_TEMPLATE[] = "unzip.XXXXXX";

uint16_t readBigU16(const uint8_t* record, size_t offset) {
  return static_cast<uint16_t>((record[offset] << 8) | record[offset + 1]);
}

uint16_t readU16(const uint8_t* record, size_t offset) {
  const uint8_t* p = record + offset;
  if (Miniseed::isBigEndian(record)) return readBigU16(record, offset);
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void writeU16(uint8_t* record, size_t offset, uint16_t value, bool bigEndian) {
  uint8_t* p = record + offset;
  if (bigEndian) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
  } else {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
  }
}

// The text field without trailing blanks; false when the reserved byte is
// not a blank.
bool readText(const uint8_t* record, size_t offset, size_t length, std::string* out) {
  if (record == nullptr || record[Miniseed::OFF_RESERVED] != RESERVED_BLANK) return false;
  std::string text(reinterpret_cast<const char*>(record + offset), length);
  size_t end = text.find_last_not_of(' ');
  text.erase(end == std::string::npos ? 0 : end + 1);
  *out = text;
  return true;
}

bool isCapital(char c) { return c >= 'A' && c <= 'Z'; }
bool isOrientation(char c) { return isCapital(c) || (c >= '0' && c <= '9'); }

void copyCode(char* dest, size_t destSize, const std::string& code) {
  snprintf(dest, destSize, "%s", code.c_str());
}

// Appends the records of file that touch [startUs, endUs] to out. Returns the
// number written, 0 when the file cannot be opened.
int appendRecordsInWindow(const std::string& file, FILE* out, hptime_t startUs, hptime_t endUs) {
  FILE* in = fopen(file.c_str(), "rb");
  if (in == nullptr) return 0;
  Miniseed::Record record;
  int written = 0;
  int skipped = 0;
  while (fread(record.data(), 1, record.size(), in) == record.size()) {
    if (!Miniseed::isMiniseed(record.data(), record.size())) {
      ++skipped;
      continue;
    }
    if (Miniseed::getEndTime(record.data()) >= startUs &&
        Miniseed::getStartTime(record.data()) <= endUs) {
      if (fwrite(record.data(), 1, record.size(), out) == record.size()) ++written;
    }
  }
  fclose(in);
  if (skipped > 0) pprintf("rewrite: %d records of %s are not miniSEED\n", skipped, file.c_str());
  return written;
}

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

}  // namespace

constexpr char Miniseed::QUALITIES[];

bool Miniseed::getStation(const uint8_t* record, std::string* out) {
  return readText(record, OFF_STATION, STATION_LEN, out);
}

bool Miniseed::getNetwork(const uint8_t* record, std::string* out) {
  return readText(record, OFF_NETWORK, NETWORK_LEN, out);
}

bool Miniseed::getLocation(const uint8_t* record, std::string* out) {
  return readText(record, OFF_LOCATION, LOCATION_LEN, out);
}

bool Miniseed::getChannel(const uint8_t* record, std::string* out) {
  if (!readText(record, OFF_CHANNEL, CHANNEL_LEN, out)) return false;
  const std::string& c = *out;
  if (c == SUM_CHANNEL) return true;
  return c.size() == CHANNEL_LEN && isCapital(c[0]) && isCapital(c[1]) && isOrientation(c[2]);
}

double Miniseed::getSampleRate(const uint8_t* record) {
  if (record == nullptr) return 0;
  const int factor = static_cast<int16_t>(readU16(record, OFF_RATE_FACTOR));
  const int multiplier = static_cast<int16_t>(readU16(record, OFF_RATE_MULTIPLIER));
  double rate = 0;
  if (factor > 0) rate = factor;
  if (factor < 0) rate = -1.0 / factor;
  if (multiplier > 0) rate *= multiplier;
  if (multiplier < 0) rate /= -multiplier;
  return rate;
}

int Miniseed::getNumSamples(const uint8_t* record) { return readU16(record, OFF_NUM_SAMPLES); }

int Miniseed::getBeginningOfData(const uint8_t* record) { return readU16(record, OFF_DATA_BEGIN); }

bool Miniseed::isBigEndian(const uint8_t* record) {
  const int year = readBigU16(record, OFF_START);
  const int day = readBigU16(record, OFF_DAY);
  return year >= YEAR_MIN && year <= YEAR_MAX && day >= 1 && day <= DAY_MAX;
}

void Miniseed::swap(uint8_t* bytes, size_t length) { std::reverse(bytes, bytes + length); }

void Miniseed::swap(uint8_t* bytes, size_t length, bool doSwap) {
  if (doSwap) swap(bytes, length);
}

hptime_t Miniseed::getStartTime(const uint8_t* record) {
  BTime bt;
  bt.year = readU16(record, OFF_START);
  bt.day = readU16(record, OFF_DAY);
  bt.hour = record[OFF_HOUR];
  bt.min = record[OFF_MINUTE];
  bt.sec = record[OFF_SECOND];
  bt.unused = record[OFF_UNUSED];
  bt.fract = readU16(record, OFF_FRACT);
  hptime_t t = ms_btime2hptime(&bt);
  if (t == 0) {
    std::string bytes;
    for (size_t i = 0; i < ZERO_TIME_DUMP_BYTES; ++i) {
      char hex[4];
      snprintf(hex, sizeof hex, "%02x ", record[i]);
      bytes += hex;
    }
    pprintf("MS time=0... %s\n", bytes.c_str());
  }
  return t;
}

hptime_t Miniseed::getEndTime(const uint8_t* record) {
  hptime_t start = getStartTime(record);
  const double rate = getSampleRate(record);
  if (rate <= 0) return start;
  return start +
         static_cast<hptime_t>(static_cast<double>(getNumSamples(record)) * HPTMODULUS / rate);
}

bool Miniseed::setStartTime(uint8_t* record, hptime_t start) {
  BTime bt;
  if (ms_hptime2btime(start, &bt) != 0) return false;
  bool big = isBigEndian(record);
  writeU16(record, OFF_START, bt.year, big);
  writeU16(record, OFF_DAY, bt.day, big);
  record[OFF_HOUR] = bt.hour;
  record[OFF_MINUTE] = bt.min;
  record[OFF_SECOND] = bt.sec;
  record[OFF_UNUSED] = bt.unused;
  writeU16(record, OFF_FRACT, bt.fract, big);
  return true;
}

bool Miniseed::isMiniseed(const uint8_t* record, size_t length) {
  if (record == nullptr || length < RECORD_LENGTH) return false;
  char reserved = static_cast<char>(record[OFF_RESERVED]);
  char quality = static_cast<char>(record[OFF_QUALITY]);
  return (reserved == RESERVED_BLANK || reserved == 0) && quality != 0 &&
         strchr(QUALITIES, quality) != nullptr;
}

int Miniseed::getChannelUnits(const char* channel) {
  if (channel == nullptr || strlen(channel) != CHANNEL_LEN) return UNITS_UNKNOWN;
  if (channel[1] == 'N' || channel[1] == 'n') return UNITS_ACCELERATION;
  return UNITS_VELOCITY;
}

void Miniseed::getMSTraceHeader(const uint8_t* record, MSTrace* header) {
  memset(header, 0, sizeof *header);
  if (record == nullptr) {
    pprintf("getMSTrace, but data==NULL!\n");
    return;
  }
  // The codes stay empty when the reserved byte is not a blank; the numbers
  // are still read so that a caller sees the record's time.
  std::string text;
  if (getNetwork(record, &text)) copyCode(header->network, sizeof header->network, text);
  if (getStation(record, &text)) copyCode(header->station, sizeof header->station, text);
  if (getLocation(record, &text)) copyCode(header->location, sizeof header->location, text);
  if (readText(record, OFF_CHANNEL, CHANNEL_LEN, &text)) {
    copyCode(header->channel, sizeof header->channel, text);
  }
  header->dataquality = static_cast<char>(record[OFF_QUALITY]);
  header->type = 'z';
  header->starttime = getStartTime(record);
  header->samprate = getSampleRate(record);
  header->samplecnt = getNumSamples(record);
  header->endtime = getEndTime(record);
  header->sampletype = 'i';
}

int Miniseed::rewrite(std::vector<std::string>* paths, const std::string& outPath, time_t start,
                      time_t end, const ZipExtractor& unzip) {
  FILE* out = fopen(outPath.c_str(), "ab");
  if (out == nullptr) {
    pprintf("rewrite: cannot open %s\n", outPath.c_str());
    return -1;
  }
  const hptime_t startUs = static_cast<hptime_t>(start) * HPTMODULUS;
  const hptime_t endUs = static_cast<hptime_t>(end) * HPTMODULUS;
  int total = 0;
  std::vector<std::string> kept;
  for (const std::string& path : *paths) {
    int written = 0;
    if (endsWith(path, ".ms")) {
      written = appendRecordsInWindow(path, out, startUs, endUs);
    } else if (endsWith(path, "zip") && unzip) {
      std::string folder = folderOf(outPath) + UNZIP_FOLDER_TEMPLATE;
      std::vector<char> name(folder.begin(), folder.end());
      name.push_back('\0');
      if (mkdtemp(name.data()) != nullptr) {
        std::vector<std::string> extracted;
        if (unzip(path, name.data(), &extracted)) {
          for (const std::string& file : extracted) {
            if (endsWith(file, ".ms")) written += appendRecordsInWindow(file, out, startUs, endUs);
          }
        }
        for (const std::string& file : extracted) unlink(file.c_str());
        rmdir(name.data());
      } else {
        pprintf("rewrite: cannot make a folder for %s\n", path.c_str());
      }
    } else if (endsWith(path, "zip")) {
      pprintf("rewrite: no zip reader for %s\n", path.c_str());
    }
    if (written > 0) {
      total += written;
    } else {
      kept.push_back(path);
    }
  }
  fclose(out);
  kept.push_back(outPath);
  *paths = kept;
  return total;
}

int Miniseed::numChannelsInZipFile(const std::string& zipPath, time_t* start) {
  if (zipPath.find(".zip") == std::string::npos) return 0;
  std::string name = zipPath.substr(zipPath.find_last_of('/') + 1);
  name = name.size() > ZIP_SUFFIX_LEN ? name.substr(0, name.size() - ZIP_SUFFIX_LEN) : "";
  std::vector<uint8_t> data;
  if (name.empty() || !Zipper::extractFile(zipPath, name, &data)) {
    pprintf("b == NULL\n");
    return 0;
  }
  std::set<std::string> channels;
  size_t records = data.size() / RECORD_LENGTH;
  if (records > static_cast<size_t>(NUM_CHANNELS_RECORDS)) records = NUM_CHANNELS_RECORDS;
  for (size_t i = 0; i < records; ++i) {
    const char* code = reinterpret_cast<const char*>(data.data() + i * RECORD_LENGTH + OFF_CHANNEL);
    channels.insert(std::string(code, CHANNEL_LEN));
  }
  if (records > 0 && start != nullptr) *start = getStartTime(data.data()) / HPTMODULUS;
  return static_cast<int>(channels.size());
}

void Miniseed::clip(RecordList* out, const uint8_t* records, size_t length, time_t start,
                    int duration) {
  const hptime_t from = static_cast<hptime_t>(start) * HPTMODULUS;
  const hptime_t to = (static_cast<hptime_t>(start) + duration) * HPTMODULUS;
  for (size_t offset = 0; offset + RECORD_LENGTH <= length; offset += RECORD_LENGTH) {
    hptime_t t = getStartTime(records + offset);
    if (t >= from && t < to) {
      Record r;
      memcpy(r.data(), records + offset, RECORD_LENGTH);
      out->push_back(r);
    }
  }
}

bool Miniseed::containsPacket(const RecordList& list, const uint8_t* record) {
  hptime_t start = getStartTime(record);
  for (const Record& r : list) {
    if (getStartTime(r.data()) == start &&
        memcmp(r.data() + OFF_CHANNEL, record + OFF_CHANNEL, CHANNEL_LEN) == 0 &&
        memcmp(r.data() + OFF_STATION, record + OFF_STATION, STATION_LEN) == 0) {
      return true;
    }
  }
  return false;
}

void Miniseed::merge(RecordList* out, const RecordList& a, const RecordList& b) {
  *out = a;
  for (const Record& r : b) {
    if (!containsPacket(a, r.data())) out->push_back(r);
  }
}

std::vector<uint8_t> Miniseed::packetsToArray(const RecordList& list) {
  std::vector<uint8_t> bytes;
  bytes.reserve(list.size() * RECORD_LENGTH);
  for (const Record& r : list) bytes.insert(bytes.end(), r.begin(), r.end());
  return bytes;
}

Miniseed::RecordList Miniseed::arrayToPackets(const uint8_t* bytes, size_t length) {
  RecordList list;
  for (size_t offset = 0; offset + RECORD_LENGTH <= length; offset += RECORD_LENGTH) {
    Record r;
    memcpy(r.data(), bytes + offset, RECORD_LENGTH);
    list.push_back(r);
  }
  return list;
}

MsRecordPtr Miniseed::newMsRecord() { return MsRecordPtr(msr_init(nullptr)); }
