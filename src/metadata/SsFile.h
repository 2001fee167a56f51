// The instrument's settings as the hub knows them: key/value entries learned
// from the instrument's setting replies ("key=value" COMMAND texts) and from
// the link, and the typed values the session needs (build number, station,
// network, location).
//
// This version keeps the entries in memory only. Reading and writing the
// "settings.ss" file, StationXML, histograms and the state-of-health values
// come with the settings-file component of a later version; until then the
// entries live as long as the session.
//
// SS_KEYS is the table of setting keys the hub asks the instrument for, in
// asking order (SsTimer walks it by index).
//
// Not shared: one SsFile per session, used only by that session's thread.
#ifndef VH_METADATA_SSFILE_H_
#define VH_METADATA_SSFILE_H_

#include <cstddef>
#include <map>
#include <string>

constexpr size_t SS_SET_LINE_MAX = 79;   // longer setting lines are refused
constexpr size_t SS_TEXT_FIELD_MAX = 7;  // characters of station, network, location
constexpr int SS_NUM_KEYS = 97;          // keys of SS_KEYS before its empty end marker
constexpr int SS_BUILD_DEFAULT = -1;     // build number while none is known

class SsFile {
 public:
  static const char* const SS_KEYS[SS_NUM_KEYS + 1];  // ends with ""

  SsFile();
  SsFile(const SsFile&) = delete;
  SsFile& operator=(const SsFile&) = delete;
  virtual ~SsFile();

  // One setting line "key=value" (quotes optional). Refused (0) when longer
  // than SS_SET_LINE_MAX characters or not a key/value line; the value "nil"
  // removes the key. Returns 1 for an accepted line. Does not parse().
  int set(const std::string& line);
  // Recomputes the typed values from the entries.
  void parse();

  void setChars(const std::string& key, const std::string& value);
  void remove(const std::string& key) { entries_.erase(key); }
  bool hasKey(const std::string& key) const { return entries_.count(key) > 0; }
  // The value of key ("" when absent), cut before a " (ro)" read-only mark
  // when the value is at least 6 characters long.
  std::string getChars(const std::string& key) const;
  size_t size() const { return entries_.size(); }

  // Typed values as of the last parse(). The build number is
  // "build_number", SS_BUILD_DEFAULT when absent or not a number.
  int getBuildNo() const { return buildNo_; }
  const std::string& getStation() const { return station_; }    // "sitename"
  const std::string& getNetwork() const { return network_; }    // "network_code"
  const std::string& getLocation() const { return location_; }  // "location_id"

 private:
  int getInt(const std::string& key, int def) const;

  std::map<std::string, std::string> entries_;
  int buildNo_ = SS_BUILD_DEFAULT;
  std::string station_, network_, location_;  // at most SS_TEXT_FIELD_MAX characters each
};

#endif  // VH_METADATA_SSFILE_H_
