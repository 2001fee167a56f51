// State-of-health histograms of one station: small CSV records of the last
// peaks, supply voltage, temperature, position, satellites and free card
// space.
//
// The hub property "histogramenabled" chooses the mode: 1 or more (2 is the
// default outside the Tidora mode) writes the record from the settings at
// the end of every setting-query cycle, one file per minute under the
// template "histogramarchive"; 0 (always in the Tidora mode) keeps no
// histogram archive. Mode 1 also fetches the instrument's own daily file
// ("/histogram/YYYY-MM-DD.csv") every "histogramminutes" minutes: this class
// keeps the schedule (isTime, at "nice" times) and names the files; the
// session requests, stores and deletes them.
//
// Not shared: one Histogram per session, used by that session's thread only.
#ifndef VH_METADATA_HISTOGRAM_H_
#define VH_METADATA_HISTOGRAM_H_

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "waveform/ArchiveFile.h"

class Log;
class SsFile;
class VhProps;

constexpr int HISTOGRAM_OFF = 0;            // mode: no histogram archive
constexpr int HISTOGRAM_INSTRUMENT = 1;     // mode: the instrument's daily files
constexpr int HISTOGRAM_SELF = 2;           // mode: records written from the settings
constexpr size_t HISTOGRAM_TEXT_MAX = 549;  // characters of a written record
constexpr char HISTOGRAM_EXTENSION[] = ".csv";
constexpr int HISTOGRAM_INTERVAL_DEFAULT_SECS = 900;  // "histogramminutes" of 0 (or less)
constexpr int HISTOGRAM_HOUR_LEAD_SECS = 20;          // the request at a full hour goes this early
constexpr time_t HISTOGRAM_DAY_BACK_SECS = 300;  // a request fetches the day of this long before
constexpr char HISTOGRAM_DREMO_FOLDER[] = "histogram";

class Histogram {
 public:
  using Clock = std::function<time_t()>;

  // Mode HISTOGRAM_SELF, no template, archive disabled.
  Histogram();
  Histogram(const Histogram&) = delete;
  Histogram& operator=(const Histogram&) = delete;
  ~Histogram();

  // "histogramenabled" (the mode), "histogramarchive" (the template) and
  // "histogramminutes" (the request interval; the next request time becomes
  // getNiceNextTime of now); in the Tidora mode the mode is HISTOGRAM_OFF and
  // the template is that mode's default, neither read.
  void readProperties(VhProps& props);

  int getMode() const { return mode_; }
  int getIntervalSecs() const { return intervalSecs_; }
  time_t getNextRequestTime() const { return nextRequestTime_; }

  // The next request time after t: the next multiple of the interval after
  // t's whole minute within its hour; when that is the end of the hour, 20 s
  // before it (HISTOGRAM_HOUR_LEAD_SECS), or one interval after the hour when
  // t is already that late.
  time_t getNiceNextTime(time_t t) const;
  // When now is past the next request time: moves it on (getNiceNextTime of
  // now) and returns the time that was due; otherwise 0.
  time_t isTime();
  // The instrument's file name of a request at t: the UTC date of
  // t - HISTOGRAM_DAY_BACK_SECS as "%Y-%m-%d.csv".
  static std::string getDremoFilename(time_t t);
  // The instrument's path of that file: "/histogram/" + getDremoFilename(t).
  static std::string getDremoPath(time_t t);
  // The mode is 1 or more and a template is set.
  bool isEnabled() const { return archive_.isEnabled(); }

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
  int mode_ = HISTOGRAM_SELF;
  Clock clock_;
  int intervalSecs_ = HISTOGRAM_INTERVAL_DEFAULT_SECS;
  time_t nextRequestTime_ = 0;
};

#endif  // VH_METADATA_HISTOGRAM_H_
