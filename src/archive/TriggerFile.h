// The trigger file format: one XML entry per trigger or peak, appended to a
// file whose name comes from a template (several entries share a file when
// their paths resolve to the same name). The trigger handling of a link
// (triggers/Trigger) and the monitor folder (MonitorBuffer) write them.
//
//   <trigger>
//     <station>ABCD</station> ... <triggertype>4 STALTA TRIGGER</triggertype>
//     <time>2023-04-06 1234 56.789</time>
//   </trigger>
//
// A peak entry has the trigger type "5 MAX" and adds <peak> and <peakunits>.
// Times are UTC with milliseconds (the microseconds divided by 1000).
//
// Thread safety: free functions without state; any thread.
#ifndef VH_ARCHIVE_TRIGGERFILE_H_
#define VH_ARCHIVE_TRIGGERFILE_H_

#include <cstdint>
#include <ctime>
#include <string>

class Log;

class TriggerFile {
 public:
  static constexpr size_t ENTRY_MAX = 398;    // characters of one formatted entry
  static constexpr size_t TEXT_MAX = 30;      // characters of getTriggerText
  static constexpr long FILE_AGE_SECS = 300;  // a written file's times are set this far back
  static constexpr long MICROS_MAX = 999999;  // larger microseconds count as this
  static const char XML_FORMAT[];
  static const char XML_PEAK_FORMAT[];

  TriggerFile() = delete;

  // "%d %s": the type and its name (alarmName: "4 STALTA TRIGGER", "20 UNKNOWN").
  static std::string getTriggerText(int type);
  // True for the seismic (counted) types 3, 4, 5, 7 and 8.
  static bool isSeismic(int type);

  // One trigger entry for UTC time t and microseconds.
  static std::string makeXml(const std::string& network, const std::string& station,
                             const std::string& location, const std::string& channel,
                             const std::string& triggerText, time_t t, long microseconds);
  // One peak entry.
  static std::string makePeakXml(const std::string& network, const std::string& station,
                                 const std::string& location, const std::string& channel,
                                 double peak, const std::string& units, time_t t,
                                 long microseconds);
  // Appends text to path: the text goes to log first (not forced); the file
  // gets mode 0666 and its times FILE_AGE_SECS in the past. False, logging
  // "Cannot write Trigger path is NULL!" or "Cannot write Trigger file: %s",
  // when nothing was written.
  static bool writeFile(const std::string& path, const std::string& text, Log* log);
  // makeXml / makePeakXml, then writeFile.
  static bool makeFile(const std::string& path, const std::string& network,
                       const std::string& station, const std::string& location,
                       const std::string& channel, const std::string& triggerText, time_t t,
                       long microseconds, Log* log);
  static bool makePeakFile(const std::string& path, const std::string& network,
                           const std::string& station, const std::string& location,
                           const std::string& channel, double peak, const std::string& units,
                           time_t t, long microseconds, Log* log);
};

#endif  // VH_ARCHIVE_TRIGGERFILE_H_
