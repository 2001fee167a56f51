// State-of-health histograms of one station: small CSV records of the last
// peaks, supply voltage, temperature, position, satellites and free card
// space.
//
// The hub property "histogramenabled" chooses the mode: 2 (the default
// outside the Tidora mode) writes the record from the settings at the end of
// every setting-query cycle, one file per minute under the template
// "histogramarchive"; 1 fetches the instrument's own daily file
// ("/histogram/YYYY-MM-DD.csv") every "histogramminutes" minutes; 0 (always
// in the Tidora mode) keeps no histogram archive.
//
// Request times are "nice": the next multiple of the interval within the
// hour, except that the request for the full hour goes out
// HISTOGRAM_HOUR_LEAD_SECS before it.
//
// The instrument's files are untrusted: parseHistogramFile reads at most
// HISTOGRAM_FILE_MAX bytes, lines of at most HISTOGRAM_LINE_MAX characters
// and HISTOGRAM_COLUMNS_MAX columns, and sets a bad line aside (counted)
// instead of failing the file.
//
// Not shared: one Histogram per session, used by that session's thread only.
#ifndef VH_METADATA_HISTOGRAM_H_
#define VH_METADATA_HISTOGRAM_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "waveform/ArchiveFile.h"

class Log;
class SsFile;
class VhProps;

constexpr int HISTOGRAM_OFF = 0;                      // mode: no histogram archive
constexpr int HISTOGRAM_INSTRUMENT = 1;               // mode: the instrument's daily files
constexpr int HISTOGRAM_SELF = 2;                     // mode: records written from the settings
constexpr int HISTOGRAM_INTERVAL_DEFAULT_SECS = 900;  // taken for an interval of 0
constexpr int HISTOGRAM_HOUR_LEAD_SECS = 20;          // the full-hour request goes out this early
constexpr int HISTOGRAM_DAY_LAG_SECS = 300;     // the instrument file is of the day this long ago
constexpr size_t HISTOGRAM_TEXT_MAX = 549;      // characters of a written record
constexpr size_t HISTOGRAM_FILE_MAX = 1 << 20;  // bytes of an instrument file that are read
constexpr size_t HISTOGRAM_LINE_MAX = 549;      // characters of a line of such a file
constexpr size_t HISTOGRAM_COLUMNS_MAX = 32;    // columns of such a file
constexpr char HISTOGRAM_EXTENSION[] = ".csv";

// One data line of a histogram file: its time and the numbers that follow.
struct HistogramRow {
  time_t time = 0;
  std::vector<double> values;
};

// A parsed histogram file. columns holds the names of the header line,
// without quotes; every row has one value fewer than there are columns (the
// first column is the time).
struct HistogramTable {
  std::vector<std::string> columns;
  std::vector<HistogramRow> rows;
  size_t rejected = 0;       // data lines set aside
  size_t firstRejected = 0;  // 1-based line number of the first of them; 0: none
};

// Parses the text of a histogram file: comment lines ("#") and blank lines
// are skipped; the first other line is the header, whose first column must
// be "datetime"; every later line is a row of a time "YYYY-MM-DD HH:MM:SS"
// and one finite number per further column. A line that breaks these rules
// (too long, not printable ASCII, a wrong field count, a field that does not
// read whole) is counted in rejected and skipped. Returns false, with the
// reason in *error, when the text is longer than HISTOGRAM_FILE_MAX, has no
// header, or its header is not one of a histogram file.
bool parseHistogramFile(const char* data, size_t length, HistogramTable* out, std::string* error);

class Histogram {
 public:
  using Clock = std::function<time_t()>;

  // Mode HISTOGRAM_SELF, interval HISTOGRAM_INTERVAL_DEFAULT_SECS, no
  // template, archive disabled, next request time 0, last request time now.
  Histogram();
  Histogram(const Histogram&) = delete;
  Histogram& operator=(const Histogram&) = delete;
  ~Histogram();

  // "histogramminutes" (the interval; 0 or less reads as the default),
  // "histogramenabled" (the mode) and "histogramarchive" (the template); in
  // the Tidora mode the mode is HISTOGRAM_OFF and the template is that
  // mode's default, neither read. The next request time becomes the nice
  // time after now.
  void readProperties(VhProps& props);

  int getMode() const { return mode_; }
  time_t getIntervalSecs() const { return intervalSecs_; }
  // The mode is 1 or more and a template is set.
  bool isEnabled() const { return archive_.isEnabled(); }
  time_t getNextRequestTime() const { return nextRequestTime_; }
  time_t getLastRequestTime() const { return lastRequestTime_; }

  // The next multiple of the interval after t's whole minute, within t's
  // hour; the end of the hour is brought forward by HISTOGRAM_HOUR_LEAD_SECS
  // unless t is already past that, in which case it is the first multiple of
  // the next hour.
  time_t getNiceNextTime(time_t t) const;
  // When now is past the next request time: moves it to the nice time after
  // now and returns the old one. Otherwise 0.
  time_t isTime();
  // "YYYY-MM-DD.csv" of the UTC day of t - HISTOGRAM_DAY_LAG_SECS.
  static std::string getDremoFilename(time_t t);
  // "/histogram/" + getDremoFilename(t); t becomes the last request time.
  std::string getDremoPath(time_t t);
  // The local file for t (the template with microseconds 0 and the ".csv"
  // extension), at most ARCHIVE_PATH_MAX characters; empty without a template.
  std::string getLocalPath(time_t t, const std::string& network, const std::string& station,
                           uint32_t id);

  // The record of settings (parsed by the caller) at the time now: the
  // header (with the "sens_B" and "unit_B" lines when the instrument has a
  // fourth channel) and one data line, at most HISTOGRAM_TEXT_MAX characters.
  std::string text(const SsFile& settings) const;
  // Writes text(settings) to the local file of now for the settings'
  // network, station and serial number, creating its folders, and logs
  // "Write Histogram: [%s]"; "FAIL Histogram: [%s]" when the file cannot be
  // written, "FAIL Histogram: PATH=NULL" without a path. Returns the path
  // (empty without one). log may be null.
  std::string write(const SsFile& settings, Log* log);

  // Replaces the wall clock.
  void TEST_setClock(Clock clock) { clock_ = std::move(clock); }

 private:
  time_t now() const { return clock_ ? clock_() : time(nullptr); }

  ArchiveFile archive_;  // the local files; enabled in modes 1 and 2
  time_t lastRequestTime_;
  int mode_ = HISTOGRAM_SELF;
  time_t intervalSecs_ = HISTOGRAM_INTERVAL_DEFAULT_SECS;  // any int of minutes fits
  time_t nextRequestTime_ = 0;
  Clock clock_;
};

#endif  // VH_METADATA_HISTOGRAM_H_
