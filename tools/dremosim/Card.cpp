#include "Card.h"

#include <sys/stat.h>
#include <unistd.h>

#include "util/FileUtil.h"
#include "util/Text.h"
#include "util/TimeUtil.h"

namespace {

constexpr char MINUTE_FOLDER_FORMAT[] = "/data/%Y/%m/%d/%H/%Y-%m-%d %H%M 00";
constexpr char HISTOGRAM_FORMAT[] = "/histogram/%Y-%m-%d.csv";

}  // namespace

Card::Card(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  mkdirs(root_, true);
}

std::string Card::minutePath(time_t t, const std::string& station) {
  return bounded(formatUtc(t, MINUTE_FOLDER_FORMAT) + " " + station + ".ms", CARD_PATH_MAX);
}

std::string Card::histogramPath(time_t t) { return formatUtc(t, HISTOGRAM_FORMAT); }

bool Card::ready() const { return isDir(root_); }

std::string Card::hostPath(const std::string& instrumentPath) const {
  if (instrumentPath.empty() || instrumentPath.size() > CARD_PATH_MAX) return "";
  if (instrumentPath.find('\0') != std::string::npos ||
      instrumentPath.find('\\') != std::string::npos) {
    return "";
  }
  std::string rest = instrumentPath;
  size_t at = 0;
  while (at <= rest.size()) {
    size_t slash = rest.find('/', at);
    std::string part = rest.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    if (part == "..") return "";
    if (slash == std::string::npos) break;
    at = slash + 1;
  }
  if (rest.back() == '/') return "";
  return root_ + (rest.front() == '/' ? "" : "/") + rest;
}

void Card::closeOpenFile() {
  open_.reset();
  openPath_.clear();
}

bool Card::appendRecord(const std::string& station, const uint8_t* record, size_t length,
                        time_t start) {
  std::string path = hostPath(minutePath(start, station));
  if (path.empty()) return false;
  if (path != openPath_) {
    closeOpenFile();
    mkdirs(path, false);
    open_.reset(fopen(path.c_str(), "ab"));
    if (!open_) return false;
    openPath_ = path;
  }
  bool ok = fwrite(record, 1, length, open_.get()) == length && fflush(open_.get()) == 0;
  if (!ok) closeOpenFile();
  return ok;
}

bool Card::writeFile(const std::string& instrumentPath, const std::string& content) {
  std::string path = hostPath(instrumentPath);
  if (path.empty()) return false;
  if (path == openPath_) closeOpenFile();
  mkdirs(path, false);
  std::unique_ptr<FILE, FileCloser> f(fopen(path.c_str(), "wb"));
  if (!f) return false;
  return fwrite(content.data(), 1, content.size(), f.get()) == content.size();
}

bool Card::readFile(const std::string& instrumentPath, std::vector<uint8_t>* data) {
  std::string path = hostPath(instrumentPath);
  if (path.empty() || !isFile(path)) return false;
  long long size = getFileSize(path);
  if (size < 0 || static_cast<unsigned long long>(size) > CARD_FILE_MAX) return false;
  return ::readFile(path, *data) >= 0;
}

bool Card::exists(const std::string& instrumentPath) const {
  std::string path = hostPath(instrumentPath);
  return !path.empty() && isFile(path);
}

bool Card::removeFile(const std::string& instrumentPath) {
  std::string path = hostPath(instrumentPath);
  if (path.empty()) return false;
  if (path == openPath_) closeOpenFile();
  return ::removeFile(path);
}
