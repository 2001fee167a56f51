#include "util/FileUtil.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdarg>

#include "util/Text.h"

namespace {
constexpr mode_t FOLDER_MODE = 0777;
constexpr size_t MKDIRS_MIN_PREFIX = 2;  // prefixes this short ("/", "./", "C:") are never created
}  // namespace

int mkdirs(const std::string& path, bool isDir) {
  std::string p = bounded(path, MKDIRS_PATH_MAX);
  if (!isDir) {
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) return -1;  // a bare file name has no folder to make
    p.resize(slash);
  }
  if (!p.empty() && (p.back() == '/' || p.back() == '\\')) p.pop_back();
  if (p.empty()) return -1;
  for (size_t i = MKDIRS_MIN_PREFIX + 1; i < p.size(); ++i) {
    if (p[i] == '/' || p[i] == '\\') {
      std::string prefix = p.substr(0, i);
      mkdir(prefix.c_str(), FOLDER_MODE);
    }
  }
  return mkdir(p.c_str(), FOLDER_MODE);
}

int mkdirsf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = bounded(vsformat(format, args), MKDIRSF_MAX);
  va_end(args);
  return mkdirs(text, false);
}

void makeLinuxPath(std::string& path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  std::string out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '/' && i + 1 < path.size() && (path[i + 1] == ':' || path[i + 1] == '/'))
      continue;
    out += path[i];
  }
  path.swap(out);
}

std::string gluePath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return bounded(folder + name, GLUEPATH_MAX);
  return bounded(folder + "/" + name, GLUEPATH_MAX);
}

bool isFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isFile(const std::string& folder, const std::string& name) {
  return isFile(gluePath(folder, name));
}

bool isDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isDir(const std::string& folder, const std::string& name) {
  return isDir(gluePath(folder, name));
}

time_t fileModifiedTime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mtime;
}

DIR* openDIR(const std::string& folder, std::string& withSlash) {
  withSlash = folder;
  if (withSlash.empty() || withSlash.back() != '/') withSlash += '/';
  return opendir(withSlash.c_str());
}
