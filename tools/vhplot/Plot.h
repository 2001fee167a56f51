// vhplot's pictures, drawn with cairo: the drum plot of one station's day
// (one line per 15 or 30 minutes, gaps shaded, PNG or SVG by the file's
// extension) and the one-page HTML overview of every station's last 24
// hours (an inline SVG bar per station with its gaps, and their list).
//
// Thread safety: none needed; vhplot runs on one thread.
#ifndef VH_TOOLS_VHPLOT_PLOT_H_
#define VH_TOOLS_VHPLOT_PLOT_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "DayData.h"

constexpr int ROW_MINUTES_SHORT = 15;
constexpr int ROW_MINUTES_LONG = 30;
constexpr int SECONDS_PER_DAY = 86400;
constexpr size_t OVERVIEW_GAPS_LISTED = 20;  // gaps listed per station; the rest are counted

struct DayRequest {
  std::string archiveTemplate = DEFAULT_ARCHIVE_TEMPLATE;
  std::string network;
  std::string station;
  uint32_t id = 0;
  std::string channel;  // empty: preferredChannel
  time_t day = 0;       // any time of the UTC day to draw
  time_t now = 0;       // later times are "not yet recorded", not gaps
  int rowMinutes = ROW_MINUTES_LONG;
  std::string outPath;  // ".png" or ".svg"
};

struct DayReport {
  std::string channel;
  std::vector<Gap> gaps;
  std::vector<std::string> problems;  // skipped files and records
  std::string error;                  // why nothing was drawn; empty when drawn
};

// Reads the day and draws it to request.outPath. Returns true when the file
// was written (report->error says why not).
bool plotStationDay(const DayRequest& request, DayReport* report);

// Writes the HTML overview of every station of the archive for
// [now - SECONDS_PER_DAY, now) to outPath. Skipped files are listed on the
// page and in *problems. Returns false with *error when nothing was written.
bool plotOverview(const std::string& archiveTemplate, time_t now, const std::string& outPath,
                  std::vector<std::string>* problems, std::string* error);

// "YYYY-MM-DD hh:mm:ss.sss" of a libmseed time (UTC).
std::string formatHpTime(hptime_t t);

#endif  // VH_TOOLS_VHPLOT_PLOT_H_
