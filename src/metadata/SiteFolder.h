// The register of connected stations: one empty marker file per station,
// "<transactions>/sites/<NN>/<STATION>.<id>", where NN is the first two
// characters of the network ("__" when it has none) and id the instrument
// identifier in 8 lower-case hexadecimal digits. Other programs (and the
// hub's own request handling and trigger broadcast) read the register by
// listing the folders, so the marker names and folder names are part of the
// hub's output. Each session creates its station's marker on first contact,
// refreshes its modification time while the instrument talks (at most every
// TOUCH_INTERVAL_SECS) and removes it when the link ends; start-up empties
// the register.
//
// Ownership and threads: start-up owns one object for removeAll, and every
// session owns its own, all on the same root. An object is used only by its
// owner's thread and has no lock; different sessions touch different marker
// files. A listing made while another session adds or removes its marker
// may or may not see that station.
#ifndef VH_METADATA_SITEFOLDER_H_
#define VH_METADATA_SITEFOLDER_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

class Log;

constexpr size_t SITE_ROOT_MAX = 199;           // characters of the root ("<base>sites/")
constexpr size_t SITE_PATH_MAX = 499;           // characters of a marker path and of a joined list
constexpr size_t SITE_NETWORK_CODE_LEN = 2;     // network characters naming the folder
constexpr size_t SITE_STATION_CODE_MAX = 6;     // station characters of a marker name
constexpr size_t SITE_LIST_NETWORK_MAX = 9;     // network characters a listing accepts
constexpr size_t SITE_NAME_MIN = 10;            // filtered listings: shortest station name
constexpr size_t SITE_NAME_MAX = 15;            // ... and longest
constexpr int TOUCH_INTERVAL_SECS = 11;         // touchStation acts at most this often
constexpr int SITE_REMOVE_MAX_ENTRIES = 10000;  // removeAll: entries visited per folder
constexpr int SITE_SCAN_MAX_ENTRIES = 9999;     // listings: entries read; contains: compared
constexpr int SITE_INFO_MAX_STATIONS = 999;     // siteinfos: stations written
constexpr int SITE_INFO_MINUTES = 5;            // siteinfos: minutes per station

// What the site info file needs from the waveform side: the waveform files of
// one station and minute, and the number of channels inside one zip file.
class SiteWaveforms {
 public:
  virtual ~SiteWaveforms() = default;
  // Paths of the waveform files of station (a register name such as
  // "AB123.0123abcd") in network for the minute starting at minute.
  virtual std::vector<std::string> getWaveFilePaths(time_t minute, const std::string& station,
                                                    const std::string& network) = 0;
  // Number of channels held by the zip file at path.
  virtual int numChannelsInZipFile(const std::string& path) = 0;
};

class SiteFolder {
 public:
  using Clock = std::function<time_t()>;

  // A disabled register with empty paths; time(nullptr) as its clock.
  SiteFolder();
  // The same with another clock (tests).
  explicit SiteFolder(Clock clock);
  SiteFolder(const SiteFolder&) = delete;
  SiteFolder& operator=(const SiteFolder&) = delete;

  // Root = base + "sites/" (a leading "%U" of base is replaced by HOMEDIR),
  // cut to SITE_ROOT_MAX characters; creates the folders and enables the
  // register. Called again, it moves to the new root.
  void init(const std::string& base);
  bool isEnabled() const { return enabled_; }
  const std::string& getRoot() const { return root_; }

  // The marker path "<root><NN>/<station>.<id %08x>" of a station (station
  // cut to SITE_STATION_CODE_MAX characters; codes that would leave the
  // folder are made harmless with safePathCode). Empty when disabled or when
  // station is empty.
  std::string sitePath(const std::string& station, const std::string& network, uint32_t id);
  // Creates the empty marker (mode 0666, its folder 0777). A marker that
  // cannot be created logs "Failed to create file %s. %s" (log may be null).
  void addStation(const std::string& station, const std::string& network, uint32_t id, Log* log);
  // At most once every TOUCH_INTERVAL_SECS per object: sets the marker's
  // times to now, or creates it (addStation) when it is missing.
  void touchStation(const std::string& station, const std::string& network, uint32_t id, Log* log);
  // Deletes the marker, then its network folder when that is now empty.
  void removeStation(const std::string& station, const std::string& network, uint32_t id);
  // Deletes under the root every file whose name contains "." and every
  // folder, recursively; names beginning with "." are left alone; at most
  // SITE_REMOVE_MAX_ENTRIES entries per folder. Links are removed, never followed.
  void removeAll();

  // Whether name is among the first SITE_SCAN_MAX_ENTRIES entries of list.
  static bool contains(const std::vector<std::string>& list, const std::string& name);
  // Names of all files in the folder of network (the folder rule of sitePath).
  std::vector<std::string> getAllStations(const std::string& network);
  // The same, keeping only names of SITE_NAME_MIN..SITE_NAME_MAX characters
  // that contain "." and do not begin with ".".
  std::vector<std::string> getStations(const std::string& network);
  // The filtered names, each followed by "," (whole names only, at most
  // SITE_PATH_MAX characters); logged as "Sites: %s\n" when log is set.
  std::string getStations(const std::string& network, Log* log);

  // The file "<downloadDir><network>/sites" ("<downloadDir>sites" without a
  // network): the comma-joined list of the network, or one space when it is
  // empty; mode 0666. False when the file could not be written.
  bool writeSitesFile(const std::string& downloadDir, const std::string& network, Log* log);
  // The file ".../siteinfos" of the same place: the line "YYYY-MM-DD HHMM" of
  // t (UTC), then per station (at most SITE_INFO_MAX_STATIONS) "%s,%s,%d":
  // its name, one status character for each of the SITE_INFO_MINUTES minutes
  // from t ('0' no file; for a zip, '0' + its channel count; else 'x'), and
  // numChannels. Mode 0666. False when the file could not be written.
  bool writeSiteInfosFile(const std::string& downloadDir, const std::string& network, time_t t,
                          SiteWaveforms& waves, int numChannels);

  // The last path built (sitePath) or list joined (getStations with log).
  const std::string& getPath() const { return path_; }
  time_t getLastTouch() const { return lastTouch_; }

 private:
  // "<root><NN>/" of a network.
  std::string networkFolder(const std::string& network) const;
  // The file of the sites and siteinfos rules; its folder is created.
  static std::string downloadFile(const std::string& downloadDir, const std::string& network,
                                  const char* name);

  Clock clock_;
  std::string root_;  // at most SITE_ROOT_MAX characters, ends in "/" once enabled
  std::string path_;  // at most SITE_PATH_MAX characters
  bool enabled_ = false;
  time_t lastTouch_ = 0;  // seconds; when touchStation last acted
};

#endif  // VH_METADATA_SITEFOLDER_H_
