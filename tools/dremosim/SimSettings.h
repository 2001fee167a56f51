// The settings of a simulated instrument: the key file "settings.ss" that
// a real instrument keeps on its card, and the answers to the hub's setting
// queries.
//
// File syntax: one entry per line, key, "=", value, double quotes optional
// on reading ("sitename"="SIM" and sitename=SIM are the same entry); lines
// beginning with "#" are comments; lines breaking the rules are skipped.
// Written files quote every key and every value that is not a number.
//
// A built-in default holds the station name, network, location, build
// number, sample rate, channel names and a plausible set of sensor and
// state-of-health values. A settings file given by the user replaces or adds
// entries; the entries that describe the data stream (sitename,
// network_code, location_id, sampling_rate, channel_config) always follow
// the instrument's options, so that the answers match the records.
//
// Not shared: owned and used by one instrument thread.
#ifndef VH_TOOLS_DREMOSIM_SIMSETTINGS_H_
#define VH_TOOLS_DREMOSIM_SIMSETTINGS_H_

#include <ctime>
#include <map>
#include <string>
#include <vector>

constexpr size_t SETTINGS_FILE_MAX = 64 * 1024;        // bytes of a settings file read
constexpr char SETTINGS_FILE_NAME[] = "/settings.ss";  // instrument path of the file

// What the instrument is: the options the default settings are built from.
struct StreamIdentity {
  std::string station;
  std::string network;
  std::string location;
  std::vector<std::string> channels;
  int sampleRate = 0;
  int buildNumber = 0;
  uint32_t stationId = 0;
};

class SimSettings {
 public:
  // The built-in default for identity, made at time now (UTC).
  SimSettings(const StreamIdentity& identity, time_t now);

  // Reads entries from a key file over the defaults, then puts back the
  // stream entries (and the build number when keepBuild). False with the
  // reason in error when the file cannot be read.
  bool load(const std::string& path, bool keepBuild, std::string* error);
  // Parses key-file text into entries over the current ones. Returns the
  // number of entries taken.
  int parse(const std::string& text);

  void set(const std::string& key, const std::string& value);
  bool get(const std::string& key, std::string* value) const;

  // The answer line to a query for key: the entry as written in the file,
  // or "nil" when the key is unknown.
  std::string answer(const std::string& key) const;
  // Key of a query text `? "key"` (also ? key); empty when text is no query.
  static std::string queryKey(const std::string& text);
  // The whole file text.
  std::string render() const;
  // One entry line as written in the file (no line break).
  static std::string line(const std::string& key, const std::string& value);

 private:
  void applyIdentity(bool withBuild);

  StreamIdentity identity_;
  std::map<std::string, std::string> entries_;  // byte-wise key order
};

#endif  // VH_TOOLS_DREMOSIM_SIMSETTINGS_H_
