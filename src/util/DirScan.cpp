#include "util/DirScan.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "util/Console.h"
#include "util/FileUtil.h"

namespace {

// folder + "/" + name, without doubling a "/" the folder already ends in.
std::string joinPath(const std::string& folder, const char* name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// What an entry is, links resolved for files only: a link to a folder is
// never entered, so a link loop cannot trap a scan.
enum class Kind { OTHER, FILE, FOLDER };
Kind kindOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return Kind::OTHER;
  if (S_ISDIR(st.st_mode)) return Kind::FOLDER;
  if (S_ISLNK(st.st_mode) && stat(path.c_str(), &st) != 0) return Kind::OTHER;
  return S_ISREG(st.st_mode) ? Kind::FILE : Kind::OTHER;
}

struct ScanArgs {
  bool fullPath;
  const std::string& extension;
  long minAge;
  bool checkAge;
  std::vector<std::string>& list;
  std::unordered_set<std::string> seen;  // the texts already in list
};

int scanFolder(const std::string& folder, ScanArgs& args) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return 0;
  int added = 0;
  int examined = 0;
  struct dirent* entry;
  while (examined < SCAN_MAX_ENTRIES && (entry = readdir(dir)) != nullptr) {
    ++examined;
    if (entry->d_name[0] == '.') continue;
    std::string path = joinPath(folder, entry->d_name);
    Kind kind = kindOf(path);
    if (kind == Kind::FOLDER) {
      scanFolder(path + "/", args);
      continue;
    }
    if (kind != Kind::FILE) continue;
    if (!args.extension.empty() && !endsWith(entry->d_name, args.extension.c_str())) continue;
    if (args.minAge > 0 && args.checkAge && fileAge(path) < args.minAge) continue;
    std::string text = args.fullPath ? path : std::string(entry->d_name);
    if (!args.seen.insert(text).second) continue;
    args.list.push_back(text);
    ++added;
  }
  closedir(dir);
  return added;
}

// State of one deleteOldFilesRecursive walk; nftw's callback takes no user
// pointer, and each thread runs its own walk.
thread_local time_t tRecursiveBefore = 0;
thread_local int tRecursiveRemoved = 0;

int removeIfUnused(const char* path, const struct stat* st, int flag, struct FTW* ftwbuf) {
  if (ftwbuf->level == 0 || flag == FTW_NS) return 0;  // the walk's own root stays
  if (st->st_atime >= tRecursiveBefore) return 0;
  int rc = (flag == FTW_D || flag == FTW_DNR) ? rmdir(path) : unlink(path);
  if (rc == 0) ++tRecursiveRemoved;
  return 0;
}

}  // namespace

int getFilesFromDir(const std::string& folder, std::vector<std::string>& list, bool fullPath,
                    const std::string& extension, long minAge, bool checkAge) {
  ScanArgs args{fullPath, extension, minAge, checkAge, list, {}};
  args.seen.insert(list.begin(), list.end());
  return scanFolder(folder, args);
}

int getFilesFromDir(const std::string& folder, std::vector<std::string>& list, bool fullPath) {
  return getFilesFromDir(folder, list, fullPath, std::string(), 0, true);
}

int getSubdirs(const std::string& folder, std::vector<std::string>& list, bool fullPath,
               long maxAge) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return 0;
  std::unordered_set<std::string> seen(list.begin(), list.end());
  int added = 0;
  int examined = 0;
  struct dirent* entry;
  while (examined < SCAN_MAX_ENTRIES && (entry = readdir(dir)) != nullptr) {
    ++examined;
    if (entry->d_name[0] == '.') continue;
    std::string path = joinPath(folder, entry->d_name);
    if (kindOf(path) != Kind::FOLDER) continue;
    if (maxAge > 0 && fileAge(path) > maxAge) continue;
    std::string text = fullPath ? path : std::string(entry->d_name);
    if (!seen.insert(text).second) continue;
    list.push_back(text);
    ++added;
  }
  closedir(dir);
  return added;
}

bool hasFilesWithExtension(const std::string& folder, const std::string& extension) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  int examined = 0;
  struct dirent* entry;
  while (!found && examined < SCAN_MAX_ENTRIES && (entry = readdir(dir)) != nullptr) {
    ++examined;
    if (entry->d_name[0] == '.') continue;
    if (!extension.empty() && !endsWith(entry->d_name, extension.c_str())) continue;
    found = kindOf(joinPath(folder, entry->d_name)) == Kind::FILE;
  }
  closedir(dir);
  return found;
}

int deleteFilesBefore(const std::string& folder, time_t t) {
  if (folder.size() < DELETE_MIN_FOLDER_LEN) return 0;
  std::string withSlash;
  DIR* dir = openDIR(folder, withSlash);
  if (dir == nullptr) {
    pprintf("deleteFilesBefore cannot open [%s]", folder.c_str());
    return 0;
  }
  int removed = 0;
  int examined = 0;
  struct dirent* entry;
  while (examined < DELETE_MAX_ENTRIES && (entry = readdir(dir)) != nullptr) {
    ++examined;
    if (entry->d_name[0] == '.') continue;
    std::string path = withSlash + entry->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (st.st_mtime >= t || st.st_ctime >= t) continue;
    int rc = S_ISDIR(st.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str());
    if (rc == 0) ++removed;
  }
  closedir(dir);
  return removed;
}

int deleteOldFiles(const std::string& folder, long ageSeconds) {
  return deleteFilesBefore(folder, time(nullptr) - ageSeconds);
}

int deleteOldFilesRecursive(const std::string& folder, long ageSeconds) {
  if (ageSeconds < 1 || folder.size() < DELETE_MIN_FOLDER_LEN) return 0;
  tRecursiveBefore = time(nullptr) - ageSeconds;
  tRecursiveRemoved = 0;
  nftw(folder.c_str(), removeIfUnused, DELETE_MAX_OPEN_FOLDERS, FTW_PHYS);
  return tRecursiveRemoved;
}

int deleteFilesWithKeyword(const std::string& folder, const char* keyword) {
  std::string withSlash;
  DIR* dir = openDIR(folder, withSlash);
  if (dir == nullptr) {
    pprintf("deleteFilesWithKeyword cannot open [%s]", folder.c_str());
    return 0;
  }
  int removed = 0;
  int examined = 0;
  struct dirent* entry;
  while (examined < DELETE_MAX_ENTRIES && (entry = readdir(dir)) != nullptr) {
    ++examined;
    if (entry->d_name[0] == '.') continue;
    if (keyword != nullptr && strstr(entry->d_name, keyword) == nullptr) continue;
    std::string path = withSlash + entry->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    int rc = S_ISDIR(st.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str());
    if (rc == 0) ++removed;
  }
  closedir(dir);
  return removed;
}
