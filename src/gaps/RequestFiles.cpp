#include "gaps/RequestFiles.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/Log.h"
#include "util/Console.h"
#include "util/DirScan.h"
#include "util/Dirs.h"
#include "util/FileUtil.h"
#include "util/SafeName.h"
#include "util/Text.h"

namespace {

constexpr char HOME_CODE[] = "%U";
constexpr char LOG_MARK[] = ".log";
constexpr char RELAY_PREFIX[] = "86-";
constexpr size_t RELAY_NAME_MAX = 9;    // characters of a relay file's station name
constexpr size_t RELAY_PATH_MAX = 255;  // characters of a relayed instrument path
constexpr size_t FOLDER_MAX = 200;      // characters of the transactions folder

std::string expandHome(const std::string& folder) {
  if (folder.rfind(HOME_CODE, 0) == 0) return HOMEDIR + folder.substr(strlen(HOME_CODE));
  return folder;
}

// True when needle occurs in name where the character before it is not a
// letter or digit (or it stands at the start).
bool containsAsPart(const std::string& name, const std::string& needle) {
  for (size_t at = name.find(needle); at != std::string::npos; at = name.find(needle, at + 1)) {
    if (at == 0 || !isalnum(static_cast<unsigned char>(name[at - 1]))) return true;
  }
  return false;
}

long secondsSinceChange(const std::string& path) {
  const time_t changed = fileModifiedTime(path);
  return changed == 0 ? 0 : static_cast<long>(time(nullptr) - changed);
}

}  // namespace

bool RequestFile::parse(const std::string& text, std::string* error) {
  requests_.clear();
  std::vector<std::string> lines;
  if (!splitTextLines(text, &lines)) {
    if (error != nullptr) *error = "not a text file";
    return false;
  }
  for (const std::string& line : lines) {
    if (line.size() < SEL_REQUEST_LINE_MIN || line[0] == '#') continue;
    SelRequest request;
    if (!request.parse(line)) continue;
    if (requests_.size() == REQUEST_FILE_MAX_LINES) {
      if (error != nullptr) *error = sformat("more than %zu requests", REQUEST_FILE_MAX_LINES);
      requests_.clear();
      return false;
    }
    requests_.push_back(request);
  }
  return true;
}

bool RequestFile::read(const std::string& path, std::string* error) {
  const long long size = getFileSize(path);
  if (size > REQUEST_FILE_MAX_BYTES) {
    if (error != nullptr)
      *error = sformat("%lld bytes, more than %lld", size, REQUEST_FILE_MAX_BYTES);
    return false;
  }
  std::vector<uint8_t> bytes;
  const long long len = readFile(path, bytes);
  if (len < 0 || size < 0) {
    pprintf("Error Opening File: %s\n", path.c_str());
    if (error != nullptr) error->clear();
    return false;
  }
  if (len > REQUEST_FILE_MAX_BYTES) {
    if (error != nullptr) *error = "grew while it was read";
    return false;
  }
  return parse(std::string(bytes.begin(), bytes.end()), error);
}

bool RequestFile::write(const std::string& path) const {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  bool ok = true;
  for (const SelRequest& request : requests_)
    ok = ok && fprintf(f, "%s\n", request.toString().c_str()) > 0;
  ok = fclose(f) == 0 && ok;
  pprintf("Num Requests = %d\n", static_cast<int>(requests_.size()));
  return ok;
}

std::string RequestFile::toString() const {
  std::string out;
  for (const SelRequest& request : requests_) out += request.toString() + " - ";
  return out;
}

void RequestFiles::init(const std::string& transactionsDir, Log* log) {
  log_ = log;
  const std::string folder = bounded(expandHome(transactionsDir), FOLDER_MAX);
  requestFolder_ = sformatBounded(REQUEST_FOLDER_MAX, "%srequest/", folder.c_str());
  responseFolder_ = sformatBounded(REQUEST_FOLDER_MAX, "%sresponse/", folder.c_str());
  for (const std::string& f : {folder, requestFolder_, responseFolder_}) {
    mkdirs(f, true);
    chmod(f.c_str(), MODE_SHARED_FOLDER);
  }
}

void RequestFiles::clearFolders(const std::string& transactionsDir) {
  RequestFiles files;
  files.init(transactionsDir, nullptr);
  deleteFilesWithKeyword(files.requestFolder_, nullptr);
  deleteFilesWithKeyword(files.responseFolder_, nullptr);
}

bool RequestFiles::isMeantFor(const std::string& name, uint32_t id, const std::string& station) {
  if (name.size() < REQUEST_NAME_MIN) return false;
  const std::string hex = sformat("_%08x", id);
  for (const std::string& mark : {hex, std::string("_00000000"), std::string("_0")}) {
    if (name.find(mark + ".") != std::string::npos || name.find(mark + "_") != std::string::npos) {
      return true;
    }
  }
  return containsAsPart(name,
                        (station.empty() ? std::string(REQUEST_UNKNOWN_STATION) : station) + ".");
}

int RequestFiles::readRequests(const std::string& folder, uint32_t id, const std::string& station,
                               std::vector<SelRequest>* out, size_t maxRequests) {
  // Every link looks every second; an empty folder is listed again only
  // when it can have changed.
  if (emptyFolder_.unchanged(folder)) return static_cast<int>(out->size());
  emptyFolder_.note(folder);
  std::vector<std::string> names;
  bool any = false;
  forEachEntry(folder, REQUEST_SCAN_MAX, [&](const char* name, const std::string& path) {
    any = true;
    if (name[0] != '\0' && isFile(path)) names.push_back(name);
    return true;
  });
  if (any) emptyFolder_.forget();
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = gluePath(folder, name);
    const long age = secondsSinceChange(path);
    const bool aside = endsWith(name, REQUEST_ASIDE_SUFFIX);
    if (aside || !isMeantFor(name, id, station)) {
      if (age > REQUEST_STALE_SECS) removeFile(path);
      continue;
    }
    if (name.find(LOG_MARK) != std::string::npos) {
      logRequested_ = true;
      removeFile(path);
      continue;
    }
    if (age < REQUEST_SETTLE_SECS || out->size() >= maxRequests) continue;
    RequestFile file;
    std::string error;
    const bool ok = file.read(path, &error);
    if (!ok && !error.empty()) {
      const std::string setAside = path + REQUEST_ASIDE_SUFFIX;
      if (rename(path.c_str(), setAside.c_str()) != 0) removeFile(path);
      logLine(log_, LOG_ADD, "Request file set aside [%s]: %s", path.c_str(), error.c_str());
      continue;
    }
    // Requests beyond the room left wait in the file for the next reading.
    if (ok && out->size() + file.requests().size() > maxRequests && !out->empty()) continue;
    removeFile(path);
    if (!ok) continue;
    logLine(log_, LOG_ADD, "Request file [%s]: %s", name.c_str(), file.toString().c_str());
    out->insert(out->end(), file.requests().begin(), file.requests().end());
  }
  return static_cast<int>(out->size());
}

int RequestFiles::readRequests(uint32_t id, const std::string& station,
                               std::deque<std::unique_ptr<SelvomaPacket>>* out,
                               size_t maxRequests) {
  std::vector<SelRequest> requests;
  readRequests(requestFolder_, id, station, &requests, maxRequests);
  for (const SelRequest& request : requests) {
    auto packet = std::make_unique<SelvomaPacket>();
    request.fillPacket(packet.get());
    out->push_back(std::move(packet));
  }
  return static_cast<int>(requests.size());
}

bool RequestFiles::makeRequestFileFile(const std::string& name, const std::string& filePath,
                                       uint32_t id) {
  const std::string site = safePathCode(bounded(name, RELAY_NAME_MAX));
  const std::string instrumentPath = bounded(filePath, RELAY_PATH_MAX);
  const std::string line =
      RELAY_PREFIX + (instrumentPath.rfind('/', 0) == 0 ? "" : std::string("/")) + instrumentPath;
  const std::string path = sformat("%s%s.%08x", requestFolder_.c_str(), site.c_str(), id);
  bool ok = !site.empty();
  for (char c : instrumentPath) ok = ok && isPrintableAscii(c);
  if (ok) {
    // Written under a name no link takes, then renamed, so no link reads half a line.
    const std::string part = requestFolder_ + "." + site;
    FILE* f = fopen(part.c_str(), "w");
    ok = f != nullptr && fprintf(f, "%s\n", line.c_str()) > 0;
    if (f != nullptr) ok = fclose(f) == 0 && ok;
    ok =
        ok && chmod(part.c_str(), MODE_SHARED_FILE) == 0 && rename(part.c_str(), path.c_str()) == 0;
    if (!ok) removeFile(part);
  }
  logLine(log_, LOG_ADD,
          ok ? "Writing request file '%s', containing:'%s'"
             : "FAILED to write request file '%s', containing:'%s'",
          path.c_str(), line.c_str());
  return ok;
}

bool RequestFiles::getLogRequested() {
  const bool requested = logRequested_;
  logRequested_ = false;
  return requested;
}
