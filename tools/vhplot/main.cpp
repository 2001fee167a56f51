// vhplot: pictures of the hub's waveform archive.
//
//   vhplot day STATION --out FILE.png|FILE.svg [--date YYYY-MM-DD] [--channel CODE]
//          [--rows 15|30] [--archive TEMPLATE] [--network NET] [--id HEX]
//   vhplot overview --out FILE.html [--archive TEMPLATE]
//
// The archive template is the hub's "archive1" (default: the mode 0
// template, relative to the working folder). "day" prints each gap of the
// drawn channel and a summary line; every skipped file goes to standard
// error. Exit status: 0 drawn, 1 nothing drawn, 2 a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "Plot.h"
#include "util/Dirs.h"
#include "util/Text.h"

namespace {

constexpr int EXIT_USAGE = 2;
constexpr char USAGE[] =
    "usage: vhplot day STATION --out FILE.png|FILE.svg [--date YYYY-MM-DD] [--channel CODE]\n"
    "                  [--rows 15|30] [--archive TEMPLATE] [--network NET] [--id HEX]\n"
    "       vhplot overview --out FILE.html [--archive TEMPLATE]\n";

int usage(const char* problem) {
  if (problem != nullptr) fprintf(stderr, "vhplot: %s\n", problem);
  fputs(USAGE, stderr);
  return EXIT_USAGE;
}

bool parseDate(const char* text, time_t* day) {
  struct tm tm = {};
  char rest = 0;
  if (sscanf(text, "%4d-%2d-%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &rest) != 3) return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31) return false;
  *day = timegm(&tm);
  return *day != static_cast<time_t>(-1);
}

}  // namespace

int main(int argc, char** argv) {
  const char* home = getenv("HOME");
  HOMEDIR = bounded(home != nullptr ? home : ".", HOMEDIR_MAX);  // the template's %U
  if (argc < 2) return usage(nullptr);
  const std::string command = argv[1];
  if (command != "day" && command != "overview") return usage("unknown command");
  DayRequest request;
  request.now = time(nullptr);
  request.day = request.now;
  int i = 2;
  if (command == "day") {
    if (argc < 3 || argv[2][0] == '-') return usage("day needs a station");
    request.station = argv[2];
    i = 3;
  }
  for (; i < argc; ++i) {
    const std::string opt = argv[i];
    if (i + 1 >= argc) return usage(("no value for " + opt).c_str());
    const char* value = argv[++i];
    if (opt == "--out") {
      request.outPath = value;
    } else if (opt == "--archive") {
      request.archiveTemplate = value;
    } else if (opt == "--date" && command == "day") {
      if (!parseDate(value, &request.day)) return usage("the date must be YYYY-MM-DD");
    } else if (opt == "--channel" && command == "day") {
      request.channel = value;
    } else if (opt == "--rows" && command == "day") {
      request.rowMinutes = atoi(value);
    } else if (opt == "--network" && command == "day") {
      request.network = value;
    } else if (opt == "--id" && command == "day") {
      request.id = static_cast<uint32_t>(strtoul(value, nullptr, 16));
    } else {
      return usage(("unknown option " + opt).c_str());
    }
  }
  if (request.outPath.empty()) return usage("--out is needed");

  if (command == "overview") {
    std::vector<std::string> problems;
    std::string error;
    bool ok =
        plotOverview(request.archiveTemplate, request.now, request.outPath, &problems, &error);
    for (const std::string& p : problems) fprintf(stderr, "vhplot: %s\n", p.c_str());
    if (!ok) {
      fprintf(stderr, "vhplot: %s\n", error.c_str());
      return EXIT_FAILURE;
    }
    printf("wrote %s\n", request.outPath.c_str());
    return EXIT_SUCCESS;
  }
  DayReport report;
  bool ok = plotStationDay(request, &report);
  for (const std::string& p : report.problems) fprintf(stderr, "vhplot: %s\n", p.c_str());
  if (!ok) {
    fprintf(stderr, "vhplot: %s\n", report.error.c_str());
    return EXIT_FAILURE;
  }
  double missing = 0;
  for (const Gap& g : report.gaps) {
    const double s = static_cast<double>(g.end - g.start) / HPTMODULUS;
    missing += s;
    printf("gap %s - %s (%.3f s)\n", formatHpTime(g.start).c_str(), formatHpTime(g.end).c_str(), s);
  }
  printf("%s %s: %zu gaps, %.1f s missing; wrote %s\n", request.station.c_str(),
         report.channel.empty() ? "(no data)" : report.channel.c_str(), report.gaps.size(), missing,
         request.outPath.c_str());
  return EXIT_SUCCESS;
}
