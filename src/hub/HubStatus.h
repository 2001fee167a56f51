// The hub's status as JSON (the status file) and as a metrics page in the
// Prometheus text exposition format: the hub's own figures and, per running
// link, the LinkRegistry's snapshot with its station's counts of the day.
//
// Rendering is pure (figures in, text out) so that both forms show the same
// figures; gatherHubFigures reads the process-wide counters and the disks.
// Any thread.
#ifndef VH_HUB_HUBSTATUS_H_
#define VH_HUB_HUBSTATUS_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "session/LinkStatus.h"

class VhProps;

// The free space of the file system that holds one archive.
struct ArchiveDisk {
  std::string archive;      // the property naming the template: "archive1", "archive2"
  std::string folder;       // the template's fixed folder (codes expanded)
  bool known = false;       // statvfs worked on the folder or its nearest existing parent
  uint64_t freeBytes = 0;   // available to the hub
  uint64_t totalBytes = 0;  // size of the file system
};

struct HubFigures {
  time_t now = 0;                  // when the figures were taken (wall clock)
  long uptimeSeconds = 0;          // since start-up (monotonic)
  int links = 0;                   // link threads running
  int zipQueue = 0;                // finished minutes being zipped
  int logErrorsLastHour = 0;       // error lines of every log (core/Log.h)
  std::vector<ArchiveDisk> disks;  // one per archive in use
};

// The fixed folder of an archive path template: "%USB" and "%U" at its start
// expanded (first USB drive, home folder), then everything up to the last
// '/' before the first other '%' code; "." when that leaves nothing.
std::string archiveFolderOf(const std::string& pathTemplate);
// The disk figures of the folder, or of its nearest existing parent.
ArchiveDisk diskOf(const std::string& archive, const std::string& folder);

// The figures of now: uptime from start (monotonic seconds of
// steady_clock), the link and zip counts, the log error tally and the disks of
// the archives the properties name.
HubFigures gatherHubFigures(VhProps* props, int64_t startSteadySeconds);

// Text as a JSON string body (without the quotes): '"', '\\' and control
// characters escaped, and bytes outside ASCII as \u00XX (so the output is
// always valid UTF-8).
std::string jsonEscape(const std::string& text);
// Text as a metrics label value (without the quotes): '\\', '"' and
// newline escaped; other bytes outside printable ASCII become '?'.
std::string metricsLabelEscape(const std::string& text);

// The status file's JSON document.
std::string renderStatusJson(const HubFigures& hub, const std::vector<LinkStatus>& links);
// The metrics page.
std::string renderMetrics(const HubFigures& hub, const std::vector<LinkStatus>& links);

#endif  // VH_HUB_HUBSTATUS_H_
