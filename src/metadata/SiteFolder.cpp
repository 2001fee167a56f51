#include "metadata/SiteFolder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/Log.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/SafeName.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char HOME_CODE[] = "%U";
constexpr char SITES_FOLDER[] = "sites/";
constexpr char NO_NETWORK[] = "__";
constexpr char SITES_FILE[] = "sites";
constexpr char SITE_INFOS_FILE[] = "siteinfos";
constexpr char EMPTY_SITES_TEXT[] = " ";
constexpr size_t DOWNLOAD_FILE_MAX = 199;  // characters of a sites or siteinfos path
constexpr time_t SECONDS_PER_MINUTE = 60;

// Deletes below folder (ending in "/") what removeAll deletes.
void removeTree(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  int visited = 0;
  struct dirent* entry;
  while (visited < SITE_REMOVE_MAX_ENTRIES && (entry = readdir(dir)) != nullptr) {
    ++visited;
    if (entry->d_name[0] == '.') continue;
    std::string path = folder + entry->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      removeTree(path + "/");
      rmdir(path.c_str());
    } else if (strchr(entry->d_name, '.') != nullptr) {
      unlink(path.c_str());
    }
  }
  closedir(dir);
}

}  // namespace

SiteFolder::SiteFolder() : SiteFolder([] { return time(nullptr); }) {}

SiteFolder::SiteFolder(Clock clock) : clock_(std::move(clock)) {}

void SiteFolder::init(const std::string& base) {
  std::string folder = base;
  if (folder.compare(0, strlen(HOME_CODE), HOME_CODE) == 0)
    folder = HOMEDIR + folder.substr(strlen(HOME_CODE));
  root_ = bounded(folder + SITES_FOLDER, SITE_ROOT_MAX);
  mkdirs(root_, true);
  enabled_ = true;
}

std::string SiteFolder::networkFolder(const std::string& network) const {
  std::string code = network.empty() || network == "_"
                         ? std::string(NO_NETWORK)
                         : safePathCode(network.substr(0, SITE_NETWORK_CODE_LEN));
  return root_ + code + "/";
}

std::string SiteFolder::sitePath(const std::string& station, const std::string& network,
                                 uint32_t id) {
  if (!enabled_ || station.empty()) return "";
  path_ = sformatBounded(SITE_PATH_MAX, "%s%s.%08x", networkFolder(network).c_str(),
                         safePathCode(station.substr(0, SITE_STATION_CODE_MAX)).c_str(), id);
  return path_;
}

void SiteFolder::addStation(const std::string& station, const std::string& network, uint32_t id,
                            Log* log) {
  std::string path = sitePath(station, network, id);
  if (path.empty()) return;
  mkdirs(path, false);
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr) {
    // Interface log line
    if (log != nullptr) log->addf("Failed to create file %s. %s", path.c_str(), strerror(errno));
    return;
  }
  fclose(file);
  chmod(path.c_str(), MODE_SHARED_FILE);
  chmod(networkFolder(network).c_str(), MODE_SHARED_FOLDER);
}

void SiteFolder::touchStation(const std::string& station, const std::string& network, uint32_t id,
                              Log* log) {
  if (!enabled_) return;
  time_t now = clock_();
  if (now - lastTouch_ < TOUCH_INTERVAL_SECS) return;
  std::string path = sitePath(station, network, id);
  if (path.empty()) return;
  if (!touchFileTime(path, now)) addStation(station, network, id, log);
  lastTouch_ = now;
}

void SiteFolder::removeStation(const std::string& station, const std::string& network,
                               uint32_t id) {
  std::string path = sitePath(station, network, id);
  if (path.empty()) return;
  unlink(path.c_str());
  rmdir(networkFolder(network).c_str());  // only succeeds when empty
}

void SiteFolder::removeAll() {
  if (!enabled_) return;
  removeTree(root_);
}

bool SiteFolder::contains(const std::vector<std::string>& list, const std::string& name) {
  size_t n = std::min(list.size(), static_cast<size_t>(SITE_SCAN_MAX_ENTRIES));
  for (size_t i = 0; i < n; ++i) {
    if (list[i] == name) return true;
  }
  return false;
}

std::vector<std::string> SiteFolder::getAllStations(const std::string& network) {
  std::vector<std::string> names;
  if (!enabled_) return names;
  std::string folder = networkFolder(network.substr(0, SITE_LIST_NETWORK_MAX));
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  int read = 0;
  struct dirent* entry;
  while (read < SITE_SCAN_MAX_ENTRIES && (entry = readdir(dir)) != nullptr) {
    ++read;
    struct stat st;
    if (lstat((folder + entry->d_name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    names.emplace_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

std::vector<std::string> SiteFolder::getStations(const std::string& network) {
  std::vector<std::string> names;
  for (auto& name : getAllStations(network)) {
    if (name.size() < SITE_NAME_MIN || name.size() > SITE_NAME_MAX) continue;
    if (name[0] == '.' || name.find('.') == std::string::npos) continue;
    names.push_back(std::move(name));
  }
  return names;
}

std::string SiteFolder::getStations(const std::string& network, Log* log) {
  std::string joined;
  for (const auto& name : getStations(network)) {
    if (joined.size() + name.size() + 1 > SITE_PATH_MAX) break;
    joined += name + ",";
  }
  path_ = joined;
  if (log != nullptr) log->addf("Sites: %s\n", path_.c_str());
  return path_;
}

std::string SiteFolder::downloadFile(const std::string& downloadDir, const std::string& network,
                                     const char* name) {
  if (network.empty()) return bounded(downloadDir + name, DOWNLOAD_FILE_MAX);
  std::string folder = downloadDir + safePathCode(network) + "/";
  mkdirs(folder, true);
  return bounded(folder + name, DOWNLOAD_FILE_MAX);
}

bool SiteFolder::writeSitesFile(const std::string& downloadDir, const std::string& network,
                                Log* log) {
  std::string path = downloadFile(downloadDir, network, SITES_FILE);
  unlink(path.c_str());
  std::string list = getStations(network, log);
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  const std::string& text = list.empty() ? std::string(EMPTY_SITES_TEXT) : list;
  bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
  ok = fclose(file) == 0 && ok;
  chmod(path.c_str(), MODE_SHARED_FILE);
  return ok;
}

bool SiteFolder::writeSiteInfosFile(const std::string& downloadDir, const std::string& network,
                                    time_t t, SiteWaveforms& waves, int numChannels) {
  std::string path = downloadFile(downloadDir, network, SITE_INFOS_FILE);
  unlink(path.c_str());
  std::vector<std::string> stations = getStations(network);
  FILE* file = fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  struct tm tm;
  gmtm(&tm, t);
  fprintf(file, "%04d-%02d-%02d %02d%02d\n", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
          tm.tm_hour, tm.tm_min);
  size_t n = std::min(stations.size(), static_cast<size_t>(SITE_INFO_MAX_STATIONS));
  for (size_t i = 0; i < n; ++i) {
    std::string status;
    for (int m = 0; m < SITE_INFO_MINUTES; ++m) {
      std::vector<std::string> files =
          waves.getWaveFilePaths(t + m * SECONDS_PER_MINUTE, stations[i], network);
      if (files.empty()) {
        status += '0';
      } else if (files[0].find(".zip") != std::string::npos) {
        status += static_cast<char>('0' + waves.numChannelsInZipFile(files[0]));
      } else {
        status += 'x';
      }
    }
    fprintf(file, "%s,%s,%d\n", stations[i].c_str(), status.c_str(), numChannels);
  }
  bool ok = fclose(file) == 0;
  chmod(path.c_str(), MODE_SHARED_FILE);
  return ok;
}
