// One piece of deferred work for a station, tied to a time interval: a
// minute of data to fetch from the instrument, a trigger waveform to build,
// a histogram to request or delete, a client request to complete or a named
// file to download.
//
// Gap-file line (read and written by Gaps, one line per gap):
//   "<pop time> <start> <end> <action>    #<times as text>  <action name>"
// with the times in decimal Unix seconds. Lines are cut to GAP_LINE_MAX
// characters, so with 10-digit times the comment is never written and a line
// holds the four numbers followed by four blanks.
//
// A Gap is a plain value with no locking; the Gaps list that holds it
// guards it.
#ifndef VH_GAPS_GAP_H_
#define VH_GAPS_GAP_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

constexpr size_t GAP_LINE_MAX = 38;            // characters of a written gap-file line
constexpr time_t GAP_TIME_MIN = 1546300800;    // 2019-01-01T00:00:00Z; earlier gaps are refused
constexpr time_t GAP_TIME_MAX = 253402300799;  // 9999-12-31T23:59:59Z; later file times are refused
constexpr time_t GAP_MINUTE = 60;              // seconds of the minute that backfill works in
constexpr time_t GAP_UPLOAD_PER_MINUTE = 45;   // seconds of delay per minute of an upload request
constexpr time_t GAP_UPLOAD_ROUNDING = 30;     // seconds added before an upload counts its minutes
constexpr time_t GAP_TOUCH = 1;                // intervals this close still overlap (seconds)

class Gap {
 public:
  // Stored as signed 32-bit values in gap files. 8 and 9 are never built;
  // ALMOST names every negative action and LAST every action above 11 (and
  // serves as "no action" in the pop order).
  enum GapAction : int32_t {
    BLDTRI = 0,  // build a trigger waveform for the interval
    DLTRIG = 1,  // download data around a trigger
    REQHIS = 2,  // request a histogram
    DELHIS = 3,  // delete a histogram
    DLREQU = 4,  // download data for a client request
    UPLREQ = 5,  // upload data for a client request
    DLBACK = 6,  // download backfill data for a gap in the archive
    DLFILE = 7,  // download a named file
    EIGHT = 8,
    NINE = 9,
    ALMOST = 10,
    LAST = 11,
  };
  static constexpr int ACTION_COUNT = 12;
  // Names shown in logs and gap files, indexed by action (6 characters,
  // padded with blanks; "ALMOST " has 7).
  static const char* const ACTIONS[ACTION_COUNT];

  // A gap of the given action:
  //   DLTRIG, DLREQU, DLBACK: start and end widened to whole minutes (start
  //     rounded down, end rounded down + 59), due one second after the end;
  //   UPLREQ: due 45 s per started minute of the interval from now;
  //   others: due at end.
  Gap(time_t start, time_t end, GapAction action);
  // A DLFILE gap for the named file and its accompanying text; pop time,
  // start and end are all now - 1.
  Gap(const std::string& text1, const std::string& text2);
  // The gap of one gap-file line, as loading takes it: "pop start end action"
  // or "pop start end" (action BLDTRI), blanks between the numbers, anything
  // after a blank following the last number ignored. The pop time becomes
  // the end value and the end is moved 60 s later, whatever the first number
  // was. Returns null, with the reason in *why (if given), for a line that
  // does not hold three or four whole numbers, whose times are outside
  // 0..GAP_TIME_MAX or whose end is before its start, or whose action is not
  // one this hub builds (BLDTRI..DLFILE). DLFILE is refused too: its file
  // name is not kept in the file, so such a gap could not be acted on. With
  // needAction a line of three numbers is refused as well (a cut-off line).
  static std::unique_ptr<Gap> fromLine(const std::string& line, std::string* why = nullptr,
                                       bool needAction = false);

  Gap(const Gap&) = default;
  Gap& operator=(const Gap&) = default;
  virtual ~Gap();

  GapAction action() const { return action_; }
  time_t popTime() const { return popTime_; }
  time_t start() const { return start_; }
  time_t end() const { return end_; }  // last second of the interval, inclusive
  const std::string& text1() const { return text1_; }
  const std::string& text2() const { return text2_; }
  void setStart(time_t start) { start_ = start; }
  void setPopTime(time_t t) { popTime_ = t; }

  time_t duration() const { return end_ - start_; }
  // Order by start.
  bool operator<(const Gap& other) const { return start_ < other.start_; }
  bool operator>(const Gap& other) const { return start_ > other.start_; }
  // Same action, pop time, start and end (the texts are not compared).
  bool operator==(const Gap& other) const;
  // Same action and intervals that overlap or touch within GAP_TOUCH seconds.
  bool overlaps(const Gap& other) const;
  // Widens this gap to cover other: the later pop time, the earlier start,
  // the later end.
  void merge(const Gap& other);

  // The name of an action; negative actions are named ALMOST, actions above
  // LAST are named LAST.
  static const char* actionName(int action);
  // The gap-file text form, uncut: "%ld %ld %ld %d    #%s  %s  %s  %s".
  std::string toString() const;
  // The long form of every log line: "%s pop:%s %s->%s" with the action name
  // and pop time, start and end as "%Y%m%d_%H%M_%S" (UTC).
  std::string bigString() const;

 private:
  Gap(GapAction action, time_t popTime, time_t start, time_t end);

  GapAction action_;
  time_t popTime_;     // Unix seconds: when the gap becomes due
  time_t start_;       // Unix seconds: first second of the interval
  time_t end_;         // Unix seconds: last second of the interval
  std::string text1_;  // DLFILE only: the file to fetch
  std::string text2_;  // DLFILE only: the text that goes with it
};

#endif  // VH_GAPS_GAP_H_
