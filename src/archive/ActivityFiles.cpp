#include "archive/ActivityFiles.h"

#include <sys/stat.h>

#include <cstdio>

#include "archive/PacketArchive.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/SafeName.h"
#include "util/Text.h"

namespace {

// Replaces the content of path with text; false when it cannot be written.
bool replaceText(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

}  // namespace

void ActivityFiles::init(PacketArchive* archive) {
  archive_ = archive;
  const std::string station = archive_ != nullptr ? archive_->getStationWithId() : std::string();
  folder_ = bounded(DOWNLOAD_DIR + station + "/activity/", FOLDER_MAX);
}

bool ActivityFiles::stationKnown() const {
  if (archive_ == nullptr) return false;
  const std::string& station = archive_->getStation();
  return !station.empty() && station.find("nil") == std::string::npos;
}

void ActivityFiles::write(const std::string& name, const std::string& text) {
  if (!stationKnown()) return;
  init(archive_);  // the station may have been learned since
  const size_t slash = name.find_last_of('/');
  const std::string base = safePathCode(slash == std::string::npos ? name : name.substr(slash + 1));
  if (base.empty()) return;
  const std::string path = folder_ + base;
  mkdirs(path, false);
  if (!replaceText(path, bounded(text, TEXT_MAX))) return;
  const time_t now = time(nullptr);
  lastTime_ = now > lastTime_ ? now : lastTime_ + 1;
  touchFileTime(path, lastTime_);
}

std::string ActivityFiles::markerPath(time_t t, bool create) const {
  if (t <= 0 || !stationKnown()) return std::string();
  ArchiveFile& extract = archive_->getExtractArchive();
  const std::string& net = archive_->getNetwork();
  const std::string& sta = archive_->getStation();
  const uint32_t id = archive_->getId();
  std::string path;
  if (create) {
    path = extract.mkdirs(net, sta, id, t, 0, MARKER_EXTENSION, false);
  } else {
    struct tm parts {};
    gmtime_r(&t, &parts);
    path = extract.getPath(net, sta, id, parts, 0, MARKER_EXTENSION, false);
  }
  return path.size() > MARKER_MAX ? std::string() : path;
}

void ActivityFiles::writeDownload(time_t t, const std::string& text) {
  const std::string path = markerPath(t, true);
  if (path.empty()) return;
  text_ = bounded(text, TEXT_MAX);
  if (replaceText(path, text_)) chmod(path.c_str(), MODE_SHARED_FILE);
}

void ActivityFiles::deleteDownload(time_t t) {
  const std::string path = markerPath(t, false);
  if (!path.empty()) removeFile(path);
}

void ActivityFiles::deleteOld() {
  if (folder_.size() >= FOLDER_MIN) deleteOldFiles(folder_, OLD_SECS);
}
