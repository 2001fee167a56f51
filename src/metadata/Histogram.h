// State-of-health histograms of one station: small CSV records of the last
// peaks, supply voltage, temperature, position, satellites and free card
// space.
//
// The hub property "histogramenabled" chooses the mode: 1 or more (2 is the
// default outside the Tidora mode) writes the record from the settings at
// the end of every setting-query cycle, one file per minute under the
// template "histogramarchive"; 0 (always in the Tidora mode) keeps no
// histogram archive. Fetching the instrument's own daily files (mode 1) is
// not built: ARCHITECTURE.md lists where it connects.
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

class Histogram {
 public:
  using Clock = std::function<time_t()>;

  // Mode HISTOGRAM_SELF, no template, archive disabled.
  Histogram();
  Histogram(const Histogram&) = delete;
  Histogram& operator=(const Histogram&) = delete;
  ~Histogram();

  // "histogramenabled" (the mode) and "histogramarchive" (the template); in
  // the Tidora mode the mode is HISTOGRAM_OFF and the template is that
  // mode's default, neither read.
  void readProperties(VhProps& props);

  int getMode() const { return mode_; }
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
};

#endif  // VH_METADATA_HISTOGRAM_H_
