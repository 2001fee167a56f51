// Helpers that read and patch single miniSEED records (SEED 2.4, fixed record
// length of 512 bytes) in place, and cut, compare and merge lists of records.
//
// The hub moves records from the instrument to files unchanged, so these work
// on the raw bytes rather than on unpacked traces. Only the fixed section of
// the data header is read:
//
//   offset size field
//        6    1 data quality indicator, one of QUALITIES
//        7    1 reserved byte, a blank in a well-formed record
//        8    5 station code           13   2 location code
//       15    3 channel code           18   2 network code
//       20   10 start time (BTIME: year u16, day u16, hour, min, sec, unused, fract u16)
//       30    2 number of samples      32   2 sample rate factor
//       34    2 sample rate multiplier 44   2 beginning of data
//
// Byte order: a record is big-endian when the year and day of its start,
// read big-endian, are a plausible year (YEAR_MIN..YEAR_MAX) and day of the
// year (1..DAY_MAX); every other record is read in little-endian order. Read
// in the wrong order, a year in that range is far outside it, so the test
// does not depend on the blockettes. Multi-byte fields are decoded and
// encoded in the record's order, whatever the host's order.
//
// Every accessor that takes a bare record pointer reads at most HEADER_BYTES
// bytes from it; callers with shorter buffers must check first. All helpers
// are re-entrant and take no lock; they only call the re-entrant time
// conversions of libmseed.
#ifndef VH_WAVEFORM_MINISEED_H_
#define VH_WAVEFORM_MINISEED_H_

#include <libmseed.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Owns an MSRecord from msr_init; frees it with msr_free.
struct MsRecordDeleter {
  void operator()(MSRecord* msr) const { msr_free(&msr); }
};
using MsRecordPtr = std::unique_ptr<MSRecord, MsRecordDeleter>;

class Miniseed {
 public:
  static constexpr size_t RECORD_LENGTH = 512;  // bytes of every record the hub handles
  // Bytes of the fixed header the accessors read: offsets 0..47.
  static constexpr size_t HEADER_BYTES = 48;
  static constexpr char QUALITIES[] = "DRMQB";  // accepted data quality indicators
  // Start years and days that decide the byte order (the bounds libmseed uses).
  static constexpr int YEAR_MIN = 1900;
  static constexpr int YEAR_MAX = 2100;
  static constexpr int DAY_MAX = 366;

  // Field offsets of the fixed header.
  static constexpr size_t OFF_QUALITY = 6;
  static constexpr size_t OFF_RESERVED = 7;
  static constexpr size_t OFF_STATION = 8;
  static constexpr size_t OFF_LOCATION = 13;
  static constexpr size_t OFF_CHANNEL = 15;
  static constexpr size_t OFF_NETWORK = 18;
  static constexpr size_t OFF_START = 20;
  static constexpr size_t OFF_NUM_SAMPLES = 30;
  static constexpr size_t OFF_RATE_FACTOR = 32;
  static constexpr size_t OFF_RATE_MULTIPLIER = 34;
  static constexpr size_t OFF_DATA_BEGIN = 44;

  static constexpr size_t STATION_LEN = 5;
  static constexpr size_t LOCATION_LEN = 2;
  static constexpr size_t CHANNEL_LEN = 3;
  static constexpr size_t NETWORK_LEN = 2;

  // Unit codes of getChannelUnits.
  static constexpr int UNITS_VELOCITY = 1;
  static constexpr int UNITS_ACCELERATION = 2;
  static constexpr int UNITS_UNKNOWN = 4;

  // One record and a list of records.
  using Record = std::array<uint8_t, RECORD_LENGTH>;
  using RecordList = std::vector<Record>;

  // Extracts every entry of zipPath into folder and appends the paths of the
  // extracted files to files. Returns false when the zip cannot be read. The
  // zip component provides it; rewrite skips zips when it is empty.
  using ZipExtractor = std::function<bool(const std::string& zipPath, const std::string& folder,
                                          std::vector<std::string>* files)>;

  Miniseed() = delete;

  // Text fields, trailing blanks removed. Each returns false and leaves out
  // untouched when the reserved byte is not a blank.
  static bool getStation(const uint8_t* record, std::string* out);
  static bool getNetwork(const uint8_t* record, std::string* out);
  static bool getLocation(const uint8_t* record, std::string* out);
  // Sets out to the channel code (also when it is not accepted). Returns true
  // only for "SUM" or for a code of two capital letters (band and instrument)
  // followed by an orientation code, a capital letter or a digit (LH1, HHZ).
  static bool getChannel(const uint8_t* record, std::string* out);

  // Samples per second from the signed factor and multiplier: a positive
  // factor is samples per second, a negative one seconds per sample (-10:
  // 0.1); a positive multiplier multiplies, a negative one divides (factor 1,
  // multiplier -10: 0.1); a multiplier of 0 counts as 1. A factor of 0 and a
  // null record give 0.
  static double getSampleRate(const uint8_t* record);
  static int getNumSamples(const uint8_t* record);
  static int getBeginningOfData(const uint8_t* record);
  static bool isBigEndian(const uint8_t* record);

  // Reverses bytes[0..length) in place; the second form only when doSwap.
  static void swap(uint8_t* bytes, size_t length);
  static void swap(uint8_t* bytes, size_t length, bool doSwap);

  // Record start in microseconds since 1970. A start of exactly 0 prints
  // "MS time=0... " and the first 32 bytes on the console.
  static hptime_t getStartTime(const uint8_t* record);
  // Start plus the duration of the samples (the time after the last sample);
  // the start itself when the sample rate is not positive.
  static hptime_t getEndTime(const uint8_t* record);
  // Writes the start time into the record in its own byte order. Returns
  // false (record unchanged) when the time cannot be expressed as a BTIME.
  static bool setStartTime(uint8_t* record, hptime_t start);

  // True when length is at least RECORD_LENGTH, the reserved byte is a blank
  // or 0 and the quality indicator is one of QUALITIES.
  static bool isMiniseed(const uint8_t* record, size_t length);

  // UNITS_UNKNOWN for a null channel or one not 3 characters long,
  // UNITS_ACCELERATION when the second character is 'N' or 'n', else
  // UNITS_VELOCITY.
  static int getChannelUnits(const char* channel);

  // Fills header from the record: codes (trimmed), quality, type 'z', start,
  // rate, sample count, end (getEndTime), sample type 'i'. A null record
  // prints "getMSTrace, but data==NULL!" and clears the header.
  static void getMSTraceHeader(const uint8_t* record, MSTrace* header);

  // Appends to outPath every record of the listed files whose interval
  // touches [start, end] (Unix seconds): end >= start * 1000000 and
  // start <= end * 1000000. Files ending in ".ms" are read 512 bytes at a
  // time; files ending in "zip" are extracted with unzip into a temporary
  // folder beside outPath and their ".ms" entries read the same way. Entries
  // whose files yielded records are removed from paths, then outPath is
  // appended to it. Returns the number of records written, -1 when outPath
  // cannot be opened.
  static int rewrite(std::vector<std::string>* paths, const std::string& outPath, time_t start,
                     time_t end, const ZipExtractor& unzip);

  // Counts the distinct channel codes among the first NUM_CHANNELS_RECORDS
  // records of the minute file inside a minute zip: the entry named like the
  // zip's last path component without its last 4 characters (X.ms in
  // X.ms.zip). Sets *start to the start of the first record in whole Unix
  // seconds. Returns 0 for a path without ".zip" and, printing "b == NULL",
  // for a zip without that entry (start unchanged then).
  static int numChannelsInZipFile(const std::string& zipPath, time_t* start);
  static constexpr int NUM_CHANNELS_RECORDS = 10;

  // Appends to out the records of the contiguous array records[0..length)
  // (whole records only) whose start lies in [start, start + duration),
  // Unix seconds.
  static void clip(RecordList* out, const uint8_t* records, size_t length, time_t start,
                   int duration);
  // True when a record of list has the same start, channel and station as record.
  static bool containsPacket(const RecordList& list, const uint8_t* record);
  // out = a, followed by every record of b that a does not contain.
  static void merge(RecordList* out, const RecordList& a, const RecordList& b);

  // Record list to contiguous bytes and back (whole records only).
  static std::vector<uint8_t> packetsToArray(const RecordList& list);
  static RecordList arrayToPackets(const uint8_t* bytes, size_t length);

  // A fresh MSRecord (msr_init), freed when the pointer goes.
  static MsRecordPtr newMsRecord();
};

#endif  // VH_WAVEFORM_MINISEED_H_
