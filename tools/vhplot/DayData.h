// The archive reader of vhplot: one station's records over a span of time,
// gathered from the minute files of an archive path template (the hub's
// "archive1" templates), plain (".ms") or zipped (".ms.zip", whose entry of
// the same name without ".zip" holds the minute).
//
// Everything read here comes from files others may have damaged: a zip that
// does not open, a minute without its entry, a file that is not miniSEED or
// a record that does not decode is skipped with a message in
// ArchiveSpan::problems, and the rest is still read. Files larger than
// MINUTE_FILE_MAX bytes are skipped the same way, so memory stays bounded.
//
// Thread safety: none needed; vhplot runs on one thread.
#ifndef VH_TOOLS_VHPLOT_DAYDATA_H_
#define VH_TOOLS_VHPLOT_DAYDATA_H_

#include <libmseed.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

// The mode 0 archive template of the hub, relative to its working folder.
constexpr char DEFAULT_ARCHIVE_TEMPLATE[] = "archive/%S/%Y/%M/%D/%H/%Y%M%D_%H%m_%S";
// Minute files start this many minutes before a span are read too: their
// records may reach into it (long records of slow channels).
constexpr int LOOKBACK_MINUTES = 60;
constexpr size_t MINUTE_FILE_MAX = 64u * 1024u * 1024u;  // bytes of one minute file or entry
// Longer records are not read (the hub's records have 512 bytes).
constexpr size_t RECORD_BYTES_MAX = 8192;
// Zeros after the copy of a record that libmseed parses: its longest blockette.
constexpr size_t PARSE_PADDING = 65536;
// Records said to cover more seconds than this are damaged.
constexpr double SEGMENT_SECONDS_MAX = 86400;
// Two records further apart than this many sample intervals leave a gap.
constexpr double GAP_TOLERANCE_SAMPLES = 1.5;

// The time span of one record.
struct Segment {
  hptime_t start = 0;
  hptime_t end = 0;  // time just after the last sample
  double rate = 0;   // samples per second
};

// Receives the samples of each record as it is decoded, so that no day of
// samples is ever held in memory.
using SampleSink = std::function<void(const std::string& channel, const Segment& record,
                                      const std::vector<float>& samples)>;

struct Gap {
  hptime_t start;
  hptime_t end;
};

struct ArchiveSpan {
  std::map<std::string, std::vector<Segment>> channels;  // by channel code, sorted by start
  std::vector<std::string> problems;                     // one message per skipped file or record
  int filesRead = 0;
};

// Adds the records of the bytes of one minute file (name: for messages) in
// [from, to) to span, handing their samples to sink unless it is empty; a
// record that does not decode is skipped (one message
// per file counts them) and the next RECORD_LENGTH bytes on are tried.
// Returns false when no record decodes (not a miniSEED file).
bool addRecords(const std::vector<uint8_t>& bytes, const std::string& name, hptime_t from,
                hptime_t to, const SampleSink& sink, ArchiveSpan* span);

// Reads the records of station in [from, to) (Unix seconds) from the minute
// files that tmpl names, handing their samples to sink unless it is empty.
// network and id fill the template's %N and %I codes.
ArchiveSpan readArchiveSpan(const std::string& tmpl, const std::string& network,
                            const std::string& station, uint32_t id, time_t from, time_t to,
                            const SampleSink& sink);

// The channel a plot shows when none is asked for: the first whose code ends
// in 'Z', else the first by name; empty when there is none.
std::string preferredChannel(const ArchiveSpan& span);

// The times in [from, to) without samples of the segments (sorted by start):
// before the first, between two further apart than GAP_TOLERANCE_SAMPLES
// sample intervals, and after the last.
std::vector<Gap> findGaps(const std::vector<Segment>& segments, hptime_t from, hptime_t to);

// The station folders of the archive: the names of the folders where the
// template's "%S" stands (it must fill a whole path component, below folders
// without other codes than %U and %USB). Empty, with a message in *problem,
// otherwise.
std::vector<std::string> archiveStations(const std::string& tmpl, std::string* problem);

#endif  // VH_TOOLS_VHPLOT_DAYDATA_H_
