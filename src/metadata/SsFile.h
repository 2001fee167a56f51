// The instrument's settings file "settings.ss" as the hub knows it: a
// JsonFile whose entries mirror the instrument's settings, plus typed values
// worked out from them by parse() for the rest of the hub (units conversion,
// channel counts, StationXML, histograms, trigger and waveform files).
//
// Entries arrive three ways: the whole file downloaded from the instrument
// (read), one "key=value" answer at a time to the setting queries (set), and
// values the archive takes from incoming miniSEED (setChars). They are never
// cleared wholesale; "nil" removes one key. Typed values are only as fresh as
// the last parse(). Every written file begins with "format"="vorlanmeta".
//
// Text values read for typed fields drop an instrument's read-only mark
// " (ro)" (getChars). Text fields keep at most their width minus one
// characters: station, network, location and units SS_TEXT_FIELD_MAX,
// serial number and times SS_TIME_TEXT_MAX.
//
// SS_KEYS is the table of setting keys the hub asks the instrument for, in
// asking order (SsTimer walks it by index).
//
// Not shared: one SsFile per session, used only by that session's thread;
// other users (StationXML conversion of a stored file) build their own.
#ifndef VH_METADATA_SSFILE_H_
#define VH_METADATA_SSFILE_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "metadata/JsonFile.h"

class Log;

constexpr int SS_BUFFER_BYTES = 30000;        // raw buffer of a settings file
constexpr size_t SS_SET_LINE_MAX = 79;        // longer setting lines are refused
constexpr size_t SS_TEXT_FIELD_MAX = 7;       // station, network, location, units (8-byte fields)
constexpr size_t SS_TIME_TEXT_MAX = 19;       // serial text, settings and histogram time
constexpr size_t SS_PEAK_TEXT_MAX = 79;       // "last_peak N" text handed to PeakVals::parse
constexpr size_t SS_PEAK_TIME_CHARS = 19;     // YYYY-MM-DD HH:MM:SS of a peak
constexpr size_t SS_SETTINGS_TIME_LEN = 18;   // "%Y-%m-%d %H%M %S" as stored under "time"
constexpr size_t SS_RESPONSE_PATH_MAX = 199;  // getResponsePath (200-byte buffer)
constexpr size_t SS_DOWNLOAD_PATH_MAX = 199;  // writeDownload's path
constexpr size_t SS_DOWNLOAD_NAME_MIN = 10;   // shorter folder names: no station yet
constexpr int SS_NUM_KEYS = 97;               // keys of SS_KEYS before its empty end marker
constexpr int SS_BUILD_DEFAULT = -1;          // build number while none is known
constexpr int SS_NUM_PEAKS = 2;
constexpr char SS_FORMAT_KEY[] = "format";
constexpr char SS_FORMAT_VALUE[] = "vorlanmeta";
constexpr char SS_FILE_NAME[] = "settings.ss";
constexpr char SS_TIME_FORMAT[] = "%Y-%m-%d %H%M %S";  // the "time" entry, local time

// One last peak of the instrument: "last_peak N" = value, units, time.
struct PeakVals {
  float value = 0;
  std::string units;  // at most SS_TEXT_FIELD_MAX characters
  uint32_t time = 0;  // seconds since 1970 (UTC)

  // "<value> <units> <YYYY-MM-DD HH:MM:SS>". Starts empty (0, "", 0) and
  // stays so when a part is missing.
  void parse(const std::string& text);
};

class SsFile : public JsonFile {
 public:
  static const char* const SS_KEYS[SS_NUM_KEYS + 1];  // ends with ""
  // The Lumetra software's response folder; StationXML copies go there too
  // when it exists.
  static constexpr char LUMETRA_RESPONSE[] = "/lumetra/response";

  // Empty except "format"="vorlanmeta"; typed values at their defaults.
  SsFile();
  ~SsFile() override;

  // JsonFile::read; when it loaded the whole file, parses the entries into
  // the typed values. Returns the JsonFile::read result (on failure the
  // typed values stay as they were).
  int read(const std::string& path);
  // One setting line "key=value" (quotes optional). Refused (0) when longer
  // than SS_SET_LINE_MAX characters or breaking the line rules; the value
  // "nil" removes the key. Returns 1 for an accepted line. Does not parse().
  int set(const std::string& line) override;
  // As the base, except that "serial" is always written in double quotes.
  int writeLine(FILE* stream, const std::string& key, const std::string& value) override;
  using JsonFile::writeLine;
  // The changed flag, reported on every second call only (the calls in
  // between return false); the flag itself is not cleared.
  bool isChanged() override;
  // JsonFile::getChars, then a copied text of at least 6 characters holding
  // " (ro)" is cut where that mark begins.
  int getChars(const std::string& key, char* dest, int size) const override;
  // The whole value cut the same way; "" when the key is missing.
  std::string getChars(const std::string& key) const;

  // Recomputes every typed value from the entries.
  void parse();

  // The instrument has a fourth channel: "ch4_active" is 1, or, when it is
  // not a number, a "location_B_0" entry exists.
  bool hasCh4() const;
  // Channels stored on the instrument's card ("storing_chan[i]" = 1 for the
  // 3 or 4 channels, plus "storing_vsum") and sent live ("tele_chan[i]",
  // "tele_vsum").
  int numStoringChans() const;
  int numTeleChans() const;
  // "<base>/response/<station>.xml", base by run mode: the RAM disk (Pi),
  // the Lumetra files folder (Tidora, Windows service), else BASE_DIR.
  std::string getResponsePath() const;
  // Writes the whole file to DOWNLOAD_DIR + folderName + "/settings.ss",
  // logging "Writing %s" (verbose) when log is given. Nothing is written
  // for a folder name shorter than SS_DOWNLOAD_NAME_MIN (no station yet).
  // Returns the write() result, 0 when nothing was written.
  int writeDownload(const std::string& folderName, Log* log);

  // Typed values as of the last parse().
  const std::string& getSerialNo() const { return serialNo_; }  // "serial", "00000000"
  uint32_t getSerialNoInt() const { return serialNoInt_; }      // serial text as hex
  // 1 / (gain A x cpv x sensitivity A), 1.0 when that product is not above 0.
  float getMultiplier() const { return multiplier_; }
  int getSampleRate() const { return sampleRate_; }  // "sampling_rate", 1
  int getBuildNo() const { return buildNo_; }        // "build_number", -1
  int getLogLevel() const { return logLevel_; }      // "log_level", -1
  float getGainA() const { return gainA_; }          // "gain_A_0", else 2^"gain"
  float getGainB() const { return gainB_; }          // "gain_B_0", 1.0
  float getCpv() const { return cpv_; }              // "cpv", 838860.8
  // "sens", then "custom_sensitivity", then "custom_sensitivity_A_0"; 1.0.
  float getSensA() const { return sensA_; }
  float getSensB() const { return sensB_; }  // "custom_sensitivity_B", else sensitivity A
  const std::string& getUnitsA() const { return unitsA_; }  // "unit"
  const std::string& getUnitsB() const { return unitsB_; }  // "unit_B"
  // "time" rewritten as YYYY-MM-DD HH:MM:SS; "" unless "time" has the
  // stored form of SS_SETTINGS_TIME_LEN characters.
  const std::string& getHistogramTime() const { return histogramTime_; }
  const std::string& getStation() const { return station_; }    // "sitename"
  const std::string& getNetwork() const { return network_; }    // "network_code"
  const std::string& getLocation() const { return location_; }  // "location_id"
  float getVoltage() const { return voltage_; }                 // "v_supply", 0
  float getTemperature() const { return temperature_; }         // "temperature", 0
  int getSats() const { return sats_; }                         // "sats", 0
  float getLongitude() const { return longitude_; }             // "long", 0
  float getLatitude() const { return latitude_; }               // "lat", 0
  float getAltitude() const { return altitude_; }               // "alt", 0
  float getPercentFree() const { return percentFree_; }         // "card_free_pc", 0
  // Peak 0 ("last_peak 0") and 1 ("last_peak 1"); other indexes read as empty.
  float getPeak(int i) const { return peak(i).value; }
  const std::string& getPeakUnits(int i) const { return peak(i).units; }
  uint32_t getPeakTime(int i) const { return peak(i).time; }

 private:
  const PeakVals& peak(int i) const;
  // Counts "<prefix><i>]" = 1 for i below 3 (4 with a fourth channel), plus
  // vsumKey = 1.
  int countChans(const char* prefix, const char* vsumKey) const;

  std::string serialNo_;
  float multiplier_ = 1.0f;
  float gainIndexMultiplier_ = 1.0f;
  uint32_t serialNoInt_ = 0;
  int sampleRate_ = 1;
  int buildNo_ = SS_BUILD_DEFAULT;
  int logLevel_ = -1;
  float gainA_ = 0, gainB_ = 0, cpv_ = 0, sensA_ = 0, sensB_ = 0;
  std::string unitsA_, unitsB_;
  std::string settingsTime_, histogramTime_;
  std::string station_, network_, location_;
  int changeCountdown_ = 1;        // isChanged reports when this reaches 0
  int changeCountdownReload_ = 1;  // the countdown after a report
  float voltage_ = 0, temperature_ = 0;
  int sats_ = 0;
  float longitude_ = 0, latitude_ = 0, altitude_ = 0, percentFree_ = 0;
  PeakVals peaks_[SS_NUM_PEAKS];
};

#endif  // VH_METADATA_SSFILE_H_
